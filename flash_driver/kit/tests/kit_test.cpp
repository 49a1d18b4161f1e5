// The kit's runtime: formatted output as it reaches the kernel log, the assertion line, the geometry
// search and the write-interruption aid.
#include "kit/kit.h"

#include "hostkernel/host.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class KitTest : public ::testing::Test {
protected:
    void SetUp() override { hostkernel::reset(); }
};

TEST_F(KitTest, PrintfFormatsIntoTheLogWithLineEnds)
{
    struct Case {
        std::string expected;
        int (*print)();
    } cases[] = {
        {"100%", [] { return kit::printf("%d%%", 100); }},
        {"[  -42][-0042][7]", [] { return kit::printf("[%5d][%05d][%d]", -42, -42, 7); }},
        {"0x00ff 0x00FF 4294967295", [] { return kit::printf("0x%04x 0x%04X %u", 255u, 255u, 4294967295u); }},
        {"   ab|c|123456789012", [] { return kit::printf("%5s|%c|%ld", "ab", 'c', 123456789012L); }},
        {" 42%\b\b\b\b", [] { return kit::printf(" %2u%%\b\b\b\b", 42u); }},
        {"a\r\nb\r\n", [] { return kit::printf("a\nb\n"); }},
    };
    for (const Case &c : cases) {
        hostkernel::clear_log();
        c.print();
        EXPECT_EQ(hostkernel::log_text(), c.expected);
    }
}

TEST_F(KitTest, OutputIsBounded)
{
    // printf keeps 99 characters of its 100-byte buffer; puts writes at most 150.
    kit::printf("%s%s", std::string(80, 'x').c_str(), std::string(80, 'y').c_str());
    EXPECT_EQ(hostkernel::log_text(), std::string(80, 'x') + std::string(19, 'y'));
    hostkernel::clear_log();
    EXPECT_EQ(kit::puts(std::string(200, 'z').c_str()), 150);
    EXPECT_EQ(hostkernel::log_text(), std::string(150, 'z'));
}

TEST_F(KitTest, AssertionLine)
{
    _sysassert(404, 1216);
    EXPECT_EQ(hostkernel::log_text(), "TSERR Code 404.1216\r\n");
}

TEST_F(KitTest, NumberConversions)
{
    EXPECT_EQ(kit::atol("1234abc"), 1234);
    EXPECT_EQ(kit::atoi("-5"), 0);
    EXPECT_EQ(kit::atoi(" 5"), 0);
    char buffer[40];
    EXPECT_STREQ(xitoa(buffer, 0xBEEF, 16, 8), "0000BEEF");
    EXPECT_STREQ(xitoa(buffer, 5, 2, 0), "101");
    fillchar = ' ';
    EXPECT_STREQ(xitoa(buffer, 42, 10, 4), "  42");
    fillchar = '0';
    // No console input on the board: gets ends at once instead of waiting for a carriage return.
    EXPECT_STREQ(kit::gets(buffer, sizeof buffer), "");
}

TEST_F(KitTest, GeometrySearch)
{
    struct Case {
        uint32_t sectors;
        uint16_t heads, track, cylinders;
    } cases[] = {
        {0, 2, 16, 0},
        {32768, 2, 16, 1024},
        {131072, 10, 16, 819},
        {4194304, 64, 63, 1040},
    };
    for (const Case &c : cases) {
        uint32_t sectors = c.sectors;
        uint16_t heads = 0, track = 0, cylinders = 0;
        BuildCHS(&sectors, &heads, &track, &cylinders);
        EXPECT_EQ(heads, c.heads) << c.sectors;
        EXPECT_EQ(track, c.track) << c.sectors;
        EXPECT_EQ(cylinders, c.cylinders) << c.sectors;
        EXPECT_EQ(sectors, uint32_t{heads} * track * cylinders);
    }
}

TEST_F(KitTest, WriteInterruptionAidVisitsEveryPoint)
{
    VbfWintStart();
    unsigned answers[9] = {};
    for (unsigned call = 0; call < 10000 && !VbfWintDone(); call++)
        for (uint16_t point = 0; point < 9; point++)
            answers[point] += VbfWriteInt(point);
    EXPECT_TRUE(VbfWintDone());
    for (unsigned count : answers)
        EXPECT_EQ(count, 5u);
    EXPECT_EQ(VbfWriteInt(0), 0);
    VbfWintEnd();
    EXPECT_EQ(hostkernel::log_text(), "\r\n  9 possible interruptions, 45 total tested.\r\n");
}

} // namespace
