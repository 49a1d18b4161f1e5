// Kernel modules inserted by the stand-in insmod and removed by the stand-in rmmod, which record their
// command lines, per item and newest first; compressed modules go through "/tmp/".
#include "board_fixture.h"

#include "files.h"
#include "modules.h"
#include "resetlog.h"
#include "subconfig.h"

using namespace board;

namespace {

constexpr const char *CALLS = "/tmp/standins/";

class Modules : public BoardTest {
protected:
    void SetUp() override
    {
        BoardTest::SetUp();
        ASSERT_EQ(0, system("mkdir -p /tmp/standins /tmp/mods"));
    }

    static std::string calls(const char *program)
    {
        return readFile(std::string(CALLS) + program + ".calls");
    }

    // Makes ITEM the current item, as its sub-configuration does.
    static void currentItem(int index, const char *name)
    {
        static std::string names[MAX_CONFIG_ITEMS];
        names[index] = name;
        g_itemTable.items[index].name = &names[index][0];
        g_currentItem = index;
    }
};

TEST_F(Modules, AnObjectModuleRunsInsmodWithItsParametersAndTimeOut)
{
    writeFile("/tmp/mods/flashdisk.o", "flashdisk object\n");
    writeFile("/tmp/standins/insmod.hold", "");
    currentItem(0, "/mnt/soft/lpcm_a");
    int result = -2;
    writeFile("/tmp/conf.rc", "M|O|/tmp/mods/flashdisk.o | force_ll=1 | time_out:5\n");
    g_startMode = 'M';
    std::thread line([&] { result = morvIparseSubconfig("/tmp/conf.rc"); });
    // While insmod runs: its entry.
    ASSERT_TRUE(waitFor([] { return !calls("insmod").empty(); }, PATIENCE_MS));
    int index = -1;
    ProcessView e{};
    for (int i = 0; i < MAX_PROCESS_ENTRIES; ++i) {
        const ProcessView v = processOview(i);
        if (v.inUse && strcmp(v.path, "insmod") == 0) {
            index = i;
            e = v;
        }
    }
    ASSERT_GE(index, 0);
    EXPECT_STREQ("/tmp/mods/flashdisk.o force_ll=1", e.params);
    EXPECT_EQ(TYPE_ONESHOT, e.type);
    EXPECT_EQ(5, e.timeout);
    EXPECT_EQ(FAIL_FATAL, e.failParam);
    EXPECT_STREQ("lpcm_a", e.itemName);
    unlink("/tmp/standins/insmod.hold");
    line.join();
    EXPECT_EQ(0, result);
    EXPECT_EQ("/tmp/mods/flashdisk.o force_ll=1 [flashdisk object]\n", calls("insmod"));

    // Recorded under its base name without ".o".
    modulesVremoveAll();
    EXPECT_EQ("flashdisk\n", calls("rmmod"));
    EXPECT_TRUE(logHas("modulesVremoveAll: rmmod flashdisk OK.\n"));
}

TEST_F(Modules, ACompressedModuleIsInsertedFromTmpAndTheCopyRemoved)
{
    writeFile("/tmp/mods/netdrv.o", "network driver\n");
    ASSERT_EQ(0, system("gzip /tmp/mods/netdrv.o"));
    writeFile("/tmp/conf.rc", "M|M|/tmp/mods/netdrv.o.gz|irq=9 io=0x300\n");
    g_startMode = 'M';
    ASSERT_EQ(0, morvIparseSubconfig("/tmp/conf.rc")) << mainLog();
    EXPECT_EQ("/tmp/netdrv.o irq=9 io=0x300 [network driver]\n", calls("insmod"));
    EXPECT_FALSE(filesBreadable("/tmp/netdrv.o"));
    modulesVremoveAll();
    EXPECT_EQ("netdrv\n", calls("rmmod"));

    EXPECT_EQ(-1, modulesSinsertCompressedModule("/tmp/mods/missing.o.gz"));
    EXPECT_TRUE(logHas("modulesSinsertCompressedModule: Error uncompressing module /tmp/mods/missing.o.gz\n"));
    EXPECT_EQ(-1, modulesSinsertCompressedModule(" | irq=9"));
    EXPECT_TRUE(logHas("modulesSinsertCompressedModule: Error scanning module name\n"));
}

TEST_F(Modules, ModulesAreRemovedNewestFirstAndByTheirItem)
{
    for (const char *name : {"a.o", "b.o", "c.o", "d.o"}) writeFile(std::string("/tmp/mods/") + name, name);
    currentItem(0, "/mnt/soft/lpcm_a");
    ASSERT_EQ(0, modulesSinsertModule("/tmp/mods/a.o"));
    currentItem(1, "/mnt/soft/tools_b");
    ASSERT_EQ(0, modulesSinsertModule("/tmp/mods/b.o |"));
    currentItem(0, "/mnt/soft/lpcm_a");
    ASSERT_EQ(0, modulesSinsertModule("/tmp/mods/c.o||"));
    g_currentItem = -1;
    ASSERT_EQ(0, modulesSinsertModule("/tmp/mods/d.o"));

    EXPECT_EQ(0, modulesSremoveByItem("lpcm_a"));
    EXPECT_EQ("c\na\n", calls("rmmod"));
    EXPECT_TRUE(logHas("modulesSremoveByItem: rmmod c OK.\n"));
    modulesVremoveAll();
    EXPECT_EQ("c\na\nd\nb\n", calls("rmmod"));
    // Nothing is left to remove.
    modulesVremoveAll();
    EXPECT_EQ("c\na\nd\nb\n", calls("rmmod"));
}

// The command line must fit the entry with the blank between module and parameters.
TEST_F(Modules, RefusedLinesStartNothing)
{
    const std::string module = "/tmp/mods/m.o";
    const std::string fits(512 - module.size() - 1, 'p');
    writeFile(module, "m");
    EXPECT_EQ(0, modulesSinsertModule((module + "|" + fits).c_str()));
    const struct {
        std::string rest;
        std::string logged;
    } refused[] = {
        {module + "|" + fits + "p", "modulesSinsertModule /tmp/mods/m.o : string parameters (" + fits + "p) too long...\n"},
        {" | irq=5", "modulesSinsertModule: Error scanning module name\n"},
        {module + "|x|time_out:never", "modulesSinsertModule /tmp/mods/m.o : invalid time-out in \"time_out:never\"\n"},
    };
    for (const auto &r : refused) {
        EXPECT_EQ(-1, modulesSinsertModule(r.rest.c_str()));
        EXPECT_TRUE(logHas(r.logged)) << r.logged;
    }
    EXPECT_EQ(-1, modulesSinsertModule(nullptr));
    EXPECT_TRUE(logHas("modulesSinsertModule: no module specified\n"));
    EXPECT_EQ(1u, lineCount(calls("insmod")));
    for (int i = 0; i < MAX_PROCESS_ENTRIES; ++i) EXPECT_EQ(0, g_processTable[i].inUse) << i;
}

// A failing insmod is started again like any 'F' program while the line waits, then ends the board.
TEST_F(Modules, AFailingInsmodIsRetriedThenResetsTheBoard)
{
    writeFile("/tmp/mods/bad.o", "bad");
    writeFile("/tmp/standins/insmod.status", "3");
    EXPECT_TRUE(whileAdvancing([] { modulesSinsertModule("/tmp/mods/bad.o"); }));
    EXPECT_EQ(3u, lineCount(calls("insmod")));
    EXPECT_NE(std::string::npos, readFile(RESET_LOG).find(" process.c 1266 3 Morvash: restart of process failed.\n"));
}

}  // namespace
