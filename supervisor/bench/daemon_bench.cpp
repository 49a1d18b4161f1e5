// Benchmark (not a test) of the daemon, run inside the board namespace harness: the time from starting
// morvash to its final banner, and its resident memory, threads and CPU time while it supervises a board
// of 50 items (each a program of its own); then the time of the ordered shut-down after SIGTERM.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {
constexpr int ITEMS = 50;
constexpr const char *CONSOLE = "/dev/console";
constexpr const char *FINAL_BANNER = "* Morvash has started all binaries successfully ! *";
constexpr const char *SHUTDOWN_DONE = "Shutdown of Morvash ok.";
constexpr int DAEMONISE_PAUSE_MS = 1000;  // the child waits this long before it lets its parent go

using Clock = std::chrono::steady_clock;

std::string readFile(const std::string &path)
{
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

void writeFile(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::trunc) << text;
}

// Milliseconds until TEXT is on the console, or -1 after LIMIT_MS.
long waitConsole(Clock::time_point since, const char *text, long limitMs)
{
    for (;;) {
        const long ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
        if (readFile(CONSOLE).find(text) != std::string::npos) return ms;
        if (ms > limitMs) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// A field of the status of PID's threads other than the main one, which has ended and shows no memory.
std::string statusField(pid_t pid, const char *name)
{
    std::string status;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    if (DIR *d = opendir(tasks.c_str())) {
        while (const dirent *t = readdir(d)) {
            if (t->d_name[0] != '.' && atoi(t->d_name) != pid) status = readFile(tasks + "/" + t->d_name + "/status");
        }
        closedir(d);
    }
    std::istringstream in(status);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(std::string(name) + ":", 0) == 0) return line.substr(line.find_first_not_of(" \t", strlen(name) + 1));
    }
    return "?";
}

pid_t daemonPid()
{
    const std::string state = readFile("/tmp/pmr/state");
    const size_t at = state.find("\npid=");
    return at == std::string::npos ? 0 : atoi(state.c_str() + at + 5);
}

void board()
{
    if (system("mkdir -p /mnt/soft/boot /mnt/soft/debug /tmp/pmr") != 0) exit(1);
    writeFile("/tmp/pmr/state", "dip_switch=0\n");
    std::string config = "version=2\nrelease=BENCH\n";
    for (int i = 0; i < ITEMS; ++i) {
        const std::string name = "item" + std::to_string(i) + "_a";
        config += "item=" + name + "|Item " + std::to_string(i) + "|L|A|10000|S|\n";
        mkdir(("/mnt/soft/" + name).c_str(), 0755);
        writeFile("/mnt/soft/" + name + "/conf.rc", "M+A|E|/bin/sleep " + std::to_string(1000 + i) + "|N\n");
    }
    writeFile("/mnt/soft/boot/config.rc", config);
}
}  // namespace

int main()
{
    if (readFile("/proc/1/comm") != "standin_init\n") {
        fprintf(stderr, "run me through the bench-supervisor target (board namespace harness)\n");
        return 2;
    }
    board();
    truncate(CONSOLE, 0);
    const auto start = Clock::now();
    const pid_t launcher = fork();
    if (launcher == 0) {
        execl(MORVASH_BINARY, MORVASH_BINARY, "-nolib", "-nobios", static_cast<char *>(nullptr));
        _exit(127);
    }
    int status;
    waitpid(launcher, &status, 0);
    const long banner = waitConsole(start, FINAL_BANNER, 60000);
    if (banner < 0) {
        fprintf(stderr, "no final banner:\n%s\n", readFile(CONSOLE).c_str());
        return 1;
    }
    const pid_t pid = daemonPid();
    std::this_thread::sleep_for(std::chrono::seconds(2));  // let the items settle before measuring
    printf("morvash with %d items (each a program of its own):\n", ITEMS);
    printf("  start to final banner: %ld ms (of which %d ms is the daemonising pause)\n", banner, DAEMONISE_PAUSE_MS);
    printf("  resident memory: %s, threads: %s\n", statusField(pid, "VmRSS").c_str(), statusField(pid, "Threads").c_str());
    std::istringstream stat(readFile("/proc/" + std::to_string(pid) + "/stat").substr(readFile("/proc/" + std::to_string(pid) + "/stat").rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; stat >> field; ++i) {
        if (i == 14) utime = atol(field.c_str());
        if (i == 15) { stime = atol(field.c_str()); break; }
    }
    printf("  CPU time so far: %ld ms\n", (utime + stime) * 1000 / sysconf(_SC_CLK_TCK));
    const auto stop = Clock::now();
    kill(pid, SIGTERM);
    const long down = waitConsole(stop, SHUTDOWN_DONE, 180000);
    printf("  SIGTERM to \"%s\": %ld ms (of which 1000 ms is the first step's pause)\n", SHUTDOWN_DONE, down);
    return down < 0 ? 1 : 0;
}
