// Garbage collection: in-place clears, soft errors, wear levelling and forced collections.
#include "ftl/tests/ftl.h"

namespace {

using namespace ftltest;

constexpr uint32_t kUnit = 0x20000;
constexpr uint32_t kPagesPerUnit = kUnit / 512;

class FtlCollectTest : public FtlTest {
protected:
    EUH header(uint32_t unit)
    {
        EUH h;
        EXPECT_EQ(ReadEUH(unit * kUnit, &h, 0), 1) << unit;
        return h;
    }

    // Rewrites a unit's three header copies with another erase count, straight on the chip.
    void set_erase_count(uint32_t unit, uint32_t count)
    {
        nandsim::Chip &chip = *board->chip(0);
        const uint32_t page = unit * kUnit / 512;
        std::vector<uint8_t> bytes = chip.read_page(page);
        for (uint32_t copy : {0u, 128u, 256u}) {
            for (unsigned i = 0; i < 4; i++)
                bytes[copy + 0x2C + i] = static_cast<uint8_t>(count >> (8 * i));
            if (le16(bytes, copy + 0x2A) == 0x9FFF) {
                uint8_t sum = 0;
                for (unsigned i = 0; i < 63; i++)
                    sum = static_cast<uint8_t>(sum + bytes[copy + i]);
                bytes[copy + 63] = static_cast<uint8_t>(-sum);
            }
        }
        chip.write_page_raw(page, bytes);
    }
};

TEST_F(FtlCollectTest, UnitWhoseRunsAreAllDiscardedIsClearedInPlace)
{
    format_drive(kSmall64);
    // The first unit of region 0 takes the first 255 pages written.
    const std::vector<uint8_t> data = pattern(255 * 512, 1);
    for (uint32_t offset = 0; offset < data.size(); offset += 0x8000) {
        const uint32_t n = std::min<uint32_t>(0x8000, static_cast<uint32_t>(data.size()) - offset);
        ASSERT_EQ(vbfwrite(offset, static_cast<uint16_t>(n), data.data() + offset), 1);
    }
    EXPECT_EQ(header(0).ulEraseCount, 1u);
    for (uint32_t offset = 0; offset < data.size(); offset += 0x8000)
        vbfdiscard(offset, static_cast<uint16_t>(std::min<uint32_t>(0x8000, static_cast<uint32_t>(data.size()) - offset)));
    // No spare was used: the unit was erased and formatted again for its region.
    const EUH h = header(0);
    EXPECT_EQ(h.ulEraseCount, 2u);
    EXPECT_EQ(h.uState, EUH_STATE_VALID);
    EXPECT_EQ(h.ulRegionAddress, 0u);
    VbfUnitInfo info{};
    info.uUnit = 0;
    ASSERT_EQ(vbfgetunitinfo(&info), 1);
    EXPECT_EQ(info.ulFree, kUnit - 512);
    EXPECT_EQ(info.ulDiscarded, 0u);
    EXPECT_EQ(info.acBlockMap[0], 0x10);
    EXPECT_EQ(info.acBlockMap[1], 0x11);
    EXPECT_EQ(read(0, 512), std::vector<uint8_t>(512, 0xFE));
    ASSERT_TRUE(restart());
    EXPECT_EQ(read(0x1000, 512), std::vector<uint8_t>(512, 0xFE));
}

TEST_F(FtlCollectTest, SoftErrorIsAGoodReadAndMovesTheUnitToASpare)
{
    format_drive(kSmall64);
    const std::vector<uint8_t> data = pattern(4096, 2);
    ASSERT_EQ(vbfwrite(0x2000, 4096, data.data()), 1);
    ASSERT_EQ(MountRegion(0, 0), 1);
    const uint16_t before = regionCache.auUnits[0];
    // One bit of the third sector flips on the chip: the code corrects it.
    board->chip(0)->flip_bit(before * kPagesPerUnit + 3, 100, 2);
    EXPECT_EQ(read(0x2000, 4096), data);
    const std::string log = hostkernel::log_text();
    EXPECT_NE(log.find("<4>[Flash NAND] Detected Soft Error at 0x00002000 : Garbage Collector.\n"), std::string::npos);
    EXPECT_NE(log.find("<4>[Flash NAND GC] Logical Unit #0 sent to GC\n"), std::string::npos);
    EXPECT_EQ(IsReadOnly(), 0);
    EXPECT_EQ(thisPartition->auUnitMap[before], VBF_UNIT_FREE);
    EXPECT_EQ(header(before).uState, EUH_STATE_SPARE);
    EXPECT_EQ(header(before).ulEraseCount, 2u);
    ASSERT_TRUE(restart());
    EXPECT_EQ(read(0x2000, 4096), data);
}

TEST_F(FtlCollectTest, WornSpareCollectsTheLeastWornUnitThenTheMostDiscarded)
{
    format_drive(kSmall64);
    // Every unit but the first of region 1 has been erased 800 times.
    for (uint32_t unit = 0; unit < 501; unit++)
        if (unit != 4)
            set_erase_count(unit, 800);
    ASSERT_TRUE(restart());
    ASSERT_EQ(thisPartition->ulLowestEraseCount, 1u);
    ASSERT_EQ(thisPartition->uLeastWornUnit, 4u);
    const std::vector<uint8_t> data = pattern(2048, 3);
    ASSERT_EQ(vbfwrite(0, 2048, data.data()), 1);
    ASSERT_EQ(vbfwrite(0, 1024, data.data()), 1);

    ASSERT_EQ(MountRegion(0, 0), 1);
    ASSERT_EQ(GarbageCollect(0, 0), 1);
    // The coldest unit went to the worn spare and is a spare itself now.
    EXPECT_EQ(thisPartition->auUnitMap[4], VBF_UNIT_FREE);
    EXPECT_EQ(header(4).uState, EUH_STATE_SPARE);
    EXPECT_EQ(header(4).ulEraseCount, 2u);
    // The next choice takes the unit of region 0 with discarded pages.
    ASSERT_EQ(MountRegion(0, 0), 1);
    uint16_t victim = 0;
    ASSERT_EQ(FindDirtyUnit(&victim, 801), 1);
    EXPECT_EQ(victim, 0u);
    EXPECT_EQ(read(0, 2048), data);
}

TEST_F(FtlCollectTest, ForcedCollectionOfAnAddressWithoutARunFails)
{
    format_drive(kSmall64);
    ASSERT_EQ(MountRegion(0, 1), 1);
    EXPECT_EQ(GarbageCollect(1, 0x3000), 0);
    EXPECT_EQ(IsReadOnly(), 0);
}

TEST_F(FtlCollectTest, ExplicitCollectionRunsOnlyWhereRunsWereDiscarded)
{
    format_drive(kSmall64);
    EXPECT_EQ(vbfgarbagecollect(), 0);
    const std::vector<uint8_t> data = pattern(2048, 4);
    ASSERT_EQ(vbfwrite(RegionSize() * 2, 2048, data.data()), 1);
    ASSERT_EQ(vbfwrite(RegionSize() * 2, 2048, data.data()), 1);
    uint32_t free = 0, used = 0, discarded = 0;
    ASSERT_EQ(MediaInfoUsage(&free, &used, &discarded), 0);
    EXPECT_EQ(used, 2048u);
    EXPECT_EQ(discarded, 2048u);
    EXPECT_EQ(vbfgarbagecollect(), 1);
    ASSERT_EQ(MediaInfoUsage(&free, &used, &discarded), 0);
    EXPECT_EQ(used, 2048u);
    EXPECT_EQ(discarded, 0u);
    EXPECT_EQ(read(RegionSize() * 2, 2048), data);
}

// Spare units whose header copies no longer agree (a cut while one was formatted), the first copy
// naming another unit count: the collector makes a spare of one on the drive's own geometry, and every
// header the drive then holds describes the drive.
TEST_F(FtlCollectTest, SpareWithAHeaderThatCannotBeTrustedIsBuiltFromTheMountedGeometry)
{
    format_drive(kSmall64);
    const uint16_t units = TotalUnits();
    nandsim::Chip &chip = *board->chip(0);
    for (uint32_t u = StartUnit(); u < StartUnit() + units; u++) {
        if (thisPartition->auUnitMap[u] != VBF_UNIT_FREE)
            continue;
        std::vector<uint8_t> bytes = chip.read_page(u * kPagesPerUnit);
        bytes[0 * 128 + 20] ^= 0x01; // the unit count
        bytes[1 * 128 + 0x2C] ^= 0x40; // the erase count
        chip.write_page_raw(u * kPagesPerUnit, bytes);
        EUH h;
        ASSERT_EQ(ReadSoundEUH(u * kUnit, &h), 0) << u;
    }
    ASSERT_TRUE(restart());
    const std::vector<uint8_t> data = pattern(2048, 6);
    ASSERT_EQ(vbfwrite(RegionSize() * 2, 2048, data.data()), 1);
    ASSERT_EQ(vbfwrite(RegionSize() * 2, 2048, data.data()), 1);
    ASSERT_EQ(vbfgarbagecollect(), 1);
    ASSERT_TRUE(restart());
    EXPECT_EQ(read(RegionSize() * 2, 2048), data);
    for (uint32_t u = StartUnit(); u < StartUnit() + units; u++) {
        EUH h;
        if (ReadSoundEUH(u * kUnit, &h))
            EXPECT_EQ(h.uUnitCount, units) << u;
    }
}

// A unit whose list is full of one-page runs of following client pages, one of them two pages long: a
// write over half of that run needs an entry there, so the unit is collected first, and the runs that
// follow one another become one entry in the copy. Copied entry for entry, the list would be full
// again, and the write would collect unit after unit until the drive turned read-only.
TEST_F(FtlCollectTest, CollectionJoinsRunsThatFollowOneAnother)
{
    format_drive(0xE6); // 8 MB, 8 KB blocks: units of 32 KB, 64 pages and 64 entries
    std::vector<uint8_t> expected(80 * 512);
    for (uint32_t p = 0; p < 80; p += p == 30 ? 2 : 1) {
        const uint32_t n = p == 30 ? 2 : 1;
        const std::vector<uint8_t> data = pattern(n * 512, p + 1);
        ASSERT_EQ(vbfwrite(p * 512, static_cast<uint16_t>(n * 512), data.data()), 1) << p;
        std::copy(data.begin(), data.end(), expected.begin() + p * 512);
    }
    const std::vector<uint8_t> half = pattern(512, 99);
    ASSERT_EQ(vbfwrite(31 * 512, 512, half.data()), 1);
    std::copy(half.begin(), half.end(), expected.begin() + 31 * 512);
    EXPECT_EQ(IsReadOnly(), 0);
    ASSERT_TRUE(restart());
    EXPECT_EQ(read(0, 80 * 512), expected);
}

} // namespace
