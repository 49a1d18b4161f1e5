// The translation layer's format, mount, reads, writes and discards over the simulated chips.
#include "ftl/tests/ftl.h"

#include <cstring>

#include <random>

namespace {

using namespace ftltest;

TEST_F(FtlTest, DefaultFormatOfA64MBDriveLaysOutUnitsRegionsAndHeaders)
{
    format_drive(kSmall64);
    uint32_t info[8];
    ASSERT_EQ(vbfgetpartitioninfo(info), 1);
    // Behind the 2% reserve the chip shows 4014 blocks of 16 KB: 501 units of 128 KB, 2 spares.
    EXPECT_EQ(info[2], 501u);
    EXPECT_EQ(info[3], 0x20000u);
    EXPECT_EQ(info[4], 2u);
    // Overhead per unit: the header page and a 1% cushion rounded up to pages, 2048 bytes.
    EXPECT_EQ(info[1], 4u * (0x20000 - 2048));
    EXPECT_EQ(info[5], 499u * (0x20000 - 2048));
    EXPECT_EQ(info[0], info[5] / info[1]);
    EXPECT_EQ(info[6], 0u);
    EXPECT_EQ(info[7], 256u * 4);
    EXPECT_EQ(vbfclientsize(), info[5]);

    const std::vector<uint8_t> page = board->chip(0)->read_page(0);
    for (uint32_t copy : {0u, 128u, 256u}) {
        EXPECT_EQ(page[copy], 0xCC);
        EXPECT_EQ(page[copy + 1], 0xDD);
        EXPECT_EQ(std::string(page.begin() + copy + 2, page.begin() + copy + 11), "QV_FS3.00");
        EXPECT_EQ(le16(page, copy + 0x2A), 0x9FFF);
        EXPECT_EQ(le32(page, copy + 0x30), 1234u);
        EXPECT_EQ(le16(page, copy + 0x34), 0xFFFF);
        EXPECT_EQ(le16(page, copy + 0x36), 512);
        uint8_t sum = 0;
        for (uint32_t i = 0; i < 64; i++)
            sum = static_cast<uint8_t>(sum + page[copy + i]);
        EXPECT_EQ(sum, 0);
    }
    EXPECT_EQ(page[509], 0x7F);
    EXPECT_EQ(page[510], 0x7F);
    EXPECT_EQ(page[511], 0x7F);
    // The system entry in the spare of the header page.
    EXPECT_EQ(page[512], 1);
    EXPECT_EQ(page[513], 0);
    EXPECT_EQ(le16(page, 514), 0xCFFF);
    // The last unit is a spare.
    const std::vector<uint8_t> last = board->chip(0)->read_page(500 * 256);
    EXPECT_EQ(le16(last, 0x2A), 0xFFFF);
    EXPECT_EQ(le32(last, 0x20), 0xFFFFFFFFu);
    EXPECT_EQ(last[0x3F], 0xFF);
}

TEST_F(FtlTest, DefaultFormatOfEachChipKind)
{
    struct Case {
        uint8_t device;
        int mode;
        uint32_t units, unitSize, spares, regionSize, formatted;
        uint16_t pageSize;
    };
    // Sizes behind the bad-block reserve; one spare per 0x1FE0000 media bytes and one more; a page
    // and the 1% cushion of overhead per unit, twice that on large-page chips.
    const Case cases[] = {
        {0xE5, 0, 125, 0x8000, 1, 16 * 31744, 124 * 31744, 512},
        {0x73, 0, 501, 0x8000, 1, 16 * 31744, 500 * 31744, 512},
        {0xF1, 1, 983, 0x20000, 4, 4 * 122880, 979 * 122880, 2048},
        {0xF1, 2, 983, 0x20000, 4, 4 * 126976, 979 * 126976, 512},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.device) + " mode " + std::to_string(c.mode));
        format_drive(c.device, c.mode);
        uint32_t info[8];
        ASSERT_EQ(vbfgetpartitioninfo(info), 1);
        EXPECT_EQ(info[2], c.units);
        EXPECT_EQ(info[3], c.unitSize);
        EXPECT_EQ(info[4], c.spares);
        EXPECT_EQ(info[1], c.regionSize);
        EXPECT_EQ(info[5], c.formatted);
        EXPECT_EQ(info[7], c.unitSize / c.pageSize * 4);
        // The header page of the first unit with its page size and, at its very end, the version.
        nandsim::Chip &chip = *board->chip(0);
        std::vector<uint8_t> page = chip.read_page(0);
        if (c.pageSize == 512 && chip.geometry().page_size == 2048)
            page.resize(512);
        EXPECT_EQ(le16(page, 0x36), c.pageSize);
        EXPECT_EQ(page[c.pageSize - 1], 0x7F);
        EXPECT_EQ(page[c.pageSize - 3], 0x7F);
        const std::vector<uint8_t> data = pattern(4096, c.device);
        ASSERT_EQ(vbfwrite(c.formatted - 4096, 4096, data.data()), 1);
        ASSERT_TRUE(restart());
        EXPECT_EQ(read(c.formatted - 4096, 4096), data);
        EXPECT_EQ(vbfwrite(c.formatted - 512, 1024, data.data()), 0) << "past the end";
    }
}

TEST_F(FtlTest, FormatRefusesBadArgumentsAndAnAreaNoMountCouldFind)
{
    formatted(kSmall64);
    struct Case {
        int32_t cushion;
        uint32_t start;
        uint32_t size;
        uint16_t result;
    };
    const Case cases[] = {
        {0, VBF_DEFAULT, VBF_DEFAULT, 0},
        {26, VBF_DEFAULT, VBF_DEFAULT, 0},
        {static_cast<int32_t>(VBF_DEFAULT), 0x200000, VBF_DEFAULT, 0},
        {static_cast<int32_t>(VBF_DEFAULT), VBF_DEFAULT, 0x10000000, 0},
        {static_cast<int32_t>(VBF_DEFAULT), VBF_DEFAULT, 0x100, 0},
        {static_cast<int32_t>(VBF_DEFAULT), 0xF0001, 0x400000, 1},
    };
    for (const Case &c : cases) {
        uint32_t size = c.size, start = c.start, spares = VBF_DEFAULT;
        EXPECT_EQ(vbfformat(7, c.cushion, &size, &start, &spares), c.result) << c.cushion << " " << c.start;
        if (c.result)
            EXPECT_EQ(start, 0xF0000u) << "rounded up to a 32 KB unit, then one unit lower";
    }
    // The last format mounts.
    EXPECT_EQ(vbfmount(), 1);
    EXPECT_EQ(StartUnit(), 0xF0000u / 0x8000);
}

TEST_F(FtlTest, HeaderChecksAndVotes)
{
    format_drive(kSmall64);
    EUH h;
    ASSERT_EQ(ReadEUH(0, &h, 0), 1);
    struct Check {
        uint16_t state;
        int checksumDelta;
        uint32_t unitSize;
        uint16_t valid;
    };
    const Check checks[] = {
        {0x9FFF, 0, 0x20000, 1}, {0x9FFF, 1, 0x20000, 0}, {0xDFFF, 1, 0x20000, 1},
        {0xFFFF, 1, 0x20000, 1}, {0x9FFF, 0, 0, 0},       {0xDFFF, 0, 0x2100, 0},
    };
    for (const Check &c : checks) {
        EUH t = h;
        t.uState = c.state;
        t.ulUnitSize = c.unitSize;
        SetCheckSum(&t);
        t.ucCheckSum = static_cast<uint8_t>(t.ucCheckSum + c.checksumDelta);
        EXPECT_EQ(IsValidEUH(&t), c.valid) << std::hex << c.state << " " << c.unitSize;
    }
    // A header describes no more client bytes than its data units hold.
    EUH big = h;
    big.ulFormattedSize = static_cast<uint32_t>(h.uUnitCount - h.uSpareUnits) * h.ulUnitSize + 512;
    SetCheckSum(&big);
    EXPECT_EQ(IsValidEUH(&big), 0);

    // Two copies agree, the third is torn: the read has the header and the page is mended.
    nandsim::Chip &chip = *board->chip(0);
    const uint32_t page = 4 * 256; // the first page of unit 4
    std::vector<uint8_t> bytes = chip.read_page(page);
    bytes[256 + 0x2A] = 0x00;
    chip.write_page_raw(page, bytes);
    ASSERT_EQ(ReadEUH(4 * 0x20000, &h, 1), 1);
    EXPECT_EQ(h.uState, EUH_STATE_VALID);
    std::vector<uint8_t> mended(512);
    ASSERT_EQ(oemread(4 * 0x20000, 512, mended.data(), ACCESS_TYPE_RAW), 1);
    EXPECT_TRUE(std::equal(mended.begin(), mended.begin() + 64, mended.begin() + 256));

    // The format version is voted on the same way.
    struct Version {
        uint8_t bytes[3];
        uint16_t result;
        uint8_t version;
    };
    const Version versions[] = {{{0x7F, 0x7F, 0x00}, 1, 0x7F}, {{0x7F, 0x00, 0x00}, 1, 0x00}, {{0x01, 0x02, 0x03}, 0, 0}};
    uint32_t unit = 8; // a unit each: a mended page moves its block
    for (const Version &v : versions) {
        bytes = chip.read_page(unit * 256);
        std::copy(v.bytes, v.bytes + 3, bytes.begin() + 509);
        chip.write_page_raw(unit * 256, bytes);
        uint8_t version = 0xEE;
        EXPECT_EQ(vbfreadEUHversion(unit++ * 0x20000, &version), v.result);
        if (v.result)
            EXPECT_EQ(version, v.version);
    }
}

// An erase cut short on the first unit while it turns into a spare sets bits of each header copy
// differently; only its state's checksum-less copies are left. The mount takes the geometry from the
// next sound header, and the unit gets a sound one again.
TEST_F(FtlTest, TornEraseOfTheFirstUnitsHeaderDoesNotStopTheMount)
{
    format_drive(kSmall64);
    const uint16_t units = TotalUnits();
    const std::vector<uint8_t> data = pattern(4096, 5);
    ASSERT_EQ(vbfwrite(2 * RegionSize(), 4096, data.data()), 1);
    nandsim::Chip &chip = *board->chip(0);
    std::vector<uint8_t> bytes = chip.read_page(0);
    const uint32_t torn[3] = {21, 0x25, 0x2C}; // unit count, region address, erase count
    for (uint32_t copy = 0; copy < 3; copy++) {
        bytes[copy * 128 + 0x2B] = EUH_STATE_ERASE >> 8;
        bytes[copy * 128 + torn[copy]] |= 0x40;
    }
    chip.write_page_raw(0, bytes);
    EUH h;
    std::memcpy(&h, bytes.data(), sizeof h);
    ASSERT_EQ(IsValidEUH(&h), 1) << "the first copy alone looks like a header";

    ASSERT_TRUE(restart());
    EXPECT_EQ(TotalUnits(), units);
    EXPECT_EQ(read(2 * RegionSize(), 4096), data);
    ASSERT_EQ(vbfwrite(0, 4096, data.data()), 1);
    ASSERT_TRUE(restart());
    EXPECT_EQ(read(0, 4096), data);
    ASSERT_EQ(ReadSoundEUH(0, &h), 1);
    EXPECT_EQ(h.uUnitCount, units);
}

// Bits flipped in the header copies of a unit that holds data: a copy valid with a good checksum, or
// two that agree, place it; with no copy to trust the unit is kept as it is, named in the log, and the
// drive is read-only. No unit is erased over a header it cannot read.
TEST_F(FtlTest, AHeaderThatCannotBeTrustedErasesNoData)
{
    struct Case {
        std::vector<uint32_t> copies;
        bool writable;
    };
    const Case cases[] = {{{0, 1}, true}, {{0, 2}, true}, {{1, 2}, true}, {{0, 1, 2}, false}};
    for (const Case &c : cases) {
        SCOPED_TRACE("copies flipped: " + std::to_string(c.copies.size()) + " from " + std::to_string(c.copies[0]));
        format_drive(kSmall64);
        const std::vector<uint8_t> data = pattern(0x30000, 11);
        for (uint32_t at = 0; at < data.size(); at += 0x8000)
            ASSERT_EQ(vbfwrite(at, 0x8000, data.data() + at), 1);
        nandsim::Chip &chip = *board->chip(0);
        std::vector<uint8_t> page = chip.read_page(256); // unit 1, which holds data
        const std::vector<uint8_t> second = chip.read_page(257);
        for (uint32_t copy : c.copies)
            page[copy * 128 + 0x2C] ^= 0x01; // the erase count
        chip.write_page_raw(256, page);
        hostkernel::clear_log();
        auto whole = [&] {
            for (uint32_t at = 0; at < data.size(); at += 0x8000)
                if (read(at, 0x8000) != std::vector<uint8_t>(data.begin() + at, data.begin() + at + 0x8000))
                    return false;
            return true;
        };
        EXPECT_EQ(restart(), c.writable);
        EXPECT_EQ(IsReadOnly(), !c.writable);
        if (c.writable) {
            EXPECT_TRUE(whole());
            ASSERT_EQ(vbfwrite(0x40000, 0x8000, data.data()), 1);
            ASSERT_TRUE(restart());
            EXPECT_TRUE(whole());
        } else {
            EXPECT_NE(hostkernel::log_text().find("unit 1 on device 0 holds live data and cannot be placed"), std::string::npos)
                << hostkernel::log_text();
            EXPECT_EQ(chip.read_page(257), second) << "the unit's data stays on the flash";
        }
    }
}

// A discard across a region boundary whose first piece fails (its unit's block takes no program and
// the reserve has no block that does): the call reports the failure and leaves the second piece's
// sectors as they were.
TEST_F(FtlTest, DiscardWhosePieceFailsPartWayReportsIt)
{
    format_drive(0xE6); // 8 MB, 8 KB blocks: units of 32 KB
    const uint32_t boundary = RegionSize();
    const std::vector<uint8_t> data = pattern(4096, 8);
    ASSERT_EQ(vbfwrite(boundary - 2048, 4096, data.data()), 1);
    nandsim::Chip &chip = *board->chip(0);
    chip.failing_program_blocks.insert(0); // the first unit's, where region 0's run and its entry are
    for (uint32_t block = 900; block < chip.geometry().blocks; block++)
        chip.failing_program_blocks.insert(block);
    EXPECT_EQ(vbfdiscard(boundary - 2048, 4096), 0);
    chip.failing_program_blocks.clear();
    EXPECT_EQ(read(boundary, 2048), std::vector<uint8_t>(data.begin() + 2048, data.end()));
}

// A drive of the older policy never wrote a version into any header page.
TEST_F(FtlTest, DriveOfTheOlderPolicyIsUpgradedAtMount)
{
    format_drive(kSmall64);
    const std::vector<uint8_t> data = pattern(2048, 9);
    ASSERT_EQ(vbfwrite(0x40000, 2048, data.data()), 1);
    nandsim::Chip &chip = *board->chip(0);
    for (uint32_t unit = 0; unit < TotalUnits(); unit++) {
        std::vector<uint8_t> bytes = chip.read_page(unit * 256);
        std::fill(bytes.begin() + 509, bytes.begin() + 512, 0xFF);
        chip.write_page_raw(unit * 256, bytes);
    }
    ASSERT_TRUE(restart());
    EXPECT_NE(hostkernel::log_text().find("   Upgrade succeded                     \n"), std::string::npos);
    for (uint32_t unit : {0u, 7u}) {
        uint8_t version = 0;
        ASSERT_EQ(vbfreadEUHversion(unit * 0x20000, &version), 1);
        EXPECT_EQ(version, 0x7F);
    }
    EXPECT_EQ(read(0x40000, 2048), data);
}

// A tag torn as it turned from written to undiscarded (its state bit programmed, its progress byte
// not) is read by its progress byte as written, a dead entry: the older copy holds the sector. When
// the first unit's header page later reads without its version (torn as it is written again after
// an erase), the drive is still of the current policy, and no upgrade settles the tag the other way.
TEST_F(FtlTest, ATornTagIsReadTheSameWayAtEveryMount)
{
    format_drive(kSmall64);
    const std::vector<uint8_t> older = pattern(512, 1), newer = pattern(512, 2);
    ASSERT_EQ(vbfwrite(0x40000, 512, older.data()), 1);
    struct Cut {};
    board->chip(0)->after_tear = [] { throw Cut{}; };
    board->cut_power_after(3, 517.0 / 528, false, 1); // entry, data, then the entry's second step
    EXPECT_THROW(vbfwrite(0x40000, 512, newer.data()), Cut);
    board->chip(0)->after_tear = nullptr;
    for (int mount = 0; mount < 3; mount++) {
        SCOPED_TRACE("mount " + std::to_string(mount));
        if (mount == 1) {
            nandsim::Chip &chip = *board->chip(0);
            std::vector<uint8_t> bytes = chip.read_page(0);
            std::fill(bytes.begin() + 509, bytes.begin() + 512, 0xFF);
            chip.write_page_raw(0, bytes);
        }
        ASSERT_TRUE(restart());
        EXPECT_EQ(hostkernel::log_text().find("Upgrading protection Policy"), std::string::npos);
        EXPECT_EQ(read(0x40000, 512), older);
    }
}

TEST_F(FtlTest, UnwrittenSectorsReadAsFEAndWritesReadBackAfterARestart)
{
    format_drive(kSmall64);
    EXPECT_EQ(read(0x10000, 1024), std::vector<uint8_t>(1024, 0xFE));
    const std::vector<uint8_t> data = pattern(4096, 3);
    ASSERT_EQ(vbfwrite(0x7F000, 4096, data.data()), 1); // across a region boundary
    EXPECT_EQ(read(0x7F000, 4096), data);
    ASSERT_TRUE(restart());
    EXPECT_EQ(read(0x7F000, 4096), data);
    EXPECT_EQ(read(0x7F000 + 4096, 512), std::vector<uint8_t>(512, 0xFE));
    // A range that wraps 32 bits is past the end, and costs the drive nothing.
    EXPECT_EQ(vbfwrite(0xFFFFFE00, 1024, data.data()), 0);
    EXPECT_EQ(vbfread(0xFFFFFE00, 1024, std::vector<uint8_t>(1024).data()), 0);
    vbfdiscard(0xFFFFFE00, 1024);
    EXPECT_EQ(IsReadOnly(), 0);
    EXPECT_EQ(read(0x7F000, 4096), data);
}

TEST_F(FtlTest, PartsOfSectorsAreRefusedAndTheDriveStaysWritable)
{
    for (const int mode : {0, 1}) {
        SCOPED_TRACE(mode ? "large pages" : "small pages");
        format_drive(mode ? kLarge128 : kSmall64, mode);
        const std::vector<uint8_t> data = pattern(4096, 5);
        ASSERT_EQ(vbfwrite(0, 4096, data.data()), 1);
        const std::vector<uint8_t> other = pattern(65535, 6);
        const std::pair<uint32_t, uint16_t> requests[] = {{0, 2}, {0, 3}, {0, 510}, {0, 514}, {0, 1000}, {0, 65535}, {100, 512}};
        for (const auto &request : requests) {
            SCOPED_TRACE(std::to_string(request.first) + ", " + std::to_string(request.second));
            EXPECT_EQ(vbfwrite(request.first, request.second, other.data()), 0);
            std::vector<uint8_t> back(request.second);
            EXPECT_EQ(vbfread(request.first, request.second, back.data()), 0);
            EXPECT_EQ(IsReadOnly(), 0);
            EXPECT_EQ(read(0, 4096), data);
        }
        EXPECT_EQ(vbfwrite(512, 512, other.data()), 1);
    }
}

TEST_F(FtlTest, RewriteInTheMiddleOfARunSplitsItsEntry)
{
    format_drive(kSmall64);
    const std::vector<uint8_t> four = pattern(2048, 1);
    ASSERT_EQ(vbfwrite(0, 2048, four.data()), 1);
    const std::vector<uint8_t> one = pattern(512, 2);
    ASSERT_EQ(vbfwrite(512, 512, one.data()), 1);
    // The list of unit 0: system entry, the run of 4 (discarded), the new run, head and tail.
    std::vector<uint8_t> list(6 * 4);
    ASSERT_EQ(oemread(0, static_cast<uint16_t>(list.size()), list.data(), ACCESS_TYPE_HIDDEN), 1);
    EXPECT_EQ(le16(list, 0 + 2), 0xCFFF);
    EXPECT_EQ(list[4], 4);
    EXPECT_EQ(list[5], 1);
    EXPECT_EQ(le16(list, 6), 0x8000);
    EXPECT_EQ(list[8], 1);
    EXPECT_EQ(list[9], 5);
    EXPECT_EQ(le16(list, 10), 0xC001);
    EXPECT_EQ(list[12], 1); // head: client page 0
    EXPECT_EQ(list[13], 1);
    EXPECT_EQ(le16(list, 14), 0xC000);
    EXPECT_EQ(list[16], 2); // tail: physical and client page advanced by 2
    EXPECT_EQ(list[17], 3);
    EXPECT_EQ(le16(list, 18), 0xC002);
    std::vector<uint8_t> expect = four;
    std::copy(one.begin(), one.end(), expect.begin() + 512);
    EXPECT_EQ(read(0, 2048), expect);
    ASSERT_TRUE(restart());
    EXPECT_EQ(read(0, 2048), expect);
}

TEST_F(FtlTest, BlockThatKeepsFailingTurnsTheDriveReadOnlyAfterBoundedRetries)
{
    format_drive(kSmall64);
    const std::vector<uint8_t> data = pattern(1024, 8);
    ASSERT_EQ(vbfwrite(0, 1024, data.data()), 1);
    // The reserve is spent and the first unit's block takes no program any more.
    nandsim::Chip &chip = *board->chip(0);
    for (uint32_t block = 4014; block < 4096 - 2; block++)
        chip.failing_erase_blocks.insert(block);
    chip.failing_program_blocks.insert(0);
    // The write gives up (an unbounded retry would never return) and the drive turns read-only.
    EXPECT_EQ(vbfwrite(4096, 1024, data.data()), 0);
    EXPECT_EQ(IsReadOnly(), 1);
    EXPECT_EQ(vbfwrite(8192, 512, data.data()), 0);
    EXPECT_EQ(read(0, 1024), data) << "a read-only drive still reads";
}

TEST_F(FtlTest, SplitsThatFillAUnitsListCollectItFirst)
{
    format_drive(kSmall64);
    std::vector<uint8_t> expect = pattern(200 * 512, 10);
    for (uint32_t offset = 0; offset < expect.size(); offset += 0xC800)
        ASSERT_EQ(vbfwrite(offset, 0xC800, expect.data() + offset), 1);
    // Each rewrite of one page inside the long run splits it: two entries more in its unit's list,
    // more than its 256 entries hold before the rewrites end.
    for (uint32_t page = 1; page < 200; page += 2) {
        const std::vector<uint8_t> one = pattern(512, 1000 + page);
        ASSERT_EQ(vbfwrite(page * 512, 512, one.data()), 1) << page;
        std::copy(one.begin(), one.end(), expect.begin() + page * 512);
    }
    EXPECT_EQ(IsReadOnly(), 0);
    EUH first;
    ASSERT_EQ(ReadEUH(0, &first, 0), 1);
    EXPECT_GE(first.ulEraseCount, 2u) << "the unit of the long run was collected";
    EXPECT_EQ(read(0, 0xC800), std::vector<uint8_t>(expect.begin(), expect.begin() + 0xC800));
    EXPECT_EQ(read(0xC800, 0xC800), std::vector<uint8_t>(expect.begin() + 0xC800, expect.end()));
    ASSERT_TRUE(restart());
    EXPECT_EQ(read(0, 0xC800), std::vector<uint8_t>(expect.begin(), expect.begin() + 0xC800));
    EXPECT_EQ(read(0xC800, 0xC800), std::vector<uint8_t>(expect.begin() + 0xC800, expect.end()));
}

TEST_F(FtlTest, DiscardedSectorsReadAsUnwritten)
{
    format_drive(kSmall64);
    const std::vector<uint8_t> data = pattern(4096, 5);
    ASSERT_EQ(vbfwrite(0x1000, 4096, data.data()), 1);
    vbfdiscard(0x1400, 1024);
    std::vector<uint8_t> expect = data;
    std::fill(expect.begin() + 1024, expect.begin() + 2048, 0xFE);
    EXPECT_EQ(read(0x1000, 4096), expect);
    ASSERT_TRUE(restart());
    EXPECT_EQ(read(0x1000, 4096), expect);
}

TEST_F(FtlTest, LargePagesAreWrittenWholeAndDiscardedOnlyWhole)
{
    format_drive(kLarge128, 1);
    const std::vector<uint8_t> page = pattern(2048, 6);
    ASSERT_EQ(vbfwrite(0x4000, 2048, page.data()), 1);
    const std::vector<uint8_t> piece = pattern(512, 7);
    const unsigned programs = board->chip(0)->programs;
    ASSERT_EQ(vbfwrite(0x4000 + 1024, 512, piece.data()), 1);
    std::vector<uint8_t> expect = page;
    std::copy(piece.begin(), piece.end(), expect.begin() + 1024);
    EXPECT_EQ(read(0x4000, 2048), expect);
    // The page moved as a whole: one data page, its entry's three states, the old entry discarded.
    EXPECT_EQ(board->chip(0)->programs - programs, 5u);
    vbfdiscard(0x4000, 1024);
    vbfdiscard(0x4000 + 512, 2048);
    EXPECT_EQ(read(0x4000, 2048), expect);
    vbfdiscard(0x4000, 2048);
    EXPECT_EQ(read(0x4000, 2048), std::vector<uint8_t>(2048, 0xFE));
}

// Random writes, rewrites and discards over a few regions, many times their size, against a model;
// the collector reclaims space and every sector reads back after restarts.
void RandomWorkload(std::mt19937 &random, unsigned operations, uint32_t span,
                    std::map<uint32_t, std::vector<uint8_t>> &model)
{
    std::uniform_int_distribution<uint32_t> sector(0, span / 512 - 1);
    std::uniform_int_distribution<uint32_t> count(1, 16);
    for (unsigned i = 0; i < operations; i++) {
        uint32_t first = sector(random);
        uint32_t n = std::min(count(random), span / 512 - first);
        if (lpThisMedia->bLLMode && i % 7 == 6) {
            first -= first % 4;
            n = std::max<uint32_t>(4, n - n % 4);
        }
        if (i % 7 == 6) {
            // Large pages are discarded only as whole 2048-byte pages.
            if (lpThisMedia->bLLMode && (first % 4 || n % 4))
                continue;
            vbfdiscard(first * 512, static_cast<uint16_t>(n * 512));
            for (uint32_t s = first; s < first + n; s++)
                model.erase(s);
            continue;
        }
        std::vector<uint8_t> data(n * 512);
        for (uint8_t &b : data)
            b = static_cast<uint8_t>(random());
        ASSERT_EQ(vbfwrite(first * 512, static_cast<uint16_t>(data.size()), data.data()), 1) << i;
        for (uint32_t s = 0; s < n; s++)
            model[first + s] = std::vector<uint8_t>(data.begin() + s * 512, data.begin() + (s + 1) * 512);
    }
}

void Check(uint32_t span, const std::map<uint32_t, std::vector<uint8_t>> &model)
{
    std::vector<uint8_t> back(512);
    for (uint32_t s = 0; s < span / 512; s++) {
        ASSERT_EQ(vbfread(s * 512, 512, back.data()), 1);
        auto found = model.find(s);
        if (found == model.end())
            ASSERT_EQ(back, std::vector<uint8_t>(512, 0xFE)) << "sector " << s;
        else
            ASSERT_EQ(back, found->second) << "sector " << s;
    }
}

class FtlRandomTest : public FtlTest, public ::testing::WithParamInterface<int> {
};

TEST_P(FtlRandomTest, RandomWritesAndDiscardsReadBackThroughCollectionsAndRestarts)
{
    const int mode = GetParam();
    format_drive(mode < 0 ? kSmall64 : kLarge128, mode < 0 ? 0 : mode);
    std::mt19937 random(42);
    std::map<uint32_t, std::vector<uint8_t>> model;
    const uint32_t span = 3 * RegionSize();
    for (int round = 0; round < 4; round++) {
        RandomWorkload(random, 500, span, model);
        Check(span, model);
        ASSERT_TRUE(restart());
        Check(span, model);
    }
    uint32_t highest = 0, average = 0, lowest = 0;
    EXPECT_EQ(MediaInfoErase(&highest, &average, &lowest), 0);
    EXPECT_GT(highest, 1u) << "the collector erased and reused units";
}

INSTANTIATE_TEST_SUITE_P(Layouts, FtlRandomTest, ::testing::Values(-1, 1, 2));

} // namespace
