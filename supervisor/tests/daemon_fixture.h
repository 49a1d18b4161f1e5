// The supervisor run as the board runs it: the real daemon started by the test inside the board
// namespace (whose console and serial line are plain files), LP_CM and the BIOS manager as stand-ins.
#pragma once

#include "board_fixture.h"

#include "boardlibs.h"
#include "dlibmgt.h"
#include "pmr.h"
#include "server.h"

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <vector>

namespace board {

constexpr const char *CONSOLE = "/dev/console";
constexpr const char *SERIAL = "/dev/ttyS0";
constexpr const char *LPCM_RECORD = "/tmp/lpcm.log";
constexpr const char *RESET_LOG_FILE = "/mnt/soft/debug/reset.log";
constexpr const char *INIT_SIGNALS = "/tmp/init-signals";
constexpr const char *TIMELINE = "/tmp/pmr/timeline";

// A small board: one item started at start-up, one that is not.
constexpr const char *SMALL_CONFIG =
    "version=2\nrelease=R9.1\n"
    "item=lpcm_a|Call handling|L|A|10000|S|\n"
    "item=tools_a|Tools|L|M|10000|S|\n";

struct Led {
    long long at;
    bool on;
};

class DaemonTest : public BoardTest {
protected:
    void SetUp() override
    {
        BoardTest::SetUp();
        if (HasFatalFailure()) return;
        writeFile("/tmp/pmr/state", "dip_switch=0\nram_size=268435456\n");
        writeFile("/mnt/soft/boot/config.rc", SMALL_CONFIG);
        ASSERT_EQ(0, system("mkdir -p /mnt/soft/lpcm_a /mnt/soft/tools_a"));
        writeFile("/mnt/soft/lpcm_a/conf.rc", "M+A|E|/bin/sleep 200|N\n");
        writeFile("/mnt/soft/tools_a/conf.rc", "M+A|E|/bin/sleep 201|N\n");
        setenv("SCK_REPLY_TIMEOUT_MS", "1000", 1);
        if (!g_boardLibs.sckClientSendMessage) ASSERT_EQ(0, dlibmgtSbindLibraries());
        lpcm = spawn({BOARD_BIN "/lp_cm", "serve", "--record", LPCM_RECORD});
        ASSERT_TRUE(waitFor([] { return listening(LPCM_PORT); }, PATIENCE_MS));
    }

    void TearDown() override
    {
        if (daemon > 0) {
            kill(-daemon, SIGKILL);
            kill(daemon, SIGKILL);
            EXPECT_TRUE(waitFor([&] { return gone(daemon); }, PATIENCE_MS));
        }
        if (lpcm > 0) {
            kill(lpcm, SIGKILL);
            int status;
            processIwaitChild(lpcm, &status, 0);
        }
        unsetenv("BIOS_MGT_HOLD");
        unsetenv("BIOS_MGT_MESSAGES");
        BoardTest::TearDown();
    }

    // A UDP socket of this namespace is bound to PORT.
    static bool listening(int port)
    {
        char local[16];
        snprintf(local, sizeof local, ":%04X ", port);
        return readFile("/proc/net/udp").find(local) != std::string::npos;
    }

    static pid_t spawn(const std::vector<std::string> &args, const char *out = "/dev/null")
    {
        const pid_t pid = fork();
        if (pid == 0) {
            const int fd = open(out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 1);
            dup2(fd, 2);
            setenv("PATH", BOARD_BIN ":/usr/sbin:/usr/bin:/sbin:/bin", 1);
            std::vector<char *> argv;
            for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        return pid;
    }

    // Runs morvash with ARGS until its first process ends; its exit status, or -1 when it did not end.
    int runMorvash(std::vector<std::string> args, const char *out = "/tmp/morvash.out")
    {
        args.insert(args.begin(), MORVASH_BINARY);
        const pid_t pid = spawn(args, out);
        int status = 0;
        const bool ended = waitFor([&] { return processIwaitChild(pid, &status, WNOHANG) == pid; }, PATIENCE_MS);
        return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Starts the daemon; true once it has told the driver its pid.
    bool startDaemon(std::vector<std::string> args = {"-nolib"})
    {
        if (runMorvash(args) != 0) return false;
        waitFor([&] { return (daemon = driverPid()) > 0; }, PATIENCE_MS);
        return daemon > 0;
    }

    static pid_t driverPid()
    {
        const std::string state = readFile("/tmp/pmr/state");
        const size_t at = state.find("\npid=");
        return at == std::string::npos ? 0 : atoi(state.c_str() + at + 5);
    }

    static std::string console() { return readFile(CONSOLE); }

    static bool consoleHas(const std::string &text, int ms)
    {
        return waitFor([&] { return console().find(text) != std::string::npos; }, ms);
    }

    // The final banner is out and the message server answers.
    static bool started(int ms = PATIENCE_MS)
    {
        SckMessage reply;
        return consoleHas("* Morvash has started all binaries successfully ! *", ms) &&
               waitFor([&] { return ask(message(SCKMSG_SESSION_EXISTS), &reply); }, PATIENCE_MS);
    }

    static bool shutDown(int ms = PATIENCE_MS)
    {
        return consoleHas("Shutdown of Morvash ok.\n", ms) &&
               waitFor([] { return readFile(INIT_SIGNALS).find("SIGINT") != std::string::npos; }, PATIENCE_MS);
    }

    static SckMessage message(int32_t id, int32_t sender = LPCM_PORT)
    {
        SckMessage m{};
        m.id = id;
        m.sender = sender;
        m.receiver = SERVER_PORT;
        return m;
    }

    static void putText(SckMessage *m, int offset, const char *text)
    {
        snprintf(reinterpret_cast<char *>(m) + offset, SCK_MESSAGE_SIZE - offset, "%s", text);
    }

    static void putInt(SckMessage *m, int offset, int32_t value)
    {
        memcpy(reinterpret_cast<char *>(m) + offset, &value, sizeof value);
    }

    // Message 1 for an external program of SESSION, sent by another board program.
    static SckMessage startRequest(const char *session, const char *path, const char *params, char failParam)
    {
        SckMessage m = message(SCKMSG_START_PROCESS, 4242);
        putText(&m, sckpayload::SESSION, session);
        reinterpret_cast<char *>(&m)[sckpayload::TYPE] = TYPE_EXTERNAL;
        putText(&m, sckpayload::PATH, path);
        putText(&m, sckpayload::PARAMS, params);
        putInt(&m, sckpayload::TIMEOUT, NO_TIMEOUT);
        reinterpret_cast<char *>(&m)[sckpayload::FAIL_PARAM] = failParam;
        return m;
    }

    // The reply to M; false when none came.
    static bool ask(SckMessage m, SckMessage *reply)
    {
        return g_boardLibs.sckClientSendMessage(LOCAL_HOST, SERVER_PORT, &m, reply) == 0;
    }

    // The pid message 5 gives once the session's program runs; 0 when it does not come to run.
    static pid_t runningSession(const SckMessage &pidOf)
    {
        SckMessage reply{};
        waitFor([&] { return ask(pidOf, &reply) && reply.result > 0; }, PATIENCE_MS);
        return reply.result > 0 ? reply.result : 0;
    }

    static std::vector<Led> leds()
    {
        std::vector<Led> events;
        std::istringstream in(readFile(TIMELINE));
        long long at;
        std::string what;
        while (in >> at >> what) {
            if (what == "LED_ON" || what == "LED_OFF") events.push_back({at, what == "LED_ON"});
        }
        return events;
    }

    static size_t refreshes() { return count(readFile(TIMELINE), "REFRESH"); }

    // Sizes of the groups of short blinks (on about 100 ms) the LED has shown so far. A group ends with a
    // second switch-off, before its 3 s pause.
    static std::vector<int> blinkGroups()
    {
        std::vector<int> groups;
        const std::vector<Led> e = leds();
        int n = 0;
        for (size_t i = 0; i + 2 < e.size(); ++i) {
            if (!e[i].on || e[i + 1].on) continue;
            const long long lit = e[i + 1].at - e[i].at;
            if (lit < 80 || lit >= 180) {
                n = 0;
                continue;
            }
            ++n;
            if (!e[i + 2].on) {
                groups.push_back(n);
                n = 0;
            }
        }
        return groups;
    }

    static bool hasGroup(int size)
    {
        for (int g : blinkGroups()) {
            if (g == size) return true;
        }
        return false;
    }

    pid_t daemon = 0;
    pid_t lpcm = 0;
};

}  // namespace board
