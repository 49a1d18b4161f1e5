// Power cuts during relocations and header updates: the next mount repairs the header pair and keeps
// every mapping, and every sector that was written before the cut reads back.
#include "media/tests/stack.h"

#include "hostkernel/host.h"

namespace {

using namespace stacktest;

constexpr uint32_t kMapped = 3 * kSmallBlock;   // relocated before the cut
constexpr uint32_t kFailing = 9 * kSmallBlock;  // relocated when the cut comes
constexpr uint32_t kBackup = kSmallTotal - kSmallBlock;
constexpr uint32_t kWorking = kSmallTotal - 2 * kSmallBlock;

class BbmPowerCutTest : public StackTest {
protected:
    // A drive with one relocated block and a second block about to fail.
    void prepare()
    {
        nandsim::Chip &chip = formatted(kSmall64);
        mapped = write_sector(kMapped, 1);
        chip.failing_program_blocks.insert(3);
        mappedMore = write_sector(kMapped + 512, 2);
        before = write_sector(kFailing, 3);
        chip.failing_program_blocks.insert(9);
    }

    unsigned operations()
    {
        nandsim::Chip &chip = *board->chip(0);
        return chip.programs + chip.erases;
    }

    std::vector<uint8_t> mapped, mappedMore, before;
};

TEST_F(BbmPowerCutTest, EveryCutDuringARelocationIsRepairedAtTheNextMount)
{
    prepare();
    const unsigned start = operations();
    const std::vector<uint8_t> after = write_sector(kFailing + 512, 4);
    const unsigned steps = operations() - start;
    ASSERT_GT(steps, 10u);

    for (unsigned cut = 1; cut <= steps; cut++) {
        SCOPED_TRACE("power cut at operation " + std::to_string(cut));
        prepare();
        board->cut_power_after(cut, 0.5);
        std::vector<uint8_t> lost = pattern(512, 4);
        oemwrite(kFailing + 512, 512, lost.data(), ACCESS_TYPE_ECC);
        ASSERT_FALSE(board->powered());
        ASSERT_TRUE(remount());
        EXPECT_EQ(lpThisMedia->ulMediaSize, 4014u * kSmallBlock);

        // The pair is whole again: the backup and the working copy hold the same entries.
        const std::vector<uint8_t> backup = raw_sector(kBackup);
        const std::vector<uint8_t> working = raw_sector(kWorking);
        EXPECT_EQ(le16(backup, 14), 0xFFFF);
        EXPECT_EQ(le16(working, 14), 0x0000);
        EXPECT_TRUE(std::equal(backup.begin() + 32, backup.end(), working.begin() + 32));
        EXPECT_EQ(le32(working, 32 + 8), 0x80000003u);

        EXPECT_TRUE(reads_back(kMapped, mapped));
        EXPECT_TRUE(reads_back(kMapped + 512, mappedMore));
        EXPECT_TRUE(reads_back(kFailing, before));
        // The interrupted write can be done again, whether or not the block moved before the cut.
        std::vector<uint8_t> again = pattern(512, 5);
        uint8_t back[512];
        if (oemread(kFailing + 1024, 512, back, ACCESS_TYPE_DATA) == 1 &&
            std::all_of(back, back + 512, [](uint8_t b) { return b == 0xFF; })) {
            EXPECT_EQ(oemwrite(kFailing + 1024, 512, again.data(), ACCESS_TYPE_ECC), 1);
            EXPECT_TRUE(reads_back(kFailing + 1024, again));
        }
        EXPECT_TRUE(reads_back(kFailing, before));
        EXPECT_TRUE(remount());
        EXPECT_TRUE(reads_back(kMapped, mapped));
    }
}

TEST_F(BbmPowerCutTest, CutDuringTheRepairAtMountIsRepairedByTheMountAfter)
{
    prepare();
    const unsigned start = operations();
    write_sector(kFailing + 512, 4);
    const unsigned steps = operations() - start;
    const std::string cutImage = scratch_path("cut.img");
    unsigned repairsCut = 0;

    for (unsigned cut = 1; cut <= steps; cut++) {
        prepare();
        board->cut_power_after(cut, 0.5);
        std::vector<uint8_t> lost = pattern(512, 4);
        oemwrite(kFailing + 512, 512, lost.data(), ACCESS_TYPE_ECC);
        board->power_on();
        ASSERT_TRUE(board->save_image(cutImage));
        const unsigned atMount = operations();
        ASSERT_TRUE(remount());
        const unsigned repair = operations() - atMount;

        for (unsigned second = 1; second <= repair; second++) {
            SCOPED_TRACE("power cut at operation " + std::to_string(cut) + ", then at operation " +
                         std::to_string(second) + " of the repair");
            ASSERT_TRUE(board->load_image(cutImage));
            board->chip(0)->failing_program_blocks = {3, 9};
            board->cut_power_after(second, 0.5);
            remount();
            ASSERT_TRUE(remount());
            EXPECT_EQ(lpThisMedia->ulMediaSize, 4014u * kSmallBlock);
            EXPECT_EQ(le16(raw_sector(kBackup), 14), 0xFFFF);
            EXPECT_EQ(le16(raw_sector(kWorking), 14), 0x0000);
            EXPECT_TRUE(reads_back(kMapped, mapped));
            EXPECT_TRUE(reads_back(kMapped + 512, mappedMore));
            EXPECT_TRUE(reads_back(kFailing, before));
            repairsCut++;
        }
    }
    EXPECT_GT(repairsCut, 0u);
}

TEST_F(BbmPowerCutTest, CutAfterTheWorkingCopyIsWrittenIsFinishedFromIt)
{
    prepare();
    // Leave the working copy in the updating state and the backup as it was, as a cut after step 1.
    ASSERT_EQ(bbmrelocate(kFailing, kFailing, BbmRewrite{0, 0, 0, false}), 1);
    std::vector<uint8_t> updated = raw_sector(kWorking);
    updated[14] = 0xF0;
    updated[15] = 0xF0;
    std::vector<uint8_t> page = board->chip(0)->read_page(kWorking / 512);
    std::copy(updated.begin(), updated.end(), page.begin());
    board->chip(0)->write_page_raw(kWorking / 512, page);
    std::vector<uint8_t> oldBackup = board->chip(0)->read_page(kBackup / 512);
    oldBackup[32 + 4 * 3] = 0xFF;
    oldBackup[32 + 4 * 3 + 3] = 0xFF;
    std::fill(oldBackup.begin() + 32 + 12, oldBackup.begin() + 32 + 16, 0xFF);
    board->chip(0)->write_page_raw(kBackup / 512, oldBackup);

    ASSERT_TRUE(remount());
    EXPECT_EQ(le16(raw_sector(kWorking), 14), 0x0000);
    EXPECT_EQ(le16(raw_sector(kBackup), 14), 0xFFFF);
    EXPECT_EQ(le32(raw_sector(kBackup), 32 + 12), 0x80000009u);
    EXPECT_TRUE(reads_back(kFailing, before));
}

TEST_F(BbmPowerCutTest, LostWorkingCopyIsRebuiltFromTheBackup)
{
    prepare();
    board->chip(0)->set_block_bytes(kWorking / kSmallBlock, std::vector<uint8_t>(32 * 528, 0x00));
    ASSERT_TRUE(remount());
    EXPECT_EQ(le16(raw_sector(kWorking), 14), 0x0000);
    EXPECT_EQ(le32(raw_sector(kWorking), 32 + 8), 0x80000003u);
    EXPECT_TRUE(reads_back(kMapped, mapped));
}

TEST_F(BbmPowerCutTest, LostBackupIsRebuiltFromTheWorkingCopy)
{
    prepare();
    board->chip(0)->set_block_bytes(kBackup / kSmallBlock, std::vector<uint8_t>(32 * 528, 0x00));
    ASSERT_TRUE(remount());
    EXPECT_EQ(lpThisMedia->ulMediaSize, 4014u * kSmallBlock);
    EXPECT_EQ(le16(raw_sector(kBackup), 14), 0xFFFF);
    EXPECT_EQ(le32(raw_sector(kBackup), 32 + 8), 0x80000003u);
    EXPECT_EQ(le16(raw_sector(kWorking), 14), 0x0000);
    EXPECT_TRUE(reads_back(kMapped, mapped));
    EXPECT_TRUE(reads_back(kFailing, before));
}

TEST_F(BbmPowerCutTest, CorruptCountCopyIsRepairedAndThreeBadSignatureBytesAreNoHeader)
{
    prepare();
    std::vector<uint8_t> sector = raw_sector(kWorking);
    sector[16 + 3] ^= 0x80; // the copy loses its parity bit
    EXPECT_EQ(ValidBBMHeader(sector.data()), BBM_HEADER_REPAIRED);
    EXPECT_EQ(le32(sector, 16), le32(sector, 8));

    sector = raw_sector(kWorking);
    sector[0] ^= 1;
    sector[3] ^= 1;
    EXPECT_EQ(ValidBBMHeader(sector.data()), BBM_HEADER_REPAIRED);
    sector = raw_sector(kWorking);
    sector[0] ^= 1;
    sector[3] ^= 1;
    sector[5] ^= 0x10;
    EXPECT_EQ(ValidBBMHeader(sector.data()), BBM_HEADER_INVALID);

    // With its backup intact, a working copy with a broken count copy still mounts.
    std::vector<uint8_t> page = board->chip(0)->read_page(kWorking / 512);
    page[16 + 3] &= 0x7F;
    board->chip(0)->write_page_raw(kWorking / 512, page);
    ASSERT_TRUE(remount());
    EXPECT_EQ(lpThisMedia->ulMediaSize, 4014u * kSmallBlock);
    EXPECT_TRUE(reads_back(kMapped, mapped));
}

// Drive 1 of two 64 MB chips with 125 factory-bad blocks: chunk 1 is in use, so a block whose spare
// shows no bad mark is taken as it is, without the table.
class BbmTwoChunkPowerCutTest : public StackTest {
protected:
    static constexpr uint32_t kClient = 100 * kSmallBlock;
    static constexpr unsigned kWritten = 16;

    void prepare()
    {
        static std::string image;
        use_board(nandsim::Variant::Corvo);
        reset_stack();
        board->set_xmem_fitted(true);
        if (image.empty()) {
            nandsim::Chip &first = install(1, kSmall64);
            install(2, kSmall64);
            for (uint32_t block = 200; block < 200 + 125; block++)
                first.mark_factory_bad(block);
            mount_drive_1();
            image = scratch_path("two-chunks.img");
            ASSERT_TRUE(board->save_image(image));
        } else {
            ASSERT_TRUE(board->load_image(image));
            mount_drive_1();
        }
        ASSERT_NE(bbmInfo[1].ulHighestChunk, 0u);
        written.clear();
        for (unsigned s = 0; s < kWritten; s++)
            written.push_back(write_sector(kClient + 512 * s, s));
        // The next program of the block fails once: it moves, and its bad marks reach the flash.
        board->chip(1)->transient_program_failures[100] = 1;
    }

    void mount_drive_1()
    {
        uint16_t drives = 0;
        ASSERT_EQ(oeminit(0, &drives), 1);
        ASSERT_EQ(lpThisMedia, &extndMediaInfo[1]);
        ASSERT_EQ(lpThisMedia->lpDevice, &devNAND512);
    }

    unsigned operations()
    {
        return board->chip(1)->programs + board->chip(1)->erases + board->chip(2)->programs +
               board->chip(2)->erases;
    }

    std::vector<std::vector<uint8_t>> written;
};

// The cuts in four shards that run side by side, every fourth cut in each.
class BbmTwoChunkCutShardTest : public BbmTwoChunkPowerCutTest, public ::testing::WithParamInterface<unsigned> {};

TEST_P(BbmTwoChunkCutShardTest, CutWhileTheOldBlockIsMarkedKeepsTheBlockWhole)
{
    prepare();
    const unsigned start = operations();
    write_sector(kClient + 512 * kWritten, 99);
    const unsigned steps = operations() - start;
    ASSERT_NE(bbmmapblock(kClient), kClient);
    ASSERT_GT(steps, 32u);

    for (unsigned cut = 4 - GetParam(); cut <= steps; cut += 4) {
        SCOPED_TRACE("power cut at operation " + std::to_string(cut));
        prepare();
        board->cut_power_after(cut, 0.3 + 0.4 * (cut % 3) / 2, true, cut);
        std::vector<uint8_t> lost = pattern(512, 99);
        oemwrite(kClient + 512 * kWritten, 512, lost.data(), ACCESS_TYPE_ECC);
        ASSERT_FALSE(board->powered());
        ASSERT_TRUE(remount());
        for (unsigned s = 0; s < kWritten; s++)
            EXPECT_TRUE(reads_back(kClient + 512 * s, written[s])) << "sector " << s;
        // The block is one: erased as a whole, every one of its sectors takes new data.
        ASSERT_EQ(oemerase(kClient, kSmallBlock), 1);
        for (unsigned s = 0; s < kSmallBlock / 512; s++) {
            const std::vector<uint8_t> data = write_sector(kClient + 512 * s, 200 + s);
            EXPECT_TRUE(reads_back(kClient + 512 * s, data)) << "sector " << s;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Quarters, BbmTwoChunkCutShardTest, ::testing::Range(0u, 4u));

} // namespace
