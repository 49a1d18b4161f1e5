// Writers that share the packet filter: threads and programs using this library, and the iptables
// commands. Each reads a whole table and writes it back, so without the common lock one undoes another.
#include "netkeep_fixture.h"

#include "TableLock.h"

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <future>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace netkeep_test;

namespace {

const char peer[] = "192.0.2.10";
const char phone[] = "198.51.100.20";

// Whether some process waits for the lock on PATH, as /proc/locks shows a blocked flock.
bool someoneWaitsFor(const std::string &path)
{
    struct stat lockFile;
    if (stat(path.c_str(), &lockFile) != 0)
        return false;
    const std::string inode = ":" + std::to_string(lockFile.st_ino) + " ";
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);)
        if (line.find("-> FLOCK") != std::string::npos && line.find(inode) != std::string::npos)
            return true;
    return false;
}

// Add and delete a two-chain rule ROUNDS times with its own Firewall; the number of calls that failed.
int addAndDelete(int rounds, int port)
{
    Firewall firewall{"H323"};
    int failures = 0;
    for (int i = 0; i < rounds; ++i) {
        try {
            const Firewall::RuleIterator rule =
                firewall.AddAPIRule("Wan", peer, "Voicelan", phone, "udp", Rule::noPort, 5000, Rule::noPort,
                                    port, "Synchronous");
            try {
                firewall.DeleteAPIRule(rule, "Synchronous");
            } catch (const std::exception &) {
                ++failures;
            }
        } catch (const std::exception &) {
            ++failures;
        }
    }
    return failures;
}

class Lock : public ChainsTest {
protected:
    void TearDown() override { unsetenv("XTABLES_LOCKFILE"); }
};

TEST_F(Lock, AChangeWaitsForTheHolderAndKeepsTheHoldersChange)
{
    // A lock file of this case's own, so that other cases' waiters on the machine are not counted.
    char path[] = "/tmp/netkeep-lock-XXXXXX";
    const int held = mkstemp(path);
    ASSERT_LE(0, held);
    setenv("XTABLES_LOCKFILE", path, 1);
    shell("iptables-legacy -w -t nat -A FromWanForAPI -s 203.0.113.1 -j ACCEPT");
    ASSERT_EQ(0, flock(held, LOCK_EX));

    Firewall firewall{"H323"};
    auto add = std::async(std::launch::async, [&firewall] {
        firewall.AddAPIRule("Wan", peer, "Gateway", "", "udp", Rule::noPort, Rule::noPort, Rule::noPort, 31000,
                            "Synchronous");
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    bool waits = false;
    while (!waits && add.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready &&
           std::chrono::steady_clock::now() < deadline)
        waits = someoneWaitsFor(path);
    EXPECT_TRUE(waits) << "the rule was written while another writer held the table lock";

    // The holder's own change, made while the library waits (its command locks another file).
    shell(std::string("XTABLES_LOCKFILE=") + path + ".other iptables-legacy -w -t nat -D FromWanForAPI -s "
          "203.0.113.1 -j ACCEPT && XTABLES_LOCKFILE=" + path + ".other iptables-legacy -w -t nat -A "
          "FromWanForAPI -s 203.0.113.2 -j ACCEPT");
    close(held);
    add.get();

    EXPECT_EQ(std::vector<std::string>{"-A FromWanForAPI -s 203.0.113.2/32 -j ACCEPT"},
              entriesOf("nat", "FromWanForAPI"));
    EXPECT_EQ(1u, entriesOf("filter", "FromWanToGatewayForAPI").size());
    unlink(path);
    unlink((std::string(path) + ".other").c_str());
}

TEST_F(Lock, ThreadsProgramsAndTheCommandsLoseNothingAndLeaveNothingBehind)
{
    constexpr int rounds = 50;
    // Two programs of two threads each, every thread with its own Firewall and its own port.
    std::vector<pid_t> programs;
    for (int program = 0; program < 2; ++program) {
        const pid_t child = fork();
        ASSERT_LE(0, child);
        if (child == 0) {
            auto other = std::async(std::launch::async, addAndDelete, rounds, 31000 + program * 2);
            const int failures = addAndDelete(rounds, 31100 + program * 2) + other.get();
            _exit(failures > 100 ? 100 : failures);
        }
        programs.push_back(child);
    }
    // Meanwhile the commands change the same tables.
    const std::string commands =
        "for i in $(seq 1 " + std::to_string(rounds) + "); do "
        "iptables-legacy -w -t nat -A FromWanForAPI -s 203.0.113.$i -j ACCEPT && "
        "iptables-legacy -w -A FromWanToVoicelanForAPI -s 203.0.113.$i -j ACCEPT && "
        "iptables-legacy -w -t nat -D FromWanForAPI -s 203.0.113.$i -j ACCEPT && "
        "iptables-legacy -w -D FromWanToVoicelanForAPI -s 203.0.113.$i -j ACCEPT || exit 1; done";
    shell(commands);
    for (const pid_t child : programs) {
        int status = 0;
        ASSERT_EQ(child, waitpid(child, &status, 0));
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(0, WEXITSTATUS(status)) << "failed calls in one program";
    }
    EXPECT_EQ(std::vector<std::string>{}, allEntries());
}

} // namespace
