// The block device over a formatted drive: requests through the block layer, the control calls of
// the translation layer, and data that survives reloads and power cuts inside requests and discards.
#include "blockdev/tests/loaded.h"

#include "media/media.h"

#include <cstdio>
#include <cstdlib>
#include <random>

namespace {

using blockdevtest::ControlBlock;

constexpr uint8_t kErased = 0xFE; // what a never-written sector reads as

class DriveTest : public blockdevtest::LoadedTest {
protected:
    void SetUp() override
    {
        LoadedTest::SetUp();
        load();
        size = format_and_mount();
        ASSERT_GT(size, 0u) << hostkernel::log_text();
    }

    uint32_t size = 0;
};

TEST_F(DriveTest, RequestsRoundTripThroughTheBlockLayer)
{
    EXPECT_EQ(blk_size[FD_MAJOR][FD_MINOR_BASE], static_cast<int>(size / 1024));
    std::vector<uint8_t> first = pattern(300 * 512, 1);
    ASSERT_EQ(transfer(WRITE, 0, first), 0) << hostkernel::log_text();
    EXPECT_EQ(read_sectors(0, 300), first);
    EXPECT_EQ(read_sectors(300, 4), std::vector<uint8_t>(4 * 512, kErased));

    // Rewrites in segments the 30-sector staging buffer just holds, and single sectors.
    std::vector<uint8_t> second = pattern(60 * 512, 2);
    ASSERT_EQ(transfer(WRITE, 100, second, 60, 30), 0) << hostkernel::log_text();
    std::vector<uint8_t> single = pattern(512, 3);
    ASSERT_EQ(transfer(WRITE, 7, single, 1, 1), 0);
    std::copy(second.begin(), second.end(), first.begin() + 100 * 512);
    std::copy(single.begin(), single.end(), first.begin() + 7 * 512);
    EXPECT_EQ(read_sectors(0, 300), first);
    // A read segment above the layers' 16-bit lengths is read in pieces.
    std::vector<uint8_t> whole(300 * 512);
    ASSERT_EQ(transfer(READ, 0, whole, 300, 300), 0);
    EXPECT_EQ(whole, first);

    // The whole drive, to its last sector, and not one sector past it.
    const unsigned long last = size / 512 - 1;
    std::vector<uint8_t> tail = pattern(512, 4);
    ASSERT_EQ(transfer(WRITE, last, tail, 1, 1), 0);
    EXPECT_EQ(read_sectors(last, 1), tail);
    EXPECT_EQ(transfer(WRITE, last + 1, tail, 1, 1), FD_EIO);
}

TEST_F(DriveTest, ControlCallsOfTheTranslationLayer)
{
    ControlBlock block(8192);
    struct hd_geometry geometry = {};
    {
        hostkernel::UserMemory user(&geometry, sizeof geometry);
        ASSERT_EQ(hostkernel::blkdev_ioctl(blockdevtest::kDrive0, HDIO_GETGEO, &geometry), 0);
    }
    EXPECT_GT(geometry.cylinders, 0);
    EXPECT_LE(uint32_t{geometry.cylinders} * geometry.heads * geometry.sectors, size / 512);

    // Writes and reads of the translation layer, and the block layer seeing the same bytes.
    std::vector<uint8_t> data = pattern(8192, 5);
    std::copy(data.begin(), data.end(), block.data());
    block.set<uint32_t>(CB_START, 16 * 512);
    block.set<uint32_t>(CB_LENGTH, 8192);
    ASSERT_EQ(ioctl(FD_IOCTL_WRITE, block), 0);
    std::fill(block.data(), block.data() + 8192, 0);
    ASSERT_EQ(ioctl(FD_IOCTL_READ, block), 0);
    EXPECT_EQ(std::vector<uint8_t>(block.data(), block.data() + 8192), data);
    EXPECT_EQ(read_sectors(16, 16), data);

    // A discard of 200 sectors: they read as never written, their neighbours stay.
    std::vector<uint8_t> run = pattern(220 * 512, 6);
    ASSERT_EQ(transfer(WRITE, 40, run), 0);
    block.set<uint32_t>(CB_START, 50 * 512);
    block.set<uint32_t>(CB_LENGTH, 200 * 512);
    ASSERT_EQ(ioctl(FD_IOCTL_DISCARD, block), 0);
    std::fill(run.begin() + 10 * 512, run.begin() + 210 * 512, kErased);
    EXPECT_EQ(read_sectors(40, 220), run);

    ASSERT_EQ(ioctl(FD_IOCTL_PARTITION_INFO, block), 0);
    const uint32_t regions = block.get<uint32_t>(CB_INFO), region_size = block.get<uint32_t>(CB_INFO + 4);
    const uint32_t units = block.get<uint32_t>(CB_INFO + 8), unit_size = block.get<uint32_t>(CB_INFO + 12);
    EXPECT_EQ(block.get<uint32_t>(CB_INFO + 16), 1u); // spare units
    EXPECT_EQ(block.get<uint32_t>(CB_INFO + 20), size);
    EXPECT_EQ(regions, size / region_size);
    EXPECT_EQ(unit_size * units <= extndMediaInfo[0].ulMediaSize, true);

    block.set<uint16_t>(CB_SELECT, 0);
    ASSERT_EQ(ioctl(FD_IOCTL_UNIT_INFO, block), 0);
    EXPECT_EQ(block.get<uint16_t>(CB_VALID), 1);
    EXPECT_EQ(block.get<uint32_t>(CB_INFO), 0u);                // region address
    EXPECT_EQ(block.get<uint32_t>(CB_INFO + 4), region_size);   // region size
    EXPECT_EQ(block.get<uint32_t>(CB_INFO + 32), unit_size / 512); // pages per unit
    EXPECT_EQ(block.data()[0], 0x10);                            // the header page
    EXPECT_EQ(block.data()[1], 0x12);                            // the first data written
    block.set<uint16_t>(CB_SELECT, static_cast<uint16_t>(units));
    ASSERT_EQ(ioctl(FD_IOCTL_UNIT_INFO, block), 0);
    EXPECT_EQ(block.get<uint16_t>(CB_VALID), 0);

    block.set<uint16_t>(CB_SELECT, 0);
    ASSERT_EQ(ioctl(FD_IOCTL_REGION, block), 0);
    EXPECT_EQ(block.get<uint16_t>(CB_VALID), 1);
    EXPECT_EQ(block.get<uint16_t>(CB_WORD1), 0x80000 / unit_size);
    EXPECT_GT(block.get<uint16_t>(CB_WORD0), 0);
    EXPECT_EQ(block.get<uint32_t>(CB_INFO), 0u); // the first unit of the area serves region 0
    block.set<uint16_t>(CB_SELECT, static_cast<uint16_t>((size + region_size - 1) / region_size));
    EXPECT_EQ(ioctl(FD_IOCTL_REGION, block), FD_EINVAL);

    ASSERT_EQ(ioctl(FD_IOCTL_USAGE, block), 0);
    // Units whose every run was discarded are cleared at once, so only their neighbours count as discarded.
    EXPECT_EQ(block.get<uint32_t>(CB_THIRD), 36u * 512); // data
    EXPECT_GT(block.get<uint32_t>(CB_FOURTH), 0u);      // discarded
    ASSERT_EQ(ioctl(FD_IOCTL_ERASE_COUNTS, block), 0);
    EXPECT_GE(block.get<uint32_t>(CB_FOURTH), 1u);
    EXPECT_GE(block.get<uint32_t>(CB_LENGTH), block.get<uint32_t>(CB_FOURTH));

    // The discarded runs are collected; then the data reads as before.
    EXPECT_EQ(ioctl(FD_IOCTL_COLLECT, block), 0);
    EXPECT_EQ(read_sectors(40, 220), run);
    EXPECT_EQ(ioctl(FD_IOCTL_VBF_MOUNT, block), 0);
    EXPECT_EQ(read_sectors(16, 16), data);
}

// Requests the layers cannot carry out are refused up front with an error; nothing changes on the
// drive, and it takes writes as before.
TEST_F(DriveTest, OddRequestsAreRefusedAndLoseNothing)
{
    std::vector<uint8_t> around = pattern(16 * 512, 20);
    ASSERT_EQ(transfer(WRITE, 0, around), 0);
    struct Case {
        unsigned command;
        uint32_t start, length;
        int result;
    };
    const uint32_t end = size;
    const Case cases[] = {
        {FD_IOCTL_WRITE, 0, 2, FD_EINVAL},          {FD_IOCTL_WRITE, 0, 3, FD_EINVAL},
        {FD_IOCTL_WRITE, 0, 510, FD_EINVAL},        {FD_IOCTL_WRITE, 0, 514, FD_EINVAL},
        {FD_IOCTL_WRITE, 0, 1000, FD_EINVAL},       {FD_IOCTL_WRITE, 0, 65535, FD_EINVAL},
        {FD_IOCTL_WRITE, 100, 512, FD_EINVAL},      {FD_IOCTL_READ, 100, 512, FD_EINVAL},
        {FD_IOCTL_READ, 0, 1000, FD_EINVAL},        {FD_IOCTL_DISCARD, end - 512, 1024, FD_EINVAL},
        {FD_IOCTL_DISCARD, 0, 99999999u * 512, FD_EINVAL}, {FD_IOCTL_DISCARD, end + 512, 512, FD_EINVAL},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.command) + " at " + std::to_string(c.start) + ", " + std::to_string(c.length));
        ControlBlock block(65536);
        std::fill(block.data(), block.data() + 65536, 0x5A);
        block.set<uint32_t>(CB_START, c.start);
        block.set<uint32_t>(CB_LENGTH, c.length);
        EXPECT_EQ(ioctl(c.command, block), c.result);
        EXPECT_EQ(read_sectors(0, 16), around);
    }
    std::vector<uint8_t> next = pattern(512, 21);
    ASSERT_EQ(transfer(WRITE, 3, next), 0) << "the drive takes writes";
    std::copy(next.begin(), next.end(), around.begin() + 3 * 512);
    EXPECT_EQ(read_sectors(0, 16), around);

    // A discard the layer could not carry out is reported, not acknowledged.
    partition[0].bReadOnly = 1;
    ControlBlock block;
    block.set<uint32_t>(CB_START, 0);
    block.set<uint32_t>(CB_LENGTH, 4 * 512);
    EXPECT_EQ(ioctl(FD_IOCTL_DISCARD, block), FD_EIO);
    const uint32_t range[2] = {0, 4 * 512};
    EXPECT_EQ(hostkernel::blkdev_ioctl(blockdevtest::kDrive0, FD_IOCTL_DISCARD_KERNEL, const_cast<uint32_t *>(range)), FD_EIO);
    EXPECT_EQ(read_sectors(0, 16), around);
}

TEST_F(DriveTest, DumpWritesThroughTheTranslationLayer)
{
    rawsync_dev_operations *dump = hostkernel::rawsync_device();
    ASSERT_NE(dump, nullptr);
    int context = 0;
    rawsync_data data = {blockdevtest::kDrive0, &context};
    std::vector<uint8_t> core = pattern(4096, 11);
    ASSERT_EQ(dump->init(&data), 0);
    EXPECT_EQ(dump->write(&data, 64 * 512, 4096, core.data()), 0);
    EXPECT_EQ(dump->end(), 0);
    EXPECT_EQ(read_sectors(64, 8), core);
}

TEST_F(DriveTest, DataSurvivesReloads)
{
    std::vector<uint8_t> data = pattern(500 * 512, 7);
    ASSERT_EQ(transfer(WRITE, 1000, data), 0);
    ASSERT_EQ(reload(), size);
    EXPECT_EQ(read_sectors(1000, 500), data);
    // Without a mount control call the translation layer has no drive: requests fail.
    unload();
    load();
    std::vector<uint8_t> none(512);
    EXPECT_EQ(transfer(READ, 1000, none), FD_EIO);
}

TEST_F(DriveTest, EverySectorIsOldOrNewAfterAPowerCutInARequest)
{
    const unsigned long first = 200, count = 96;
    std::vector<uint8_t> model = pattern(count * 512, 8);
    ASSERT_EQ(transfer(WRITE, first, model), 0);
    unsigned cuts = 0;
    for (unsigned cut = 1; cut <= 176; cut += 5) {
        SCOPED_TRACE(cut);
        std::vector<uint8_t> next = pattern(count * 512, 100 + cut);
        cuts += write_with_cut(first, next, cut, (cut % 10) / 10.0, 32, 8);
        ASSERT_EQ(power_cycle(), size) << hostkernel::log_text();
        const std::vector<uint8_t> back = read_sectors(first, count);
        for (unsigned long s = 0; s < count; s++) {
            const auto at = [s](const std::vector<uint8_t> &bytes) { return bytes.begin() + s * 512; };
            const bool old = std::equal(at(back), at(back) + 512, at(model));
            const bool now = std::equal(at(back), at(back) + 512, at(next));
            ASSERT_TRUE(old || now) << "sector " << first + s;
            if (now)
                std::copy(at(next), at(next) + 512, model.begin() + static_cast<long>(s * 512));
        }
    }
    EXPECT_GT(cuts, 30u);
    ASSERT_EQ(reload(), size);
    EXPECT_EQ(read_sectors(first, count), model);
}

// Random requests of random shapes, discards, reads, reloads and power cuts inside writes and
// discards, against a model of every sector: after a cut each sector of the cut write holds its old
// or its new data, each sector of the cut discard its old data or reads as discarded, and it reads
// the same again after a reload.
class RandomDriveTest : public DriveTest {
protected:
    void run(uint32_t seed, unsigned steps, unsigned *cuts, unsigned *discardCuts)
    {
        std::mt19937 random(seed);
        const unsigned long sectors = 600;
        std::vector<uint8_t> model(sectors * 512, kErased);
        const auto sector_of = [](std::vector<uint8_t> &bytes, unsigned long s) { return bytes.begin() + s * 512; };
        for (unsigned step = 0; step < steps; step++) {
            SCOPED_TRACE(step);
            const unsigned long first = random() % (sectors - 64), count = 1 + random() % 64;
            const unsigned op = random() % 10;
            if (op < 6) {
                std::vector<uint8_t> data = pattern(count * 512, random());
                const unsigned long request = 1 + random() % 64, segment = 1 + random() % 30;
                if (random() % 4 == 0 &&
                    write_with_cut(first, data, 1 + random() % 100, (random() % 10) / 10.0, request, segment)) {
                    ++*cuts;
                    ASSERT_EQ(power_cycle(), size) << hostkernel::log_text();
                    std::vector<uint8_t> back = read_sectors(first, count);
                    for (unsigned long s = 0; s < count; s++) {
                        const bool old = std::equal(sector_of(back, s), sector_of(back, s + 1), sector_of(model, first + s));
                        const bool now = std::equal(sector_of(back, s), sector_of(back, s + 1), sector_of(data, s));
                        ASSERT_TRUE(old || now) << "sector " << first + s;
                    }
                    data = back;
                } else {
                    ASSERT_EQ(transfer(WRITE, first, data, request, segment), 0) << hostkernel::log_text();
                }
                std::copy(data.begin(), data.end(), sector_of(model, first));
            } else if (op < 8) {
                if (random() % 3 == 0 && discard_with_cut(first, count, 1 + random() % 12, (random() % 10) / 10.0)) {
                    ++*discardCuts;
                    ASSERT_EQ(power_cycle(), size) << hostkernel::log_text();
                    std::vector<uint8_t> back = read_sectors(first, count);
                    const std::vector<uint8_t> erased(512, kErased);
                    for (unsigned long s = 0; s < count; s++) {
                        const bool old = std::equal(sector_of(back, s), sector_of(back, s + 1), sector_of(model, first + s));
                        const bool gone = std::equal(sector_of(back, s), sector_of(back, s + 1), erased.begin());
                        ASSERT_TRUE(old || gone) << "sector " << first + s;
                    }
                    // Whatever the cut left must stay as it was read: a sector does not change by itself.
                    ASSERT_EQ(reload(), size);
                    ASSERT_TRUE(read_sectors(first, count) == back);
                    std::copy(back.begin(), back.end(), sector_of(model, first));
                } else {
                    ControlBlock block;
                    block.set<uint32_t>(CB_START, static_cast<uint32_t>(first * 512));
                    block.set<uint32_t>(CB_LENGTH, static_cast<uint32_t>(count * 512));
                    ASSERT_EQ(ioctl(FD_IOCTL_DISCARD, block), 0);
                    std::fill(sector_of(model, first), sector_of(model, first + count), kErased);
                }
            } else if (op == 8) {
                ASSERT_TRUE(read_sectors(first, count) == std::vector<uint8_t>(sector_of(model, first),
                                                                               sector_of(model, first + count)));
            } else {
                ASSERT_EQ(reload(), size);
            }
        }
        EXPECT_TRUE(read_sectors(0, sectors) == model);
    }
};

// Seed 77 by default; TESSARO_SEEDS seeds from TESSARO_FIRST_SEED when given, each on a freshly
// formatted drive, and a failure names its seed.
TEST_F(RandomDriveTest, RandomRequestsReloadsAndPowerCuts)
{
    const auto number = [](const char *name, unsigned fallback) {
        const char *text = std::getenv(name);
        return text && *text ? static_cast<unsigned>(std::strtoul(text, nullptr, 10)) : fallback;
    };
    const unsigned first = number("TESSARO_FIRST_SEED", 77), seeds = number("TESSARO_SEEDS", 1);
    unsigned ran = 0, allCuts = 0;
    for (unsigned seed = first; seed < first + seeds && !HasFailure(); seed++, ran++) {
        SCOPED_TRACE("seed " + std::to_string(seed) + " (TESSARO_FIRST_SEED=" + std::to_string(seed) + " TESSARO_SEEDS=1)");
        if (seed != first) {
            TearDown();
            SetUp();
        }
        unsigned cuts = 0, discardCuts = 0;
        run(seed, 600, &cuts, &discardCuts);
        allCuts += cuts + discardCuts;
        if (!HasFailure()) {
            EXPECT_GT(cuts, 30u);
            EXPECT_GT(discardCuts, 5u);
        }
    }
    std::printf("soak BlockDevice: %u seeds (%u to %u), 600 steps each, %u power cuts, %u failures%s\n", ran, first,
                first + ran - 1, allCuts, HasFailure() ? 1u : 0u,
                HasFailure() ? (", seeds " + std::to_string(first + ran - 1)).c_str() : "");
}

TEST_F(RandomDriveTest, PowerCutsInsideDiscardsLeaveEverySectorStable)
{
    // Seeds that, on a drive where a cut discard left its split entries beside the whole run, found a
    // sector that changed between two reads.
    const std::vector<uint32_t> seeds = {2, 3, 5};
    for (const uint32_t seed : seeds) {
        SCOPED_TRACE(seed);
        // Each seed starts from a freshly formatted drive.
        if (seed != seeds.front()) {
            TearDown();
            SetUp();
        }
        unsigned cuts = 0, discardCuts = 0;
        run(seed, 1500, &cuts, &discardCuts);
        if (HasFatalFailure() || HasFailure())
            return;
        EXPECT_GT(discardCuts, 20u);
    }
}

// A Corvo board with the extension memory: two drives, one lock, one region cache between them.
class TwoDriveTest : public blockdevtest::LoadedTest {
protected:
    TwoDriveTest() { variant = nandsim::Variant::Corvo; }
    void SetUp() override
    {
        LoadedTest::SetUp();
        board->install_chip(1, nandsim::chip_geometry(blockdevtest::kChip8M));
    }
};

TEST_F(TwoDriveTest, RequestsGoToTheDriveOfTheirMinor)
{
    load();
    ASSERT_EQ(numDrives, 2);
    ASSERT_GT(format_and_mount(1, blockdevtest::kDrive0), 0u) << hostkernel::log_text();
    ASSERT_GT(format_and_mount(2, blockdevtest::kDrive1), 0u) << hostkernel::log_text();

    // Alternating requests on the same sectors of both drives.
    std::vector<uint8_t> main = pattern(64 * 512, 12), extension = pattern(64 * 512, 13);
    for (unsigned long sector = 0; sector < 64; sector += 16) {
        std::vector<uint8_t> a(main.begin() + sector * 512, main.begin() + (sector + 16) * 512);
        std::vector<uint8_t> b(extension.begin() + sector * 512, extension.begin() + (sector + 16) * 512);
        ASSERT_EQ(transfer(WRITE, sector, a, 16, 8, blockdevtest::kDrive0), 0);
        ASSERT_EQ(transfer(WRITE, sector, b, 16, 8, blockdevtest::kDrive1), 0);
    }
    std::vector<uint8_t> back(64 * 512);
    ASSERT_EQ(transfer(READ, 0, back, 64, 8, blockdevtest::kDrive1), 0);
    EXPECT_EQ(back, extension);
    ASSERT_EQ(transfer(READ, 0, back, 64, 8, blockdevtest::kDrive0), 0);
    EXPECT_EQ(back, main);

    hostkernel::clear_log();
    EXPECT_EQ(transfer(READ, 0, back, 8, 8, MKDEV(FD_MAJOR, FD_MINOR_BASE + 2)), FD_EIO);
    EXPECT_NE(hostkernel::log_text().find("TESSARO: invalid drive number\n"), std::string::npos);

    // A dump to the extension memory leaves the main drive as it was.
    int context = 0;
    rawsync_data data = {blockdevtest::kDrive1, &context};
    rawsync_dev_operations *dump = hostkernel::rawsync_device();
    std::vector<uint8_t> core = pattern(4096, 14);
    ASSERT_EQ(dump->init(&data), 0);
    EXPECT_EQ(dump->write(&data, 0, 4096, core.data()), 0);
    EXPECT_EQ(dump->end(), 0);
    ASSERT_EQ(transfer(READ, 0, back, 64, 8, blockdevtest::kDrive1), 0);
    EXPECT_TRUE(std::equal(core.begin(), core.end(), back.begin()));
    ASSERT_EQ(transfer(READ, 0, back, 64, 8, blockdevtest::kDrive0), 0);
    EXPECT_EQ(back, main);
}

// On large-page media the layer's page is 2048 bytes: sectors are written by read-modify-write, and
// a discard covers only whole pages, so its pieces must be whole pages too.
class LargePageDriveTest : public blockdevtest::LoadedTest {
protected:
    void SetUp() override
    {
        LoadedTest::SetUp();
        board->remove_chip(0);
        board->install_chip(0, nandsim::chip_geometry(0xF1));
    }
};

TEST_F(LargePageDriveTest, SectorsAndDiscardsOfWholePages)
{
    load();
    ASSERT_GT(format_and_mount(), 0u) << hostkernel::log_text();
    ASSERT_EQ(extndMediaInfo[0].bLLMode, 1);

    std::vector<uint8_t> data = pattern(400 * 512, 9);
    ASSERT_EQ(transfer(WRITE, 0, data), 0);
    std::vector<uint8_t> one = pattern(512, 10);
    ASSERT_EQ(transfer(WRITE, 5, one, 1, 1), 0);
    std::copy(one.begin(), one.end(), data.begin() + 5 * 512);
    EXPECT_EQ(read_sectors(0, 400), data);

    // Sectors 3 to 302: the pages from sector 4 to sector 299 go, the partial pages at both ends stay.
    ControlBlock block;
    block.set<uint32_t>(CB_START, 3 * 512);
    block.set<uint32_t>(CB_LENGTH, 300 * 512);
    ASSERT_EQ(ioctl(FD_IOCTL_DISCARD, block), 0);
    std::fill(data.begin() + 4 * 512, data.begin() + 300 * 512, kErased);
    EXPECT_EQ(read_sectors(0, 400), data);
}

} // namespace
