// Benchmark (not a test): the translation layer's sustained sequential and random read and write
// rates on the simulated board, in the simulator's virtual time (every bus cycle and every busy time
// as the chip takes them), as a share of what the chip itself allows; and the write amplification,
// pages programmed per sector written, on a drive filled to 50 % and to 80 %.
#include "ftl/vbf.h"
#include "hostkernel/host.h"
#include "media/media.h"
#include "nand/nand_chip.h"
#include "nandsim/board.h"
#include "services/services.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

namespace {

constexpr uint32_t kSector = 512;

// What the chip allows: a page moved over the bus at one cycle per microsecond (command, address
// and data cycles) plus its busy time.
struct Limits {
    double read;
    double write;
};

Limits chip_limits(const nandsim::Chip &chip)
{
    const nandsim::ChipGeometry &g = chip.geometry();
    const nandsim::Timing &t = chip.timing;
    const double address = g.column_cycles + g.row_cycles;
    const double readUs = 1 + address + (g.large_page() ? 1 : 0) + t.read_us + g.page_bytes();
    const double writeUs = 1 + address + g.page_bytes() + 1 + t.program_us;
    return {g.page_size / readUs, g.page_size / writeUs}; // bytes per microsecond = MB/s (10^6)
}

struct Drive {
    std::unique_ptr<nandsim::Board> board;
    nandsim::Chip *chip = nullptr;
};

bool load(Drive &drive, uint8_t device, int mode)
{
    hostkernel::reset();
    vbfreset();
    force_ll = mode;
    drive.board = std::make_unique<nandsim::Board>(nandsim::Variant::PIII);
    request_irq(nandsim::kReadyIrq, intr_nand_handler, SA_INTERRUPT, "NAND flash", nullptr);
    drive.chip = &drive.board->install_chip(0, nandsim::chip_geometry(device));
    oemsetcurrentdrive(0);
    vbfsetcurrentdrive(0);
    oemmount();
    uint32_t size = VBF_DEFAULT, start = VBF_DEFAULT, spares = VBF_DEFAULT;
    return lpThisMedia->lpDevice != &devStub &&
           vbfformat(1, static_cast<int32_t>(VBF_DEFAULT), &size, &start, &spares) && vbfmount();
}

// MB/s of virtual time for `bytes` moved by the call.
template <typename F> double rate(uint64_t bytes, F &&moves)
{
    const uint64_t start = hostkernel::now_us();
    moves();
    const uint64_t us = hostkernel::now_us() - start;
    return us ? static_cast<double>(bytes) / static_cast<double>(us) : 0;
}

void rates(uint8_t device, int mode, const char *name)
{
    Drive drive;
    if (!load(drive, device, mode)) {
        std::printf("%s: the drive did not format\n", name);
        return;
    }
    const Limits limit = chip_limits(*drive.chip);
    const uint32_t span = 4 * 1024 * 1024;
    const uint32_t request = 15 * 1024; // the block device's largest write piece
    const uint32_t small = 4096;
    std::vector<uint8_t> data(request, 0x5A);
    std::mt19937 random(1);
    std::uniform_int_distribution<uint32_t> block(0, span / small - 1);
    bool ok = true;
    const double seqWrite = rate(span, [&] {
        for (uint32_t a = 0; a + request <= span; a += request)
            ok &= vbfwrite(a, request, data.data()) == 1;
    });
    const double seqRead = rate(span, [&] {
        for (uint32_t a = 0; a + request <= span; a += request)
            ok &= vbfread(a, request, data.data()) == 1;
    });
    const double randWrite = rate(span, [&] {
        for (uint32_t i = 0; i < span / small; i++)
            ok &= vbfwrite(block(random) * small, small, data.data()) == 1;
    });
    const double randRead = rate(span, [&] {
        for (uint32_t i = 0; i < span / small; i++)
            ok &= vbfread(block(random) * small, small, data.data()) == 1;
    });
    std::printf("%s%s\n", name, ok ? "" : " (some requests failed)");
    std::printf("  chip limit:   read %6.3f MB/s   write %6.3f MB/s\n", limit.read, limit.write);
    std::printf("  sequential:   read %6.3f MB/s (%3.0f %%)   write %6.3f MB/s (%3.0f %%)   requests of %u bytes\n",
                seqRead, 100 * seqRead / limit.read, seqWrite, 100 * seqWrite / limit.write, request);
    std::printf("  random:       read %6.3f MB/s (%3.0f %%)   write %6.3f MB/s (%3.0f %%)   requests of %u bytes\n",
                randRead, 100 * randRead / limit.read, randWrite, 100 * randWrite / limit.write, small);
}

void amplification(uint8_t device, int mode, const char *name, double fill)
{
    Drive drive;
    if (!load(drive, device, mode)) {
        std::printf("%s: the drive did not format\n", name);
        return;
    }
    const uint32_t small = 4096;
    const uint32_t filled = static_cast<uint32_t>(vbfclientsize() * fill) / small * small;
    std::vector<uint8_t> data(small, 0xA5);
    bool ok = true;
    for (uint32_t a = 0; a < filled; a += small)
        ok &= vbfwrite(a, small, data.data()) == 1;
    std::mt19937 random(2);
    std::uniform_int_distribution<uint32_t> block(0, filled / small - 1);
    const uint32_t writes = 4 * 1024 * 1024 / small;
    const unsigned programs = drive.chip->programs;
    const unsigned erases = drive.chip->erases;
    for (uint32_t i = 0; i < writes; i++)
        ok &= vbfwrite(block(random) * small, small, data.data()) == 1;
    const double sectors = writes * (small / kSector);
    std::printf("%s filled to %2.0f %%: %.2f pages programmed and %.4f blocks erased per sector written%s\n", name,
                100 * fill, (drive.chip->programs - programs) / sectors, (drive.chip->erases - erases) / sectors,
                ok ? "" : " (some writes failed)");
}

} // namespace

int main()
{
    std::printf("rates in virtual time, 4 MB per pass, chip busy times: read 12 us, program 200 us, erase 2000 us\n");
    rates(0x73, 0, "16 MB small-page chip");
    rates(0xF1, 1, "128 MB large-page chip (LargeLarge)");
    std::printf("write amplification: random 4 KB rewrites (4 MB of them) of the filled part\n");
    amplification(0x73, 0, "16 MB small-page chip", 0.5);
    amplification(0x73, 0, "16 MB small-page chip", 0.8);
    std::printf("memory: partition records %zu bytes (both drives), region cache %zu bytes\n", sizeof partition,
                sizeof regionCache);
    return 0;
}
