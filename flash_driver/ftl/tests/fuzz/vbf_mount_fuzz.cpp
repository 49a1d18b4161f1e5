// libFuzzer target: a formatted and written drive whose unit headers, format version bytes, allocation
// lists and pages the input corrupts, mounted by the translation layer and then read, written,
// discarded, collected and mounted again. No crash, no hang, no out-of-bounds access, and a mount only
// ever describes a drive that fits the chip. The drive is small (four units of 8 KB) and kept in
// memory, so that each input costs a few milliseconds.
#include "ftl/vbf.h"
#include "hostkernel/host.h"
#include "media/media.h"
#include "nand/nand_chip.h"
#include "nand/nand_ops.h"
#include "nandsim/board.h"
#include "services/services.h"

#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

namespace {

constexpr uint8_t kChip = 0xE5; // 4 MB, 8 KB blocks, 512-byte pages
constexpr uint32_t kSector = 512;
constexpr uint32_t kFormatted = 0x8000; // four units of 8 KB
constexpr uint32_t kUnitBytes = 8 * 1024;

void require(bool condition)
{
    if (!condition)
        abort();
}

std::unique_ptr<nandsim::Board> fresh_board()
{
    hostkernel::reset();
    vbfreset();
    force_ll = 0;
    for (unsigned drive = 0; drive < 2; ++drive)
        current_command[drive] = previous_command[drive] = 0;
    oemsetcurrentdrive(0);
    vbfsetcurrentdrive(0);
    auto board = std::make_unique<nandsim::Board>(nandsim::Variant::PIII);
    request_irq(nandsim::kReadyIrq, intr_nand_handler, SA_INTERRUPT, "NAND flash", nullptr);
    return board;
}

bool mount_media()
{
    oemsetcurrentdrive(0);
    oemmount();
    return lpThisMedia->lpDevice == &devNAND512;
}

// The drive every input starts from: formatted by both layers over the first 32 KB of the chip, with
// runs written, rewritten inside and discarded; its written blocks are kept for the life of the process.
const std::vector<std::pair<uint32_t, std::vector<uint8_t>>> &drive_blocks()
{
    static std::vector<std::pair<uint32_t, std::vector<uint8_t>>> blocks;
    static bool made = false;
    if (made)
        return blocks;
    made = true;
    auto board = fresh_board();
    nandsim::Chip &chip = board->install_chip(0, nandsim::chip_geometry(kChip));
    require(mount_media());
    uint32_t size = kFormatted, start = VBF_DEFAULT, spares = VBF_DEFAULT;
    require(vbfformat(77, static_cast<int32_t>(VBF_DEFAULT), &size, &start, &spares) == 1);
    require(vbfmount() == 1);
    std::vector<uint8_t> data(32 * kSector);
    for (uint32_t i = 0; i < 24; i++) {
        std::memset(data.data(), static_cast<int>(i), data.size());
        require(vbfwrite((i * 37 % 30) * kSector, static_cast<uint16_t>((1 + i % 8) * kSector), data.data()) == 1);
    }
    require(vbfdiscard(10 * kSector, 6 * kSector) == 1);
    for (uint32_t block = 0; block < chip.geometry().blocks; block++)
        if (!chip.block_blank(block))
            blocks.emplace_back(block, chip.block_bytes(block));
    return blocks;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const auto &blocks = drive_blocks();
    auto board = fresh_board();
    nandsim::Chip &chip = board->install_chip(0, nandsim::chip_geometry(kChip));
    for (const auto &block : blocks)
        chip.set_block_bytes(block.first, block.second);
    const nandsim::ChipGeometry &geometry = chip.geometry();
    const uint32_t pageBytes = geometry.page_bytes(); // data and spare
    const uint32_t unitPages = kUnitBytes / geometry.page_size;
    const uint32_t units = kFormatted / kUnitBytes;

    // Each record of four bytes changes one byte: of a unit's header page (its three header copies
    // and the version bytes at its end), of the spare where a unit's allocation entries lie, or of
    // any page.
    for (size_t i = 0; i + 4 <= size; i += 4) {
        const uint8_t kind = data[i] & 3, unit = data[i + 1], at = data[i + 2], value = data[i + 3];
        uint32_t page = 0, column = 0;
        switch (kind) {
        case 0: // a byte of one header copy changed, or set to a value in all three (as a writer that
                // erred would leave them: agreeing, and so trusted)
            page = (unit % units) * unitPages;
            column = (data[i] >> 2 & 3) * 128 + at % 64;
            if ((data[i] >> 2 & 3) == 3) {
                std::vector<uint8_t> bytes = chip.read_page(page);
                for (uint32_t copy = 0; copy < 3; copy++)
                    bytes[copy * 128 + at % 64] = value;
                chip.write_page_raw(page, bytes);
                continue;
            }
            break;
        case 1: // version bytes of the first units
            page = (unit % 4) * unitPages;
            column = geometry.page_size - 1 - at % 3;
            break;
        case 2: // allocation entries: the tag bytes of a page's spare
            page = (unit % units) * unitPages + (at >> 4) % unitPages;
            column = geometry.page_size + (at & 15);
            break;
        default:
            page = (static_cast<uint32_t>(unit) << 8 | at) % (kFormatted / geometry.page_size + geometry.pages_per_block);
            column = (data[i] >> 2) % pageBytes;
            break;
        }
        std::vector<uint8_t> bytes = chip.read_page(page);
        bytes[column] ^= value;
        chip.write_page_raw(page, bytes);
    }

    if (!mount_media() || !vbfmount())
        return 0;
    const uint32_t client = vbfclientsize();
    require(client > 0 && client <= lpThisMedia->ulTotalSize);
    std::vector<uint8_t> buffer(16 * kSector, 0x5A);
    for (uint32_t address = 0; address + buffer.size() <= client && address < 512 * 1024; address += 16 * kSector)
        vbfread(address, static_cast<uint16_t>(buffer.size()), buffer.data());
    vbfwrite(3 * kSector, 8 * kSector, buffer.data());
    vbfread(3 * kSector, 8 * kSector, buffer.data());
    vbfdiscard(0, 16 * kSector);
    vbfgarbagecollect();
    uint32_t a = 0, b = 0, c = 0;
    MediaInfoUsage(&a, &b, &c);
    VbfUnitInfo info;
    for (uint16_t u = 0; u < 4; u++) {
        std::memset(&info, 0, sizeof info);
        info.uUnit = u;
        vbfgetunitinfo(&info);
    }
    if (vbfmount())
        vbfread(0, kSector, buffer.data());
    return 0;
}
