// Page reads with correction, tags and hidden areas in the three page layouts, spare programs that
// fail, erase checks and the translation layer's requests to move or upgrade a block.
#include "media/tests/stack.h"

#include "hostkernel/host.h"

#include <algorithm>

namespace {

using namespace stacktest;

class NandOpsTest : public StackTest {
protected:
    uint32_t page_of(uint32_t address) { return address / lpThisMedia->uPageSize; }
    uint32_t spare_column(uint32_t address)
    {
        return lpThisMedia->uPageSize + address % lpThisMedia->uPageSize / 512 * 16;
    }

    // Writes tags at consecutive hidden addresses of one unit and reads them back.
    void round_trip_tags(uint32_t unit, unsigned count)
    {
        lpThisMedia->bUseVBFEcc = 1;
        std::vector<uint8_t> tags(4 * count);
        for (unsigned k = 0; k < count; k++) {
            tags[4 * k] = static_cast<uint8_t>(k + 1);
            tags[4 * k + 1] = 0x40;
            tags[4 * k + 2] = static_cast<uint8_t>(0x10 * k);
            tags[4 * k + 3] = 0x0C;
        }
        ASSERT_EQ(oemwrite(unit, static_cast<uint16_t>(tags.size()), tags.data(), ACCESS_TYPE_HIDDEN), 1);
        std::vector<uint8_t> back(tags.size() + 4, 0xEE);
        ASSERT_EQ(oemread(unit, static_cast<uint16_t>(back.size()), back.data(), ACCESS_TYPE_HIDDEN), 1);
        EXPECT_TRUE(std::equal(tags.begin(), tags.end(), back.begin()));
        // The read stops at the first unwritten tag, which it hands back.
        EXPECT_EQ(back[tags.size()], 0xFF);
    }
};

TEST_F(NandOpsTest, ReadOfPartSectorsFailsBeforeTouchingTheChip)
{
    formatted(kSmall64);
    hostkernel::set_tracing(true);
    hostkernel::clear_trace();
    uint8_t buffer[512];
    EXPECT_EQ(NANDRead(0, 100, buffer), 0);
    EXPECT_EQ(NANDRead(100, 512, buffer), 0);
    EXPECT_TRUE(hostkernel::trace().empty());
}

TEST_F(NandOpsTest, OneFlippedBitIsCorrectedAndReportedAsSoftError)
{
    nandsim::Chip &chip = formatted(kSmall64);
    const uint32_t address = 33 * kSmallBlock + 3 * 512;
    const std::vector<uint8_t> data = write_sector(address, 7);
    chip.flip_bit(page_of(address), 77, 3);
    std::vector<uint8_t> back(512);
    lpThisMedia->bECCHasCorrectedData = 0;
    EXPECT_EQ(oemread(address, 512, back.data(), ACCESS_TYPE_ECC), 0);
    EXPECT_EQ(lpThisMedia->bECCHasCorrectedData, 1);
    EXPECT_EQ(back, data);
    EXPECT_NE(hostkernel::log_text().find("<4>[Flash NAND] Error in byte# 0077 Read: 0x"), std::string::npos);
}

TEST_F(NandOpsTest, TwoFlippedBitsAreAbandoned)
{
    nandsim::Chip &chip = formatted(kLarge128);
    const uint32_t address = 5 * kLargeBlock + 2048 + 1024;
    write_sector(address, 8);
    chip.flip_bit(page_of(address), 1024 + 10, 0);
    chip.flip_bit(page_of(address), 1024 + 11, 5);
    std::vector<uint8_t> back(512);
    lpThisMedia->bECCHasCorrectedData = 1;
    EXPECT_EQ(oemread(address, 512, back.data(), ACCESS_TYPE_ECC), 0);
    EXPECT_EQ(lpThisMedia->bECCHasCorrectedData, 0);
    EXPECT_NE(hostkernel::log_text().find("<3>[Flash NAND] CheckECC Status : DATA_INVALID --> ABANDONNED!!\n"),
              std::string::npos);
    EXPECT_NE(hostkernel::log_text().find("<4>oemreadFailed type=4 ulStart=0xa0c00 uLength=0x200 bUseECC=1 bUseVBFEcc=0\n"),
              std::string::npos);
    EXPECT_EQ(lpThisMedia->bUseECC, 0);
}

TEST_F(NandOpsTest, SectorWrittenWithoutCodeIsNotChecked)
{
    nandsim::Chip &chip = formatted(kSmall64);
    const uint32_t address = 34 * kSmallBlock;
    std::vector<uint8_t> data = pattern(512, 9);
    ASSERT_EQ(oemwrite(address, 512, data.data(), ACCESS_TYPE_DATA), 1);
    EXPECT_EQ(raw_spare(address), std::vector<uint8_t>(16, 0xFF));
    chip.flip_bit(page_of(address), 0, 0);
    data[0] ^= 1;
    std::vector<uint8_t> back(512);
    EXPECT_EQ(oemread(address, 512, back.data(), ACCESS_TYPE_ECC), 1);
    EXPECT_EQ(back, data);
}

TEST_F(NandOpsTest, EccWritesBuildTheSpareOfEachSector)
{
    formatted(kLarge128, 2);
    const uint32_t address = 6 * kLargeBlock + 1024;
    write_sector(address, 3);
    const std::vector<uint8_t> spare = raw_spare(address);
    EXPECT_EQ(le32(spare, 4), 0x0FFFFFFFu);
    EXPECT_EQ(spare[11], 0xFF);
    EXPECT_EQ(spare[15], 0xFF);
    EXPECT_EQ(raw_spare(address - 512), std::vector<uint8_t>(16, 0xFF));
}

TEST_F(NandOpsTest, TagsRoundTripOnSmallPages)
{
    formatted(kSmall64);
    round_trip_tags(40 * kSmallBlock, 9);
    // Tag k lives in the spare of sector k of the unit.
    EXPECT_EQ(raw_spare(40 * kSmallBlock + 2 * 512)[0], 3);
}

TEST_F(NandOpsTest, TagsRoundTripInLargeSmallMode)
{
    formatted(kLarge128, 2);
    ASSERT_EQ(lpThisMedia->lpDevice, &devNAND512);
    round_trip_tags(7 * kLargeBlock, 9);
    EXPECT_EQ(raw_spare(7 * kLargeBlock + 5 * 512)[0], 6);
}

TEST_F(NandOpsTest, TagsRoundTripInLargeLargeMode)
{
    formatted(kLarge128);
    ASSERT_EQ(lpThisMedia->lpDevice, &devNAND2048);
    round_trip_tags(8 * kLargeBlock, 9);
    // One tag per page, in the first bytes of the page's spare.
    EXPECT_EQ(raw_spare(8 * kLargeBlock + 4 * 2048)[0], 5);
    EXPECT_EQ(raw_spare(8 * kLargeBlock + 4 * 2048 + 512)[0], 0xFF);
}

TEST_F(NandOpsTest, DamagedTagIsCorrectedOnRead)
{
    nandsim::Chip &chip = formatted(kSmall64);
    lpThisMedia->bUseVBFEcc = 1;
    const uint32_t unit = 41 * kSmallBlock;
    const uint8_t tag[4] = {0x5A, 0x01, 0x22, 0x0C};
    ASSERT_EQ(oemwrite(unit, 4, tag, ACCESS_TYPE_HIDDEN), 1);
    chip.flip_bit(page_of(unit), 512 + 0, 4);
    uint8_t back[4];
    lpThisMedia->bECCHasCorrectedData = 0;
    EXPECT_EQ(oemread(unit, 4, back, ACCESS_TYPE_HIDDEN), 1);
    EXPECT_TRUE(std::equal(tag, tag + 4, back));
    EXPECT_EQ(lpThisMedia->bECCHasCorrectedData, 1);
    EXPECT_NE(hostkernel::log_text().find("<3>NANDHiddenRead: Failed NANDRedundantRead at @=0xa4000\n"),
              std::string::npos);
}

TEST_F(NandOpsTest, FailingSpareProgramMovesTheBlockAndWritesTheTagThere)
{
    nandsim::Chip &chip = formatted(kLarge128, 2);
    lpThisMedia->bUseVBFEcc = 1;
    const uint32_t unit = 9 * kLargeBlock;
    const std::vector<uint8_t> data = write_sector(unit + 2048, 4);
    const uint8_t first[4] = {0x01, 0x00, 0x00, 0x0C};
    ASSERT_EQ(oemwrite(unit, 4, first, ACCESS_TYPE_HIDDEN), 1);
    chip.failing_program_blocks.insert(9);
    const uint8_t second[4] = {0x02, 0x00, 0x00, 0x0C};
    EXPECT_EQ(oemwrite(unit + 4, 4, second, ACCESS_TYPE_HIDDEN), 1);
    EXPECT_NE(hostkernel::log_text().find("<3>[Flash NAND] Write Spare Failed -> Process Bad Block for page 0x"),
              std::string::npos);
    EXPECT_NE(bbmmapblock(unit), unit);
    uint8_t back[12];
    EXPECT_EQ(oemread(unit, 12, back, ACCESS_TYPE_HIDDEN), 1);
    EXPECT_TRUE(std::equal(first, first + 4, back));
    EXPECT_TRUE(std::equal(second, second + 4, back + 4));
    std::vector<uint8_t> sector(512);
    EXPECT_EQ(oemread(unit + 2048, 512, sector.data(), ACCESS_TYPE_ECC), 1);
    EXPECT_EQ(sector, data);
}

// A tag or a page changed in place (a state step only clears bits) whose program fails: its block
// moves, and a cut at any point of the move leaves it as it was or as it became, never unwritten: a tag
// would end its list there and lose every later one, a page would lose a unit header.
TEST_F(NandOpsTest, CutWhileAFailingChangeInPlaceMovesItsBlockKeepsTheOldBytes)
{
    struct Change {
        uint16_t type;
        std::vector<uint8_t> old, changed; // written over the first bytes of old
    };
    std::vector<uint8_t> header = pattern(512, 7), cleared = header;
    cleared[42] &= 0x1F;
    const Change changes[] = {{ACCESS_TYPE_HIDDEN, {0x01, 0x00, 0x00, 0xCC, 0x02, 0x00, 0x00, 0xCC}, {0x01, 0x00, 0x00, 0x8C}},
                              {ACCESS_TYPE_RAW, header, cleared}};
    const uint32_t unit = 63 * kSmallBlock;
    for (const Change &c : changes) {
        SCOPED_TRACE(c.type == ACCESS_TYPE_HIDDEN ? "tag" : "page");
        auto change = [&](unsigned cut) {
            nandsim::Chip &chip = formatted(kSmall64);
            lpThisMedia->bUseVBFEcc = 1;
            EXPECT_EQ(oemwrite(unit, static_cast<uint16_t>(c.old.size()), c.old.data(), c.type), 1);
            chip.transient_program_failures[63] = 1;
            const unsigned start = chip.programs + chip.erases;
            if (cut)
                board->cut_power_after(cut, 0.5);
            oemwrite(unit, static_cast<uint16_t>(c.changed.size()), c.changed.data(), c.type);
            return chip.programs + chip.erases - start;
        };
        const unsigned steps = change(0);
        ASSERT_NE(bbmmapblock(unit), unit);
        ASSERT_GT(steps, 3u);
        std::vector<uint8_t> after = c.old;
        std::copy(c.changed.begin(), c.changed.end(), after.begin());
        for (unsigned cut = 1; cut <= steps; cut++) {
            SCOPED_TRACE("power cut at operation " + std::to_string(cut));
            change(cut);
            ASSERT_TRUE(remount());
            lpThisMedia->bUseVBFEcc = 1;
            std::vector<uint8_t> back(c.old.size());
            ASSERT_EQ(oemread(unit, static_cast<uint16_t>(back.size()), back.data(), c.type), 1);
            EXPECT_TRUE(back == c.old || back == after);
        }
    }
}

TEST_F(NandOpsTest, TagAndCodeInOneSpareBothSurviveTheMoveOfTheirBlock)
{
    nandsim::Chip &chip = formatted(kSmall64);
    lpThisMedia->bUseVBFEcc = 1;
    const uint32_t unit = 61 * kSmallBlock;
    // Sector 2 gets its tag first, then its data fails to program.
    const uint8_t tag[4] = {0x03, 0x00, 0x00, 0x0C};
    ASSERT_EQ(oemwrite(unit + 8, 4, tag, ACCESS_TYPE_HIDDEN), 1);
    chip.failing_program_blocks.insert(61);
    const std::vector<uint8_t> data = write_sector(unit + 2 * 512, 1);
    chip.failing_program_blocks.clear();
    ASSERT_NE(bbmmapblock(unit), unit);
    uint8_t back[4];
    EXPECT_EQ(oemread(unit + 8, 4, back, ACCESS_TYPE_HIDDEN), 1);
    EXPECT_TRUE(std::equal(tag, tag + 4, back));
    EXPECT_TRUE(reads_back(unit + 2 * 512, data));

    // Sector 3 gets its data first, then its tag fails to program: the data keeps its code.
    const uint32_t other = 62 * kSmallBlock;
    const std::vector<uint8_t> more = write_sector(other + 3 * 512, 2);
    chip.failing_program_blocks.insert(62);
    ASSERT_EQ(oemwrite(other + 12, 4, tag, ACCESS_TYPE_HIDDEN), 1);
    const uint32_t moved = bbmmapblock(other);
    ASSERT_NE(moved, other);
    EXPECT_EQ(raw_spare(moved + 3 * 512)[7], 0x0F);
    EXPECT_TRUE(reads_back(other + 3 * 512, more));
    EXPECT_EQ(oemread(other + 12, 4, back, ACCESS_TYPE_HIDDEN), 1);
    EXPECT_TRUE(std::equal(tag, tag + 4, back));
}

TEST_F(NandOpsTest, EraseCheckFindsABlockThatStaysProgrammed)
{
    nandsim::Chip &chip = formatted(kSmall64);
    const uint32_t block = 44 * kSmallBlock;
    chip.add_stuck_bit({page_of(block), 512 + 9, 2, false});
    VerifyErase = 1;
    EXPECT_EQ(oemerase(block, kSmallBlock), 1);
    EXPECT_NE(hostkernel::log_text().find("<3>NANDEraseFailed erase check at 0x9\n"), std::string::npos);
    EXPECT_NE(bbmmapblock(block), block);
    std::vector<uint8_t> spare(16);
    EXPECT_EQ(oemread(block, 16, spare.data(), ACCESS_TYPE_SPARE), 1);
    EXPECT_EQ(spare, std::vector<uint8_t>(16, 0xFF));
}

TEST_F(NandOpsTest, TranslationLayerMovesABlockWithAMendedSector)
{
    formatted(kLarge128, 2);
    const uint32_t page = 11 * kLargeBlock;
    std::vector<uint8_t> mended = write_sector(page, 1);
    const std::vector<uint8_t> neighbour = write_sector(page + 512, 2);
    const std::vector<uint8_t> later = write_sector(page + 4 * 2048, 3);
    mended[5] ^= 0x21;
    mended[400] ^= 0x84;
    ASSERT_EQ(oemprocessbadblock(1, mended.data(), page), 1);
    EXPECT_NE(bbmmapblock(page), page);
    // The mended sector reads back through its code.
    std::vector<uint8_t> back(512);
    EXPECT_EQ(oemread(page, 512, back.data(), ACCESS_TYPE_ECC), 1);
    EXPECT_EQ(back, mended);
    EXPECT_EQ(oemread(page + 512, 512, back.data(), ACCESS_TYPE_ECC), 1);
    EXPECT_EQ(back, neighbour);
    EXPECT_EQ(oemread(page + 4 * 2048, 512, back.data(), ACCESS_TYPE_ECC), 1);
    EXPECT_EQ(back, later);
}

TEST_F(NandOpsTest, TranslationLayerMovesABlockAsItIs)
{
    formatted(kSmall64);
    const uint32_t block = 45 * kSmallBlock;
    const std::vector<uint8_t> data = write_sector(block, 1);
    ASSERT_EQ(oemprocessbadblock(0, data.data(), block), 1);
    EXPECT_NE(bbmmapblock(block), block);
    std::vector<uint8_t> back(512);
    EXPECT_EQ(oemread(block, 512, back.data(), ACCESS_TYPE_ECC), 1);
    EXPECT_EQ(back, data);
}

TEST_F(NandOpsTest, OldFormatCodeTagIsUpgraded)
{
    nandsim::Chip &chip = formatted(kSmall64);
    const uint32_t address = 46 * kSmallBlock;
    std::vector<uint8_t> page = chip.read_page(page_of(address));
    const uint8_t old[16] = {0x07, 0x00, 0x00, 0x8C, 0xFF, 0xFF, 0xFF, 0x7F,
                             0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    std::copy(old, old + 16, page.begin() + 512);
    chip.write_page_raw(page_of(address), page);
    EXPECT_EQ(oemupgradeECCtag(address), 1);
    const std::vector<uint8_t> spare = raw_spare(address);
    EXPECT_EQ(spare[7], 0x0F);
    EXPECT_EQ(spare[0], 0x07);
    EXPECT_NE(spare[4], 0xFF);
}

TEST_F(NandOpsTest, FailingUpgradeOfAReplacementMovesItForItsClientBlock)
{
    nandsim::Chip &chip = formatted(kSmall64);
    const uint32_t address = 47 * kSmallBlock;
    const std::vector<uint8_t> data = write_sector(address, 1);
    chip.failing_program_blocks.insert(47);
    const std::vector<uint8_t> more = write_sector(address + 512, 2);
    const uint32_t replacement = bbmmapblock(address);
    ASSERT_EQ(replacement, kSmallTotal - 3 * kSmallBlock);
    // The replacement's first spare as an older format left it, and the replacement fails to program.
    std::vector<uint8_t> page = chip.read_page(page_of(replacement));
    page[512 + 7] = 0x7F;
    chip.write_page_raw(page_of(replacement), page);
    chip.failing_program_blocks.insert(replacement / kSmallBlock);
    EXPECT_EQ(oemupgradeECCtag(address), 1);
    const uint32_t moved = bbmmapblock(address);
    EXPECT_NE(moved, replacement);
    EXPECT_EQ(raw_spare(moved)[7], 0x0F);
    EXPECT_TRUE(reads_back(address, data));
    EXPECT_TRUE(reads_back(address + 512, more));
}

TEST_F(NandOpsTest, TestAidsReportCorrectionsThatDidNotHappen)
{
    formatted(kSmall64);
    const uint32_t address = 47 * kSmallBlock;
    const std::vector<uint8_t> first = write_sector(address, 1);
    write_sector(address + 512, 2);
    std::vector<uint8_t> back(1024);
    lpThisMedia->uProcData = 1;
    EXPECT_EQ(oemread(address, 1024, back.data(), ACCESS_TYPE_ECC), 0);
    EXPECT_EQ(lpThisMedia->bECCHasCorrectedData, 1);
    EXPECT_EQ(lpThisMedia->uProcData, 0);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), back.begin()));

    lpThisMedia->bUseVBFEcc = 1;
    const uint8_t tag[4] = {0x01, 0x00, 0x00, 0x0C};
    ASSERT_EQ(oemwrite(address, 4, tag, ACCESS_TYPE_HIDDEN), 1);
    gDbgGenECCVBFCorrectedData = address;
    lpThisMedia->bECCHasCorrectedData = 0;
    uint8_t spare[16];
    EXPECT_EQ(oemread(address, 16, spare, ACCESS_TYPE_SPARE), 0);
    EXPECT_EQ(lpThisMedia->bECCHasCorrectedData, 1);
    EXPECT_EQ(gDbgGenECCVBFCorrectedData, 0u);
    EXPECT_NE(hostkernel::log_text().find("<7>NANDRedundantRead: Ok force error to see what will happen"),
              std::string::npos);
}

} // namespace

TEST_F(NandOpsTest, ProgramOnAnotherChipAfterASpareReadLandsInItsDataArea)
{
    // Drive 1 of three 32 MB chips: the middle one is touched by neither the mount nor its table.
    use_board(nandsim::Variant::Corvo);
    reset_stack();
    board->set_xmem_fitted(true);
    install(1, 0x75);
    nandsim::Chip &middle = install(2, 0x75);
    install(3, 0x75);
    uint16_t drives = 0;
    ASSERT_EQ(oeminit(0, &drives), 1);
    ASSERT_EQ(uCurrentDrive, 1);
    ASSERT_TRUE(remount());
    // A spare read on the first chip ends with a reset; the program that follows is on the middle chip.
    uint8_t spare[16];
    ASSERT_EQ(oemread(0, 16, spare, ACCESS_TYPE_SPARE), 1);
    const uint32_t address = 0x2000000 + 5 * kSmallBlock;
    const std::vector<uint8_t> data = write_sector(address, 9);
    const std::vector<uint8_t> page = middle.read_page(5 * kSmallBlock / 512);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), page.begin()));
    EXPECT_TRUE(reads_back(address, data));
}

TEST_F(NandOpsTest, MendedSectorReachesTheReplacementTheBlockEndsIn)
{
    nandsim::Chip &chip = formatted(kSmall64);
    const uint32_t block = 46 * kSmallBlock;
    std::vector<uint8_t> mended = write_sector(block, 1);
    const std::vector<uint8_t> later = write_sector(block + 3 * 512, 2);
    mended[7] ^= 0x10;
    // The first replacement (entry 2) is erased and takes the mended sector and its spare, then fails
    // while the rest of the block is copied to it.
    unsigned changes = 0;
    chip.before_change = [&](double &) {
        if (++changes == 4)
            chip.failing_program_blocks.insert(4096 - 3);
        return true;
    };
    ASSERT_EQ(oemprocessbadblock(1, mended.data(), block), 1);
    chip.before_change = nullptr;
    EXPECT_EQ(bbmmapblock(block), kSmallTotal - 4 * kSmallBlock);
    EXPECT_TRUE(reads_back(block, mended));
    EXPECT_TRUE(reads_back(block + 3 * 512, later));
}
