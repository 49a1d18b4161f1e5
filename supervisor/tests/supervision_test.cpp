// Daemons followed through /proc and in-house programs held to their alive deadline.
#include "board_fixture.h"

#include <csignal>
#include <sys/prctl.h>
#include <sys/wait.h>

using namespace board;

namespace {

// A daemon: the launcher leaves a child behind and ends; on SIGHUP the child forks its successor and ends.
// Each one lists its pid in /tmp/ready once its trap is set.
const char *DEAMON_BODY =
    "run() { trap 'run & exit 0' HUP; echo $BASHPID >>/tmp/ready; while :; do sleep 0.1; done; }\nrun &\nexit 0\n";

class Deamon : public BoardTest {
protected:
    // The daemon's pid once it has listed itself ready for signals; 0 when it did not within MS.
    static pid_t ready(pid_t pid, int ms = PATIENCE_MS)
    {
        const std::string line = std::to_string(pid) + "\n";
        const bool listed = pid > 0 && waitFor([&] { return readFile("/tmp/ready").find(line) != std::string::npos; }, ms);
        return listed ? pid : 0;
    }
    // The daemon followed after PREVIOUS is gone.
    static pid_t followed(int index, pid_t previous, int ms = PATIENCE_MS)
    {
        pid_t pid = 0;
        advanceUntil([&] { return (pid = g_processTable[index].pid) > 0 && pid != previous; }, ms);
        return pid == previous ? 0 : ready(pid, ms);
    }
    // The daemon once the watcher has taken over for the N-th time.
    static pid_t handedOver(int index, size_t n)
    {
        if (!advanceUntil([&] { return count(mainLog(), "processVthDeamon: supervising") >= n; })) return 0;
        return ready(g_processTable[index].pid);
    }
    static std::string nameOf(pid_t pid)
    {
        std::string comm = readFile("/proc/" + std::to_string(pid) + "/comm");
        return comm.substr(0, comm.find('\n'));
    }
};

TEST_F(Deamon, TheLauncherIsFollowedToTheDaemonAndItsNewPid)
{
    script("/tmp/bin/forkd", DEAMON_BODY);
    const int index = start("FORKD", TYPE_DEAMON, "/tmp/bin/forkd", "", 1, FAIL_FATAL);
    const pid_t daemon = handedOver(index, 1);
    ASSERT_GT(daemon, 0) << mainLog();
    EXPECT_EQ("forkd", nameOf(daemon));
    EXPECT_TRUE(logHas("processVthDeamon: supervising (period=1sec) child process deamon [pid=" + std::to_string(daemon), PATIENCE_MS));

    kill(daemon, SIGHUP);
    const pid_t successor = followed(index, daemon);
    ASSERT_GT(successor, 0) << mainLog();
    EXPECT_EQ("forkd", nameOf(successor));
    EXPECT_TRUE(logHas("[SessionID=FORKD] has a new PID: " + std::to_string(successor) + "\n", PATIENCE_MS));
    EXPECT_EQ(1u, count(mainLog(), "(re)starting \"/tmp/bin/forkd"));

    EXPECT_EQ(0, processIStopProcess(index));
    EXPECT_TRUE(waitFor([&] { return gone(successor); }, PATIENCE_MS));
    EXPECT_EQ(0, g_processTable[index].inUse);
}

TEST_F(Deamon, AVanishedDaemonIsStartedAgain)
{
    script("/tmp/bin/forkd", DEAMON_BODY);
    const int index = start("FORKD", TYPE_DEAMON, "/tmp/bin/forkd", "", 1, FAIL_FATAL);
    const pid_t daemon = handedOver(index, 1);
    ASSERT_GT(daemon, 0);
    kill(daemon, SIGKILL);
    ASSERT_TRUE(advanceUntil([] { return count(mainLog(), "(re)starting \"/tmp/bin/forkd") == 2; })) << mainLog();
    const pid_t again = handedOver(index, 2);
    EXPECT_GT(again, 0);
    EXPECT_NE(daemon, again);
    EXPECT_EQ(0, count(mainLog(), "retrying later"));
    processIStopProcess(index);
}

TEST_F(Deamon, AThirdRestartWithinTheWindowWaitsBeforeStarting)
{
    script("/tmp/bin/forkd", DEAMON_BODY);
    const int index = start("FORKD", TYPE_DEAMON, "/tmp/bin/forkd", "", 1, FAIL_FATAL);
    pid_t daemon = handedOver(index, 1);
    for (int restart = 1; restart <= 2; ++restart) {
        ASSERT_GT(daemon, 0) << mainLog();
        kill(daemon, SIGKILL);
        ASSERT_TRUE(advanceUntil([&] { return count(mainLog(), "(re)starting \"/tmp/bin/forkd") == 1u + restart; }));
        daemon = handedOver(index, 1 + restart);
    }
    kill(daemon, SIGKILL);
    ASSERT_TRUE(advanceUntil([] { return logHas("processVthProcess: [/tmp/bin/forkd]restarted 3 times in less then 30 min. (retrying later)\n"); }))
        << mainLog();
    // Half an hour of the clock later it starts again, not before.
    ASSERT_TRUE(advanceBy(1790 * 1000L));
    EXPECT_EQ(3u, count(mainLog(), "(re)starting \"/tmp/bin/forkd"));
    EXPECT_TRUE(advanceUntil([] { return count(mainLog(), "(re)starting \"/tmp/bin/forkd") == 4; }));
    EXPECT_EQ(0, processIStopProcess(index));
}

// The watcher restarts the daemon while another item is being started: the entry stays untagged.
TEST_F(Deamon, ARestartKeepsTheItemOfTheFirstStart)
{
    script("/tmp/bin/forkd", DEAMON_BODY);
    const int index = start("FORKD", TYPE_DEAMON, "/tmp/bin/forkd", "", 1, FAIL_FATAL);
    const pid_t daemon = handedOver(index, 1);
    ASSERT_GT(daemon, 0) << mainLog();
    char name[] = "/mnt/soft/lpcm_a";
    g_itemTable.items[3].name = name;
    g_currentItem = 3;
    kill(daemon, SIGKILL);
    const bool restarted =
        advanceUntil([] { return count(mainLog(), "processVthDeamon: supervising") == 2; });
    g_currentItem = -1;
    ASSERT_TRUE(restarted) << mainLog();
    EXPECT_EQ(0, processIStopByItem("lpcm_a"));
    EXPECT_FALSE(g_processTable[index].beingKilled) << "the restart was tagged with the item started meanwhile";
    EXPECT_EQ(1, g_processTable[index].inUse);
}

TEST_F(Deamon, ANameLongerThanTheKernelKeepsIsStillFound)
{
    script("/tmp/bin/a_very_long_daemon_name", DEAMON_BODY);
    const int index = start("LONGD", TYPE_DEAMON, "/tmp/bin/a_very_long_daemon_name", "", 1, FAIL_FATAL);
    const pid_t daemon = handedOver(index, 1);
    ASSERT_GT(daemon, 0) << mainLog();
    EXPECT_EQ("a_very_long_dae", nameOf(daemon));
    processIStopProcess(index);
}

TEST_F(Deamon, TwoSessionsOfOneProgramEachFindTheirOwn)
{
    script("/tmp/bin/forkd", DEAMON_BODY);
    const int first = start("FIRST", TYPE_DEAMON, "/tmp/bin/forkd", "", 1, FAIL_FATAL);
    const pid_t firstDaemon = handedOver(first, 1);
    ASSERT_GT(firstDaemon, 0);
    const int second = start("SECOND", TYPE_DEAMON, "/tmp/bin/forkd", "", 1, FAIL_FATAL);
    const pid_t secondDaemon = handedOver(second, 2);
    ASSERT_GT(secondDaemon, 0) << mainLog();
    EXPECT_NE(firstDaemon, secondDaemon);
    EXPECT_EQ(0, count(mainLog(), "FAILED to get a PID"));
    processIStopProcess(first);
    processIStopProcess(second);
}

TEST_F(Deamon, ALauncherThatLeavesNoDaemonIsAFailure)
{
    script("/tmp/bin/nothing_here", "exit 0\n");
    const int index = start("NODAEMON", TYPE_DEAMON, "/tmp/bin/nothing_here", "", 1, FAIL_TOLERATE);
    ASSERT_TRUE(logHas("processSsuperviseDeamonBinary: processIGetChildDeamonPIDcheckSession FAILED to get a PID (-1)\n", PATIENCE_MS));
    EXPECT_TRUE(logHas("processVthProcess: processSsuperviseDeamonBinary FAILED (status=1)\n", PATIENCE_MS));
    EXPECT_TRUE(waitFor([&] { return g_processTable[index].inUse == 0; }, PATIENCE_MS));
}

TEST_F(Deamon, ALostDaemonUnderPolicyFatalResetsTheBoard)
{
    script("/tmp/bin/nothing_here", "exit 0\n");
    start("NODAEMON", TYPE_DEAMON, "/tmp/bin/nothing_here", "", 1, FAIL_FATAL);
    EXPECT_TRUE(waitFor([] { return readFile("/mnt/soft/debug/reset.log").find("process.c 1158 3 Morvash: thread creation failed\n") != std::string::npos; }, PATIENCE_MS))
        << mainLog();
}

TEST_F(Deamon, StoppingADaemonWhoseLauncherStillRunsLeavesNoZombie)
{
    const int index = start("SLOWD", TYPE_DEAMON, "sleep", "30", 1, FAIL_FATAL);
    const pid_t launcher = runningPid(index);
    ASSERT_GT(launcher, 0);
    processVpause(200);
    EXPECT_EQ(0, processIStopProcess(index));
    EXPECT_TRUE(waitFor([&] { return gone(launcher); }, PATIENCE_MS)) << readFile("/proc/" + std::to_string(launcher) + "/status");
    EXPECT_EQ(0, g_processTable[index].inUse);
}

// The stop reaches the launcher, which ends well and leaves its daemon behind: that goes too.
TEST_F(Deamon, AStopWhileTheLauncherEndsTakesTheDaemonItLeft)
{
    // The launcher ends well on the stop's SIGTERM, or is ended by it; either way its daemon runs on.
    for (const char *onTerm : {"trap 'exit 0' TERM\n", ""}) {
        SCOPED_TRACE(onTerm);
        unlink("/tmp/ready");
        unlink("/tmp/launcher");
        script("/tmp/bin/slowd", std::string("run() { echo $BASHPID >>/tmp/ready; while :; do sleep 0.1; done; }\nrun &\n") +
                                     onTerm + "echo up >/tmp/launcher\nwhile :; do sleep 0.1; done\n");
        const int index = start("SLOWD", TYPE_DEAMON, "/tmp/bin/slowd", "", 1, FAIL_FATAL);
        ASSERT_TRUE(waitFor([] { return !readFile("/tmp/ready").empty() && !readFile("/tmp/launcher").empty(); }, PATIENCE_MS));
        const pid_t daemon = atoi(readFile("/tmp/ready").c_str());
        ASSERT_GT(daemon, 0);
        EXPECT_EQ(0, processIStopProcess(index));
        EXPECT_TRUE(advanceUntil([&] { return gone(daemon); })) << "the daemon outlived its stop";
        EXPECT_TRUE(waitFor([&] { return g_processTable[index].inUse == 0; }, PATIENCE_MS));
    }
}

// The stop of all programs holds a daemon that ignores SIGTERM to its bound, then kills it: its watcher,
// woken by the stop, leaves the entry to the stop instead of freeing it.
TEST_F(Deamon, StopAllKillsADaemonThatIgnoresSigterm)
{
    script("/tmp/bin/deafd", "run() { trap '' TERM; echo $BASHPID >>/tmp/ready; while :; do sleep 0.1; done; }\n"
                             "run &\nexit 0\n");
    const int index = start("DEAFD", TYPE_DEAMON, "/tmp/bin/deafd", "", 1, FAIL_FATAL);
    const pid_t daemon = handedOver(index, 1);
    ASSERT_GT(daemon, 0) << mainLog();
    g_shuttingDown = true;
    {
        const ClockHeld held;
        const long long before = clockMs();
        ASSERT_TRUE(whileAdvancing(processVstopAll));
        EXPECT_EQ(120000, clockMs() - before);
    }
    EXPECT_TRUE(waitFor([&] { return gone(daemon); }, PATIENCE_MS)) << "the daemon outlived the stop";
    kill(daemon, SIGKILL);
    EXPECT_TRUE(waitFor([] { return processIliveThreads() == 0; }, PATIENCE_MS));
}

TEST_F(Deamon, StoppingADaemonEntryBeforeItsThreadRunsIsHarmless)
{
    const int index = morvIGetFreeTableEntry();
    ASSERT_GE(index, 0);
    processVsetProgram(index, "EARLY", TYPE_DEAMON, "sleep", "30", 1, "", "", FAIL_FATAL);
    EXPECT_EQ(0, processIStopProcess(index));
    EXPECT_EQ(0, g_processTable[index].inUse);
}

TEST_F(Deamon, StoppingADaemonWhoseThreadHasEndedCancelsNoOtherThread)
{
    const int failed = start("FAILD", TYPE_DEAMON, "false", "", 1, FAIL_IGNORE);
    ASSERT_TRUE(logHas("[SessionID=FAILD] -> do nothing.\n", PATIENCE_MS));
    processVpause(100);
    // A thread started now may well take over the ended thread's stack, and with it its id.
    const int other = start("OTHER", TYPE_EXTERNAL, "sleep", "60", NO_TIMEOUT, FAIL_ALWAYS);
    const pid_t pid = runningPid(other);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(0, processIStopProcess(failed));
    kill(pid, SIGKILL);
    EXPECT_TRUE(advanceUntil([] { return count(mainLog(), "(re)starting \"sleep 60\"") == 2; })) << mainLog();
    processIStopProcess(other);
}

// A process of the daemon's name that has ended but is not reaped yet is no daemon: the lookup passes over
// it to the live one, though the zombie comes first with the same parent.
TEST_F(Deamon, AZombieOfTheDaemonsNameIsPassedOver)
{
    const int index = morvIGetFreeTableEntry();
    ASSERT_GE(index, 0);
    processVsetProgram(index, "FORKD", TYPE_DEAMON, "/tmp/bin/forkd", "", 1, "", "", FAIL_FATAL);
    const auto named = [](bool live) {
        const pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_NAME, "forkd");
            while (live) pause();
            _exit(0);
        }
        return pid;
    };
    const pid_t zombie = named(false);
    const pid_t live = named(true);
    ASSERT_TRUE(waitFor([&] { return !reaped(zombie) && nameOf(live) == "forkd"; }, PATIENCE_MS));
    EXPECT_EQ(live, processIGetChildDeamonPID(index));
    EXPECT_EQ(live, processIGetChildDeamonPIDcheckSession(index, "FORKD"));
    kill(live, SIGKILL);
    int status;
    waitpid(live, &status, 0);
    waitpid(zombie, &status, 0);
}

class Inhouse : public BoardTest {};

TEST_F(Inhouse, SilenceBeyondTheTimeOutEndsAndReapsTheProgram)
{
    script("/tmp/bin/mute", "trap '' TERM\necho ready >/tmp/mute.ready\nwhile :; do sleep 0.1; done\n");
    const long long beforeStart = clockMs();
    const int index = start("MUTE", TYPE_INHOUSE, "/tmp/bin/mute", "", 2, FAIL_TOLERATE);
    const pid_t pid = runningPid(index);
    ASSERT_TRUE(waitFor([] { return !readFile("/tmp/mute.ready").empty(); }, PATIENCE_MS));
    {
        const ClockHeld held;
        const long long started = clockMs();
        const std::string expired =
            "Time-out of 2s expired on in-house binary: \"/tmp/bin/mute \" [pid=" + std::to_string(pid) + "]\n";
        ASSERT_TRUE(advanceUntil([&] { return logHas(expired); })) << mainLog();
        // The deadline counts in whole seconds from the last report (the start).
        EXPECT_GT(clockMs() - beforeStart, 1000);
        EXPECT_LE(clockMs() - started, 2000);
        EXPECT_TRUE(logHas("supervised_brenvik_binary: Process (" + std::to_string(pid) + ") doesn't exit !!\n"));
        // SIGTERM is ignored: SIGKILL follows 2 s later and the child is reaped, not left a zombie.
        const long long term = clockMs();
        EXPECT_TRUE(advanceUntil([&] { return gone(pid); })) << readFile("/proc/" + std::to_string(pid) + "/status");
        EXPECT_GE(clockMs() - term, 2000);
        ASSERT_TRUE(advanceUntil([] { return count(mainLog(), "(re)starting \"/tmp/bin/mute") == 2; }));
    }
    processIStopProcess(index);
}

TEST_F(Inhouse, AliveMessagesKeepTheProgramRunning)
{
    const int index = start("ALIVE", TYPE_INHOUSE, "sleep", "60", 2, FAIL_TOLERATE);
    const pid_t pid = runningPid(index);
    ASSERT_TRUE(waitFor([&] { return processIrefreshInhouse(pid) == 0; }, PATIENCE_MS));
    // Four seconds of the clock, a report every quarter of a second, each seen by the waiting thread.
    for (int i = 0; i < 16; ++i) {
        ASSERT_TRUE(advanceBy(250));
        ASSERT_EQ(0, processIrefreshInhouse(pid));
    }
    EXPECT_EQ(0u, count(mainLog(), "Time-out of"));
    EXPECT_EQ(-1, processIrefreshInhouse(pid + 100000));
    EXPECT_TRUE(advanceUntil([] { return logHas("Time-out of 2s expired"); }));
    processIStopProcess(index);
}

TEST_F(Inhouse, AnEndBeforeTheDeadlineIsSeenAtOnce)
{
    const int index = start("QUITTER", TYPE_INHOUSE, "sh", "-c 'exit 4'", 30, FAIL_RESET);
    ASSERT_TRUE(logHas(") exit !!\n", PATIENCE_MS)) << mainLog();
    EXPECT_TRUE(logHas("exited with return value 4\n"));
    EXPECT_TRUE(waitFor([] { return readFile("/mnt/soft/debug/reset.log").find("process.c 868 3 Morvash: process exit abnormally\n") != std::string::npos; }, PATIENCE_MS));
    EXPECT_EQ(0, g_processTable[index].inUse);
}

}  // namespace
