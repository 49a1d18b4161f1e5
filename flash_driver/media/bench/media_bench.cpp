// Benchmark (not a test): sequential and random 512-byte sector reads and writes through the media layer
// on the simulated board, in the simulator's virtual time (every bus cycle and busy time as the chip
// takes them), beside what the chip itself allows, which is the ceiling of what the driver can reach;
// and the memory the stack keeps per drive.
#include "bbm/bbm.h"
#include "hostkernel/host.h"
#include "media/media.h"
#include "nand/nand_chip.h"
#include "nand/nand_ops.h"
#include "nandsim/board.h"
#include "services/services.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <random>
#include <vector>

namespace {

constexpr uint32_t kRegion = 4 * 1024 * 1024; // bytes moved per measurement
constexpr uint32_t kSector = 512;

// MB/s (10^6 bytes) of virtual time.
double megabytes_per_second(uint64_t bytes, uint64_t us)
{
    return us ? static_cast<double>(bytes) / static_cast<double>(us) : 0;
}

struct Rates {
    double read;
    double program;
};

// What the chip allows: a page moved over the bus at one cycle per microsecond (command, address and
// data cycles) plus its busy time.
Rates chip_limits(const nandsim::Chip &chip)
{
    const nandsim::ChipGeometry &g = chip.geometry();
    const nandsim::Timing &t = chip.timing;
    const double address = g.column_cycles + g.row_cycles;
    const double readUs = 1 + address + (g.large_page() ? 1 : 0) + t.read_us + g.page_bytes();
    const double writeUs = 1 + address + g.page_bytes() + 1 + t.program_us;
    return {g.page_size / readUs, g.page_size / writeUs};
}

void run(uint8_t device, int mode, const char *name)
{
    hostkernel::reset();
    std::memset(extndMediaInfo, 0, sizeof extndMediaInfo);
    std::memset(bbmInfo, 0, sizeof bbmInfo);
    force_ll = mode;
    nandsim::Board board(nandsim::Variant::PIII);
    request_irq(nandsim::kReadyIrq, intr_nand_handler, SA_INTERRUPT, "NAND flash", nullptr);
    nandsim::Chip &chip = board.install_chip(0, nandsim::chip_geometry(device));
    oemsetcurrentdrive(0);
    oemmount();
    if (lpThisMedia->ulMediaSize == 0 || lpThisMedia->lpDevice == &devStub) {
        std::printf("%s: the drive did not mount\n", name);
        return;
    }

    const uint32_t sectors = kRegion / kSector;
    std::vector<uint8_t> data(kSector, 0x5A);
    std::vector<uint32_t> order(sectors);
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), std::mt19937(1));
    auto pass = [&](bool write, bool random, uint32_t base) {
        const uint64_t start = hostkernel::now_us();
        for (uint32_t i = 0; i < sectors; i++) {
            const uint32_t address = base + (random ? order[i] : i) * kSector;
            if (write)
                oemwrite(address, kSector, data.data(), ACCESS_TYPE_ECC);
            else
                oemread(address, kSector, data.data(), ACCESS_TYPE_ECC);
        }
        return megabytes_per_second(kRegion, hostkernel::now_us() - start);
    };
    const double sequentialWrite = pass(true, false, 0);
    const double randomWrite = pass(true, true, kRegion);
    const double sequentialRead = pass(false, false, 0);
    const double randomRead = pass(false, true, kRegion);
    const Rates raw = chip_limits(chip);

    std::printf("%s (%s mode)\n", name, lpThisMedia->bLargePage ? (lpThisMedia->bLLMode ? "LargeLarge" : "LargeSmall") : "small page");
    std::printf("  chip limit:       read %7.3f MB/s   program %7.3f MB/s\n", raw.read, raw.program);
    std::printf("  sequential:       read %7.3f MB/s (%4.0f %%)   write %7.3f MB/s (%4.0f %%)\n", sequentialRead,
                100 * sequentialRead / raw.read, sequentialWrite, 100 * sequentialWrite / raw.program);
    std::printf("  random:           read %7.3f MB/s (%4.0f %%)   write %7.3f MB/s (%4.0f %%)\n", randomRead,
                100 * randomRead / raw.read, randomWrite, 100 * randomWrite / raw.program);
}

} // namespace

int main()
{
    std::printf("sector reads and writes of 512 bytes with the error-correcting code, %u MB each pass\n",
                kRegion / (1024 * 1024));
    run(0x76, 0, "64 MB small-page chip");
    run(0xF1, 2, "128 MB large-page chip");
    run(0xF1, 1, "128 MB large-page chip");
    std::printf("memory per drive: media record %zu bytes, bad-block state %zu bytes, exception table %zu bytes\n",
                sizeof(ExtndMediaInfo), sizeof(BbmInfo), sizeof PhysAddrExceptions[0]);
    std::printf("shared by both drives: scratch page %zu bytes, and the manager's chunk cache and page buffers\n",
                sizeof lpcScratchData);
    std::printf("at a first format only: the list of bad blocks, 4 bytes per block of 2 %% (4 %% on large pages)"
                " of the blocks, and one page\n");
    return 0;
}
