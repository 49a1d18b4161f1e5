#include "netkeep_fixture.h"

#include "pmrnetconf.h"

#include <cstdio>
#include <dirent.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace netkeep_test {

const char *const natChains[2] = {"FromWanForAPI", "ToWanForAPI"};
const char *const filterChains[7] = {
    "FromWanToVoicelanForAPI",     "FromWanToDatalanForAPI",    "FromWanToGatewayForAPI",
    "FromVoicelanToWanForAPI",     "FromDatalanToWanForAPI",    "FromVoicelanToGatewayForAPI",
    "FromDatalanToGatewayForAPI"};

std::string shell(const std::string &command)
{
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe) {
        ADD_FAILURE() << "cannot run " << command;
        return {};
    }
    std::string out;
    char buffer[4096];
    for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, n);
    const int status = pclose(pipe);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command << " failed";
    return out;
}

std::vector<std::string> entriesOf(const std::string &table, const std::string &chain)
{
    std::istringstream lines(shell("iptables-legacy -w -t " + table + " -S " + chain));
    std::vector<std::string> entries;
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("-A ", 0) == 0)
            entries.push_back(line);
    return entries;
}

std::vector<std::string> allEntries()
{
    std::vector<std::string> all;
    for (const char *chain : natChains)
        for (const std::string &e : entriesOf("nat", chain))
            all.push_back(e);
    for (const char *chain : filterChains)
        for (const std::string &e : entriesOf("filter", chain))
            all.push_back(e);
    return all;
}

int openDescriptors()
{
    DIR *dir = opendir("/proc/self/fd");
    int count = 0;
    while (readdir(dir))
        ++count;
    closedir(dir);
    return count;
}

void NamespaceTest::SetUp()
{
    ASSERT_EQ(0u, geteuid()) << "the firewall library's tests need root";
    // netns-run.sh leaves the test a child of the runner outside, in a namespace that only the test has.
    struct stat mine, runner;
    ASSERT_EQ(0, stat("/proc/self/ns/net", &mine));
    ASSERT_EQ(0, stat(("/proc/" + std::to_string(getppid()) + "/ns/net").c_str(), &runner));
    ASSERT_NE(mine.st_ino, runner.st_ino) << "run the firewall library's tests under tools/ns/netns-run.sh";
    pmrnetconf_standin::setDevices("eth0", "eth0");
}

void ChainsTest::SetUp()
{
    NamespaceTest::SetUp();
    if (HasFatalFailure())
        return;
    // Starts from empty tables, whatever an earlier case of the same program left behind.
    std::string script = "set -e; for t in filter nat; do iptables-legacy -w -t $t -F; iptables-legacy -w -t $t -X;"
                         " done; iptables-legacy -w -N Accept; iptables-legacy -w -A Accept -j ACCEPT;";
    for (const char *chain : natChains)
        script += std::string(" iptables-legacy -w -t nat -N ") + chain + ";";
    for (const char *chain : filterChains)
        script += std::string(" iptables-legacy -w -N ") + chain + ";";
    shell(script);
}

} // namespace netkeep_test
