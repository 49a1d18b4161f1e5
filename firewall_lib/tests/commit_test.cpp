// Commits that meet a writer which ignores the table lock, at the two moments that matter: between our
// read and our replace, and between the replace and the counters written after it; and the lock itself,
// taken once for the whole of a rule and left behind by a child forked during a call. This program wraps
// the table library's table read, its socket calls and flock() to bring that writer in at exactly those
// moments and to see the lock's takings.
#include "netkeep_fixture.h"

#include "TableLock.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <functional>
#include <libiptc/libiptc.h>
#include <linux/netfilter_ipv4/ip_tables.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace netkeep_test;

namespace {

// The other writer runs COMMAND before the table library's call OPTION (a socket option, or tableRead),
// after SKIP such calls, TIMES times; ALONGSIDE, when given, runs there too.
constexpr int tableRead = -1;
struct Intrusion {
    int option = 0;
    int skip = 0;
    int times = 0;
    std::string command;
    std::function<void()> alongside;
};
Intrusion intrusion;

int replaces = 0;
int replacesUnlocked = 0;
int lockTakings = 0;

template <typename Function> Function libraryFunction(const char *name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

int realFlock(int fd, int operation)
{
    static const auto call = libraryFunction<int (*)(int, int)>("flock");
    return call(fd, operation);
}

bool tableLockHeld()
{
    // A flock() lock belongs to one open file, so a second open of the lock file conflicts with our holder.
    const int fd = open(netkeep::tableLockPath(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool held = realFlock(fd, LOCK_EX | LOCK_NB) != 0;
    close(fd);
    return held;
}

// Whether the other writer came in before the call OPTION.
bool intruded(int option)
{
    if (option != intrusion.option || intrusion.times <= 0)
        return false;
    if (intrusion.skip > 0) {
        --intrusion.skip;
        return false;
    }
    --intrusion.times;
    if (!intrusion.command.empty())
        shell(intrusion.command);
    if (intrusion.alongside)
        intrusion.alongside();
    return true;
}

} // namespace

// The table library linked here reads a table again by itself when it changed between the reading of its
// size and of its entries; the board's gives up with EAGAIN, as this one does when the other writer comes in.
extern "C" xtc_handle *iptc_init(const char *table)
{
    static const auto call = libraryFunction<xtc_handle *(*)(const char *)>("iptc_init");
    if (intruded(tableRead)) {
        errno = EAGAIN;
        return nullptr;
    }
    return call(table);
}

extern "C" int setsockopt(int fd, int level, int option, const void *value, socklen_t length)
{
    static const auto call = libraryFunction<int (*)(int, int, int, const void *, socklen_t)>("setsockopt");
    if (level == IPPROTO_IP && option == IPT_SO_SET_REPLACE) {
        ++replaces;
        replacesUnlocked += !tableLockHeld();
    }
    if (level == IPPROTO_IP)
        intruded(option);
    return call(fd, level, option, value, length);
}

extern "C" int flock(int fd, int operation)
{
    const int result = realFlock(fd, operation);
    lockTakings += result == 0 && operation == LOCK_EX;
    return result;
}

namespace {

const char source[] = "192.0.2.10";
const char destination[] = "198.51.100.20";
const char gatewayChain[] = "FromWanToGatewayForAPI";

class Commits : public ChainsTest {
protected:
    void SetUp() override
    {
        ChainsTest::SetUp();
        // A lock file of this case's own: a holder elsewhere on the machine would look like ours.
        char path[] = "/tmp/netkeep-commit-XXXXXX";
        const int fd = mkstemp(path);
        ASSERT_LE(0, fd);
        close(fd);
        lockPath = path;
        setenv("XTABLES_LOCKFILE", path, 1);
        intrusion = {};
    }
    void TearDown() override
    {
        intrusion = {};
        unsetenv("XTABLES_LOCKFILE");
        unlink(lockPath.c_str());
        unlink((lockPath + ".other").c_str());
    }

    // The other writer's command: it locks a file of its own, so it does not wait for us.
    std::string otherWriter(const std::string &arguments) const
    {
        return "export XTABLES_LOCKFILE=" + lockPath + ".other; iptables-legacy -w " + arguments;
    }
    static void emptyTheChains()
    {
        std::string script;
        for (const char *chain : natChains)
            script += std::string("iptables-legacy -w -t nat -F ") + chain + ";";
        for (const char *chain : filterChains)
            script += std::string("iptables-legacy -w -F ") + chain + ";";
        shell(script);
    }
    // Two chains on the shared voice device: from the WAN FromWanForAPI (nat) and FromWanToDatalanForAPI,
    // to the WAN ToWanForAPI (nat) and FromDatalanToWanForAPI.
    static Firewall::RuleIterator addCall(Firewall &firewall, const std::string &mode, bool fromWan = true)
    {
        return firewall.AddAPIRule(fromWan ? "Wan" : "Voicelan", source, fromWan ? "Voicelan" : "Wan", destination,
                                   "udp", Rule::noPort, 5060, 31002, 31000, mode);
    }
    static Firewall::RuleIterator addToGateway(Firewall &firewall, int port)
    {
        return firewall.AddAPIRule("Wan", source, "Gateway", "", "udp", Rule::noPort, Rule::noPort, Rule::noPort,
                                   port, "NoUpdate");
    }
    // A rule of a chain that no case changes, to see through iterators which rules the list holds.
    static Firewall::RuleIterator addMarker(Firewall &firewall)
    {
        return firewall.AddAPIRule("Voicelan", source, "Gateway", "", "udp", Rule::noPort, Rule::noPort,
                                   Rule::noPort, 31999, "NoUpdate");
    }

    std::string lockPath;
};

// The chain of each entry in the nine chains, but the markers' chain, sorted.
std::vector<std::string> chainsWithEntries()
{
    std::vector<std::string> chains;
    for (const std::string &entry : allEntries()) {
        const std::string chain = entry.substr(3, entry.find(' ', 3) - 3);
        if (chain != "FromDatalanToGatewayForAPI")
            chains.push_back(chain);
    }
    std::sort(chains.begin(), chains.end());
    return chains;
}

TEST_F(Commits, AWriterThatIgnoresTheLockLosesNothingAndLeavesNoEntryWithoutItsRule)
{
    enum class Call { AddToGateway, AddFromWan, AddToWan, DeleteFromGateway };
    const char filterAppend[] = "-A FromVoicelanToWanForAPI -j ACCEPT";
    const char natAppend[] = "-t nat -A ToWanForAPI -j ACCEPT";
    struct Case {
        const char *what;
        Call call;
        int option, skip, times;
        std::string writes;
        const char *appendedTo;        // where each of the other writer's entries goes, or null
        int error;                     // what the call reports; 0: it succeeds
        std::vector<std::string> left; // besides what the other writer appended
        bool besideACopy = false;      // the other writer has an entry like ours in the chain before the call
    };
    // The other writer's entry like the one the library writes for the rule of addToGateway(31000).
    const std::string copy = std::string(gatewayChain) + " -s " + source + "/32 -p udp -m udp --dport 31000 -j Accept";
    const Case cases[] = {
        {"a change between our read and our replace", Call::AddToGateway, IPT_SO_SET_REPLACE, 0, 1, filterAppend,
         "FromVoicelanToWanForAPI", 0, {gatewayChain}},
        {"a change while the table is read", Call::AddToGateway, tableRead, 0, 1, filterAppend,
         "FromVoicelanToWanForAPI", 0, {gatewayChain}},
        {"a change before every replace", Call::AddToGateway, IPT_SO_SET_REPLACE, 0, 1000, filterAppend,
         "FromVoicelanToWanForAPI", EAGAIN, {}},
        {"a change between our replace and its counters", Call::AddToGateway, IPT_SO_SET_ADD_COUNTERS, 0, 1,
         filterAppend, "FromVoicelanToWanForAPI", 0, {gatewayChain}},
        {"the same at the first chain of two, to a translated destination", Call::AddFromWan,
         IPT_SO_SET_ADD_COUNTERS, 0, 1, natAppend, "ToWanForAPI", 0, {"FromWanForAPI", "FromWanToDatalanForAPI"}},
        {"the same at the first chain of two, from a translated source", Call::AddToWan, IPT_SO_SET_ADD_COUNTERS, 0,
         1, "-t nat -A FromWanForAPI -j ACCEPT", "FromWanForAPI", 0, {"FromDatalanToWanForAPI", "ToWanForAPI"}},
        {"the same at the second chain of two", Call::AddFromWan, IPT_SO_SET_ADD_COUNTERS, 1, 1, filterAppend,
         "FromVoicelanToWanForAPI", 0, {"FromWanForAPI", "FromWanToDatalanForAPI"}},
        {"the same in a delete", Call::DeleteFromGateway, IPT_SO_SET_ADD_COUNTERS, 0, 1, filterAppend,
         "FromVoicelanToWanForAPI", 0, {}},
        {"a change that puts other entries in place of our new one", Call::AddToGateway, IPT_SO_SET_ADD_COUNTERS, 0,
         1,
         "-F FromWanToGatewayForAPI && iptables-legacy -w -A FromWanToGatewayForAPI -s 203.0.113.1 -j ACCEPT && "
         "iptables-legacy -w -A FromWanToGatewayForAPI -s 203.0.113.2 -j ACCEPT",
         nullptr, EINVAL, {gatewayChain, gatewayChain}},
        // A refused replace left nothing of ours, whatever like entry the table holds when it is read again.
        {"an entry like ours added between our read and our replace", Call::AddToGateway, IPT_SO_SET_REPLACE, 0, 1,
         "-A " + copy, gatewayChain, 0, {gatewayChain}},
        {"an entry like ours deleted between our read and our replace", Call::DeleteFromGateway, IPT_SO_SET_REPLACE,
         0, 1, "-D " + copy, nullptr, 0, {}, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        emptyTheChains();
        Firewall firewall{"H323"};
        const Firewall::RuleIterator older = addMarker(firewall);
        Firewall::RuleIterator subject = c.call == Call::DeleteFromGateway ? addToGateway(firewall, 31000) : older;
        if (c.besideACopy)
            shell(otherWriter("-A " + copy));

        intrusion = {c.option, c.skip, c.times, otherWriter(c.writes), {}};
        std::string failure;
        try {
            if (c.call == Call::AddToGateway)
                subject = addToGateway(firewall, 31000);
            else if (c.call != Call::DeleteFromGateway)
                subject = addCall(firewall, "Synchronous", c.call == Call::AddFromWan);
            else
                firewall.DeleteAPIRule(subject, "Synchronous");
        } catch (const std::runtime_error &e) {
            failure = e.what();
        }
        const int writes = c.times - intrusion.times;
        EXPECT_LT(0, writes) << "the other writer never came in";
        intrusion = {};

        const std::string chain = c.call == Call::AddToGateway ? gatewayChain : "FromWanToDatalanForAPI";
        EXPECT_EQ(c.error ? chain + " - " + std::strerror(c.error) : "", failure);
        // A rule is listed exactly when its entries are in the table.
        const bool listed = (c.call == Call::DeleteFromGateway) == (c.error != 0);
        const Firewall::RuleIterator newer = addMarker(firewall);
        EXPECT_EQ(listed ? subject : older, std::next(newer));

        std::vector<std::string> expected = c.left;
        if (c.appendedTo)
            expected.insert(expected.end(), writes, c.appendedTo);
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(expected, chainsWithEntries());
    }
}

TEST_F(Commits, OneLockIsHeldForBothChainsOfARuleAndForTheUndoOfTheFirst)
{
    struct Case {
        const char *what;
        bool add;
        const char *before, *after; // iptables-legacy arguments, or null
        bool fails;
    };
    const Case cases[] = {
        {"an add", true, nullptr, nullptr, false},
        {"a delete", false, nullptr, nullptr, false},
        {"an add whose second chain is missing", true, "-X FromWanToDatalanForAPI", "-N FromWanToDatalanForAPI", true},
        {"a delete whose second entry is gone", false, "-F FromWanToDatalanForAPI", nullptr, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        emptyTheChains();
        Firewall firewall{"H323"};
        const Firewall::RuleIterator rule = c.add ? Firewall::RuleIterator() : addCall(firewall, "NoUpdate");
        if (c.before)
            shell(std::string("iptables-legacy -w ") + c.before);

        lockTakings = replaces = replacesUnlocked = 0;
        bool failed = false;
        try {
            if (c.add)
                addCall(firewall, "NoUpdate");
            else
                firewall.DeleteAPIRule(rule, "NoUpdate");
        } catch (const std::runtime_error &) {
            failed = true;
        }
        EXPECT_EQ(c.fails, failed);
        EXPECT_EQ(2, replaces) << "both chains, or the first chain and its undo";
        EXPECT_EQ(0, replacesUnlocked);
        EXPECT_EQ(1, lockTakings) << "another writer could come in between the chains";
        if (c.after)
            shell(std::string("iptables-legacy -w ") + c.after);
    }
}

TEST_F(Commits, AChildForkedWhileACallHoldsTheLockKeepsNeitherTheLockNorTheCallsTurn)
{
    // Another thread forks while the call is at its replace; the child lives on without exec, and makes a
    // change of its own when told.
    int toChild[2];
    ASSERT_EQ(0, pipe(toChild));
    pid_t child = -1;
    intrusion.option = IPT_SO_SET_REPLACE;
    intrusion.times = 1;
    intrusion.alongside = [&child, &toChild] {
        std::thread([&child, &toChild] {
            child = fork();
            if (child != 0)
                return;
            close(toChild[1]);
            char go = 0;
            const bool told = read(toChild[0], &go, 1) == 1;
            alarm(30); // ends a child that waits for a lock or a turn nobody will give up
            try {
                Firewall firewall{"H323"};
                addToGateway(firewall, 31002);
            } catch (const std::exception &) {
                _exit(2);
            }
            _exit(told ? 0 : 1);
        }).join();
    };
    Firewall firewall{"H323"};
    addToGateway(firewall, 31000);
    intrusion = {};
    close(toChild[0]);
    ASSERT_LT(0, child);

    EXPECT_FALSE(tableLockHeld()) << "the child keeps the lock";
    shell("iptables-legacy -w 30 -A FromVoicelanToWanForAPI -j ACCEPT");
    EXPECT_EQ(1, write(toChild[1], "g", 1));
    close(toChild[1]);
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child's own change failed, status " << status;
    EXPECT_EQ(2u, entriesOf("filter", gatewayChain).size());
    EXPECT_EQ(1u, entriesOf("filter", "FromVoicelanToWanForAPI").size());
}

} // namespace
