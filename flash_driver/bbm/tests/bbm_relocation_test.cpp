// Failing programs and erases in client blocks: the replacement, its entry, the old block's mark, the
// data read back; and a reserve that runs out.
#include "media/tests/stack.h"

#include "hostkernel/host.h"

namespace {

using namespace stacktest;

class BbmRelocationTest : public StackTest {
protected:
    uint32_t working_entry(uint32_t total, uint32_t bs, uint32_t index)
    {
        return le32(raw_sector(total - 2 * bs), 32 + 4 * index);
    }
};

TEST_F(BbmRelocationTest, FailingProgramMovesTheBlockWithItsWrittenPages)
{
    nandsim::Chip &chip = formatted(kSmall64);
    const uint32_t block = 7 * kSmallBlock;
    const std::vector<uint8_t> first = write_sector(block, 1);
    const std::vector<uint8_t> second = write_sector(block + 512, 2);
    uint8_t tag[4] = {0x12, 0x34, 0x56, 0x08};
    ASSERT_EQ(oemwrite(block + 1024, 4, tag, ACCESS_TYPE_SPARE), 0) << "spare writes carry 16 bytes";
    chip.failing_program_blocks.insert(7);

    const std::vector<uint8_t> third = write_sector(block + 1024, 3);
    const std::string log = hostkernel::log_text();
    EXPECT_NE(log.find("<3>[Flash NAND] Write Failed -> Process Bad Block for page 0x0001c400\n"), std::string::npos);
    EXPECT_NE(log.find("<4>[Flash NAND] Bad Block copied to 0x03ff4000\n"), std::string::npos);

    // Entry 2 of chunk 0 (the block below the header pair) now replaces client block 7.
    EXPECT_EQ(working_entry(kSmallTotal, kSmallBlock, 2), 0x80000007u);
    EXPECT_EQ(bbmmapblock(block + 512), kSmallTotal - 3 * kSmallBlock + 512);
    // The old block takes no mark, so it is listed as an exception on the flash.
    EXPECT_EQ(PhysAddrExceptions[0][0], block);
    EXPECT_EQ(le32(raw_sector(4014u * kSmallBlock), 0), block);
    EXPECT_TRUE(reads_back(block, first));
    EXPECT_TRUE(reads_back(block + 512, second));
    EXPECT_TRUE(reads_back(block + 1024, third));

    ASSERT_TRUE(remount());
    EXPECT_TRUE(reads_back(block, first));
    EXPECT_TRUE(reads_back(block + 1024, third));
    EXPECT_EQ(PhysAddrExceptions[0][0], block);
}

TEST_F(BbmRelocationTest, NearlyBlankPagesMoveWithTheBlock)
{
    nandsim::Chip &chip = formatted(kSmall64);
    const uint32_t block = 7 * kSmallBlock;
    // Sectors whose only written byte is one 0x00 (data without code), one in the middle.
    std::vector<uint8_t> lone(512, 0xFF);
    lone[0] = 0x00;
    ASSERT_EQ(oemwrite(block, 512, lone.data(), ACCESS_TYPE_DATA), 1);
    std::vector<uint8_t> middle(512, 0xFF);
    middle[300] = 0xFE;
    ASSERT_EQ(oemwrite(block + 512, 512, middle.data(), ACCESS_TYPE_DATA), 1);
    chip.failing_program_blocks.insert(7);
    const std::vector<uint8_t> third = write_sector(block + 1024, 3);
    ASSERT_NE(bbmmapblock(block), block);

    std::vector<uint8_t> back(512);
    ASSERT_EQ(oemread(block, 512, back.data(), ACCESS_TYPE_DATA), 1);
    EXPECT_EQ(back, lone);
    ASSERT_EQ(oemread(block + 512, 512, back.data(), ACCESS_TYPE_DATA), 1);
    EXPECT_EQ(back, middle);
    EXPECT_TRUE(reads_back(block + 1024, third));
}

TEST_F(BbmRelocationTest, FailingEraseMarksTheOldBlockBad)
{
    nandsim::Chip &chip = formatted(kSmall64);
    const uint32_t block = 12 * kSmallBlock;
    write_sector(block, 1);
    chip.failing_erase_blocks.insert(12);
    EXPECT_EQ(oemerase(block, kSmallBlock), 1);
    EXPECT_NE(hostkernel::log_text().find("<3>[Flash NAND] Erase Failed -> Process Bad Block for page 0x00030000\n"),
              std::string::npos);
    EXPECT_EQ(working_entry(kSmallTotal, kSmallBlock, 2), 0x8000000Cu);
    // Every sector of the old block carries the mark: bytes 4-7 zero.
    for (uint32_t offset = 0; offset < kSmallBlock; offset += 512)
        EXPECT_EQ(le32(raw_spare(block + offset), 4), 0u) << offset;
    EXPECT_EQ(PhysAddrExceptions[0][0], 0xFFFFFFFFu);
    // The erased replacement is blank and takes new data.
    std::vector<uint8_t> back(512);
    EXPECT_EQ(oemread(block, 512, back.data(), ACCESS_TYPE_DATA), 1);
    EXPECT_EQ(back, std::vector<uint8_t>(512, 0xFF));
    const std::vector<uint8_t> data = write_sector(block, 9);
    EXPECT_TRUE(reads_back(block, data));
}

TEST_F(BbmRelocationTest, LargeSmallPageKeepsTheOtherSectorsOfTheFailingPage)
{
    nandsim::Chip &chip = formatted(kLarge128, 2);
    ASSERT_EQ(lpThisMedia->lpDevice, &devNAND512);
    const uint32_t page = 3 * kLargeBlock + 5 * 2048;
    const std::vector<uint8_t> s0 = write_sector(page, 10);
    const std::vector<uint8_t> s1 = write_sector(page + 512, 11);
    chip.failing_program_blocks.insert(3);

    const std::vector<uint8_t> s2 = write_sector(page + 1024, 12);
    EXPECT_TRUE(reads_back(page, s0));
    EXPECT_TRUE(reads_back(page + 512, s1));
    EXPECT_TRUE(reads_back(page + 1024, s2));
    std::vector<uint8_t> back(512);
    EXPECT_EQ(oemread(page + 1536, 512, back.data(), ACCESS_TYPE_DATA), 1);
    EXPECT_EQ(back, std::vector<uint8_t>(512, 0xFF));
}

TEST_F(BbmRelocationTest, FailingReplacementIsRetiredAndTheNextOneTaken)
{
    nandsim::Chip &chip = formatted(kSmall64);
    // The first free reserve block (entry 2) cannot be erased.
    chip.failing_erase_blocks.insert(4096 - 3);
    const uint32_t block = 20 * kSmallBlock;
    const std::vector<uint8_t> data = write_sector(block, 4);
    chip.failing_program_blocks.insert(20);
    const std::vector<uint8_t> more = write_sector(block + 512, 5);
    EXPECT_EQ(working_entry(kSmallTotal, kSmallBlock, 2), 0u);
    EXPECT_EQ(working_entry(kSmallTotal, kSmallBlock, 3), 0x80000014u);
    EXPECT_TRUE(reads_back(block, data));
    EXPECT_TRUE(reads_back(block + 512, more));
}

TEST_F(BbmRelocationTest, ReplacingAReplacementAbandonsItsEntry)
{
    nandsim::Chip &chip = formatted(kSmall64);
    const uint32_t block = 30 * kSmallBlock;
    const std::vector<uint8_t> first = write_sector(block, 1);
    chip.failing_program_blocks.insert(30);
    const std::vector<uint8_t> second = write_sector(block + 512, 2);
    ASSERT_EQ(working_entry(kSmallTotal, kSmallBlock, 2), 0x8000001Eu);
    chip.failing_program_blocks.insert(4096 - 3); // the replacement fails too
    const std::vector<uint8_t> third = write_sector(block + 1024, 3);
    EXPECT_EQ(working_entry(kSmallTotal, kSmallBlock, 2), 0x0000001Eu);
    EXPECT_EQ(working_entry(kSmallTotal, kSmallBlock, 3), 0x8000001Eu);
    EXPECT_EQ(bbmmapblock(block), kSmallTotal - 4 * kSmallBlock);
    EXPECT_TRUE(reads_back(block, first));
    EXPECT_TRUE(reads_back(block + 512, second));
    EXPECT_TRUE(reads_back(block + 1024, third));
    ASSERT_TRUE(remount());
    EXPECT_TRUE(reads_back(block + 1024, third));
}

TEST_F(BbmRelocationTest, ExhaustedReserveReportsTheWornDownDrive)
{
    nandsim::Chip &chip = formatted(kSmall64);
    // No reserve block can be erased any more.
    for (uint32_t b = 4015; b < 4096 - 2; b++)
        chip.failing_erase_blocks.insert(b);
    const uint32_t block = 40 * kSmallBlock;
    const std::vector<uint8_t> data = write_sector(block, 1);
    chip.failing_program_blocks.insert(40);
    std::vector<uint8_t> more = pattern(512, 2);
    EXPECT_EQ(oemwrite(block + 512, 512, more.data(), ACCESS_TYPE_ECC), 0);
    EXPECT_NE(hostkernel::log_text().find(
                  "TESSARO error: NAND FLASH No 0 WORN DOWN (too much bad blocks) --> REPLACE THE DEVICE \n"),
              std::string::npos);
    // What was written before is still there, the table still mounts.
    EXPECT_TRUE(reads_back(block, data));
    ASSERT_TRUE(remount());
    EXPECT_TRUE(reads_back(block, data));
}

TEST_F(BbmRelocationTest, TooManyBadBlocksForTheReserveLeaveTheStub)
{
    nandsim::Chip &chip = install(0, kSmall64);
    // Within the discovery's 81, but the reserve hands out 75 entries (81 reserve blocks less a margin of 6).
    for (uint32_t block = 100; block < 100 + 76; block++)
        chip.mark_factory_bad(block);
    EXPECT_FALSE(mount());
    EXPECT_EQ(lpThisMedia->lpDevice, &devStub);
    const std::string log = hostkernel::log_text();
    EXPECT_NE(log.find("TESSARO error: NAND FLASH No 0 WORN DOWN (too much bad blocks) --> REPLACE THE DEVICE \n"),
              std::string::npos);
    EXPECT_NE(log.find("   Number of bad blocks found: 76  --> TOO MUCH !!! NOT ACCEPTABLE\n"), std::string::npos);
    uint8_t buffer[512];
    EXPECT_EQ(oemread(0, 512, buffer, ACCESS_TYPE_DATA), 0);
}

TEST_F(BbmRelocationTest, FreshFormatThatDoesNotMountLeavesTheStub)
{
    nandsim::Chip &chip = install(0, kSmall64);
    // No block of the reserve takes a program: the table is formatted nowhere.
    for (uint32_t block = 4096 - 82; block < 4096; block++)
        chip.failing_program_blocks.insert(block);
    EXPECT_FALSE(mount());
    EXPECT_EQ(lpThisMedia->lpDevice, &devStub);
    uint8_t buffer[512];
    EXPECT_EQ(oemread(kSmallTotal - kSmallBlock, 512, buffer, ACCESS_TYPE_DATA), 0);
}

TEST_F(BbmRelocationTest, MappingStopsAtTheExceptionTable)
{
    formatted(kSmall64);
    EXPECT_EQ(bbmmapblock(4014u * kSmallBlock), 4014u * kSmallBlock);
    EXPECT_EQ(bbmmapblock(kSmallTotal - 512), kSmallTotal - 512);
}

TEST_F(BbmRelocationTest, StatusCountsReplacementsPerChip)
{
    nandsim::Chip &chip = formatted(kSmall64);
    write_sector(50 * kSmallBlock, 1);
    chip.failing_program_blocks.insert(50);
    write_sector(50 * kSmallBlock + 512, 2);
    BbmStatus status;
    EXPECT_EQ(bbmstatus(&status), 79u);
    EXPECT_EQ(status.ulReplacements, 1u);
    EXPECT_EQ(status.chips[0].uBadBlocks, 1);
}

} // namespace
