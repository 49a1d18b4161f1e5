// Shared set-up of the supervisor's tests. Every test runs inside the board namespace harness
// (board-test.sh); the fixture refuses to run anywhere else, since the code under test signals process 1.
// Each case starts from the state at load, on emptied board directories, so a whole test program also
// passes in one namespace; it stops whatever it started when it ends. The supervisor's clock is driven:
// a case moves it forward (advanceUntil) instead of waiting out pauses and deadlines, straight to the next
// deadline once every thread of the board is blocked.
//
// The namespace's /dev is its own: "/dev/console" and "/dev/ttyS0" are plain files a case reads
// (console() and serialLine()), and there are no loop devices but those a case asks for with
// loopDevice(NAME): a fresh, unbound loop device whose node is "/dev/NAME" ("loop0", "flash1" ...),
// which the case or the supervisor binds to an image (losetup, LOOP_SET_FD) and mounts.
#pragma once

#include "clock.h"
#include "morvash.h"
#include "process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <ftw.h>
#include <functional>
#include <limits>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace board {

inline std::string readFile(const std::string &path)
{
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

inline void writeFile(const std::string &path, const std::string &text, mode_t mode = 0644)
{
    std::ofstream(path, std::ios::trunc) << text;
    chmod(path.c_str(), mode);
}

inline size_t count(const std::string &text, const std::string &needle)
{
    size_t n = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) ++n;
    return n;
}

inline size_t lineCount(const std::string &text)
{
    return count(text, "\n");
}

// How long a case waits, in real time, for what must come: only a failure takes that long, whatever the
// machine's load.
constexpr int PATIENCE_MS = 30000;
// How far the clock moves at once while a case's programs are stopped: the stop's pauses and graces.
constexpr long STOP_MOVE_MS = 5000;

// Polls CONDITION every 20 ms for at most MS milliseconds.
inline bool waitFor(const std::function<bool()> &condition, int ms)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return condition();
}

// Every thread of the board namespace but the caller and those waiting on the supervisor's clock (their
// waits look at the clock every few milliseconds): its state and the time it has run.
inline std::map<std::string, std::string> boardThreads()
{
    std::set<std::string> skipped{std::to_string(syscall(SYS_gettid))};
    for (const pid_t t : clockVwaitingThreads()) skipped.insert(std::to_string(t));
    std::map<std::string, std::string> threads;
    DIR *processes = opendir("/proc");
    if (!processes) return threads;
    while (const struct dirent *process = readdir(processes)) {
        if (!isdigit(static_cast<unsigned char>(process->d_name[0]))) continue;
        const std::string tasksDir = std::string("/proc/") + process->d_name + "/task/";
        DIR *tasks = opendir(tasksDir.c_str());
        if (!tasks) continue;  // ended meanwhile
        while (const struct dirent *task = readdir(tasks)) {
            if (!isdigit(static_cast<unsigned char>(task->d_name[0])) || skipped.count(task->d_name)) continue;
            const std::string stat = readFile(tasksDir + task->d_name + "/stat");
            const size_t name = stat.rfind(')');
            const char state = name != std::string::npos && name + 2 < stat.size() ? stat[name + 2] : 'X';
            const std::string ran = readFile(tasksDir + task->d_name + "/schedstat");
            threads[task->d_name] = state + ran.substr(0, ran.find(' '));
        }
        closedir(tasks);
    }
    closedir(processes);
    return threads;
}

// True when every thread of the board but those waiting on the clock is blocked: none can run, and none
// ran, came or went since EARLIER (a look taken before, by default just now) and across two looks a
// moment apart (a thread handing a lock over sleeps for an instant).
inline bool boardBlocked(const std::map<std::string, std::string> &earlier = boardThreads())
{
    const auto blocked = std::none_of(earlier.begin(), earlier.end(),
                                      [](const auto &t) { return t.second[0] == 'R' || t.second[0] == 'D'; });
    if (!blocked || boardThreads() != earlier) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return boardThreads() == earlier;
}

// Holds the supervisor's clock while it lasts: what a case measures on it are then the moves alone.
class ClockHeld {
public:
    ClockHeld() { clockVhold(true); }
    ~ClockHeld() { clockVhold(false); }
    ClockHeld(const ClockHeld &) = delete;
    ClockHeld &operator=(const ClockHeld &) = delete;
};

// Until CONDITION holds (for at most MS milliseconds of real time), holds the supervisor's clock and moves
// it straight to the earliest deadline of its waits (when no further than WITHIN_MS) whenever every thread
// of the board is blocked, so the clock never runs ahead of a thread it has woken, however busy the
// machine.
inline bool advanceUntil(const std::function<bool()> &condition, int ms = PATIENCE_MS,
                         long withinMs = std::numeric_limits<long>::max())
{
    const ClockHeld held;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        // Both read before the condition: a thread that changes what it says and then waits on the clock
        // changes the generation, and one that then blocks otherwise, or ends, changes the board's look;
        // so no move follows a change unseen.
        const auto before = boardThreads();
        const unsigned long generation = clockLwaitGeneration();
        if (condition()) return true;
        if (boardBlocked(before)) clockBjumpToNextDeadline(generation, withinMs);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return condition();
}

// Runs ACTION on a thread of its own while the clock is moved as by advanceUntil, until it returns (at
// most MS milliseconds of real time).
inline bool whileAdvancing(const std::function<void()> &action, int ms = PATIENCE_MS,
                           long withinMs = std::numeric_limits<long>::max())
{
    std::atomic<bool> done{false};
    std::thread runner([&] {
        action();
        done = true;
    });
    const bool finished = advanceUntil([&] { return done.load(); }, ms, withinMs);
    runner.join();
    return finished;
}

// Moves the clock forward by MS by hand and waits (for at most PATIENCE_MS of real time) until the waits
// it ended have seen it and every thread of the board is blocked again.
inline bool advanceBy(long ms)
{
    const ClockHeld held;
    clockVadvance(ms);
    return waitFor([] { return !clockBwaitOverdue() && boardBlocked(); }, PATIENCE_MS);
}

// The supervisor's clock in milliseconds.
inline long long clockMs()
{
    const struct timespec now = clockOnow();
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

inline std::string console()
{
    return readFile("/dev/console");
}

inline std::string serialLine()
{
    return readFile("/dev/ttyS0");
}

// A fresh loop device of the case's own, unbound, at "/dev/NAME"; the node's path, or "" when the harness
// could not give one (its reason is on standard error).
inline std::string loopDevice(const std::string &name)
{
    const char *helper = getenv("BOARD_LOOP");
    if (!helper) return "";
    const std::string node = "/dev/" + name;
    return system((std::string(helper) + " " + node).c_str()) == 0 ? node : "";
}

// Empties the board directories of the harness, leaving alone what is mounted in them (a build tree bound
// back under /tmp).
inline void emptyBoardDirectories()
{
    static const char *const dirs[] = {"/tmp", "/var/log", "/current", "/mnt/soft", "/mnt/flash", "/mnt/flashext",
                                       "/mnt/hdext", "/tftpboot", "/debug"};
    for (const char *dir : dirs) {
        nftw(dir, [](const char *path, const struct stat *, int, struct FTW *at) {
            if (at->level > 0) remove(path);
            return 0;
        }, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
    }
    for (const char *file : {"/dev/console", "/dev/ttyS0"}) truncate(file, 0);
}

inline std::string mainLog()
{
    return readFile("/var/log/morvash");
}

inline bool logHas(const std::string &text, int ms = 0)
{
    return waitFor([&] { return mainLog().find(text) != std::string::npos; }, ms);
}

// True when PID is gone or at least not left as a zombie.
inline bool reaped(pid_t pid)
{
    const std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
    return status.empty() || status.find("State:\tZ") == std::string::npos;
}

inline bool gone(pid_t pid)
{
    return readFile("/proc/" + std::to_string(pid) + "/status").empty();
}

// An executable shell script at PATH.
inline void script(const std::string &path, const std::string &body)
{
    writeFile(path, "#!/bin/sh\n" + body, 0755);
}

// The board as at load: emptied board directories and the supervisor's state reset, the supervision
// thread not started.
inline void freshBoard()
{
    ASSERT_EQ("standin_init\n", readFile("/proc/1/comm"))
        << "supervisor tests run only inside tools/ns/board-ns.sh (see board-test.sh)";
    ASSERT_EQ(0, processIliveThreads()) << "a case before this one left threads running";
    // A death test's child runs the case again beside its parent, whose files it must leave alone.
    if (GTEST_FLAG_GET(internal_run_death_test).empty()) emptyBoardDirectories();
    ASSERT_EQ(0, system("mkdir -p /mnt/soft/debug /mnt/soft/boot /tmp/bin /tmp/pmr"));
    morvVresetState();
    g_rebootOnFatal = false;
    clockVdrive();
}

class BoardTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        freshBoard();
        if (HasFatalFailure()) return;
        static bool initialised = false;
        if (!initialised) {
            processVinit();
            initialised = true;
        }
    }

    // Nothing the case started outlives it: every program is stopped and every table thread has ended.
    void TearDown() override
    {
        g_shuttingDown = true;
        processVsignalInhouseRecords();
        // Never as far as the supervision thread's next round, which would shut the board down (the flag is
        // set) beside the next case.
        whileAdvancing(processVstopAll, PATIENCE_MS, STOP_MOVE_MS);
        EXPECT_TRUE(advanceUntil([] { return processIliveThreads() == 0; }, PATIENCE_MS, STOP_MOVE_MS))
            << processIliveThreads() << " table threads still running";
        morvVresetState();
    }

    // Takes an entry, fills it and starts it; the entry's thread is detached.
    static int start(const char *session, char type, const char *path, const char *params, int timeout,
                     char failParam, const char *failPath = "", const char *failParams = "")
    {
        const int index = morvIGetFreeTableEntry();
        if (index < 0) return -1;
        processVsetProgram(index, session, type, path, params, timeout, failPath, failParams, failParam);
        pthread_t thread;
        if (processIStartProcess(index, &thread) != 0) return -1;
        pthread_detach(thread);
        return index;
    }

    // The entry's running process (its child, not yet reaped, or its daemon); 0 when none came within MS.
    static pid_t runningPid(int index, int ms = PATIENCE_MS)
    {
        pid_t pid = 0;
        waitFor([&] { return (pid = g_processTable[index].pid) > 0 && !g_processTable[index].reaped; }, ms);
        return pid > 0 && !g_processTable[index].reaped ? pid : 0;
    }
};

}  // namespace board
