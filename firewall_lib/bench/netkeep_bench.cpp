// Rules added and deleted per second through AddAPIRule/DeleteAPIRule, beside the same entries added and
// deleted by iptables-legacy commands, in a network namespace of the benchmark's own.
#include "Firewall.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

const char source[] = "192.0.2.10";
const char chain[] = "FromWanToGatewayForAPI";
constexpr int firstPort = 20000;

bool run(std::vector<std::string> words)
{
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    pid_t child;
    if (posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return false;
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::vector<std::string> iptables(const char *command, int port)
{
    return {"iptables-legacy", "-w", command, chain, "-s", std::string(source) + "/32", "-p", "udp", "-m", "udp",
            "--dport", std::to_string(port), "-j", "Accept"};
}

bool inOwnNetworkNamespace()
{
    struct stat mine, parent;
    return stat("/proc/self/ns/net", &mine) == 0 &&
           stat(("/proc/" + std::to_string(getppid()) + "/ns/net").c_str(), &parent) == 0 &&
           mine.st_ino != parent.st_ino;
}

template <typename Step> double changesPerSecond(int rules, Step step)
{
    const auto start = std::chrono::steady_clock::now();
    step();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    return 2 * rules / took.count();
}

} // namespace

int main(int argc, char **argv)
{
    const int rules = argc > 1 ? std::atoi(argv[1]) : 200;
    if (rules <= 0 || rules > 10000) {
        std::fprintf(stderr, "usage: netkeep_bench [RULES (1..10000, default 200)]\n");
        return 2;
    }
    if (geteuid() != 0 || !inOwnNetworkNamespace()) {
        std::fprintf(stderr, "netkeep_bench: run as root under tools/ns/netns-run.sh\n");
        return 2;
    }
    if (!run({"iptables-legacy", "-w", "-N", "Accept"}) || !run({"iptables-legacy", "-w", "-N", chain})) {
        std::fprintf(stderr, "netkeep_bench: cannot create the chains\n");
        return 1;
    }

    Firewall firewall("H323");
    const double library = changesPerSecond(rules, [&] {
        std::vector<Firewall::RuleIterator> added;
        for (int i = 0; i < rules; ++i)
            added.push_back(firewall.AddAPIRule("Wan", source, "Gateway", "", "udp", Rule::noPort, Rule::noPort,
                                                Rule::noPort, firstPort + i, "NoUpdate"));
        for (const Firewall::RuleIterator &rule : added)
            firewall.DeleteAPIRule(rule, "NoUpdate");
    });

    bool commandsWorked = true;
    const double commands = changesPerSecond(rules, [&] {
        for (int i = 0; i < rules; ++i)
            commandsWorked = run(iptables("-A", firstPort + i)) && commandsWorked;
        for (int i = 0; i < rules; ++i)
            commandsWorked = run(iptables("-D", firstPort + i)) && commandsWorked;
    });
    if (!commandsWorked) {
        std::fprintf(stderr, "netkeep_bench: an iptables-legacy command failed\n");
        return 1;
    }

    std::printf("%d rules added and deleted\n", rules);
    std::printf("AddAPIRule/DeleteAPIRule:  %10.0f changes/s\n", library);
    std::printf("iptables-legacy -A/-D:     %10.0f changes/s\n", commands);
    std::printf("ratio library/commands:    %10.2f\n", library / commands);
    return 0;
}
