// Detection and commands of the chip layer through the simulated board, on both board variants.
#include "nand/nand_chip.h"

#include "hostkernel/board.h"
#include "nandsim/fixture.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using nandsim::Cycle;
using nandsim::CycleKind;
using nandsim::Variant;

struct ChipCase {
    uint8_t device;
    uint32_t size;
    uint32_t block_size;
    uint16_t page_size;
};
const ChipCase kChips[] = {
    {0xE5, 0x400000, 0x2000, 512},   {0xE3, 0x400000, 0x2000, 512},   {0x6B, 0x400000, 0x2000, 512},
    {0xE6, 0x800000, 0x2000, 512},   {0xEC, 0x800000, 0x2000, 512},   {0x73, 0x1000000, 0x4000, 512},
    {0x75, 0x2000000, 0x4000, 512},  {0x76, 0x4000000, 0x4000, 512},  {0xF1, 0x8000000, 0x20000, 2048},
    {0xDA, 0x8000000, 0x20000, 2048},
};

std::vector<uint8_t> with_format_mark(const nandsim::Chip &chip)
{
    std::vector<uint8_t> page = chip.read_page(0);
    page[509] = page[510] = page[511] = 0x7F;
    return page;
}

class NandChipTest : public nandsim::DriverTest {
protected:
    // The address cycles the chip saw after each command, as (command, addresses) pairs.
    std::vector<std::pair<uint8_t, std::vector<uint8_t>>> commands() const
    {
        std::vector<std::pair<uint8_t, std::vector<uint8_t>>> seen;
        for (const Cycle &cycle : board->cycles()) {
            if (cycle.kind == CycleKind::Command)
                seen.push_back({cycle.value, {}});
            else if (cycle.kind == CycleKind::Address && !seen.empty())
                seen.back().second.push_back(cycle.value);
        }
        return seen;
    }
    std::string log() const { return hostkernel::log_text(); }
};

class DetectionTest : public NandChipTest, public ::testing::WithParamInterface<std::tuple<ChipCase, Variant>> {};

TEST_P(DetectionTest, FillsTheMediaRecord)
{
    auto [chip_case, variant] = GetParam();
    use_board(variant);
    board->install_chip(0, nandsim::chip_geometry(chip_case.device, 0x15, 0x98));
    ASSERT_EQ(NANDInitDevice(), 1) << log();
    const ExtndMediaInfo &media = *lpThisMedia;
    bool large = chip_case.page_size == 2048;
    EXPECT_EQ(media.uType, 4);
    EXPECT_EQ(media.uFlags, 0xC0);
    EXPECT_EQ(media.ulTotalSize, chip_case.size);
    EXPECT_EQ(media.ulMediaSize, chip_case.size);
    EXPECT_EQ(media.ulChipSize, chip_case.size);
    EXPECT_EQ(media.ulBlockSize, chip_case.block_size);
    EXPECT_EQ(media.uPageSize, chip_case.page_size);
    EXPECT_EQ(media.uSpareSize, large ? 64 : 16);
    EXPECT_EQ(media.bLargePage, large ? 1 : 0);
    EXPECT_EQ(media.ucMakerId, 0x98);
    EXPECT_EQ(media.ucDeviceId, chip_case.device);
    EXPECT_EQ(media.ucIdByte4, 0x15);
    EXPECT_EQ(max_size_NAND, chip_case.size - chip_case.page_size);
    // A blank large-page chip has no LargeSmall format mark.
    EXPECT_EQ(media.bLLMode, large ? 1 : 0);
    EXPECT_EQ(media.lpDevice, large ? &devNAND2048 : &devNAND512);
    EXPECT_EQ(media.lpExtndDevice, large ? &extndDevNAND2048 : &extndDevNAND);
    EXPECT_NE(log().find(large ? "<6>NANDInitDevice : Found LL mode on Main\n"
                               : "<6>NANDInitDevice : Found SS mode on Main\n"),
              std::string::npos)
        << log();
}

INSTANTIATE_TEST_SUITE_P(EveryChip, DetectionTest,
                         ::testing::Combine(::testing::ValuesIn(kChips),
                                            ::testing::Values(Variant::PIII, Variant::Corvo)),
                         [](const ::testing::TestParamInfo<std::tuple<ChipCase, Variant>> &info) {
                             char name[32];
                             std::snprintf(name, sizeof name, "Device%02X_%s", std::get<0>(info.param).device,
                                           std::get<1>(info.param) == Variant::PIII ? "PIII" : "Corvo");
                             return std::string(name);
                         });

TEST_F(NandChipTest, AddressCyclesOfEachCommandKind)
{
    install(0, 0x76);
    ASSERT_EQ(NANDInitDevice(), 1);
    board->set_cycle_logging(true);
    NANDCommand(NAND_CMD_READ, 0x03456789);
    NANDCommand(NAND_CMD_ERASE, 0x03456789);
    NANDCommand(NAND_CMD_READ_ID, 0);
    using Seen = std::vector<std::pair<uint8_t, std::vector<uint8_t>>>;
    // Column, then three row bytes, the last masked to one bit.
    EXPECT_EQ(commands(), (Seen{{0x00, {0x89, 0xB3, 0xA2, 0x01}}, {0x60, {0xB3, 0xA2, 0x01}}, {0x90, {0x00}}}));

    install(0, 0xDA);
    ASSERT_EQ(NANDInitDevice(), 1);
    board->clear_cycles();
    NANDCommand(NAND_CMD_READ, 0x07654321);
    NANDCommand(NAND_CMD_READ_CONFIRM, 0x07654321);
    NANDCommand(NAND_CMD_RANDOM_OUTPUT, NAND_LARGE_SPARE_COLUMN);
    NANDCommand(NAND_CMD_RANDOM_OUTPUT_CONFIRM, NAND_LARGE_SPARE_COLUMN);
    NANDCommand(NAND_CMD_ERASE, 0x07654321);
    NANDCommand(NAND_CMD_STATUS, 0);
    // Column, column high to three bits, two row bytes, then a fifth cycle of 0.
    EXPECT_EQ(commands(), (Seen{{0x00, {0x21, 0x03, 0xA8, 0xEC, 0x00}},
                                {0x30, {}},
                                {0x05, {0x00, 0x08}},
                                {0xE0, {}},
                                {0x60, {0xA8, 0xEC, 0x00}},
                                {0x70, {}}}));

    install(0, 0xF1);
    ASSERT_EQ(NANDInitDevice(), 1);
    board->clear_cycles();
    NANDCommand(NAND_CMD_PROGRAM, 0x07654321);
    EXPECT_EQ(commands(), (Seen{{0x80, {0x21, 0x03, 0xA8, 0xEC}}}));
}

TEST_F(NandChipTest, FourCycleAddressReachesTheUpperHalfOfTheChip)
{
    nandsim::Chip &chip = install(0, 0x76);
    ASSERT_EQ(NANDInitDevice(), 1);
    std::vector<uint8_t> page(528, 0x5A);
    chip.write_page_raw(0x03456600 / 512, page);
    NANDCommand(NAND_CMD_RESET, 0);
    NANDCommand(NAND_CMD_READ, 0x03456600);
    for (uint8_t expected : page)
        ASSERT_EQ(_sysinp(NAND_PORT_DATA_IN), expected);
}

TEST_F(NandChipTest, SecondResetInARowIsNotSent)
{
    install(0, 0x75);
    ASSERT_EQ(NANDInitDevice(), 1);
    NANDCommand(NAND_CMD_STATUS, 0);
    board->set_cycle_logging(true);
    NANDCommand(NAND_CMD_RESET, 0);
    NANDCommand(NAND_CMD_RESET, 0);
    EXPECT_EQ(commands().size(), 1u);
    NANDCommand(NAND_CMD_STATUS, 0);
    NANDCommand(NAND_CMD_RESET, 0);
    EXPECT_EQ(commands().size(), 3u);
}

TEST_F(NandChipTest, CommandsToNoChipAreNotSent)
{
    install(0, 0x75);
    ASSERT_EQ(NANDInitDevice(), 1);
    board->set_cycle_logging(true);
    NANDCommand(NAND_CMD_READ, NAND_NO_CHIP);
    NANDCommand(NAND_CMD_ERASE_CONFIRM, NAND_NO_CHIP);
    NANDCommand(0x11, 0);
    EXPECT_TRUE(board->cycles().empty());
    EXPECT_EQ(last_addr_command, 0u);

    // The chip that was last selected still answers with its good status; it must not speak for none.
    EXPECT_EQ(NANDError(0), 0);
    EXPECT_EQ(NANDError(NAND_NO_CHIP), 1);
}

TEST_F(NandChipTest, LineStatesOfACommandOnThePIIIPort)
{
    install(0, 0x75);
    ASSERT_EQ(NANDInitDevice(), 1);
    hostkernel::set_tracing(true);
    NANDCommand(NAND_CMD_STATUS, 0);
    std::vector<uint32_t> lines;
    std::vector<uint32_t> data;
    for (const hostkernel::TraceEntry &entry : hostkernel::trace()) {
        if (entry.access == hostkernel::Access::Out32)
            lines.push_back(entry.value & 0x03800000);
        if (entry.access == hostkernel::Access::Out8 && entry.where == NAND_PORT_DATA_OUT)
            data.push_back(entry.value);
    }
    // Data phase, command latch, address latch, data phase; chip enable (bit 25) active low.
    EXPECT_EQ(lines, (std::vector<uint32_t>{0, 0x800000, 0x1000000, 0}));
    EXPECT_EQ(data, std::vector<uint32_t>{0x70});
}

TEST_F(NandChipTest, LineStatesOfACommandOnTheCorvoPortAndRegister)
{
    use_board(Variant::Corvo);
    install(0, 0x75);
    ASSERT_EQ(NANDInitDevice(), 1);
    hostkernel::set_tracing(true);
    NANDCommand(NAND_CMD_STATUS, 0);
    std::vector<uint32_t> port, reg;
    for (const hostkernel::TraceEntry &entry : hostkernel::trace()) {
        if (entry.access == hostkernel::Access::Out8 && entry.where == NAND_PORT_CONTROL)
            port.push_back(entry.value);
        if (entry.access == hostkernel::Access::RegisterWrite && entry.where == nandsim::kRegisterFlash)
            reg.push_back(entry.value & 7);
    }
    EXPECT_EQ(port, (std::vector<uint32_t>{1, 3, 5, 1}));
    EXPECT_EQ(reg, (std::vector<uint32_t>{0, 2, 4, 0}));
}

TEST_F(NandChipTest, ChipsThatAreReadyAtOnce)
{
    board->set_timing({0, 0, 0, 0});
    nandsim::Chip &chip = install(0, 0xF1);
    chip.write_page_raw(0, with_format_mark(chip));
    ASSERT_EQ(NANDInitDevice(), 1);
    EXPECT_EQ(lpThisMedia->bLLMode, 0);
    NANDCommand(NAND_CMD_ERASE, 0);
    NANDCommand(NAND_CMD_ERASE_CONFIRM, 0);
    EXPECT_EQ(NANDError(0), 0);
    EXPECT_TRUE(chip.block_blank(0));
}

TEST_F(NandChipTest, StatusFailureAndBusyChipAreErrors)
{
    nandsim::Chip &chip = install(0, 0x75);
    ASSERT_EQ(NANDInitDevice(), 1);
    EXPECT_EQ(NANDError(0), 0);
    chip.failing_erase_blocks.insert(0);
    NANDCommand(NAND_CMD_ERASE, 0);
    NANDCommand(NAND_CMD_ERASE_CONFIRM, 0);
    EXPECT_EQ(NANDError(0), 1);
    NANDCommand(NAND_CMD_RESET, 0);
    EXPECT_EQ(NANDError(0), 0);
    chip.hang = true;
    NANDCommand(NAND_CMD_ERASE, 0x4000);
    NANDCommand(NAND_CMD_ERASE_CONFIRM, 0x4000);
    EXPECT_EQ(NANDError(0x4000), 1);
}

TEST_F(NandChipTest, RefusedAndUnknownChips)
{
    for (uint8_t device : {0xEA, 0x64, 0x12}) {
        use_board(Variant::PIII);
        install(0, device);
        EXPECT_EQ(NANDInitDevice(), 0) << int(device);
    }
    use_board(Variant::PIII);
    install(0, 0xF1, 0x14);
    EXPECT_EQ(NANDInitDevice(), 0);
    use_board(Variant::PIII);
    install(0, 0xDA, 0x16);
    EXPECT_EQ(NANDInitDevice(), 0);
    use_board(Variant::PIII);
    EXPECT_EQ(NANDInitDevice(), 0);
}

TEST_F(NandChipTest, UnknownBoardFailsWithALogLine)
{
    use_board(Variant::Unknown);
    install(0, 0x75);
    EXPECT_EQ(NANDInitDevice(), 0);
    EXPECT_EQ(log(), "<3>NANDInitDevice : unknown board variant 0x55, no flash on Main\n");
    EXPECT_EQ(UpdateFlashSignals, nullptr);
}

TEST_F(NandChipTest, LargeSmallFormatMarkChoosesTheMode)
{
    nandsim::Chip &chip = install(0, 0xF1);
    chip.write_page_raw(0, with_format_mark(chip));
    ASSERT_EQ(NANDInitDevice(), 1);
    EXPECT_EQ(lpThisMedia->bLLMode, 0);
    EXPECT_EQ(lpThisMedia->lpDevice, &devNAND512);
    EXPECT_EQ(lpThisMedia->lpExtndDevice, &extndDevNAND);
    EXPECT_NE(log().find("<7>NANDIsLargeSmall: Returned Address : 0x00000000\n"), std::string::npos);
    EXPECT_NE(log().find("<6>NANDInitDevice : Found LS mode on Main\n"), std::string::npos) << log();
}

TEST_F(NandChipTest, ForcedLayoutOverridesTheMark)
{
    EXPECT_EQ(hostkernel::module_param_description("force_ll"),
              "Forces Format Mode for LP chips : AutoDetect=0 LargeLarge=1 or LargeSmall=2");
    nandsim::Chip &chip = install(0, 0xDA);
    chip.write_page_raw(0, with_format_mark(chip));
    ASSERT_TRUE(hostkernel::set_module_param("force_ll", "1"));
    ASSERT_EQ(NANDInitDevice(), 1);
    EXPECT_EQ(lpThisMedia->bLLMode, 1);

    install(0, 0xDA);
    ASSERT_TRUE(hostkernel::set_module_param("force_ll", "2"));
    ASSERT_EQ(NANDInitDevice(), 1);
    EXPECT_EQ(lpThisMedia->bLLMode, 0);
    EXPECT_NE(log().find("Found LS mode on Main"), std::string::npos);
}

TEST_F(NandChipTest, AllocationFailureFailsLargePageDetection)
{
    install(0, 0xF1);
    hostkernel::fail_allocations_after(0);
    EXPECT_EQ(NANDInitDevice(), 0);
}

// The bad-block manager's working header of chunk 0 on a 128 MB chip, as NANDmapblock reads it.
std::vector<uint8_t> header_page(bool signature, std::initializer_list<std::pair<unsigned, uint32_t>> entries)
{
    std::vector<uint8_t> page(2112, 0xFF);
    auto put = [&page](unsigned offset, uint32_t value, unsigned bytes) {
        for (unsigned i = 0; i < bytes; ++i)
            page[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    };
    const uint8_t bytes[8] = {0xDB, 0xC0, 0x95, 0x77, 0x7A, 0x5C, 0xF7, 0x2C};
    for (unsigned i = 0; i < 8; ++i)
        page[i] = signature ? bytes[i] : 0x00;
    page[1] ^= 0x01; // two damaged signature bytes are still a signature
    page[6] ^= 0x80;
    const uint32_t count = 1000 | 0x80000000; // good blocks, with the bit that makes the ones odd
    put(8, count, 4);
    put(16, count, 4);
    put(12, 0x0000, 2); // block size 0x20000 in low and high halves, and their copies
    put(20, 0x0000, 2);
    put(28, 0x0002, 2);
    put(30, 0x0002, 2);
    put(14, 0x0000, 2); // working copy
    put(22, 512, 2);
    for (auto [index, value] : entries)
        put(32 + 4 * index, value, 4);
    return page;
}

TEST_F(NandChipTest, MovedBlockZeroDecidesTheLayout)
{
    nandsim::Chip &chip = install(0, 0xF1);
    const uint32_t block = 0x20000, size = 0x8000000, pages_per_block = 64;
    // Chunk 0's working header at the second-highest block: entries 3 and 5 replaced block 0 in turn.
    chip.write_page_raw((size / block - 2) * pages_per_block,
                        header_page(true, {{0, 0x7FFFFFFF}, {1, 0x7FFFFFFF}, {3, 0}, {5, 0x80000000}}));
    uint32_t moved = size - 6 * block;
    std::vector<uint8_t> page = chip.read_page(moved / 2048);
    page[509] = page[510] = page[511] = 0x7F;
    chip.write_page_raw(moved / 2048, page);
    ASSERT_EQ(NANDInitDevice(), 1);
    EXPECT_EQ(lpThisMedia->bLLMode, 0);
    EXPECT_NE(log().find("<7>NANDmapblock: Returned Address : 0x07f40000 i=13 ulStart=07fc0000\n"),
              std::string::npos)
        << log();
    EXPECT_NE(log().find("<7>NANDIsLargeSmall: Returned Address : 0x07f40000\n"), std::string::npos);
}

TEST_F(NandChipTest, InvalidHeaderMovesNothing)
{
    std::vector<uint8_t> no_signature = header_page(false, {{5, 0x80000000}});
    std::vector<uint8_t> no_block_size = header_page(true, {{5, 0x80000000}});
    std::fill(no_block_size.begin() + 12, no_block_size.begin() + 14, 0xFF);
    std::fill(no_block_size.begin() + 20, no_block_size.begin() + 22, 0xFF);
    for (const auto &header : {no_signature, no_block_size}) {
        hostkernel::clear_log();
        nandsim::Chip &chip = install(0, 0xF1);
        chip.write_page_raw((0x8000000 / 0x20000 - 2) * 64, header);
        chip.write_page_raw(0, with_format_mark(chip));
        ASSERT_EQ(NANDInitDevice(), 1);
        EXPECT_EQ(lpThisMedia->bLLMode, 0);
        EXPECT_EQ(log().find("NANDmapblock"), std::string::npos);
        EXPECT_NE(log().find("<7>NANDIsLargeSmall: Returned Address : 0x00000000\n"), std::string::npos);
    }
}

TEST_F(NandChipTest, DetectionProbesInOrder)
{
    using Seen = std::vector<std::pair<uint8_t, std::vector<uint8_t>>>;
    board->set_cycle_logging(true);
    install(0, 0x75);
    ASSERT_EQ(NANDInitDevice(), 1);
    // Identification; a page read at the page size and at the end of the first block; the spare of page
    // 0; the closing reset.
    EXPECT_EQ(commands(), (Seen{{0xFF, {}},
                                {0x90, {0x00}},
                                {0xFF, {}},
                                {0x00, {0x00, 0x01, 0x00}},
                                {0xFF, {}},
                                {0x00, {0x00, 0x1F, 0x00}},
                                {0x50, {0x00, 0x00, 0x00}},
                                {0xFF, {}}}));

    use_board(Variant::PIII);
    board->set_cycle_logging(true);
    install(0, 0xF1);
    ASSERT_EQ(NANDInitDevice(), 1);
    std::vector<uint8_t> sent;
    for (const auto &command : commands())
        sent.push_back(command.first);
    // The same probes with read confirms and a random output to the spare, then the header of the bad-block
    // manager's first chunk and page 0 for the layout.
    EXPECT_EQ(sent, (std::vector<uint8_t>{0xFF, 0x90, 0xFF, 0x00, 0x30, 0xFF, 0x00, 0x30, 0x00, 0x30, 0x05, 0xE0,
                                          0xFF, 0x00, 0x30, 0xFF, 0x00, 0x30, 0xFF}));
}

TEST_F(NandChipTest, ReadyProbesOnThePIIIBoard)
{
    nandsim::Chip &chip = install(0, 0x75);
    ASSERT_EQ(NANDInitDevice(), 1);
    EXPECT_EQ(lpThisMedia->bWaitPageEnd, 1);
    EXPECT_EQ(lpThisMedia->bWaitBlockEnd, 1);

    chip.reads_across_blocks = false;
    ASSERT_EQ(NANDInitDevice(), 1);
    EXPECT_EQ(lpThisMedia->bWaitPageEnd, 1);
    EXPECT_EQ(lpThisMedia->bWaitBlockEnd, 0);

    install(0, 0xF1);
    ASSERT_EQ(NANDInitDevice(), 1);
    EXPECT_EQ(lpThisMedia->bWaitPageEnd, 0);
    EXPECT_EQ(lpThisMedia->bWaitBlockEnd, 0);
}

TEST_F(NandChipTest, ReadyProbesOnTheCorvoBoardSeeTheReadyLevel)
{
    use_board(Variant::Corvo);
    install(0, 0xF1);
    ASSERT_EQ(NANDInitDevice(), 1);
    EXPECT_EQ(lpThisMedia->bWaitPageEnd, 1);
    EXPECT_EQ(lpThisMedia->bWaitBlockEnd, 1);
}

TEST_F(NandChipTest, ExtensionChipsAreLaidOneAfterTheOther)
{
    use_board(Variant::Corvo);
    install(0, 0x76);
    install(1, 0x75);
    install(3, 0x75);
    select_drive(1);
    ASSERT_EQ(NANDInitDevice(), 1) << log();
    EXPECT_EQ(lpThisMedia->ulTotalSize, 0x4000000u);
    EXPECT_EQ(lpThisMedia->ulChipSize, 0x2000000u);
    EXPECT_EQ(FlashAccess[0].ulStart, 0u);
    EXPECT_EQ(FlashAccess[0].ulEnd, 0x1FFFFFFu);
    EXPECT_EQ(FlashAccess[0].ucSelect, 1);
    EXPECT_EQ(FlashAccess[1].ulStart, 0x2000000u);
    EXPECT_EQ(FlashAccess[1].ulEnd, 0x3FFFFFFu);
    EXPECT_EQ(FlashAccess[1].ucSelect, 3);
    EXPECT_EQ(FlashAccess[2].ucSelect, 0xFF);
    EXPECT_NE(log().find("<6>NANDInitDevice : Found SS mode on XMEM\n"), std::string::npos);

    hostkernel::set_tracing(true);
    EXPECT_EQ(NANDSelectDevice(0x2000005), 5u);
    EXPECT_EQ(hostkernel::trace().back(), (hostkernel::TraceEntry{hostkernel::Access::Out8, 0x400, 3}));
    hostkernel::clear_trace();
    EXPECT_EQ(NANDSelectDevice(0x4000000), NAND_NO_CHIP);
    EXPECT_TRUE(hostkernel::trace().empty());

    // A later detection forgets the chips it no longer finds.
    board->remove_chip(3);
    ASSERT_EQ(NANDInitDevice(), 1);
    EXPECT_EQ(lpThisMedia->ulTotalSize, 0x2000000u);
    EXPECT_EQ(FlashAccess[1].ucSelect, 0xFF);
    EXPECT_EQ(NANDSelectDevice(0x2000005), NAND_NO_CHIP);

    select_drive(0);
    EXPECT_EQ(NANDSelectDevice(0x123456), 0x123456u);
    EXPECT_EQ(hostkernel::trace().back(), (hostkernel::TraceEntry{hostkernel::Access::Out8, 0x400, 0}));
}

TEST_F(NandChipTest, ExtensionChipUnlikeTheFirstIsRefused)
{
    use_board(Variant::Corvo);
    install(1, 0x75);
    install(2, 0x73);
    install(3, 0x75);
    select_drive(1);
    ASSERT_EQ(NANDInitDevice(), 1);
    EXPECT_EQ(lpThisMedia->ulTotalSize, 0x4000000u);
    EXPECT_EQ(FlashAccess[1].ucSelect, 3);
    EXPECT_NE(log().find("<3>NANDInitDevice : chip 0x73 at select 2 differs from the first chip 0x75 of XMEM, "
                         "refused\n"),
              std::string::npos)
        << log();
}

TEST_F(NandChipTest, ExtensionChipsOfTheSameGeometryShareTheDrive)
{
    use_board(Variant::Corvo);
    install(1, 0xE5);
    install(2, 0x6B);
    select_drive(1);
    ASSERT_EQ(NANDInitDevice(), 1);
    EXPECT_EQ(lpThisMedia->ulTotalSize, 0x800000u);
    EXPECT_EQ(FlashAccess[1].ucSelect, 2);
    EXPECT_EQ(lpThisMedia->ucDeviceId, 0x6B);
    EXPECT_EQ(log().find("refused"), std::string::npos) << log();
}

TEST_F(NandChipTest, DriveOneNeedsTheExtensionMemory)
{
    use_board(Variant::Corvo);
    install(0, 0x75);
    select_drive(1);
    EXPECT_EQ(NANDInitDevice(), 0);
    use_board(Variant::PIII);
    install(1, 0x75);
    select_drive(1);
    EXPECT_EQ(NANDInitDevice(), 0);
}

} // namespace
