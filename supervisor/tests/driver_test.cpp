// The board driver's requests against the driver stand-in, and the parameter keywords built from them.
#include "board_fixture.h"

#include "driver.h"

#include <arpa/inet.h>
#include <cerrno>

using namespace board;

namespace {

class Driver : public BoardTest {
protected:
    void SetUp() override
    {
        BoardTest::SetUp();
        writeFile("/tmp/pmr/state",
                  "dip_switch=14\nboot_device=2\nram_size=268435456\ncpu_code=7\nvariant=0x92\n"
                  "server_ip=10.1.2.3\nlibname=libpkg_a\nreset_status=12\noneshot_state=201\nswap_flag=156\n");
        if (!pmrBisOpen()) ASSERT_EQ(0, pmrSopen());
    }
    static std::string requests() { return readFile("/tmp/pmr/requests"); }
    static std::string state() { return readFile("/tmp/pmr/state"); }
};

TEST_F(Driver, ConfigurationRecordsCarryTheBoardDataAtTheirOffsets)
{
    CpuConfig cpu;
    ASSERT_EQ(0, pmrSgetCpuConfig(&cpu));
    const auto *bytes = reinterpret_cast<const uint8_t *>(&cpu);
    EXPECT_EQ(14, bytes[36]);
    EXPECT_EQ(2, bytes[39]);
    uint32_t ram;
    memcpy(&ram, bytes + 80, sizeof ram);
    EXPECT_EQ(268435456u, ram);
    EXPECT_EQ(7, bytes[85]);
    EXPECT_EQ(0x92, bytes[86]);

    NetConfig net;
    ASSERT_EQ(0, pmrSgetNetConfig(&net));
    char ip[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, reinterpret_cast<const uint8_t *>(&net) + 82, ip, sizeof ip);
    EXPECT_STREQ("10.1.2.3", ip);

    OneshotStatus oneshot;
    ASSERT_EQ(0, pmrSgetOneshot(&oneshot));
    EXPECT_EQ(201, oneshot.state);
    EXPECT_EQ(156, oneshot.swapFlag);
    ASSERT_EQ(0, pmrSresetSwapflag());
    ASSERT_EQ(0, pmrSgetOneshot(&oneshot));
    EXPECT_EQ(0, oneshot.swapFlag);
}

TEST_F(Driver, RequestsThatChangeTheBoardAreSeenByTheDriver)
{
    ASSERT_EQ(0, pmrSstartWatchdog());
    ASSERT_EQ(0, pmrSrefreshWatchdog());
    ASSERT_EQ(0, pmrSledOn());
    ASSERT_EQ(0, pmrSsetPid(getpid()));
    ASSERT_EQ(0, pmrSactivateOneshot());
    EXPECT_NE(std::string::npos, state().find("watchdog=on\n"));
    EXPECT_NE(std::string::npos, state().find("led=on\n"));
    EXPECT_NE(std::string::npos, state().find("pid=" + std::to_string(getpid()) + "\n"));
    EXPECT_NE(std::string::npos, state().find("oneshot_armed=1\n"));
    ASSERT_EQ(0, pmrSstopWatchdog());
    EXPECT_NE(std::string::npos, state().find("watchdog=off\n"));
    EXPECT_NE(std::string::npos, requests().find("WATCHDOG_START\nWATCHDOG_REFRESH\nSET_PID "));
}

TEST_F(Driver, AcknowledgingTheWatchdogResetClearsOnlyThatCause)
{
    uint32_t status = 0;
    ASSERT_EQ(0, pmrSgetResetStatus(&status));
    EXPECT_EQ(12u, status);
    ASSERT_EQ(0, pmrSackResetStatus());
    EXPECT_NE(std::string::npos, requests().find("ACK_RESET_STATUS 8\n"));
    ASSERT_EQ(0, pmrSgetResetStatus(&status));
    EXPECT_EQ(4u, status);
}

TEST_F(Driver, TheLibraryNameIsAlwaysTerminated)
{
    char name[32];
    ASSERT_EQ(0, pmrSgetLibraryName(name, sizeof name));
    EXPECT_STREQ("libpkg_a", name);
    char small[4];
    ASSERT_EQ(0, pmrSgetLibraryName(small, sizeof small));
    EXPECT_STREQ("lib", small);
    // A name that fills the driver's whole buffer comes without a terminator.
    const std::string longName(PMR_LIBNAME_SIZE + 10, 'n');
    writeFile("/tmp/pmr/state", "libname=" + longName + "\n");
    char large[2 * PMR_LIBNAME_SIZE];
    memset(large, 'x', sizeof large);
    ASSERT_EQ(0, pmrSgetLibraryName(large, sizeof large));
    EXPECT_EQ(longName.substr(0, PMR_LIBNAME_SIZE - 1), large);
}

TEST_F(Driver, AFailingRequestReportsItsError)
{
    writeFile("/tmp/pmr/state", "fail=0x11802,0x1180c\n");
    errno = 0;
    EXPECT_EQ(-1, pmrSrefreshWatchdog());
    EXPECT_EQ(EIO, errno);
    OneshotStatus oneshot;
    EXPECT_EQ(-1, pmrSgetOneshot(&oneshot));
    EXPECT_EQ(0, pmrSledOff());
}

TEST_F(Driver, WithoutTheDriverEveryRequestFails)
{
    pmrVclose();
    errno = 0;
    EXPECT_EQ(-1, pmrSrefreshWatchdog());
    EXPECT_EQ(EBADF, errno);
    EXPECT_TRUE(requests().empty());
}

TEST_F(Driver, KeywordsBecomeBoardDataAndAFailedOneABlank)
{
    std::vector<std::string> words{"dip_switch", "-x", "sigmod_voip", "cpu_conf", "dip_switchX"};
    processVtreat_kw(words);
    EXPECT_EQ("dip_switch=14", words[0]);
    EXPECT_EQ("-x", words[1]);
    EXPECT_EQ("sigmod_voip=1", words[2]);
    EXPECT_EQ(0u, words[3].rfind("cpu_conf_lg=152 cpu_conf=0,0,", 0)) << words[3];
    EXPECT_EQ(152u, count(words[3], ",") + 1);
    EXPECT_EQ("dip_switchX", words[4]);

    pmrVclose();
    std::vector<std::string> failed{"net_conf"};
    processVtreat_kw(failed);
    EXPECT_EQ(" ", failed[0]);
    EXPECT_TRUE(logHas("[processVtreat_kw] : Keyword [net_conf] failed [-1]\n"));
}

TEST(KeywordFormat, ValuesFollowTheirElementWidth)
{
    const uint16_t shorts[] = {1, 65535};
    EXPECT_EQ("k_lg=2 k=1,65535", processSformatKeyword("k", shorts, 2, 2));
    const uint32_t longs[] = {4000000000u};
    EXPECT_EQ("k=4000000000", processSformatKeyword("k", longs, 1, 4));
    const uint64_t huge[] = {1, 18446744073709551615ull};
    EXPECT_EQ("k_lg=2 k=1,18446744073709551615", processSformatKeyword("k", huge, 2, 8));
    EXPECT_EQ("", processSformatKeyword("k", huge, 0, 8));
}

}  // namespace
