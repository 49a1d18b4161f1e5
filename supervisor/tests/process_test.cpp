// The process table: real programs started, stopped and restarted by their failure parameter.
#include "board_fixture.h"

#include "driver.h"
#include "log.h"
#include "resetlog.h"

#include <csignal>
#include <fcntl.h>
#include <future>
#include <sys/stat.h>
#include <thread>

using namespace board;

namespace {

class Process : public BoardTest {
protected:
    static size_t startLines(const std::string &program)
    {
        return count(mainLog(), "(re)starting \"" + program);
    }
};

TEST_F(Process, AProgramRunsThroughTheShellAndEndsFreeingItsEntry)
{
    script("/tmp/bin/args", "echo \"$0 $*\" >/tmp/args.out\n");
    writeFile("/tmp/pmr/state", "dip_switch=10\n");
    if (!pmrBisOpen()) ASSERT_EQ(0, pmrSopen());
    const int index = start("", TYPE_ONESHOT, "/tmp/bin/args", "one  two\tdip_switch", 30, FAIL_IGNORE);
    ASSERT_GE(index, 0);
    EXPECT_STREQ("ARGS", g_processTable[index].sessionId);
    ASSERT_TRUE(waitFor([&] { return g_processTable[index].inUse == 0; }, PATIENCE_MS));
    EXPECT_EQ("/tmp/bin/args one two dip_switch=10\n", readFile("/tmp/args.out"));
    EXPECT_TRUE(logHas("processVthProcess: (re)starting \"/tmp/bin/args one  two\tdip_switch\"  [ProgType=S], [pid="));
    EXPECT_TRUE(logHas("] exited with return value 0\n"));
}

TEST_F(Process, AChildKeepsOnlyTheStandardDescriptorsAndDefaultSignals)
{
    const int inherited = open("/tmp", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(inherited, 3);
    signal(SIGHUP, SIG_IGN);
    start("FDS", TYPE_ONESHOT, "sh", "-c 'ls /proc/$$/fd >/tmp/fds; grep SigIgn /proc/self/status >/tmp/ignored'", 5,
          FAIL_IGNORE);
    ASSERT_TRUE(waitFor([] { return !readFile("/tmp/ignored").empty(); }, PATIENCE_MS));
    EXPECT_EQ("0\n1\n2\n", readFile("/tmp/fds"));
    // Signals 32 and 33 belong to the C library, which refuses to reset them; whatever started the
    // tests may have left them ignored.
    const std::string ignored = readFile("/tmp/ignored");
    const unsigned long long libcSignals = (1ull << 31) | (1ull << 32);
    EXPECT_EQ(0ull, std::stoull(ignored.substr(ignored.find('\t') + 1), nullptr, 16) & ~libcSignals) << ignored;
    close(inherited);
    signal(SIGHUP, SIG_DFL);
}

TEST_F(Process, AProgramStartedForAnItemCanBeStoppedByItsItem)
{
    char name[] = "/mnt/soft/lpcm_a";
    g_itemTable.items[3].name = name;
    g_currentItem = 3;
    const int index = start("ITEMPROG", TYPE_EXTERNAL, "sleep", "60", NO_TIMEOUT, FAIL_ALWAYS);
    g_currentItem = -1;
    const int other = start("OTHER", TYPE_EXTERNAL, "sleep", "60", NO_TIMEOUT, FAIL_ALWAYS);
    EXPECT_STREQ("lpcm_a", g_processTable[index].itemName);
    EXPECT_STREQ("", g_processTable[other].itemName);
    const pid_t pid = runningPid(index);
    EXPECT_EQ(0, processIStopByItem("lpcm_a"));
    EXPECT_TRUE(waitFor([&] { return g_processTable[index].inUse == 0 && gone(pid); }, PATIENCE_MS));
    EXPECT_EQ(1, g_processTable[other].inUse);
    processIStopProcess(other);
}

TEST_F(Process, AShellThatCannotRunIsLoggedByTheChildAndCountsAsAFailedEnd)
{
    const std::string path = getenv("PATH");
    setenv("PATH", "/nonexistent", 1);
    start("NOSHELL", TYPE_EXTERNAL, "true", "", NO_TIMEOUT, FAIL_IGNORE);
    const bool logged = logHas("[SessionID=NOSHELL] -> do nothing.\n", PATIENCE_MS);
    setenv("PATH", path.c_str(), 1);
    ASSERT_TRUE(logged) << mainLog();
    EXPECT_TRUE(logHas("processVthProcess FAILED: to call execvp for \"true \" [pid="));
    EXPECT_TRUE(logHas("[SessionID=NOSHELL]. Error 2 (No such file or directory)\n"));
    EXPECT_TRUE(logHas("[SessionID=NOSHELL] exited with return value 255\n"));
}

TEST_F(Process, TheSessionIdIsTheUpperCasedBaseNameCutToTenCharacters)
{
    script("/tmp/bin/long_program_name", "exit 0\n");
    const int index = start("", TYPE_ONESHOT, "/tmp/bin/long_program_name", "", NO_TIMEOUT, FAIL_IGNORE);
    ASSERT_GE(index, 0);
    EXPECT_STREQ("LONG_PROGR", g_processTable[index].sessionId);
}

TEST_F(Process, AOneshotIsEndedByItsAlarm)
{
    const int index = start("SLOW", TYPE_ONESHOT, "sleep", "30", 1, FAIL_IGNORE);
    ASSERT_GE(index, 0);
    EXPECT_TRUE(logHas("[SessionID=SLOW] signaled by signal 14 (Alarm clock)\n", PATIENCE_MS)) << mainLog();
}

TEST_F(Process, StopSendsTermAndKillsWhatIgnoresIt)
{
    const int polite = start("POLITE", TYPE_EXTERNAL, "sleep", "60", NO_TIMEOUT, FAIL_ALWAYS);
    script("/tmp/bin/stubborn", "trap '' TERM\necho ready >/tmp/stubborn.ready\nwhile :; do sleep 0.1; done\n");
    const int stubborn = start("STUBBORN", TYPE_EXTERNAL, "/tmp/bin/stubborn", "", NO_TIMEOUT, FAIL_ALWAYS);
    const pid_t politePid = runningPid(polite);
    const pid_t stubbornPid = runningPid(stubborn);
    ASSERT_TRUE(waitFor([] { return !readFile("/tmp/stubborn.ready").empty(); }, PATIENCE_MS));

    const long long before = clockMs();
    ASSERT_TRUE(whileAdvancing([&] { EXPECT_EQ(0, processIStopProcess(polite)); }));
    EXPECT_LT(clockMs() - before, 3000) << "a program that ends on SIGTERM was given the whole grace";
    EXPECT_TRUE(waitFor([&] { return g_processTable[polite].inUse == 0; }, PATIENCE_MS));
    EXPECT_TRUE(gone(politePid));

    const long long start = clockMs();
    ASSERT_TRUE(whileAdvancing([&] { EXPECT_EQ(0, processIStopProcess(stubborn)); }));
    const long long took = clockMs() - start;
    EXPECT_GE(took, 3000);
    EXPECT_LT(took, 4000);
    EXPECT_TRUE(waitFor([&] { return g_processTable[stubborn].inUse == 0 && gone(stubbornPid); }, PATIENCE_MS));
    EXPECT_TRUE(logHas("processIStopProcess] process \"/tmp/bin/stubborn \" [pid=" + std::to_string(stubbornPid) +
                       "], [SessionID=STUBBORN] ended\n"));
    // A stopped program is not restarted, whatever its failure parameter.
    EXPECT_EQ(1u, startLines("sleep"));
    EXPECT_EQ(1u, startLines("/tmp/bin/stubborn"));
}

// The clock never moves past a thread of the case that acts: one that sets what the case waits for and
// ends between the case's look at its condition and its look at the board leaves the clock where it was,
// though the rest of the board waits on it (the supervision thread's hour). A few rounds, as the board
// must also look still at that moment for a move to follow.
TEST_F(Process, TheClockStaysWhileAThreadOfTheCaseActsAndEnds)
{
    ASSERT_TRUE(waitFor([] { return !clockVwaitingThreads().empty() && boardBlocked(); }, PATIENCE_MS));
    const ClockHeld held;
    const long long before = clockMs();
    for (int round = 0; round < 10; ++round) {
        std::promise<void> go;
        std::atomic<bool> done{false};
        std::atomic<long> tid{0};
        std::thread actor([&] {
            tid = syscall(SYS_gettid);
            go.get_future().wait();
            done = true;
        });
        ASSERT_TRUE(waitFor([&] { return tid > 0; }, PATIENCE_MS));
        bool first = true;
        EXPECT_TRUE(advanceUntil([&] {
            const bool seen = done;
            if (first) {
                first = false;
                go.set_value();
                actor.join();
                const std::string task = "/proc/self/task/" + std::to_string(tid) + "/stat";
                waitFor([&] { return readFile(task).empty(); }, PATIENCE_MS);
            }
            return seen;
        }));
        EXPECT_EQ(before, clockMs()) << "round " << round;
    }
}

TEST_F(Process, PolicyFatalEndsTheBoardAfterThreeStartsInTheWindow)
{
    const int index = start("CRASHER", TYPE_EXTERNAL, "false", "", NO_TIMEOUT, FAIL_FATAL);
    ASSERT_GE(index, 0);
    ASSERT_TRUE(advanceUntil([] { return logHas("restarted 3 times in less then 30 min. (Fatal error)\n"); }))
        << mainLog();
    EXPECT_EQ(3u, startLines("false"));
    EXPECT_TRUE(waitFor([] { return readFile(RESET_LOG).find("process.c 1266 3 Morvash: restart of process failed.\n") != std::string::npos; }, PATIENCE_MS));
    EXPECT_TRUE(waitFor([&] { return g_processTable[index].inUse == 0; }, PATIENCE_MS));
}

TEST_F(Process, PolicyTolerateLeavesTheProgramAfterThreeStarts)
{
    const int index = start("CRASHER", TYPE_EXTERNAL, "false", "", NO_TIMEOUT, FAIL_TOLERATE);
    ASSERT_TRUE(advanceUntil([] { return logHas("restarted 3 times in less then 30 min. (Leave process)\n"); }))
        << mainLog();
    EXPECT_TRUE(waitFor([&] { return g_processTable[index].inUse == 0; }, PATIENCE_MS));
    // Its thread has ended: nothing is left to start it again.
    EXPECT_TRUE(waitFor([] { return processIliveThreads() == 0; }, PATIENCE_MS));
    EXPECT_EQ(3u, startLines("false"));
    EXPECT_TRUE(readFile(RESET_LOG).empty());
}

TEST_F(Process, PolicyAlwaysRestartsWithoutLimitAfterThePause)
{
    const int index = start("CRASHER", TYPE_EXTERNAL, "sh", "-c 'exit 3'", NO_TIMEOUT, FAIL_ALWAYS);
    ASSERT_TRUE(advanceUntil([] { return startLines("sh") >= 4; })) << mainLog();
    EXPECT_EQ(0u, count(mainLog(), "restarted 3 times"));
    EXPECT_TRUE(logHas("exited with return value 3\n"));
    EXPECT_EQ(0, processIStopProcess(index));
    EXPECT_TRUE(waitFor([&] { return g_processTable[index].inUse == 0; }, PATIENCE_MS));
    EXPECT_TRUE(waitFor([] { return processIliveThreads() == 0; }, PATIENCE_MS)) << "restarted after a stop";
}

TEST_F(Process, AnExternalProgramEndingWellIsRestartedOnlyUnderAlways)
{
    const int once = start("ONCE", TYPE_EXTERNAL, "true", "", NO_TIMEOUT, FAIL_FATAL);
    EXPECT_TRUE(waitFor([&] { return g_processTable[once].inUse == 0; }, PATIENCE_MS));
    const int again = start("AGAIN", TYPE_EXTERNAL, "sh", "-c true", NO_TIMEOUT, FAIL_ALWAYS);
    EXPECT_TRUE(advanceUntil([] { return startLines("sh") >= 2; }));
    processIStopProcess(again);
    EXPECT_EQ(1u, startLines("true"));
}

TEST_F(Process, PolicyIgnoreKeepsTheEntryAndMarksTheStart)
{
    g_oneBinaryFailed = false;
    const int index = start("IGNORED", TYPE_EXTERNAL, "false", "", NO_TIMEOUT, FAIL_IGNORE);
    ASSERT_TRUE(logHas("[SessionID=IGNORED] -> do nothing.\n", PATIENCE_MS));
    EXPECT_TRUE(g_oneBinaryFailed);
    EXPECT_EQ(1, g_processTable[index].inUse);
    // A lookup finds the ended process and frees the entry.
    EXPECT_EQ(-1, processIGetProcessIndexBySessionID("IGNORED"));
    EXPECT_TRUE(logHas("found entry (not a deamon) with nonexitent PID"));
    EXPECT_EQ(0, g_processTable[index].inUse);
}

TEST_F(Process, PolicyResetIsFatalAtOnce)
{
    const int index = start("RESETTER", TYPE_EXTERNAL, "false", "", NO_TIMEOUT, FAIL_RESET);
    ASSERT_TRUE(logHas("processVthProcess: Reset the system now.\n", PATIENCE_MS));
    EXPECT_TRUE(waitFor([] { return readFile(RESET_LOG).find("process.c 1201 3 Morvash: process exit abnormally\n") != std::string::npos; }, PATIENCE_MS));
    EXPECT_EQ(0, g_processTable[index].inUse);
    EXPECT_EQ(1u, startLines("false"));
}

TEST_F(Process, AFailureCommandRunsInsteadOfARestart)
{
    const int index = start("FAILING", TYPE_EXTERNAL, "false", "", NO_TIMEOUT, FAIL_ALWAYS, "sh",
                            "-c 'echo recovered >/tmp/recovered'");
    ASSERT_TRUE(logHas("processVLaunchFailExec: Binary \"sh -c 'echo recovered >/tmp/recovered'\" [pid=", PATIENCE_MS));
    EXPECT_EQ("recovered\n", readFile("/tmp/recovered"));
    EXPECT_TRUE(waitFor([&] { return g_processTable[index].inUse == 0; }, PATIENCE_MS));
    EXPECT_EQ(1u, startLines("false"));
}

TEST_F(Process, LookupsBySessionAndPid)
{
    const int index = start("FINDME_NOW", TYPE_EXTERNAL, "sleep", "60", NO_TIMEOUT, FAIL_ALWAYS);
    const pid_t pid = runningPid(index);
    EXPECT_EQ(index, processIGetProcessIndexBySessionID("FINDME_NOW"));
    EXPECT_EQ(index, processIGetIndexByPid(pid));
    EXPECT_EQ(-1, processIGetProcessIndexBySessionID("NOBODY"));
    EXPECT_EQ(-1, processIGetProcessIndexBySessionID("FINDME_NOW_2"));
    EXPECT_EQ(0, processISignalProcess(index, SIGSTOP));
    EXPECT_EQ(0, processISignalProcess(index, SIGCONT));
    EXPECT_EQ(0, processIStopByItem(""));
    EXPECT_TRUE(waitFor([&] { return g_processTable[index].inUse == 0; }, PATIENCE_MS));
    EXPECT_EQ(-1, processIGetProcessIndexBySessionID("FINDME_NOW"));
}

// A program's end is handled by its thread; a session lookup in the meantime must not free the entry.
TEST_F(Process, ALookupWhileTheThreadHandlesAnEndLeavesTheEntryToIt)
{
    const int index = start("LATE", TYPE_EXTERNAL, "sh", "-c 'sleep 0.5; exit 3'", NO_TIMEOUT, FAIL_ALWAYS);
    const pid_t pid = runningPid(index);
    ASSERT_TRUE(logHas("[SessionID=LATE]\n", PATIENCE_MS));
    // Until someone reads the log, every line written to it waits: the thread stops right after the end.
    ASSERT_EQ(0, unlink(MAIN_LOG));
    ASSERT_EQ(0, mkfifo(MAIN_LOG, 0644));
    // A line still on its way when the reader is gone must not end the test.
    signal(SIGPIPE, SIG_IGN);
    ASSERT_TRUE(waitFor([&] { return gone(pid); }, PATIENCE_MS));
    waitFor([&] { return g_processTable[index].pid != pid; }, 1000);
    int found = 0;
    std::thread lookup([&] { found = processIGetProcessIndexBySessionID("LATE"); });
    processVpause(300);
    const int fifo = open(MAIN_LOG, O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fifo, 0);
    std::string held;
    for (int round = 0; round < 50; ++round) {
        if (round == 40) unlink(MAIN_LOG);
        char buffer[4096];
        const ssize_t n = read(fifo, buffer, sizeof buffer);
        if (n > 0) held.append(buffer, n);
        processVpause(20);
    }
    close(fifo);
    lookup.join();
    EXPECT_EQ(-1, found) << held;
    EXPECT_TRUE(logHas("(re)starting \"sh -c 'sleep 0.5; exit 3'\"", PATIENCE_MS)) << held << mainLog();
    EXPECT_EQ(1, g_processTable[index].inUse);
    EXPECT_STREQ("LATE", g_processTable[index].sessionId);
    processIStopProcess(index);
    signal(SIGPIPE, SIG_DFL);
}

// The next process of this namespace gets PID (the kernel hands out pids after the last one given).
pid_t forkWithPid(pid_t pid, const char *command)
{
    writeFile("/proc/sys/kernel/ns_last_pid", std::to_string(pid - 1));
    const pid_t child = fork();
    if (child == 0) {
        execl("/bin/sh", "sh", "-c", command, static_cast<char *>(nullptr));
        _exit(127);
    }
    return child;
}

// The pid of a program that ended under policy 'N' may belong to another process by the time a stop or a
// lookup comes: it is never signalled nor taken for the program.
TEST_F(Process, APidAlreadyReapedIsNeverSignalledAgain)
{
    const int index = start("IGNORED", TYPE_EXTERNAL, "false", "", NO_TIMEOUT, FAIL_IGNORE);
    ASSERT_TRUE(logHas("[SessionID=IGNORED] -> do nothing.\n", PATIENCE_MS));
    const pid_t reaped = g_processTable[index].pid;
    ASSERT_GT(reaped, 0);
    const pid_t stranger = forkWithPid(reaped, "exec sleep 60");
    ASSERT_EQ(reaped, stranger);
    EXPECT_EQ(0, processISignalProcess(index, SIGTERM));
    EXPECT_TRUE(whileAdvancing(processVstopAll));
    EXPECT_EQ(0, processIStopProcess(index));
    EXPECT_EQ(-1, processIGetProcessIndexBySessionID("IGNORED"));
    EXPECT_EQ(-1, processIGetIndexByPid(stranger));
    int status;
    EXPECT_EQ(0, waitpid(stranger, &status, WNOHANG)) << "the stranger was signalled";
    kill(stranger, SIGKILL);
    waitpid(stranger, &status, 0);
}

// A stop that comes between the fork and the moment the entry's thread stores the child's pid reaches
// the child as soon as the pid is stored, and the stop waits for it meanwhile.
TEST_F(Process, AStopBeforeTheChildIsKnownReachesItOnceItIs)
{
    const int index = morvIGetFreeTableEntry();
    ASSERT_GE(index, 0);
    processVsetProgram(index, "EARLY", TYPE_EXTERNAL, "sleep", "60", NO_TIMEOUT, "", "", FAIL_IGNORE);
    processVtakeOwnership(index);
    std::atomic<bool> stopped{false};
    std::thread stop([&] {
        processIStopProcess(index);
        stopped = true;
    });
    ASSERT_TRUE(waitFor([&] { return g_processTable[index].beingKilled.load(); }, PATIENCE_MS));
    const pid_t child = fork();
    if (child == 0) {
        execlp("sleep", "sleep", "60", static_cast<char *>(nullptr));
        _exit(127);
    }
    processVsetPid(index, child);
    int status = 0;
    const bool ended = waitFor([&] { return waitpid(child, &status, WNOHANG) == child; }, PATIENCE_MS);
    if (!ended) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    processVfreeEntry(index);
    stop.join();
    ASSERT_TRUE(ended) << "the child was never told to stop";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
}

// With the clock driven, a restart pause passes at once: three crashes within the window end in the
// policy's verdict, and a window that has run out starts again.
TEST_F(Process, TheRestartWindowStartsAgainAfterThirtyMinutes)
{
    script("/tmp/bin/crash", "echo x >>/tmp/crashes\n[ $(wc -l </tmp/crashes) = 2 ] && exec sleep 3600\nexit 1\n");
    const int index = start("CRASHER", TYPE_EXTERNAL, "/tmp/bin/crash", "", NO_TIMEOUT, FAIL_TOLERATE);
    ASSERT_TRUE(advanceUntil([] { return lineCount(readFile("/tmp/crashes")) == 2; })) << mainLog();
    // The second start runs past the window before it crashes: the count starts again from it, and the
    // verdict comes after three more starts instead of one.
    const pid_t second = runningPid(index);
    ASSERT_GT(second, 0);
    clockVadvance(1801 * 1000L);
    kill(second, SIGKILL);
    EXPECT_TRUE(advanceUntil([] { return logHas("restarted 3 times in less then 30 min. (Leave process)\n"); }))
        << mainLog();
    EXPECT_EQ(5u, startLines("/tmp/bin/crash"));
}

TEST_F(Process, TheHundredAndFirstEntryIsRefused)
{
    for (int i = 0; i < MAX_PROCESS_ENTRIES; ++i) ASSERT_EQ(i, morvIGetFreeTableEntry());
    EXPECT_EQ(-1, morvIGetFreeTableEntry());
    EXPECT_TRUE(logHas("morvIGetFreeTableEntry: WARNING no more free process entry\n"));
    EXPECT_NE(std::string::npos, readFile(RESOURCES_LOG).find("SUPERVISION PROCESS ALERT : no more free process entry\n"));
    processVfreeEntry(42);
    EXPECT_EQ(42, morvIGetFreeTableEntry());
    processVclearTable();
}

// Programs that end on SIGTERM go at once; one that ignores it gets SIGKILL when the 120 s bound, for all
// of them together, has passed.
TEST_F(Process, StopAllEndsEveryProgramWithinItsBound)
{
    std::vector<pid_t> pids;
    for (int i = 0; i < 5; ++i) pids.push_back(runningPid(start("", TYPE_EXTERNAL, "sleep", "60", NO_TIMEOUT, FAIL_ALWAYS)));
    script("/tmp/bin/stubborn", "trap '' TERM\necho ready >/tmp/stubborn.ready\nwhile :; do sleep 0.1; done\n");
    const int stubborn = start("STUBBORN", TYPE_EXTERNAL, "/tmp/bin/stubborn", "", NO_TIMEOUT, FAIL_ALWAYS);
    pids.push_back(runningPid(stubborn));
    ASSERT_TRUE(waitFor([] { return !readFile("/tmp/stubborn.ready").empty(); }, PATIENCE_MS));
    g_shuttingDown = true;
    {
        const ClockHeld held;
        const long long before = clockMs();
        ASSERT_TRUE(whileAdvancing(processVstopAll));
        EXPECT_EQ(120000, clockMs() - before);
    }
    for (pid_t pid : pids) EXPECT_TRUE(waitFor([&] { return gone(pid); }, PATIENCE_MS));
    EXPECT_TRUE(waitFor([] { return processIliveThreads() == 0; }, PATIENCE_MS));
    for (const ProcessEntry &e : g_processTable) EXPECT_EQ(0, e.inUse);
}

// Each pass of the stop reaches what the table holds by then: a program started after the first pass is
// asked to stop at the next one, not left running until the bound.
TEST_F(Process, StopAllReachesWhatStartsAfterItsFirstPass)
{
    script("/tmp/bin/slow", "trap 'echo x >/tmp/slow.term' TERM\necho x >/tmp/slow.ready\n"
                            "while [ ! -e /tmp/slow.go ]; do sleep 0.05; done\n");
    const pid_t slow = runningPid(start("SLOW", TYPE_EXTERNAL, "/tmp/bin/slow", "", NO_TIMEOUT, FAIL_IGNORE));
    ASSERT_GT(slow, 0);
    ASSERT_TRUE(waitFor([] { return !readFile("/tmp/slow.ready").empty(); }, PATIENCE_MS));
    g_shuttingDown = true;
    const ClockHeld held;
    const long long before = clockMs();
    std::atomic<bool> stopped{false};
    std::thread stop([&] {
        processVstopAll();
        stopped = true;
    });
    const bool firstPass = waitFor([] { return !readFile("/tmp/slow.term").empty(); }, PATIENCE_MS);
    const pid_t late = firstPass ? runningPid(start("LATE", TYPE_EXTERNAL, "sleep", "60", NO_TIMEOUT, FAIL_IGNORE)) : 0;
    writeFile("/tmp/slow.go", "");
    const bool ended = advanceUntil([&] { return stopped.load(); });
    if (!ended) clockVadvance(120000);
    stop.join();
    ASSERT_TRUE(firstPass && ended);
    EXPECT_GT(late, 0);
    EXPECT_LT(clockMs() - before, 120000) << "the late program was left for the bound";
    EXPECT_TRUE(waitFor([&] { return gone(slow) && gone(late); }, PATIENCE_MS));
}

// Child events wake the supervision thread many times; none may look like an hour or a shut-down.
std::atomic<int> hourlyRounds{0};

// Two child events that arrive while the supervision thread is busy post twice but raise one flag: the
// second wake must be taken for nothing, neither an hourly round nor a shut-down.
std::atomic<bool> roundHeld{false};

TEST_F(Process, ChildEventsNeverRunTheChecksOrTheShutDown)
{
    hourlyRounds = 0;
    roundHeld = true;
    processVsetPeriodicChecks([] {
        ++hourlyRounds;
        waitFor([] { return !roundHeld; }, PATIENCE_MS);
    }, nullptr);
    const long wakes = processIsupervisionWakes();
    raise(SIGALRM);
    ASSERT_TRUE(waitFor([] { return hourlyRounds == 1; }, PATIENCE_MS));
    // Two runs of the handler while the round holds (kernel signals of one kind could merge on the way).
    processVonSignal(SIGCHLD);
    processVonSignal(SIGCHLD);
    roundHeld = false;
    ASSERT_TRUE(waitFor([&] { return processIsupervisionWakes() == wakes + 3; }, PATIENCE_MS));
    EXPECT_EQ(1, hourlyRounds);
    EXPECT_TRUE(readFile("/tmp/init-signals").empty());
}

std::atomic<int> dailyRounds{0};

TEST_F(Process, TheChecksRunEveryHourOfTheClockAndTheDailyOneEveryTwentyFourthRound)
{
    hourlyRounds = 0;
    dailyRounds = 0;
    processVsetPeriodicChecks([] { ++hourlyRounds; }, [] { ++dailyRounds; });
    for (int hour = 1; hour <= 24; ++hour) {
        ASSERT_TRUE(advanceUntil([&] { return hourlyRounds == hour; })) << hour;
        EXPECT_EQ(hour == 24 ? 1 : 0, dailyRounds) << hour;
    }
}

TEST_F(Process, AShutDownRequestStopsEverythingAndAsksInitToRestart)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            start("", TYPE_EXTERNAL, "sleep", "60", NO_TIMEOUT, FAIL_ALWAYS);
            processVpause(200);
            processVrequestShutdown();
            processVpause(20000);
            exit(3);
        },
        testing::ExitedWithCode(0), "");
    EXPECT_TRUE(waitFor([] { return readFile("/tmp/init-signals") == "SIGINT\n"; }, PATIENCE_MS));
}

}  // namespace
