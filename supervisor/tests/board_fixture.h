// Shared set-up of the supervisor's tests. Every test runs inside the board namespace harness
// (board-test.sh); the fixture refuses to run anywhere else, since the code under test signals process 1.
#pragma once

#include "morvash.h"
#include "process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <sys/stat.h>
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

class BoardTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ("standin_init\n", readFile("/proc/1/comm"))
            << "supervisor tests run only inside tools/ns/board-ns.sh (see board-test.sh)";
        ASSERT_EQ(0, system("mkdir -p /mnt/soft/debug /mnt/soft/boot /tmp/bin /tmp/pmr"));
        g_rebootOnFatal = false;
        static bool initialised = false;
        if (!initialised) {
            processVinit();
            initialised = true;
        }
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

    static pid_t runningPid(int index, int ms = 3000)
    {
        pid_t pid = 0;
        waitFor([&] { return (pid = g_processTable[index].pid) > 0; }, ms);
        return pid;
    }
};

}  // namespace board
