// The two outside libraries, opened by name and bound, and what the supervisor relies on in each.
#include "board_fixture.h"

#include "dlibmgt.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>

using namespace board;

namespace {

class Libraries : public BoardTest {
protected:
    void SetUp() override
    {
        BoardTest::SetUp();
        if (!g_boardLibs.config) ASSERT_EQ(0, dlibmgtSbindLibraries()) << mainLog();
    }
    ItemTable table{};
};

TEST_F(Libraries, AllNineEntryPointsAreBoundAndUnloadClearsThem)
{
    const BoardLibraries &l = g_boardLibs;
    EXPECT_TRUE(l.confSparse_config && l.confSshort_basename && l.confSfind_item && l.conf_error &&
                l.confSconfig_file && l.sckClientSendMessage && l.sckServerInit && l.sckServerDoJob &&
                l.sckMessageMakeReply);
    dlibmgtVunloadAll();
    EXPECT_EQ(nullptr, g_boardLibs.config);
    EXPECT_EQ(nullptr, g_boardLibs.confSparse_config);
    EXPECT_EQ(nullptr, g_boardLibs.sckServerDoJob);
}

TEST_F(Libraries, ConfigurationIsParsedIntoTheItemTable)
{
    writeFile("/tmp/config.rc",
              "# board configuration\nversion=2\nrelease=R5.2.1\n"
              "item=lpcm_a|Call handling|L|A|10000|S|ia\n"
              "item=tools_b|Tools||M|00000|X|\n"
              "item=|Nameless|N||01000||\n");
    ASSERT_EQ(0, g_boardLibs.confSparse_config("/tmp/config.rc", &table, MAX_CONFIG_ITEMS)) << g_boardLibs.conf_error;
    ASSERT_EQ(3u, table.count);
    EXPECT_EQ(2, table.version);
    EXPECT_STREQ("R5.2.1", table.release);
    const ConfigItem &lpcm = table.items[0];
    EXPECT_STREQ("lpcm_a", lpcm.name);
    EXPECT_STREQ("Call handling", lpcm.second);
    EXPECT_STREQ("L", lpcm.link);
    EXPECT_STREQ("A", lpcm.start);
    EXPECT_EQ(1, lpcm.startFlags[0]);
    EXPECT_EQ(0, lpcm.startFlags[1]);
    EXPECT_STREQ("S", lpcm.location);
    EXPECT_EQ(1, lpcm.inSoft);
    EXPECT_EQ(0, lpcm.inFlashext);
    EXPECT_STREQ("ia", lpcm.suffix);
    EXPECT_EQ(1, table.items[1].inFlashext);
    EXPECT_EQ(nullptr, table.items[2].name);
    EXPECT_EQ(nullptr, table.items[2].location);

    EXPECT_EQ(1, g_boardLibs.confSfind_item("tools_b", &table, 0));
    EXPECT_EQ(-1, g_boardLibs.confSfind_item("tools", &table, 0));
}

TEST_F(Libraries, AMigratedTableIsWrittenBackWithVersionAndLocations)
{
    writeFile("/tmp/config.rc", "release=R1\nitem=lpcm_a|Call handling|L|A|10000||\n");
    ASSERT_EQ(0, g_boardLibs.confSparse_config("/tmp/config.rc", &table, MAX_CONFIG_ITEMS));
    EXPECT_EQ(1, table.version);
    table.version = 2;
    table.items[0].location = const_cast<char *>("H");
    ASSERT_EQ(0, g_boardLibs.confSconfig_file("/tmp/config.rc", &table));
    ItemTable again{};
    ASSERT_EQ(0, g_boardLibs.confSparse_config("/tmp/config.rc", &again, MAX_CONFIG_ITEMS));
    EXPECT_EQ(2, again.version);
    EXPECT_STREQ("H", again.items[0].location);
    EXPECT_EQ(1, again.items[0].inHdext);
    EXPECT_STREQ("Call handling", again.items[0].second);
}

TEST_F(Libraries, BadConfigurationIsRefusedWithAReasonAndTheTableKept)
{
    writeFile("/tmp/config.rc", "version=2\nitem=keep_a|Kept|L|A|10000|S|\n");
    ASSERT_EQ(0, g_boardLibs.confSparse_config("/tmp/config.rc", &table, MAX_CONFIG_ITEMS));
    const struct {
        const char *text;
        const char *reason;
    } bad[] = {
        {"item=a_a|x|L|A|1000|S|\n", "five digits"},
        {"item=a_a|x|L|A|10000|Q|\n", "unknown location"},
        {"item=a_a|x|L|A|10000\n", "7 fields"},
        {"colour=blue\n", "unknown key colour"},
        {"item=a_a|x|LLLLLLLLLLL|A|10000|S|\n", "link text"},
    };
    for (const auto &b : bad) {
        writeFile("/tmp/bad.rc", b.text);
        EXPECT_EQ(-1, g_boardLibs.confSparse_config("/tmp/bad.rc", &table, MAX_CONFIG_ITEMS)) << b.text;
        EXPECT_NE(nullptr, strstr(g_boardLibs.conf_error, b.reason)) << g_boardLibs.conf_error;
        EXPECT_STREQ("keep_a", table.items[0].name);
    }
    writeFile("/tmp/bad.rc", "item=a_a|x|L|A|10000|S|\nitem=b_a|x|L|A|10000|S|\n");
    EXPECT_EQ(-1, g_boardLibs.confSparse_config("/tmp/bad.rc", &table, 1));
    EXPECT_EQ(-1, g_boardLibs.confSparse_config("/tmp/missing.rc", &table, MAX_CONFIG_ITEMS));
    EXPECT_NE(nullptr, strstr(g_boardLibs.conf_error, "/tmp/missing.rc"));
}

TEST_F(Libraries, ShortBaseNameDropsThePathAndTheSideLetter)
{
    char out[64];
    ASSERT_EQ(0, g_boardLibs.confSshort_basename("/mnt/soft/lpcm_a", out));
    EXPECT_STREQ("lpcm", out);
    ASSERT_EQ(0, g_boardLibs.confSshort_basename("sip_gw_b", out));
    EXPECT_STREQ("sip_gw", out);
    ASSERT_EQ(0, g_boardLibs.confSshort_basename("pkg_a_ia", out));
    EXPECT_STREQ("pkg", out);
    EXPECT_NE(0, g_boardLibs.confSshort_basename("plain", out));
    EXPECT_NE(0, g_boardLibs.confSshort_basename("tools_abc", out));
}

int echoJob(SckMessage *request, SckMessage *reply)
{
    if (request->id == 17) return 0;  // answered by nothing
    memcpy(reply, request, sizeof *reply);
    g_boardLibs.sckMessageMakeReply(reply);
    reply->result = request->value * 2;
    return 0;
}

TEST_F(Libraries, MessagesTravelOverLoopbackAndOnlyRepliesAreSent)
{
    SckServerContext context;
    ASSERT_EQ(0, g_boardLibs.sckServerInit(&context, 23155));
    EXPECT_GT(reinterpret_cast<int32_t *>(&context)[4], 2);
    std::thread server([&] {
        for (int i = 0; i < 2; ++i) g_boardLibs.sckServerDoJob(&context, echoJob);
    });
    SckMessage request{}, reply{};
    request.id = 5;
    request.sender = 23154;
    request.receiver = 23155;
    request.value = 21;
    ASSERT_EQ(0, g_boardLibs.sckClientSendMessage("127.0.0.1", 23155, &request, &reply));
    EXPECT_EQ(42, reply.result);
    EXPECT_EQ(23155, reply.sender);
    EXPECT_EQ(23154, reply.receiver);

    request.id = 17;
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(-1, g_boardLibs.sckClientSendMessage("127.0.0.1", 23155, &request, &reply));
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::seconds(4));
    server.join();
    close(context.socket);

    EXPECT_EQ(-1, g_boardLibs.sckClientSendMessage("not an address", 23155, &request, &reply));
}

TEST_F(Libraries, AServerAnswersOnlyWholeRequests)
{
    SckServerContext context;
    ASSERT_EQ(0, g_boardLibs.sckServerInit(&context, 23155));
    int served = 0;
    std::thread server([&] { served = g_boardLibs.sckServerDoJob(&context, echoJob) == 0; });

    const int probe = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(23155);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const char scrap[10] = "scrap";
    sendto(probe, scrap, sizeof scrap, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    SckMessage forged{};
    forged.isReply = 1;
    sendto(probe, &forged, sizeof forged, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    close(probe);

    SckMessage request{}, reply{};
    request.id = 4;
    request.value = 5;
    EXPECT_EQ(0, g_boardLibs.sckClientSendMessage("127.0.0.1", 23155, &request, &reply));
    EXPECT_EQ(10, reply.result);
    server.join();
    EXPECT_EQ(1, served);
    EXPECT_EQ(1, context.requests);
    close(context.socket);
}

}  // namespace
