// Benchmark (not a test): sequential and random 512-byte sector reads and writes through the media layer
// on the simulated board, beside the simulator's own raw page read and program rate, which is the
// ceiling of what the driver can reach; and the memory the stack keeps per drive.
#include "bbm/bbm.h"
#include "hostkernel/host.h"
#include "media/media.h"
#include "nand/nand_chip.h"
#include "nand/nand_ops.h"
#include "nandsim/board.h"
#include "services/services.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <random>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kRegion = 4 * 1024 * 1024; // bytes moved per measurement
constexpr uint32_t kSector = 512;

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double megabytes_per_second(uint64_t bytes, double seconds)
{
    return bytes / seconds / (1024.0 * 1024.0);
}

struct Rates {
    double read;
    double program;
};

// Page reads and programs straight on the chip's bus cycles, without the driver.
Rates raw_rates(nandsim::Chip &chip, uint32_t firstPage, uint32_t pages)
{
    const nandsim::ChipGeometry &geometry = chip.geometry();
    auto address = [&](uint32_t page) {
        for (unsigned i = 0; i < geometry.column_cycles; i++)
            chip.address(0);
        for (unsigned i = 0; i < geometry.row_cycles; i++)
            chip.address(static_cast<uint8_t>(page >> (8 * i)));
    };
    Clock::time_point start = Clock::now();
    for (uint32_t page = firstPage; page < firstPage + pages; page++) {
        chip.command(0x80);
        address(page);
        for (uint32_t i = 0; i < geometry.page_bytes(); i++)
            chip.data_in(static_cast<uint8_t>(i));
        chip.command(0x10);
    }
    const double program = seconds_since(start);
    start = Clock::now();
    uint8_t sink = 0;
    for (uint32_t page = firstPage; page < firstPage + pages; page++) {
        chip.command(0x00);
        address(page);
        if (geometry.large_page())
            chip.command(0x30);
        for (uint32_t i = 0; i < geometry.page_bytes(); i++)
            sink ^= chip.data_out();
    }
    const double read = seconds_since(start) + (sink == 0x5A ? 1e-9 : 0);
    const uint64_t bytes = uint64_t{pages} * geometry.page_size;
    return {megabytes_per_second(bytes, read), megabytes_per_second(bytes, program)};
}

void run(uint8_t device, int mode, const char *name)
{
    hostkernel::reset();
    std::memset(extndMediaInfo, 0, sizeof extndMediaInfo);
    std::memset(bbmInfo, 0, sizeof bbmInfo);
    force_ll = mode;
    nandsim::Board board(nandsim::Variant::PIII);
    board.set_timing(nandsim::Timing{0, 0, 0, 0});
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
        const Clock::time_point start = Clock::now();
        for (uint32_t i = 0; i < sectors; i++) {
            const uint32_t address = base + (random ? order[i] : i) * kSector;
            if (write)
                oemwrite(address, kSector, data.data(), ACCESS_TYPE_ECC);
            else
                oemread(address, kSector, data.data(), ACCESS_TYPE_ECC);
        }
        return megabytes_per_second(kRegion, seconds_since(start));
    };
    const double sequentialWrite = pass(true, false, 0);
    const double randomWrite = pass(true, true, kRegion);
    const double sequentialRead = pass(false, false, 0);
    const double randomRead = pass(false, true, kRegion);
    const uint32_t rawFirstPage = 2 * kRegion / chip.geometry().page_size;
    const Rates raw = raw_rates(chip, rawFirstPage, kRegion / chip.geometry().page_size);

    std::printf("%s (%s mode)\n", name, lpThisMedia->bLargePage ? (lpThisMedia->bLLMode ? "LargeLarge" : "LargeSmall") : "small page");
    std::printf("  raw chip:         read %7.2f MB/s   program %7.2f MB/s\n", raw.read, raw.program);
    std::printf("  sequential:       read %7.2f MB/s (%4.0f %%)   write %7.2f MB/s (%4.0f %%)\n", sequentialRead,
                100 * sequentialRead / raw.read, sequentialWrite, 100 * sequentialWrite / raw.program);
    std::printf("  random:           read %7.2f MB/s (%4.0f %%)   write %7.2f MB/s (%4.0f %%)\n", randomRead,
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
