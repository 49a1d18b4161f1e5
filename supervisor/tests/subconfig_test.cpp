// Items of "config.rc" and their sub-configurations: every line letter, mode and time-out form, the
// refusals, links, migration and the phone binary's start.
#include "board_fixture.h"

#include "dlibmgt.h"
#include "driver.h"
#include "files.h"
#include "resetlog.h"
#include "subconfig.h"

#include <thread>

using namespace board;

namespace {

constexpr const char *CONF = "/tmp/conf.rc";

class Subconfig : public BoardTest {
protected:
    void SetUp() override
    {
        BoardTest::SetUp();
        if (!g_boardLibs.config) ASSERT_EQ(0, dlibmgtSbindLibraries()) << mainLog();
        g_startMode = 'M';
        g_currentItem = -1;
        // Records its arguments and ends.
        script("/tmp/bin/quick", "echo \"$*\" >>/tmp/ran\n");
        // Records its arguments and stays until the test ends.
        script("/tmp/bin/hold", "echo \"$*\" >>/tmp/ran\nexec sleep 60\n");
    }

    static std::vector<std::string> ran()
    {
        std::vector<std::string> lines;
        std::istringstream in(readFile("/tmp/ran"));
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    static bool hasRun(const std::string &args)
    {
        for (const std::string &line : ran()) {
            if (line == args) return true;
        }
        return false;
    }

    static int entryOf(const char *session)
    {
        for (int i = 0; i < MAX_PROCESS_ENTRIES; ++i) {
            const ProcessView v = processOview(i);
            if (v.inUse && strcmp(v.sessionId, session) == 0) return i;
        }
        return -1;
    }

    // Items for the table: name, location letter, first start flag.
    static void setItems(std::initializer_list<std::tuple<const char *, const char *, bool>> items)
    {
        std::string text = "version=2\nrelease=R1\n";
        for (const auto &item : items) {
            text += std::string("item=") + std::get<0>(item) + "|second of " + std::get<0>(item) + "||A|" +
                    (std::get<2>(item) ? "1" : "0") + "0000|" + std::get<1>(item) + "|\n";
        }
        writeFile(CONFIG_RC, text);
        ASSERT_EQ(0, g_boardLibs.confSparse_config(CONFIG_RC, &g_itemTable, MAX_CONFIG_ITEMS))
            << g_boardLibs.conf_error;
    }
};

// One line of each program letter: the entry it starts, or the parse's wait for it.
TEST_F(Subconfig, EachProgramLetterStartsItsKindWithItsTimeOut)
{
    struct Case {
        const char *line;
        const char *session;
        char type;
        int timeout;
        char failParam;
        const char *params;
        const char *ran;        // as the shell splits the parameters
    };
    const Case cases[] = {
        {"M+A|S|/tmp/bin/hold one two | F | time_out:0", "HOLD", TYPE_ONESHOT, 0, 'F', "one two", "one two"},
        {"M|A|/tmp/bin/hold inhouse|T", "HOLD", TYPE_INHOUSE, 33, 'T', "inhouse", "inhouse"},
        {"M|A|/tmp/bin/hold inhouse|T|time_out:50", "HOLD", TYPE_INHOUSE, 55, 'T', "inhouse", "inhouse"},
        {"M| E |\t/tmp/bin/hold  ext  args \t| C |time_out:7", "HOLD", TYPE_EXTERNAL, NO_TIMEOUT, 'C', "ext  args", "ext args"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        unlink("/tmp/ran");
        writeFile(CONF, std::string(c.line) + "\n");
        ASSERT_EQ(0, morvIparseSubconfig(CONF)) << mainLog();
        ASSERT_TRUE(waitFor([&] { return hasRun(c.ran); }, PATIENCE_MS)) << mainLog();
        const int index = entryOf(c.session);
        ASSERT_GE(index, 0);
        const ProcessView e = processOview(index);
        EXPECT_EQ(c.type, e.type);
        EXPECT_EQ(c.timeout, e.timeout);
        EXPECT_EQ(c.failParam, e.failParam);
        EXPECT_STREQ("/tmp/bin/hold", e.path);
        EXPECT_STREQ(c.params, e.params);
        processIStopProcess(index);
        ASSERT_TRUE(waitFor([&] { return entryOf(c.session) < 0; }, PATIENCE_MS)) << mainLog();
    }

    // A oneshot with a time-out is waited for; its default is 240 s.
    unlink("/tmp/ran");
    script("/tmp/bin/slow", "sleep 0.3\necho \"$*\" >>/tmp/ran\n");
    writeFile(CONF, "M|S|/tmp/bin/slow waited|N\n");
    ASSERT_EQ(0, morvIparseSubconfig(CONF));
    EXPECT_TRUE(hasRun("waited"));
    EXPECT_TRUE(logHas("(re)starting \"/tmp/bin/slow waited\"  [ProgType=S]"));

    // A daemon's time-out is its watcher's period; its first restart time is its start.
    script("/tmp/bin/forkd", "if [ \"$1\" != child ]; then \"$0\" child & exit 0; fi\nwhile :; do sleep 1; done\n");
    const time_t before = clockIseconds();
    writeFile(CONF, "A|D|/tmp/bin/forkd|T|time_out:5\n");
    g_startMode = 'A';
    ASSERT_EQ(0, morvIparseSubconfig(CONF));
    const int deamon = entryOf("FORKD");
    ASSERT_GE(deamon, 0);
    EXPECT_EQ(TYPE_DEAMON, processOview(deamon).type);
    EXPECT_EQ(5, processOview(deamon).timeout);
    EXPECT_GE(g_processTable[deamon].restartTimes[0], before);
    processIStopProcess(deamon);
}

// Refused lines: the text logged, and whether the file goes on (a skipped line) or ends with -1.
TEST_F(Subconfig, RefusedLinesAreLoggedAndEitherSkippedOrEndTheFile)
{
    const std::string path100 = "/tmp/bin/" + std::string(100 - 9, 'p');
    const std::string path101 = path100 + "p";
    script(path100, "echo \"$*\" >>/tmp/ran\n");
    struct Case {
        std::string line;
        int result;
        std::string logged;
    };
    const Case cases[] = {
        {"X|S|/tmp/bin/quick | N", 0,
         "morvIparseSubconfig error: invalid line X|S|/tmp/bin/quick | N. First field must be 'M', 'A', or 'M+A'.\n"},
        {"M", 0, "morvIparseSubconfig error: second delimiter | not found in line M\n"},
        {"M| \t |/tmp/bin/quick|N", 0, "morvIparseSubconfig: Error scanning first (non-space) character of line...\n"},
        {"M|Q|/tmp/bin/quick|N", 0, "morvIparseSubconfig: Unknown identifier Q (file /tmp/conf.rc)\n"},
        {"M|S|" + std::string(150, 'x') + "|N", 0, "morvIparseSubconfig error: line longer than 149 characters"},
        {std::string("M|S|/tmp/bin/quick nul\0x|N", 26), 0,
         "morvIparseSubconfig error: line with a NUL character in /tmp/conf.rc (ignored): M|S|/tmp/bin/quick nul\n"},
        {"M|S|/tmp/bin/quick N", -1,
         "parse_formated_string_for_binary: Wrong string format (Missing | in \"/tmp/bin/quick N\")\n"},
        {"M|S|" + path101 + "|N", -1, "parse_formated_string_for_binary failed: path name string too long !!\n"},
        {"M|S|/tmp/bin/quick|X", -1, "parse_formated_string_for_binary: invalid failure parameter X\n"},
        {"M|S|/tmp/bin/quick|N|time_out:soon", -1, "parse_formated_string_for_binary: invalid time-out in \"time_out:soon\"\n"},
        {"M|S", -1, "start_oneshot_binary: no binary specified\n"},
        {"M|D|/tmp/bin/quick", -1, "start_deamon_binary: Error parsing formatted string\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        unlink("/tmp/ran");
        writeFile("/var/log/morvash", "");
        writeFile(CONF, "# a comment\n\n" + c.line + "\nM|S|/tmp/bin/quick after|N\n");
        EXPECT_EQ(c.result, morvIparseSubconfig(CONF)) << mainLog();
        EXPECT_TRUE(logHas(c.logged)) << mainLog();
        EXPECT_EQ(c.result == 0, hasRun("after"));
    }
    // The longest path and the longest parameters pass.
    unlink("/tmp/ran");
    writeFile(CONF, "M|S|" + path100 + " 100|N\n");
    EXPECT_EQ(0, morvIparseSubconfig(CONF));
    EXPECT_TRUE(hasRun("100"));
    BinaryLine line;
    EXPECT_EQ(0, parse_formated_string_for_binary(("/tmp/bin/quick " + std::string(512, 'a') + "|N").c_str(), &line));
    EXPECT_EQ(512u, strlen(line.params));
    EXPECT_EQ(-1, parse_formated_string_for_binary(("/tmp/bin/quick " + std::string(513, 'a') + "|N").c_str(), &line));
    EXPECT_TRUE(logHas("parse_formated_string_for_binary failed: parameters string too long !!\n"));
}

TEST_F(Subconfig, ModesAndTheEndOfTheFileDecideWhatRuns)
{
    const std::string file = "M|S|/tmp/bin/quick manual|N\n"
                             "A|S|/tmp/bin/quick auto|N\n"
                             "M+A|S|/tmp/bin/quick both|N\n"
                             "shutdown\n"
                             "M+A|S|/tmp/bin/quick after-shutdown|N\n";
    writeFile(CONF, file);
    const struct {
        char mode;
        std::vector<std::string> expected;
    } cases[] = {
        {'M', {"manual", "both"}},
        {'A', {"auto", "both"}},
        {0, {"manual", "auto", "both"}},   // the library's own lines: before a start mode is chosen
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.mode);
        unlink("/tmp/ran");
        g_startMode = c.mode;
        ASSERT_EQ(0, morvIparseSubconfig(CONF));
        EXPECT_EQ(c.expected, ran());
    }
    unlink("/tmp/ran");
    writeFile(CONF, "bin-allowed: everything\nM|S|/tmp/bin/quick never|N\n");
    g_startMode = 'M';
    EXPECT_EQ(0, morvIparseSubconfig(CONF));
    EXPECT_TRUE(ran().empty());
    EXPECT_EQ(SUBCONFIG_NOT_FOUND, morvIparseSubconfig("/tmp/none.rc"));
    EXPECT_TRUE(logHas("Error opening sub-config file /tmp/none.rc : No such file or directory (errno=2)\n"));
}

// Keywords in the parameters take the stand-in driver's values; a failed one becomes a blank.
TEST_F(Subconfig, KeywordsTakeTheBoardDriversValues)
{
    writeFile("/tmp/pmr/state", "dip_switch=14\nram_size=67108864\nserver_ip=10.1.2.3\n");
    if (!pmrBisOpen()) ASSERT_EQ(0, pmrSopen());
    CpuConfig cpu;
    ASSERT_EQ(0, pmrSgetCpuConfig(&cpu));
    NetConfig net;
    ASSERT_EQ(0, pmrSgetNetConfig(&net));
    const auto list = [](const char *name, const void *bytes, size_t size) {
        std::string text = std::string(name) + "_lg=" + std::to_string(size) + " " + name + "=";
        for (size_t i = 0; i < size; ++i)
            text += (i ? "," : "") + std::to_string(static_cast<const unsigned char *>(bytes)[i]);
        return text;
    };
    writeFile(CONF, "M|S|/tmp/bin/quick dip_switch sigmod_ia sigmod_voip sigmod_ras cpu_conf net_conf plain|N\n");
    ASSERT_EQ(0, morvIparseSubconfig(CONF));
    EXPECT_EQ(std::vector<std::string>{"dip_switch=14 sigmod_ia=1 sigmod_voip=1 sigmod_ras=1 " +
                                       list("cpu_conf", &cpu, sizeof cpu) + " " + list("net_conf", &net, sizeof net) +
                                       " plain"},
              ran());

    unlink("/tmp/ran");
    writeFile("/tmp/pmr/state", "dip_switch=14\nfail=0x1180a\n");
    writeFile(CONF, "M|S|/tmp/bin/quick before dip_switch after|N\n");
    ASSERT_EQ(0, morvIparseSubconfig(CONF));
    EXPECT_EQ(std::vector<std::string>{"before after"}, ran());
    EXPECT_TRUE(logHas("[processVtreat_kw] : Keyword [dip_switch] failed [-1]\n"));
}

TEST_F(Subconfig, AnItemsSubconfigurationIsFoundByItsShortNameAndSuffix)
{
    setItems({{"lpcm_a", "S", true}, {"tools_b", "S", false}, {"lost_a", "", false}, {"vital_a", "", true}});
    ASSERT_EQ(0, system("mkdir -p /current/lpcm /current/tools"));
    writeFile("/current/lpcm/conf.rc", "M|S|/tmp/bin/quick plain|N\n");
    writeFile("/current/lpcm/conf.rc_ia", "M|S|/tmp/bin/quick suffixed|N\n");
    strcpy(g_itemTable.items[0].suffix, "ia");
    EXPECT_EQ(0, parse_subconfig(0));
    EXPECT_EQ(0, g_currentItem);
    strcpy(g_itemTable.items[0].suffix, "ras");   // no such file: the plain one
    EXPECT_EQ(0, parse_subconfig(0));
    EXPECT_EQ((std::vector<std::string>{"suffixed", "plain"}), ran());

    EXPECT_EQ(SUBCONFIG_NOT_FOUND, parse_subconfig(1));
    // Without a location: a warning for an optional item, a failure for a vital one.
    EXPECT_EQ(SUBCONFIG_NOT_FOUND, parse_subconfig(2));
    EXPECT_TRUE(logHas("parse_subconfig: Warning item second of lost_a not started (no location and path available)\n"));
    EXPECT_EQ(-1, parse_subconfig(3));
}

TEST_F(Subconfig, LinksNameEachChosenItemAndReplaceOldOnes)
{
    setItems({{"lpcm_a", "S", true}, {"tools_b", "X", false}, {"disk_a", "H", false}, {"gone_a", "S", false},
              {"nolink_a", "S", true}, {"idle_a", "S", false}});
    strcpy(g_itemTable.items[4].link, "N");
    g_itemTable.items[5].startFlags[0] = 0;
    ASSERT_EQ(0, system("mkdir -p /mnt/soft/lpcm_a /mnt/flashext/tools_b /mnt/hdext/disk_a /mnt/soft/nolink_a "
                        "/mnt/soft/idle_a /current"));
    ASSERT_EQ(0, symlink("/elsewhere", "/current/lpcm"));
    ASSERT_EQ(0, symlink("/elsewhere", "/current/boot"));
    const auto target = [](const char *link) {
        char buffer[256] = {};
        return readlink(link, buffer, sizeof buffer - 1) < 0 ? std::string() : std::string(buffer);
    };
    // Start mode 'M' takes only items with a start flag: none of "idle_a"'s is set.
    g_startMode = 'M';
    g_itemTable.items[1].startFlags[2] = 1;
    g_itemTable.items[2].startFlags[4] = 1;
    g_itemTable.items[3].startFlags[1] = 1;
    EXPECT_EQ(0, do_links()) << mainLog();
    EXPECT_EQ("/mnt/soft/boot/", target("/current/boot"));
    EXPECT_EQ("/mnt/soft/lpcm_a", target("/current/lpcm"));
    EXPECT_EQ("/mnt/flashext/tools_b", target("/current/tools"));
    EXPECT_EQ("/mnt/hdext/disk_a", target("/current/disk"));
    EXPECT_EQ("", target("/current/nolink"));
    EXPECT_EQ("", target("/current/idle"));
    EXPECT_TRUE(logHas("do_links: target directory /mnt/soft/gone_a does not exists !\n"));

    g_startMode = 'A';
    EXPECT_EQ(0, do_links());
    EXPECT_EQ("/mnt/soft/idle_a", target("/current/idle"));
    // A vital item that is missing fails the links.
    g_itemTable.items[3].startFlags[0] = 1;
    EXPECT_EQ(-1, do_links());
}

TEST_F(Subconfig, AnOldTableIsMigratedWithTheLocationsFound)
{
    writeFile(CONFIG_RC, "release=R1\n"
                         "item=lpcm_a|Call handling||A|10000||\n"
                         "item=tools_b|Tools||A|10000||\n"
                         "item=disk_a|Disk||A|10000||\n"
                         "item=optional_a|Optional||A|01000||\n"
                         "item=missing_a|Missing||A|10000||\n");
    ASSERT_EQ(0, g_boardLibs.confSparse_config(CONFIG_RC, &g_itemTable, MAX_CONFIG_ITEMS));
    ASSERT_EQ(0, system("mkdir -p /mnt/soft/lpcm_a /mnt/flashext/tools_b /mnt/flashext/lpcm_a /mnt/hdext/disk_a "
                        "/mnt/soft/optional_a"));
    EXPECT_EQ(0, morvImigrateConfig(CONFIG_RC));
    EXPECT_TRUE(logHas("Error migrating config.rc file to version 2: missing_a not found\n"));
    EXPECT_TRUE(logHas("config.rc file migrated to version 2\n"));
    EXPECT_NE(std::string::npos, readFile(RESET_LOG).find(" morvash.c 410 3 Error in config.rc\n"));
    EXPECT_EQ("version=2\nrelease=R1\n"
              "item=lpcm_a|Call handling||A|10000|S|\n"
              "item=tools_b|Tools||A|10000|X|\n"
              "item=disk_a|Disk||A|10000|H|\n"
              "item=optional_a|Optional||A|01000||\n"
              "item=missing_a|Missing||A|10000||\n",
              readFile(CONFIG_RC));
}

TEST_F(Subconfig, TheUncompressionLineWritesTheFileIntoItsDirectory)
{
    writeFile("/tmp/data", "uncompressed text\n");
    ASSERT_EQ(0, system("gzip /tmp/data && mkdir -p /tmp/out"));
    writeFile(CONF, "M|Z|/tmp/data.gz extra | /tmp/out words\n");
    ASSERT_EQ(0, morvIparseSubconfig(CONF)) << mainLog();
    EXPECT_EQ("uncompressed text\n", readFile("/tmp/out/data"));
    const struct {
        const char *rest;
        const char *logged;
    } refused[] = {
        {nullptr, "filesSuncompress: no file specified\n"},
        {" | /tmp/out", "filesSuncompress: Error scanning gz-file name\n"},
        {"/tmp/data.gz", "filesSuncompress: Error scanning destination directory name\n"},
        {"/tmp/data.gz |  ", "filesSuncompress: Error scanning destination directory name\n"},
    };
    for (const auto &r : refused) {
        EXPECT_EQ(-1, filesSuncompress(r.rest));
        EXPECT_TRUE(logHas(r.logged)) << r.logged;
    }
}

class PhoneBinary : public Subconfig {
protected:
    // Runs the phone line on its own thread; true when it returned (a halt ends the thread instead).
    static void *run(void *rest)
    {
        static int result;
        result = start_phone_binary(static_cast<const char *>(rest));
        return &result;
    }
};

TEST_F(PhoneBinary, TheStartWaitsForLpcmsNoticeOrEndsTheBoardAfterItsTime)
{
    setItems({{"lpcm_a", "S", true}});
    std::thread notice([] {
        waitFor([] { return hasRun("phone"); }, PATIENCE_MS);
        morvVsignalStartCondition(START_EVENT_SWAP_STATUS);      // not the awaited notice
        morvVsignalStartCondition(START_EVENT_PHONE_STARTED);
    });
    writeFile(CONF, "M|T|/tmp/bin/hold phone | F | time_out:20\n");
    EXPECT_EQ(0, morvIparseSubconfig(CONF));
    notice.join();
    const int index = entryOf("HOLD");
    ASSERT_GE(index, 0);
    EXPECT_EQ(TYPE_INHOUSE, processOview(index).type);
    EXPECT_EQ(22, processOview(index).timeout);
    EXPECT_EQ("", readFile(APPLI_BOOT_LIST));   // no "apppac" item: no network boot
    processIStopProcess(index);

    // A notice that came before the start does not count.
    morvVsignalStartCondition(START_EVENT_PHONE_STARTED);
    int result = 0;
    EXPECT_TRUE(whileAdvancing([&] { result = start_phone_binary("/tmp/bin/quick late | N"); }));
    EXPECT_EQ(-1, result);
    EXPECT_TRUE(logHas("start_phone_binary: Time-out (30s) expired...\n"));
    EXPECT_NE(std::string::npos, readFile(RESET_LOG).find(" morvash.c 2013 3 lp_cm synchro time-out\n"));
}

// A notice counts from the mark taken before the program starts, even when it comes before the wait.
TEST_F(PhoneBinary, ANoticeBeforeTheWaitIsNotLostAndOtherNoticesDoNotEndIt)
{
    const StartConditionMark early = morvSmarkStartCondition();
    morvVsignalStartCondition(START_EVENT_PHONE_STARTED);
    EXPECT_EQ(0, morvIwaitStartCondition(early, START_EVENT_PHONE_STARTED | START_EVENT_LPCM_INIT_KO, 30));

    const StartConditionMark later = morvSmarkStartCondition();
    int status = 0;
    EXPECT_TRUE(whileAdvancing([&] {
        morvVsignalStartCondition(START_EVENT_SWAP_STATUS);
        status = morvIwaitStartCondition(later, START_EVENT_PHONE_STARTED | START_EVENT_LPCM_INIT_KO, 30);
    }));
    EXPECT_EQ(ETIMEDOUT, status);
}

TEST_F(PhoneBinary, AnApppacItemPublishesTheBootFilesAndStartsTheBootServers)
{
    setItems({{"lpcm_a", "S", true}, {"apppac", "S", false}});
    ASSERT_EQ(0, system("mkdir -p /current/kernel /current/ramdsk"));
    writeFile(CURRENT_KERNEL, std::string(1234, 'k'));
    writeFile(CURRENT_RAMDISK, std::string(56789, 'r'));
    // Files of an earlier start are replaced.
    ASSERT_EQ(0, symlink("/old/vmlinuz", APPLI_BOOT_KERNEL));
    writeFile(APPLI_BOOT_LIST, "old list\n", 0600);
    std::thread notice([] {
        waitFor([] { return hasRun("phone"); }, PATIENCE_MS);
        morvVsignalStartCondition(START_EVENT_PHONE_STARTED);
    });
    EXPECT_EQ(0, start_phone_binary("/tmp/bin/hold phone | F"));
    notice.join();
    EXPECT_EQ("/tftpboot/vmlinuz;1234;BIN;1046016;1046016\n"
              "/tftpboot/initrd.gz;56789;RAMDISK;5242880;0;boot;0;BOOT;0;1046016\n",
              readFile(APPLI_BOOT_LIST));
    struct stat st;
    ASSERT_EQ(0, stat(APPLI_BOOT_LIST, &st));
    EXPECT_EQ(0777u, st.st_mode & 0777);
    EXPECT_TRUE(logHas("(re)starting \"/usr/bin/downs \"  [ProgType=E]", PATIENCE_MS)) << mainLog();
    EXPECT_TRUE(logHas("(re)starting \"/usr/bin/bootpd -s\"  [ProgType=E]", PATIENCE_MS));
    EXPECT_TRUE(logHas("[SessionID=DOWNS]") && logHas("[SessionID=BOOTPD]"));

    // Without the kernel the boot files cannot be made: the board resets.
    unlink(CURRENT_KERNEL);
    EXPECT_EQ(-1, start_phone_binary("/tmp/bin/hold phone | F"));
    EXPECT_TRUE(logHas("morvISetupAppliBoot - stat(/tftpboot/vmlinuz) error: No such file or directory\n"));
    EXPECT_TRUE(logHas("morvISetupAppliBoot: unable to create /tftpboot/pemrocom (error 2, No such file or directory)\n"));
    EXPECT_NE(std::string::npos, readFile(RESET_LOG).find(" morvash.c 1948 3 Error setting tftpboot files\n"));
}

TEST_F(PhoneBinary, LpcmsFailedInitialisationEndsTheStartingThread)
{
    setItems({{"lpcm_a", "S", true}});
    pthread_t thread;
    static char rest[] = "/tmp/bin/hold phone | F";
    ASSERT_EQ(0, pthread_create(&thread, nullptr, run, rest));
    ASSERT_TRUE(waitFor([] { return hasRun("phone"); }, PATIENCE_MS));
    g_lpcmInitKo = true;
    morvVsignalStartCondition(START_EVENT_LPCM_INIT_KO);
    void *result;
    ASSERT_EQ(0, pthread_join(thread, &result));
    g_lpcmInitKo = false;
    EXPECT_EQ(nullptr, result);
}

TEST_F(PhoneBinary, StoppingABootServerThatIsNotThereIsOnlyAWarning)
{
    EXPECT_EQ(-11, stop_bootdown("DOWNS"));
    EXPECT_TRUE(logHas("stop_bootdown] WARNING: process [SessionID=DOWNS] does not exist (or not supervised)\n"));
    const int index = start("DOWNS", TYPE_EXTERNAL, "/tmp/bin/hold", "downs", NO_TIMEOUT, FAIL_TOLERATE);
    ASSERT_GT(runningPid(index), 0);
    EXPECT_EQ(0, stop_bootdown("DOWNS"));
    EXPECT_TRUE(logHas("stop_bootdown] stopping process [SessionID=DOWNS]\n"));
}

}  // namespace
