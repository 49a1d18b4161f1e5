// Logs, the bounded reset log, the copies kept in the debug area and the fatal handler.
#include "board_fixture.h"

#include "files.h"
#include "log.h"
#include "resetlog.h"
#include "swap.h"

#include <regex>

using namespace board;

namespace {

constexpr const char *PREFIX = "[A-Z][a-z]{2} [ 123][0-9] [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}: ";

std::string numberedLines(int from, int to)
{
    std::string text;
    for (int i = from; i <= to; ++i) text += "old record " + std::to_string(i) + "\n";
    return text;
}

class Logs : public BoardTest {};

TEST_F(Logs, EveryLineCarriesTheTimePrefixAndExactlyOneNewline)
{
    morvVlog("first %d", 1);
    morvVlog("second %s\n", "two");
    morvVlog("%s", "third, a whole line\n");
    morvVlogResources("resource line");
    EXPECT_TRUE(std::regex_match(mainLog(), std::regex(std::string(PREFIX) + "first 1\n" + PREFIX + "second two\n" +
                                                       PREFIX + "third, a whole line\n")))
        << mainLog();
    EXPECT_TRUE(std::regex_match(readFile(RESOURCES_LOG), std::regex(std::string(PREFIX) + "resource line\n")));
}

TEST_F(Logs, AnUnwritableLogFallsBackToStandardError)
{
    ASSERT_EQ(0, mkdir(MAIN_LOG, 0755));
    testing::internal::CaptureStderr();
    morvVlog("lost %s", "line");
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(std::regex_match(err, std::regex(std::string(PREFIX) + "lost line\n"))) << err;
}

TEST_F(Logs, StartupInfoHasNoPrefix)
{
    morvVreport_startup_info("\n\t*** WARNING: Item \"%s\" can not be started ***\n", "pkg");
    EXPECT_EQ("\n\t*** WARNING: Item \"pkg\" can not be started ***\n", readFile(START_INFO_LOG));
}

class ResetLog : public BoardTest {};

TEST_F(ResetLog, RecordLineFormatCutsSourceAndMessageToTheirFields)
{
    ResetRecord record;
    morvVmakeResetRecord(&record, "a_very_long_source_name.c", 1266, RESET_SEVERITY,
                         "Morvash: restart of process failed. And this part is cut off");
    VStoreResetInfo(&record);
    const std::string log = readFile(RESET_LOG);
    EXPECT_TRUE(std::regex_match(
        log, std::regex("[A-Z][a-z]{2} [A-Z][a-z]{2} [ 123][0-9] [0-9:]{8} [0-9]{4} a_very_long_sou 1266 3 "
                        "Morvash: restart of process failed. And th\n")))
        << log;
}

TEST_F(ResetLog, TheFiftyFirstRecordDropsTheOldest)
{
    writeFile(RESET_LOG, numberedLines(1, 50));
    ResetRecord record;
    morvVmakeResetRecord(&record, "process.c", 1201, RESET_SEVERITY, "newest");
    VStoreResetInfo(&record);
    const std::string log = readFile(RESET_LOG);
    EXPECT_EQ(50u, lineCount(log));
    EXPECT_EQ(0u, log.rfind("old record 2\n", 0)) << log;
    EXPECT_NE(std::string::npos, log.find("old record 50\n"));
    EXPECT_NE(std::string::npos, log.find("process.c 1201 3 newest\n"));
    EXPECT_EQ(std::string::npos, mainLog().find("MAX_NBR_RESETS"));
}

TEST_F(ResetLog, AnOverlongLogWrittenElsewhereKeepsItsNewestLines)
{
    writeFile(RESET_LOG, numberedLines(1, 60));
    ResetRecord record;
    morvVmakeResetRecord(&record, "morvash.c", 377, RESET_SEVERITY, "Error in config.rc");
    VStoreResetInfo(&record);
    const std::string log = readFile(RESET_LOG);
    EXPECT_EQ(50u, lineCount(log));
    EXPECT_EQ(0u, log.find("old record 12\n")) << log;
    const std::string newest = "old record 60\n";
    const std::string stored = "morvash.c 377 3 Error in config.rc\n";
    ASSERT_GT(log.size(), stored.size());
    EXPECT_EQ(stored, log.substr(log.size() - stored.size()));
    EXPECT_NE(std::string::npos, log.find(newest));
    EXPECT_TRUE(logHas("MORVASH: BOpenFile: current number of lines > MAX_NBR_RESETS !!! \n"));
}

TEST_F(ResetLog, LongLinesCountAsOneLineEach)
{
    std::string lines;
    for (int i = 1; i <= 30; ++i) lines += "record " + std::to_string(i) + " " + std::string(140, 'x') + "\n";
    writeFile(RESET_LOG, lines);
    ResetRecord record;
    morvVmakeResetRecord(&record, "process.c", 1201, RESET_SEVERITY, "newest");
    VStoreResetInfo(&record);
    const std::string log = readFile(RESET_LOG);
    EXPECT_EQ(31u, lineCount(log));
    EXPECT_EQ(0u, log.find("record 1 ")) << log.substr(0, 200);
    EXPECT_EQ(std::string::npos, mainLog().find("MAX_NBR_RESETS"));
}

TEST_F(ResetLog, AMissingDebugDirectoryIsCreated)
{
    ASSERT_EQ(0, system("rm -rf /mnt/soft/debug"));
    ResetRecord record;
    morvVmakeResetRecord(&record, "morvash.c", 318, RESET_SEVERITY, "Corvo Watchdog Timer time-out");
    VStoreResetInfo(&record);
    EXPECT_EQ(1u, lineCount(readFile(RESET_LOG)));
}

TEST_F(ResetLog, AnUnwritableDebugAreaIsLoggedAndNothingStored)
{
    ASSERT_EQ(0, system("rm -rf /mnt/soft/debug && touch /mnt/soft/debug"));
    ResetRecord record;
    morvVmakeResetRecord(&record, "morvash.c", 318, RESET_SEVERITY, "x");
    VStoreResetInfo(&record);
    EXPECT_TRUE(logHas("MORVASH: BOpenFile: problem with 'kind of reset' file (open with write KO) \n"));
    EXPECT_TRUE(logHas("MORVASH: VStoreResetInfo: No reset informations have been stored !!! \n"));
}

TEST_F(ResetLog, TheLogCopyIsAppendedBelowItsLimitAndOverwrittenAbove)
{
    writeFile(MAIN_LOG, "current\n");
    writeFile(DEBUG_LOG_COPY, "earlier\n");
    morvVcopyLogToDebug();
    EXPECT_EQ("earlier\ncurrent\n", readFile(DEBUG_LOG_COPY));

    writeFile(DEBUG_LOG_COPY, std::string(DEBUG_LOG_COPY_LIMIT, 'x'));
    morvVcopyLogToDebug();
    EXPECT_EQ("current\n", readFile(DEBUG_LOG_COPY));
}

TEST_F(ResetLog, FileCopyKeepsContentAndReportsAMissingSource)
{
    std::string big(5000, 'a');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
    writeFile("/tmp/source", big, 0600);
    ASSERT_EQ(0, filesScopy("/tmp/source", "/tmp/copy", false));
    EXPECT_EQ(big, readFile("/tmp/copy"));
    struct stat st;
    ASSERT_EQ(0, stat("/tmp/copy", &st));
    EXPECT_EQ(0644u, st.st_mode & 0777);
    ASSERT_EQ(0, filesScopy("/tmp/source", "/tmp/copy", true));
    EXPECT_EQ(big + big, readFile("/tmp/copy"));

    EXPECT_EQ(-1, filesScopy("/tmp/none", "/tmp/copy2", false));
    EXPECT_TRUE(logHas("filesScopy: /tmp/none - No such file or directory\n"));
}

class Fatal : public BoardTest {};

TEST_F(Fatal, WithoutRebootTheErrorIsRecordedCopiedAndTheCallerGoesOn)
{
    morvVlog("line before the error");
    writeFile("/current/core", "core image");
    writeFile("/current/core.17", "core 17", 0600);
    writeFile("/debug/work.dat", "work data");
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, morvVsignalErrorAndExit("morvash.c", 342, RESET_SEVERITY, "Error changing current working directory"));
    const std::string out = testing::internal::GetCapturedStdout();

    EXPECT_NE(std::string::npos, out.find("\t*               An error occured !!!                *\n"));
    EXPECT_NE(std::string::npos, out.find("\t* (for more details, see file     /var/log/morvash) *\n")) << out;
    EXPECT_NE(std::string::npos, out.find("\t  END OF LOG :\n"));
    EXPECT_NE(std::string::npos, readFile(RESET_LOG).find("morvash.c 342 3 Error changing current working directory\n"));
    EXPECT_NE(std::string::npos, readFile(DEBUG_LOG_COPY).find("line before the error"));
    EXPECT_EQ("core image", readFile("/mnt/soft/debug/core"));
    EXPECT_EQ("core 17", readFile("/mnt/soft/debug/core.17"));
    struct stat st;
    ASSERT_EQ(0, stat("/mnt/soft/debug/core.17", &st));
    EXPECT_EQ(0666u, st.st_mode & 0666);
    EXPECT_EQ("work data", readFile("/mnt/soft/debug/work.dat"));

    // Once only: a second fatal error stores nothing more.
    EXPECT_EQ(0, morvVsignalErrorAndExit("process.c", 1266, RESET_SEVERITY, "again"));
    EXPECT_EQ(1u, lineCount(readFile(RESET_LOG)));
    EXPECT_TRUE(readFile("/tmp/init-signals").empty());
}

TEST_F(Fatal, DuringASwapTheBoardIsSetToSwapBack)
{
    writeFile(SWAP_CONFIG, "swap");
    writeFile(NEW_CONFIG, "new");
    g_swapInProgress = true;
    testing::internal::CaptureStdout();
    morvVsignalErrorAndExit("morvash.c", 963, RESET_SEVERITY, "swap failed");
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(filesBreadable(SWAP_CONFIG));
    EXPECT_FALSE(filesBreadable(NEW_CONFIG));
    EXPECT_TRUE(filesBreadable(BACKSWAP_MARK));
}

// The whole road of a fatal error from a process thread: record, stop everything, SIGINT to process 1
// (the stand-in init here), exit 0.
TEST_F(Fatal, FromAnyThreadTheSupervisionThreadShutsTheBoardDown)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            g_rebootOnFatal = true;
            script("/current/stop.sh", "echo stopped >/tmp/stop-ran\n");
            script("/tmp/bin/sleeper", "echo $$ >/tmp/sleeper.pid\nexec sleep 60\n");
            start("SLEEPER", TYPE_EXTERNAL, "/tmp/bin/sleeper", "", NO_TIMEOUT, FAIL_IGNORE);
            // An in-house program waits for its deadline; the shut-down must not wait for it as long.
            start("INHOUSE", TYPE_INHOUSE, "sleep", "60", 60, FAIL_TOLERATE);
            waitFor([] { return !readFile("/tmp/sleeper.pid").empty(); }, 3000);
            std::thread([] { morvVsignalErrorAndExit("process.c", 1201, RESET_SEVERITY, "Morvash: process exit abnormally"); })
                .join();
            waitFor([] { return false; }, 20000);
            exit(3);
        },
        testing::ExitedWithCode(0), "");
    EXPECT_TRUE(waitFor([] { return readFile("/tmp/init-signals") == "SIGINT\n"; }, PATIENCE_MS)) << readFile("/tmp/init-signals");
    EXPECT_NE(std::string::npos, readFile(RESET_LOG).find("process.c 1201 3 Morvash: process exit abnormally\n"));
    EXPECT_EQ("stopped\n", readFile("/tmp/stop-ran"));
    const pid_t sleeper = atoi(readFile("/tmp/sleeper.pid").c_str());
    ASSERT_GT(sleeper, 0);
    EXPECT_TRUE(waitFor([&] { return gone(sleeper); }, PATIENCE_MS)) << "the supervised program was not stopped";
}

TEST_F(Fatal, OnTheSupervisionThreadTheShutDownRunsThere)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            g_rebootOnFatal = true;
            processVsetPeriodicChecks([] { morvVsignalErrorAndExit("morvash.c", 3036, RESET_SEVERITY, "disk full"); },
                                      nullptr);
            kill(getpid(), SIGALRM);
            waitFor([] { return false; }, 20000);
            exit(3);
        },
        testing::ExitedWithCode(0), "");
    EXPECT_TRUE(waitFor([] { return readFile("/tmp/init-signals") == "SIGINT\n"; }, PATIENCE_MS));
    EXPECT_NE(std::string::npos, readFile(RESET_LOG).find("morvash.c 3036 3 disk full\n"));
}

// Before the supervision thread runs (or when it could not start) the handler shuts down itself.
TEST(FatalWithoutSupervision, TheHandlerShutsTheBoardDownItself)
{
    ASSERT_NO_FATAL_FAILURE(freshBoard());
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            g_rebootOnFatal = true;
            morvVsignalErrorAndExit("morvash.c", 297, RESET_SEVERITY, "Error starting watchdog");
            exit(3);
        },
        testing::ExitedWithCode(0), "");
    EXPECT_TRUE(waitFor([] { return readFile("/tmp/init-signals") == "SIGINT\n"; }, PATIENCE_MS));
    EXPECT_NE(std::string::npos, readFile(RESET_LOG).find("morvash.c 297 3 Error starting watchdog\n"));
}

}  // namespace
