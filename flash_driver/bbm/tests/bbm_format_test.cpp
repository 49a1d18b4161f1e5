// Formatting blank chips: the header pair on the flash, the client size, the reserve's entries.
#include "media/tests/stack.h"

#include "hostkernel/host.h"

#include <bitset>

namespace {

using namespace stacktest;

constexpr uint32_t kTwoChips = 2 * kSmallTotal;

class BbmFormatTest : public StackTest {
protected:
    // Drive 1 of two 64 MB chips (163 reserve blocks, two chunks) with 125 factory-bad blocks, more
    // than the first chunk's 118 entries.
    void mount_two_chunk_drive()
    {
        install_two_chunk_drive();
        uint16_t drives = 0;
        ASSERT_EQ(oeminit(0, &drives), 1);
        ASSERT_EQ(drives, 1);
        ASSERT_EQ(lpThisMedia->lpDevice, &devNAND512);
        ASSERT_NE(hostkernel::log_text().find("   Number of bad blocks found: 125  --> ACCEPTABLE          \n"),
                  std::string::npos);
        ASSERT_EQ(bbmInfo[1].ulChunks, 2u);
    }

    // The first sector of the n-th block from the top of drive 1 (its second chip).
    std::vector<uint8_t> top_sector(uint32_t n)
    {
        nandsim::Chip &chip = *board->chip(2);
        const std::vector<uint8_t> page = chip.read_page((kSmallTotal - n * kSmallBlock) / 512);
        return std::vector<uint8_t>(page.begin(), page.begin() + 512);
    }

    // Checks one header sector against the format's record of it.
    void expect_header(uint32_t address, uint32_t count, uint32_t bs, uint16_t state)
    {
        const std::vector<uint8_t> sector = raw_sector(address);
        const uint8_t signature[8] = {0xDB, 0xC0, 0x95, 0x77, 0x7A, 0x5C, 0xF7, 0x2C};
        EXPECT_TRUE(std::equal(signature, signature + 8, sector.begin()));
        const uint32_t stored = le32(sector, 8);
        EXPECT_EQ(stored & 0x7FFFFFFF, count);
        EXPECT_EQ(std::bitset<32>(stored).count() % 2, 1u);
        EXPECT_EQ(le32(sector, 16), stored);
        EXPECT_EQ(le16(sector, 12), static_cast<uint16_t>(bs));
        EXPECT_EQ(le16(sector, 20), static_cast<uint16_t>(bs));
        EXPECT_EQ(le16(sector, 28), bs >> 16);
        EXPECT_EQ(le16(sector, 30), bs >> 16);
        EXPECT_EQ(le16(sector, 14), state);
        EXPECT_EQ(le16(sector, 22), 512);
        EXPECT_EQ(le16(sector, 24), 0xFFFF);
        EXPECT_EQ(le16(sector, 26), 0xFFFF);
        EXPECT_EQ(le32(sector, 32), 0x7FFFFFFFu);
        EXPECT_EQ(le32(sector, 36), 0x7FFFFFFFu);
        for (size_t offset = 40; offset < 512; offset += 4)
            EXPECT_EQ(le32(sector, offset), 0xFFFFFFFFu) << offset;
    }
};

TEST_F(BbmFormatTest, BlankSmallPageChipGetsTwoPercentReserve)
{
    install(0, kSmall64);
    ASSERT_TRUE(mount());
    EXPECT_EQ(lpThisMedia->lpDevice, &devNAND512);
    EXPECT_EQ(lpThisMedia->ulMediaSize, 4014u * kSmallBlock);
    EXPECT_EQ(lpThisMedia->ulBbmBlockSize, kSmallBlock);
    expect_header(kSmallTotal - kSmallBlock, 4014, kSmallBlock, 0xFFFF);
    expect_header(kSmallTotal - 2 * kSmallBlock, 4014, kSmallBlock, 0x0000);
    const std::string log = hostkernel::log_text();
    EXPECT_NE(log.find("NAND flash: Search of bad blocks on device 0, please wait...\n"), std::string::npos);
    EXPECT_NE(log.find("   Read manufacturer info: 63 MB read  \r"), std::string::npos);
    EXPECT_NE(log.find("   Number of bad blocks found: 0  --> ACCEPTABLE          \n"), std::string::npos);

    // 81 reserve blocks above the exception table, two of them the header pair.
    BbmStatus status;
    EXPECT_EQ(bbmstatus(&status), 79u);
    EXPECT_EQ(status.ulTotalSize, kSmallTotal);
    EXPECT_EQ(status.ulReserveEntries, 79u);
    EXPECT_EQ(status.ulReplacements, 0u);
    EXPECT_EQ(status.chips[0].ulSize, kSmallTotal);
    EXPECT_EQ(status.chips[0].uBadBlocks, 0);
}

TEST_F(BbmFormatTest, BlankLargePageChipGetsTheDoubledReserveInLargeLargeMode)
{
    install(0, kLarge128);
    ASSERT_TRUE(mount());
    EXPECT_EQ(lpThisMedia->lpDevice, &devNAND2048);
    EXPECT_EQ(lpThisMedia->lpExtndDevice, &extndDevNAND2048);
    EXPECT_EQ(lpThisMedia->ulMediaSize, 983u * kLargeBlock);
    expect_header(kLargeTotal - kLargeBlock, 983, kLargeBlock, 0xFFFF);
    expect_header(kLargeTotal - 2 * kLargeBlock, 983, kLargeBlock, 0x0000);
    BbmStatus status;
    EXPECT_EQ(bbmstatus(&status), 38u);
}

TEST_F(BbmFormatTest, FactoryBadBlocksAreReplacedAtFormat)
{
    nandsim::Chip &chip = install(0, kSmall64);
    chip.mark_factory_bad(5);
    chip.mark_factory_bad(4000);
    ASSERT_TRUE(mount());
    EXPECT_NE(hostkernel::log_text().find("   Number of bad blocks found: 2  --> ACCEPTABLE          \n"),
              std::string::npos);
    // The first free entries (2 and 3) now replace client blocks 5 and 4000.
    const std::vector<uint8_t> working = raw_sector(kSmallTotal - 2 * kSmallBlock);
    EXPECT_EQ(le32(working, 32 + 4 * 2), 0x80000000u + 5);
    EXPECT_EQ(le32(working, 32 + 4 * 3), 0x80000000u + 4000);
    EXPECT_EQ(bbmmapblock(5 * kSmallBlock + 0x200), kSmallTotal - 3 * kSmallBlock + 0x200);
    EXPECT_EQ(bbmmapblock(4000 * kSmallBlock), kSmallTotal - 4 * kSmallBlock);
    EXPECT_EQ(bbmmapblock(6 * kSmallBlock), 6 * kSmallBlock);

    // The client sees good blocks at the bad ones' addresses.
    std::vector<uint8_t> data = pattern(512, 5);
    ASSERT_EQ(oemwrite(5 * kSmallBlock, 512, data.data(), ACCESS_TYPE_ECC), 1);
    std::vector<uint8_t> back(512);
    ASSERT_EQ(oemread(5 * kSmallBlock, 512, back.data(), ACCESS_TYPE_ECC), 1);
    EXPECT_EQ(back, data);

    BbmStatus status;
    bbmstatus(&status);
    EXPECT_EQ(status.ulReplacements, 2u);
    EXPECT_EQ(status.chips[0].uBadBlocks, 2);
}

TEST_F(BbmFormatTest, FactoryBadReserveBlockIsRetiredInItsOwnEntry)
{
    nandsim::Chip &chip = install(0, kSmall64);
    chip.mark_factory_bad(4096 - 6);
    ASSERT_TRUE(mount());
    const std::vector<uint8_t> working = raw_sector(kSmallTotal - 2 * kSmallBlock);
    EXPECT_EQ(le32(working, 32 + 4 * 5), 0u);
    EXPECT_EQ(le32(working, 32 + 4 * 2), 0xFFFFFFFFu);
    // Relocations take the good blocks around it and step over it.
    for (uint32_t k = 0; k < 4; k++) {
        const uint32_t block = (30 + k) * kSmallBlock;
        const std::vector<uint8_t> data = write_sector(block, k);
        chip.failing_program_blocks.insert(30 + k);
        write_sector(block + 512, k + 10);
        EXPECT_TRUE(reads_back(block, data));
    }
    EXPECT_EQ(bbmmapblock(30 * kSmallBlock), kSmallTotal - 3 * kSmallBlock);
    EXPECT_EQ(bbmmapblock(33 * kSmallBlock), kSmallTotal - 7 * kSmallBlock);
}

TEST_F(BbmFormatTest, TooManyFactoryBadBlocksRefuseTheDrive)
{
    nandsim::Chip &chip = install(0, kLarge128);
    // The list holds 4 % of 1024 blocks: 40.
    for (uint32_t block = 10; block < 10 + 41; block++)
        chip.mark_factory_bad(block);
    EXPECT_FALSE(mount());
    EXPECT_EQ(lpThisMedia->lpDevice, &devStub);
    EXPECT_NE(hostkernel::log_text().find("Number of bad blocks found: 41  --> TOO MUCH !!! NOT ACCEPTABLE\n"),
              std::string::npos);
}

TEST_F(BbmFormatTest, FormatRefusesPercentagesOutsideOneToTwentyFive)
{
    formatted(kSmall64);
    EXPECT_EQ(bbmformat(0), 0);
    EXPECT_EQ(bbmformat(26), 0);
}

TEST_F(BbmFormatTest, MountOfAFormattedDriveFindsItsTableWithoutScanning)
{
    formatted(kSmall64);
    EXPECT_TRUE(remount());
    EXPECT_EQ(lpThisMedia->ulMediaSize, 4014u * kSmallBlock);
    EXPECT_EQ(hostkernel::log_text().find("Search of bad blocks"), std::string::npos);
}

TEST_F(BbmFormatTest, StatusOfTheExtensionMemoryGivesEachChipItsSizeAndBadBlocks)
{
    use_board(nandsim::Variant::Corvo);
    board->set_xmem_fitted(true);
    install(0, kSmall64);
    install(1, 0x75); // 32 MB each, 16 KB blocks
    nandsim::Chip &second = install(3, 0x75);
    second.mark_factory_bad(100);
    uint16_t drives = 0;
    ASSERT_EQ(oeminit(0, &drives), 1);
    ASSERT_EQ(drives, 2);
    ASSERT_EQ(uCurrentDrive, 1);
    BbmStatus status;
    bbmstatus(&status);
    EXPECT_EQ(status.ulTotalSize, 0x4000000u);
    EXPECT_EQ(status.chips[0].ulSize, 0u);
    EXPECT_EQ(status.chips[1].ulSize, 0x2000000u);
    EXPECT_EQ(status.chips[2].ulSize, 0x2000000u);
    EXPECT_EQ(status.chips[3].ulSize, 0u);
    EXPECT_EQ(status.chips[1].uBadBlocks, 0);
    EXPECT_EQ(status.chips[2].uBadBlocks, 1);
}

TEST_F(BbmFormatTest, ReplacementsBeyondTheFirstChunkGoToTheNextOne)
{
    mount_two_chunk_drive();
    // The 119th bad block has the third entry of chunk 1, below chunk 0's 120 blocks and its header pair.
    EXPECT_EQ(bbmmapblock((200 + 118) * kSmallBlock), kTwoChips - kSmallBlock * (120 + 2 + 1));
    EXPECT_EQ(bbmmapblock(199 * kSmallBlock), 199 * kSmallBlock);
    EXPECT_EQ(bbmmapblock((200 + 5) * kSmallBlock + 512), kTwoChips - kSmallBlock * (5 + 2 + 1) + 512);
    const std::vector<uint8_t> data = write_sector((200 + 124) * kSmallBlock, 3);
    ASSERT_TRUE(remount());
    EXPECT_TRUE(reads_back((200 + 124) * kSmallBlock, data));
    // The status walk looks at no more than 114 entries of a chunk: 114 of chunk 0 and the 7 of chunk 1.
    BbmStatus status;
    bbmstatus(&status);
    EXPECT_EQ(status.ulReplacements, 114u + 7);
    EXPECT_EQ(status.chips[1].uBadBlocks, 114 + 7);
}

// Both copies of chunk 1's header damaged while its entries map client blocks: the drive is refused
// with a line that says so, and the chunk is neither formatted afresh nor the chip tested again.
TEST_F(BbmFormatTest, AChunkInUseThatDoesNotMountRefusesTheDrive)
{
    mount_two_chunk_drive();
    const uint32_t client = (200 + 124) * kSmallBlock;
    const std::vector<uint8_t> data = write_sector(client, 3);
    nandsim::Chip &chip = *board->chip(2);
    std::vector<std::vector<uint8_t>> headers;
    for (uint32_t n : {121u, 122u}) {
        std::vector<uint8_t> page = chip.read_page((kSmallTotal - n * kSmallBlock) / 512);
        ASSERT_EQ(le32(page, 32 + 4 * 8), 0x80000000u + 200 + 124);
        for (uint32_t i : {1u, 4u, 6u})
            page[i] ^= 0x5A;
        chip.write_page_raw((kSmallTotal - n * kSmallBlock) / 512, page);
        headers.push_back(page);
    }
    hostkernel::clear_log();
    EXPECT_FALSE(remount());
    EXPECT_NE(hostkernel::log_text().find("chunk 1 of drive 1 does not mount and holds mappings"), std::string::npos)
        << hostkernel::log_text();
    EXPECT_EQ(chip.read_page((kSmallTotal - 121 * kSmallBlock) / 512), headers[0]);
    EXPECT_EQ(chip.read_page((kSmallTotal - 122 * kSmallBlock) / 512), headers[1]);
}

TEST_F(BbmFormatTest, ReplacingAReplacementDropsTheOldEntryInTheOtherChunk)
{
    mount_two_chunk_drive();
    const uint32_t client = (200 + 5) * kSmallBlock;
    const uint32_t old = kTwoChips - kSmallBlock * (5 + 2 + 1);
    const std::vector<uint8_t> data = write_sector(client, 1);
    board->chip(2)->failing_program_blocks.insert((old - kSmallTotal) / kSmallBlock);
    const std::vector<uint8_t> more = write_sector(client + 512, 2);
    // The new entry is the tenth of chunk 1; chunk 0's entry lost its bit 31.
    const uint32_t moved = kTwoChips - kSmallBlock * (120 + 9 + 1);
    EXPECT_EQ(bbmmapblock(client), moved);
    const std::vector<uint8_t> chunk0 = top_sector(2);
    EXPECT_EQ(le32(chunk0, 32 + 4 * 7), 200u + 5);
    EXPECT_TRUE(reads_back(client, data));
    EXPECT_TRUE(reads_back(client + 512, more));

    ASSERT_TRUE(remount());
    EXPECT_EQ(bbmmapblock(client), moved);
    EXPECT_TRUE(reads_back(client, data));
    // Chunk 0 was left for its next mount to finish: its pair is whole again.
    EXPECT_EQ(le16(top_sector(1), 14), 0xFFFF);
    EXPECT_EQ(le16(top_sector(2), 14), 0x0000);
    EXPECT_EQ(le32(top_sector(1), 32 + 4 * 7), 200u + 5);
}

TEST_F(BbmFormatTest, ReplacingAReplacementTwoChunksBelowDropsItsOldEntry)
{
    // Drive 1 of three 64 MB chips: 245 reserve blocks in three chunks. 236 factory-bad blocks fill
    // the first two, so the next replacement is the first one of chunk 2.
    use_board(nandsim::Variant::Corvo);
    reset_stack();
    board->set_xmem_fitted(true);
    nandsim::Chip &first = install(1, kSmall64);
    install(2, kSmall64);
    nandsim::Chip &top = install(3, kSmall64);
    for (uint32_t block = 200; block < 200 + 236; block++)
        first.mark_factory_bad(block);
    uint16_t drives = 0;
    ASSERT_EQ(oeminit(0, &drives), 1);
    ASSERT_EQ(bbmInfo[1].ulChunks, 3u);
    const uint32_t total = 3 * kSmallTotal;
    const uint32_t client = (200 + 5) * kSmallBlock;
    const uint32_t old = total - kSmallBlock * (5 + 2 + 1);
    ASSERT_EQ(bbmmapblock(client), old);
    const std::vector<uint8_t> data = write_sector(client, 1);
    top.failing_program_blocks.insert((old - 2 * kSmallTotal) / kSmallBlock);
    const std::vector<uint8_t> more = write_sector(client + 512, 2);
    const uint32_t moved = total - kSmallBlock * (240 + 2 + 1);
    EXPECT_EQ(bbmmapblock(client), moved);
    EXPECT_TRUE(reads_back(client, data));
    EXPECT_TRUE(reads_back(client + 512, more));
    ASSERT_TRUE(remount());
    EXPECT_EQ(bbmmapblock(client), moved);
    EXPECT_TRUE(reads_back(client + 512, more));
}

TEST_F(BbmFormatTest, BlockMovedAgainAfterItsMarkWasLostKeepsOneMapping)
{
    mount_two_chunk_drive();
    nandsim::Chip &first = *board->chip(1);
    const uint32_t client = 100 * kSmallBlock;
    const std::vector<uint8_t> a = write_sector(client, 1);
    // One program fails; the old block takes its marks again.
    first.failing_program_blocks.insert(100);
    unsigned changes = 0;
    first.before_change = [&](double &) {
        if (++changes == 2)
            first.failing_program_blocks.clear();
        return true;
    };
    write_sector(client + 512, 2);
    first.before_change = nullptr;
    ASSERT_NE(bbmmapblock(client), client);
    // A power loss between the map update and the bad mark: the old block keeps unmarked spares, so
    // that the fast block test of a drive with two chunks sends the client there again.
    for (uint32_t page = 0; page < 32; page++) {
        std::vector<uint8_t> bytes = first.read_page(100 * 32 + page);
        std::fill(bytes.begin() + 512, bytes.end(), 0xFF);
        first.write_page_raw(100 * 32 + page, bytes);
    }
    ASSERT_TRUE(remount());
    ASSERT_EQ(bbmmapblock(client), client);
    const std::vector<uint8_t> c = write_sector(client + 1024, 3);
    // When that block fails again, its new replacement is its one mapping.
    first.failing_program_blocks.insert(100);
    const std::vector<uint8_t> d = write_sector(client + 1536, 4);
    EXPECT_TRUE(reads_back(client, a));
    EXPECT_TRUE(reads_back(client + 1024, c));
    EXPECT_TRUE(reads_back(client + 1536, d));
    ASSERT_TRUE(remount());
    EXPECT_TRUE(reads_back(client + 1024, c));
}

TEST_F(BbmFormatTest, RequestedFormatTestsAUsedChipAndErasesItsBlocks)
{
    install(0, 0xE5); // 4 MB, 8 KB blocks
    ASSERT_TRUE(mount());
    EXPECT_EQ(lpThisMedia->ulMediaSize, 501u * 0x2000);
    write_sector(0, 1);
    write_sector(3 * 0x2000, 2);
    hostkernel::clear_log();
    gbNANDFimFormatBBM = 1;
    ASSERT_TRUE(remount());
    EXPECT_EQ(gbNANDFimFormatBBM, 0);
    const std::string log = hostkernel::log_text();
    EXPECT_NE(log.find("   Check Erase-Write-Read: 3 MB controlled  \r"), std::string::npos);
    EXPECT_NE(log.find("   Number of bad blocks found: 0  --> ACCEPTABLE          \n"), std::string::npos);
    EXPECT_TRUE(reads_back(3 * 0x2000, std::vector<uint8_t>(512, 0xFF)));
}

TEST_F(BbmFormatTest, UnmountedManagerPassesAddressesThroughUntilTheNextMount)
{
    nandsim::Chip &chip = formatted(kSmall64);
    const std::vector<uint8_t> data = write_sector(8 * kSmallBlock, 1);
    chip.failing_program_blocks.insert(8);
    write_sector(8 * kSmallBlock + 512, 2);
    const uint32_t moved = bbmmapblock(8 * kSmallBlock);
    ASSERT_NE(moved, 8 * kSmallBlock);
    oemunmount();
    EXPECT_EQ(bbmmapblock(8 * kSmallBlock), 8 * kSmallBlock);
    EXPECT_EQ(bbmInfo[0].bMounted, 0);
    ASSERT_TRUE(mount());
    EXPECT_EQ(bbmmapblock(8 * kSmallBlock), moved);
    EXPECT_TRUE(reads_back(8 * kSmallBlock, data));
}

} // namespace
