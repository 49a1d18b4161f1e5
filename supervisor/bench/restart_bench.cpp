// Benchmark (not a test) of the process table, run inside the board namespace harness:
//  - the time from a supervised program's exit to its restart, per restart policy, less the pause the
//    policy prescribes;
//  - the supervisor's resident memory and CPU time while it supervises a full table of idle programs.
#include "morvash.h"
#include "process.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {
constexpr double RESTART_PAUSE_MS = 3000.0;
constexpr int IDLE_SECONDS = 10;

std::string readFile(const std::string &path)
{
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

std::vector<long long> stamps(const std::string &path)
{
    std::vector<long long> values;
    std::istringstream in(readFile(path));
    for (long long v; in >> v;) values.push_back(v);
    return values;
}

long residentKb()
{
    const std::string status = readFile("/proc/self/status");
    const size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : atol(status.c_str() + at + 6);
}

double cpuSeconds()
{
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int startEntry(const char *session, const char *path, const char *params, char policy)
{
    const int index = morvIGetFreeTableEntry();
    if (index < 0) return -1;
    processVsetProgram(index, session, TYPE_EXTERNAL, path, params, NO_TIMEOUT, "", "", policy);
    pthread_t thread;
    if (processIStartProcess(index, &thread) != 0) return -1;
    pthread_detach(thread);
    return index;
}

void restartLatency(char policy, int restarts)
{
    const std::string log = std::string("/tmp/bench-starts-") + policy;
    const std::string script = "/tmp/bench-crash-" + std::string(1, policy);
    std::ofstream(script) << "#!/bin/sh\ndate +%s%N >>" << log << "\nexit 1\n";
    chmod(script.c_str(), 0755);
    const int index = startEntry("BENCH", script.c_str(), "", policy);
    for (int waited = 0; waited < (restarts + 2) * 40 && stamps(log).size() < static_cast<size_t>(restarts + 1); ++waited)
        processVpause(100);
    processIStopProcess(index);
    for (int waited = 0; waited < 50 && g_processTable[index].inUse; ++waited) processVpause(100);
    const std::vector<long long> t = stamps(log);
    std::vector<double> latencies;
    for (size_t i = 1; i < t.size(); ++i) latencies.push_back((t[i] - t[i - 1]) / 1e6 - RESTART_PAUSE_MS);
    if (latencies.empty()) {
        printf("policy %c: no restart seen\n", policy);
        return;
    }
    std::sort(latencies.begin(), latencies.end());
    double sum = 0;
    for (double l : latencies) sum += l;
    printf("policy %c: %zu restarts, exit to restart beyond the %.0f ms pause: mean %.2f ms, max %.2f ms\n", policy,
           latencies.size(), RESTART_PAUSE_MS, sum / latencies.size(), latencies.back());
}

void idleTable()
{
    const long before = residentKb();
    for (int i = 0; i < MAX_PROCESS_ENTRIES; ++i) {
        if (startEntry("", "sleep", "3600", FAIL_ALWAYS) < 0) {
            printf("idle table: entry %d could not start\n", i);
            return;
        }
    }
    processVpause(2000);
    const double cpuStart = cpuSeconds();
    processVpause(IDLE_SECONDS * 1000);
    const double cpu = cpuSeconds() - cpuStart;
    printf("idle table: %d programs supervised, resident %ld kB (%ld kB before), CPU %.3f ms over %d s (%.4f %%)\n",
           MAX_PROCESS_ENTRIES, residentKb(), before, cpu * 1000, IDLE_SECONDS, cpu * 100 / IDLE_SECONDS);
    g_shuttingDown = true;
    processVstopAll();
}
}  // namespace

int main()
{
    if (readFile("/proc/1/comm") != "standin_init\n") {
        fprintf(stderr, "supervisor_bench runs only inside tools/ns/board-ns.sh (make bench-supervisor)\n");
        return 2;
    }
    g_rebootOnFatal = false;
    processVinit();
    restartLatency(FAIL_ALWAYS, 5);
    restartLatency(FAIL_FATAL, 2);
    restartLatency(FAIL_TOLERATE, 2);
    idleTable();
    return 0;
}
