// The two outside libraries, opened by name and bound entry point by entry point.
#include "board_fixture.h"

#include "dlibmgt.h"

#include <cstring>
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

int echoJob(SckMessage *request, SckMessage *reply)
{
    memcpy(reply, request, sizeof *reply);
    g_boardLibs.sckMessageMakeReply(reply);
    reply->result = request->value * 2;
    return 0;
}

// Each of the nine entry points is bound to its own function of its own library: the supervisor parses,
// finds, names, rewrites and reports through the configuration library, and serves and sends messages
// through the socket library. Unloading clears them all.
TEST_F(Libraries, EachEntryPointIsBoundToItsFunctionAndUnloadClearsThem)
{
    const BoardLibraries &l = g_boardLibs;
    writeFile("/tmp/config.rc", "version=2\nrelease=R5.2.1\nitem=lpcm_a|Call handling|L|A|10000|S|ia\n"
                                "item=tools_b|Tools||M|00000|X|\n");
    ASSERT_EQ(0, l.confSparse_config("/tmp/config.rc", &table, MAX_CONFIG_ITEMS)) << l.conf_error;
    ASSERT_EQ(2u, table.count);
    EXPECT_STREQ("R5.2.1", table.release);
    EXPECT_EQ(1, l.confSfind_item("tools_b", &table, 0));
    char base[64];
    ASSERT_EQ(0, l.confSshort_basename(table.items[0].name, base));
    EXPECT_STREQ("lpcm", base);
    table.items[0].location = const_cast<char *>("H");
    ASSERT_EQ(0, l.confSconfig_file("/tmp/config.rc", &table));
    ItemTable again{};
    ASSERT_EQ(0, l.confSparse_config("/tmp/config.rc", &again, MAX_CONFIG_ITEMS));
    EXPECT_EQ(1, again.items[0].inHdext);
    EXPECT_EQ(-1, l.confSparse_config("/tmp/missing.rc", &again, MAX_CONFIG_ITEMS));
    EXPECT_NE(nullptr, strstr(l.conf_error, "/tmp/missing.rc"));

    SckServerContext context;
    ASSERT_EQ(0, l.sckServerInit(&context, 23155));
    std::thread server([&] { l.sckServerDoJob(&context, echoJob); });
    SckMessage request{}, reply{};
    request.id = 5;
    request.sender = 23154;
    request.value = 21;
    EXPECT_EQ(0, l.sckClientSendMessage("127.0.0.1", 23155, &request, &reply));
    server.join();
    close(context.socket);
    EXPECT_EQ(42, reply.result);
    EXPECT_EQ(23154, reply.receiver);

    dlibmgtVunloadAll();
    EXPECT_EQ(nullptr, g_boardLibs.config);
    EXPECT_EQ(nullptr, g_boardLibs.confSparse_config);
    EXPECT_EQ(nullptr, g_boardLibs.sckServerDoJob);
}

}  // namespace
