// Stand-in for the board driver's character device "/dev/pmr", preloaded into the supervisor
// (LD_PRELOAD): an open of the device gets a descriptor of our own, and every request on it is answered
// from a state file and recorded, so a test can set the board's answers and see what was asked.
//
// State directory: $PMR_STATE (default "/tmp/pmr"). "state" holds key=value lines, read at each request
// and rewritten when a request changes it; "requests" gets one line per request. Keys: dip_switch,
// boot_device, ram_size, cpu_code, variant, server_ip, libname, reset_status, oneshot_state, swap_flag
// (answers); watchdog, led, pid, oneshot_armed (written by requests); fail (comma-separated request
// codes in hex that fail with EIO). "timeline" gets the watchdog refreshes and LED switches, each line
// "<monotonic ms> REFRESH|LED_ON|LED_OFF", so a test can check blink patterns and that the watchdog was
// fed. Signals 30 and 31 are sent by the test itself.
#include "../pmr.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <ctime>
#include <unistd.h>

namespace {
constexpr const char *DEVICE_PATH = "/dev/pmr";
constexpr const char *DEFAULT_STATE_DIR = "/tmp/pmr";

std::atomic<int> deviceFd{-1};
std::mutex stateMutex;

using State = std::map<std::string, std::string>;

std::string stateDir()
{
    const char *dir = getenv("PMR_STATE");
    return dir && *dir ? dir : DEFAULT_STATE_DIR;
}

State readState()
{
    State state;
    if (FILE *f = fopen((stateDir() + "/state").c_str(), "r")) {
        char line[512];
        while (fgets(line, sizeof line, f)) {
            line[strcspn(line, "\r\n")] = '\0';
            char *eq = strchr(line, '=');
            if (!eq) continue;
            *eq = '\0';
            state[line] = eq + 1;
        }
        fclose(f);
    }
    return state;
}

void writeState(const State &state)
{
    const std::string dir = stateDir();
    mkdir(dir.c_str(), 0755);
    const std::string tmp = dir + "/state.new";
    FILE *f = fopen(tmp.c_str(), "w");
    if (!f) return;
    for (const auto &kv : state) fprintf(f, "%s=%s\n", kv.first.c_str(), kv.second.c_str());
    fclose(f);
    rename(tmp.c_str(), (dir + "/state").c_str());
}

void record(const char *name, const std::string &argument)
{
    const std::string dir = stateDir();
    mkdir(dir.c_str(), 0755);
    if (FILE *f = fopen((dir + "/requests").c_str(), "a")) {
        fprintf(f, "%s%s%s\n", name, argument.empty() ? "" : " ", argument.c_str());
        fclose(f);
    }
}

void recordTimed(const char *name)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const std::string dir = stateDir();
    mkdir(dir.c_str(), 0755);
    if (FILE *f = fopen((dir + "/timeline").c_str(), "a")) {
        fprintf(f, "%lld %s\n", static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000, name);
        fclose(f);
    }
}

unsigned long number(const State &state, const char *key)
{
    const auto it = state.find(key);
    return it == state.end() ? 0 : strtoul(it->second.c_str(), nullptr, 0);
}

bool fails(const State &state, unsigned long request)
{
    const auto it = state.find("fail");
    if (it == state.end()) return false;
    const std::string list = "," + it->second + ",";
    char code[32];
    snprintf(code, sizeof code, ",0x%lx,", request);
    return list.find(code) != std::string::npos;
}

int answer(unsigned long request, void *argument)
{
    std::lock_guard<std::mutex> lock(stateMutex);
    State state = readState();
    if (fails(state, request)) {
        char code[32];
        snprintf(code, sizeof code, "0x%lx", request);
        record("FAILED", code);
        errno = EIO;
        return -1;
    }
    switch (request) {
    case PMR_WATCHDOG_START:
        record("WATCHDOG_START", "");
        state["watchdog"] = "on";
        break;
    case PMR_WATCHDOG_STOP:
        record("WATCHDOG_STOP", "");
        state["watchdog"] = "off";
        break;
    case PMR_WATCHDOG_REFRESH:
        record("WATCHDOG_REFRESH", "");
        recordTimed("REFRESH");
        return 0;
    case PMR_LED_ON:
        recordTimed("LED_ON");
        state["led"] = "on";
        break;
    case PMR_LED_OFF:
        recordTimed("LED_OFF");
        state["led"] = "off";
        break;
    case PMR_GET_NETCONF: {
        record("GET_NETCONF", "");
        NetConfig config = {};
        const auto ip = state.find("server_ip");
        if (ip != state.end()) inet_pton(AF_INET, ip->second.c_str(), &config.serverAddress);
        memcpy(argument, &config, sizeof config);
        return 0;
    }
    case PMR_SET_PID:
        record("SET_PID", std::to_string(reinterpret_cast<long>(argument)));
        state["pid"] = std::to_string(reinterpret_cast<long>(argument));
        break;
    case PMR_GET_CPUCONF: {
        record("GET_CPUCONF", "");
        CpuConfig config = {};
        config.dipSwitch = static_cast<uint8_t>(number(state, "dip_switch"));
        config.bootDevice = static_cast<uint8_t>(number(state, "boot_device"));
        config.ramSize = static_cast<uint32_t>(number(state, "ram_size"));
        config.cpuCode = static_cast<uint8_t>(number(state, "cpu_code"));
        config.variant = static_cast<uint8_t>(number(state, "variant"));
        memcpy(argument, &config, sizeof config);
        return 0;
    }
    case PMR_ACTIVATE_ONESHOT:
        record("ACTIVATE_ONESHOT", "");
        state["oneshot_armed"] = "1";
        break;
    case PMR_GETSTAT_ONESHOT: {
        record("GETSTAT_ONESHOT", "");
        OneshotStatus status{static_cast<uint8_t>(number(state, "oneshot_state")),
                             static_cast<uint8_t>(number(state, "swap_flag"))};
        memcpy(argument, &status, sizeof status);
        return 0;
    }
    case PMR_RESET_SWAPFLAG:
        record("RESET_SWAPFLAG", "");
        state["swap_flag"] = "0";
        break;
    case PMR_GET_LIBNAME: {
        record("GET_LIBNAME", "");
        // As the driver does: a name of the buffer's size or longer fills it without a terminator.
        char name[PMR_LIBNAME_SIZE] = {};
        const std::string &libname = state["libname"];
        memcpy(name, libname.data(), std::min(libname.size(), sizeof name));
        memcpy(argument, name, sizeof name);
        return 0;
    }
    case PMR_GET_RESET_STATUS: {
        record("GET_RESET_STATUS", "");
        const uint32_t status = static_cast<uint32_t>(number(state, "reset_status"));
        memcpy(argument, &status, sizeof status);
        return 0;
    }
    case PMR_ACK_RESET_STATUS: {
        uint32_t cause;
        memcpy(&cause, argument, sizeof cause);
        record("ACK_RESET_STATUS", std::to_string(cause));
        state["reset_status"] = std::to_string(number(state, "reset_status") & ~cause);
        break;
    }
    default:
        errno = ENOTTY;
        return -1;
    }
    writeState(state);
    return 0;
}

template <typename F>
F next(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

int openDevice(const char *path, int flags, mode_t mode, int (*real)(const char *, int, ...))
{
    if (strcmp(path, DEVICE_PATH) != 0) return real(path, flags, mode);
    const int fd = real("/dev/null", O_RDONLY, 0);
    if (fd >= 0) deviceFd = fd;
    return fd;
}

mode_t modeOf(int flags, va_list args)
{
    return (flags & (O_CREAT | O_TMPFILE)) ? static_cast<mode_t>(va_arg(args, int)) : 0;
}
}  // namespace

extern "C" {

int open(const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeOf(flags, args);
    va_end(args);
    static auto real = next<int (*)(const char *, int, ...)>("open");
    return openDevice(path, flags, mode, real);
}

int open64(const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeOf(flags, args);
    va_end(args);
    static auto real = next<int (*)(const char *, int, ...)>("open64");
    return openDevice(path, flags, mode, real);
}

int close(int fd)
{
    static auto real = next<int (*)(int)>("close");
    int expected = fd;
    deviceFd.compare_exchange_strong(expected, -1);
    return real(fd);
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void *argument = va_arg(args, void *);
    va_end(args);
    if (fd >= 0 && fd == deviceFd) return answer(request, argument);
    static auto real = next<int (*)(int, unsigned long, ...)>("ioctl");
    return real(fd, request, argument);
}
}
