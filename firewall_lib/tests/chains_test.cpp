// The nine chain functions against the real packet filter: the entry each one writes, the bytes of the
// address-translation targets, exact deletes, and each failure with its text.
#include "netkeep_fixture.h"
#include "iptc_compat.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/capability.h>
#include <malloc.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace netkeep_test;

namespace {

using Chain = void (Firewall::*)(Rule, int) const;

struct ChainCase {
    const char *name;
    const char *table;
    Chain function;
};

const ChainCase chains[] = {
    {"FromWanForAPI", "nat", &Firewall::FromWanForAPI},
    {"FromWanToVoicelanForAPI", "filter", &Firewall::FromWanToVoicelanForAPI},
    {"FromWanToDatalanForAPI", "filter", &Firewall::FromWanToDatalanForAPI},
    {"FromWanToGatewayForAPI", "filter", &Firewall::FromWanToGatewayForAPI},
    {"ToWanForAPI", "nat", &Firewall::ToWanForAPI},
    {"FromVoicelanToWanForAPI", "filter", &Firewall::FromVoicelanToWanForAPI},
    {"FromDatalanToWanForAPI", "filter", &Firewall::FromDatalanToWanForAPI},
    {"FromVoicelanToGatewayForAPI", "filter", &Firewall::FromVoicelanToGatewayForAPI},
    {"FromDatalanToGatewayForAPI", "filter", &Firewall::FromDatalanToGatewayForAPI},
};

const char source[] = "192.0.2.10";
const char destination[] = "198.51.100.20";

Rule callRule(const char *proto, int srcPort)
{
    Rule rule;
    rule.srcAddr = source;
    rule.dstAddr = destination;
    rule.proto = proto;
    rule.srcPort = srcPort;
    rule.dstPort = 5060;
    rule.natSrcPort = 31002;
    rule.natDstPort = 31000;
    return rule;
}

// What iptables-legacy -S shows for the entry that CHAIN writes for callRule(PROTO, SRCPORT).
std::string expectedEntry(const std::string &chain, const std::string &proto, int srcPort)
{
    const std::string s = std::string(" -s ") + source + "/32";
    const std::string d = std::string(" -d ") + destination + "/32";
    const std::string match = " -p " + proto + " -m " + proto +
                              (srcPort == Rule::noPort ? "" : " --sport " + std::to_string(srcPort));
    if (chain == "FromWanForAPI")
        return "-A " + chain + s + match + " --dport 5060 -j DNAT";
    if (chain == "ToWanForAPI")
        return "-A " + chain + s + d + match + " --dport 5060 -j MASQUERADE --to-ports 31002";
    if (chain.find("Gateway") != std::string::npos)
        return "-A " + chain + s + match + " --dport 31000 -j Accept";
    if (chain.rfind("FromWanTo", 0) == 0)
        return "-A " + chain + s + d + match + " --dport 31000 -j Accept";
    return "-A " + chain + s + d + match + " --dport 5060 -j Accept";
}

template <typename Exception = std::runtime_error>
std::string failureOf(const Firewall &firewall, const ChainCase &chain, const Rule &rule, int command)
{
    return thrown<Exception>([&] { (firewall.*chain.function)(rule, command); });
}

class Chains : public ChainsTest {
protected:
    Firewall firewall{"H323"};
};

TEST_F(Chains, EachChainWritesItsEntryForEitherProtocol)
{
    for (const auto &[proto, srcPort] : {std::pair<const char *, int>{"tcp", 4000}, {"udp", Rule::noPort}}) {
        for (const ChainCase &chain : chains) {
            SCOPED_TRACE(chain.name);
            (firewall.*chain.function)(callRule(proto, srcPort), Firewall::commandAdd);
            const std::vector<std::string> entries = entriesOf(chain.table, chain.name);
            ASSERT_EQ(1u, entries.size());
            const std::string expected = expectedEntry(chain.name, proto, srcPort);
            // iptables 1.8.9 cannot print DNAT revision 0: its address is checked through libiptc below.
            if (std::string(chain.name) == "FromWanForAPI")
                EXPECT_EQ(expected, entries[0].substr(0, expected.size()));
            else
                EXPECT_EQ(expected, entries[0]);
            (firewall.*chain.function)(callRule(proto, srcPort), Firewall::commandDelete);
        }
    }
    EXPECT_TRUE(allEntries().empty());
    EXPECT_STREQ("netkeep", program_name);
    EXPECT_STREQ("1.2.6a", program_version);
}

// The record that the kernel holds for the first entry of CHAIN, read back through the table library.
struct StoredEntry {
    in_addr_t sourceMask;
    in_addr_t destinationMask;
    unsigned nfcache;
    std::string target;
    std::vector<unsigned char> targetData;
};

StoredEntry storedEntry(const char *table, const char *chain)
{
    iptc_compat::TableHandle handle = iptc_compat::open(table);
    EXPECT_TRUE(handle) << iptc_strerror(errno);
    StoredEntry stored{};
    if (!handle)
        return stored;
    const ipt_entry *entry = iptc_first_rule(chain, handle.get());
    EXPECT_NE(nullptr, entry);
    if (!entry)
        return stored;
    stored.sourceMask = entry->ip.smsk.s_addr;
    stored.destinationMask = entry->ip.dmsk.s_addr;
    stored.nfcache = entry->nfcache;
    stored.target = iptc_get_target(entry, handle.get());
    const auto *target = reinterpret_cast<const xt_entry_target *>(
        reinterpret_cast<const unsigned char *>(entry) + entry->target_offset);
    stored.targetData.assign(target->data, target->data + target->u.target_size - sizeof(xt_entry_target));
    return stored;
}

iptc_compat::NatRange natRangeOf(const StoredEntry &stored)
{
    iptc_compat::NatRange range{};
    EXPECT_GE(stored.targetData.size(), sizeof range);
    if (stored.targetData.size() >= sizeof range)
        std::memcpy(&range, stored.targetData.data(), sizeof range);
    return range;
}

TEST_F(Chains, AddressTranslationTargetsCarryTheirAddressesAndPorts)
{
    firewall.FromWanForAPI(callRule("udp", Rule::noPort), Firewall::commandAdd);
    firewall.ToWanForAPI(callRule("udp", Rule::noPort), Firewall::commandAdd);

    const StoredEntry dnat = storedEntry("nat", "FromWanForAPI");
    EXPECT_EQ("DNAT", dnat.target);
    const iptc_compat::NatRange toDestination = natRangeOf(dnat);
    EXPECT_EQ(1u, toDestination.rangesize);
    EXPECT_EQ(iptc_compat::natMapAddresses | iptc_compat::natSpecificPorts, toDestination.range[0].flags);
    EXPECT_EQ(inet_addr(destination), toDestination.range[0].min_ip);
    EXPECT_EQ(inet_addr(destination), toDestination.range[0].max_ip);
    EXPECT_EQ(htons(31000), toDestination.range[0].min.all);
    EXPECT_EQ(htons(31000), toDestination.range[0].max.all);
    EXPECT_EQ(0u, dnat.destinationMask);

    const StoredEntry masquerade = storedEntry("nat", "ToWanForAPI");
    EXPECT_EQ("MASQUERADE", masquerade.target);
    const iptc_compat::NatRange toPorts = natRangeOf(masquerade);
    EXPECT_EQ(1u, toPorts.rangesize);
    EXPECT_EQ(iptc_compat::natSpecificPorts, toPorts.range[0].flags);
    EXPECT_EQ(0u, toPorts.range[0].min_ip);
    EXPECT_EQ(htons(31002), toPorts.range[0].min.all);
    EXPECT_EQ(htons(31002), toPorts.range[0].max.all);
}

TEST_F(Chains, GatewayChainsTakeAnySourceForTheZeroAddressAndKeepTheirCacheBits)
{
    Rule anySource = callRule("udp", Rule::noPort);
    anySource.srcAddr = "0.0.0.0";
    anySource.dstAddr = IPAddress();
    firewall.FromWanToGatewayForAPI(anySource, Firewall::commandAdd);
    firewall.FromDatalanToGatewayForAPI(anySource, Firewall::commandAdd);
    firewall.FromVoicelanToGatewayForAPI(callRule("udp", Rule::noPort), Firewall::commandAdd);

    EXPECT_EQ(std::vector<std::string>{"-A FromWanToGatewayForAPI -p udp -m udp --dport 31000 -j Accept"},
              entriesOf("filter", "FromWanToGatewayForAPI"));
    EXPECT_EQ(std::vector<std::string>{"-A FromDatalanToGatewayForAPI -p udp -m udp --dport 31000 -j Accept"},
              entriesOf("filter", "FromDatalanToGatewayForAPI"));
    EXPECT_EQ(0u, storedEntry("filter", "FromWanToGatewayForAPI").nfcache);
    EXPECT_EQ(0x420u, storedEntry("filter", "FromVoicelanToGatewayForAPI").nfcache);
    EXPECT_EQ(0xFFFFFFFFu, storedEntry("filter", "FromVoicelanToGatewayForAPI").sourceMask);

    // Add and delete build the same bytes, so the delete finds the entry again.
    firewall.FromDatalanToGatewayForAPI(anySource, Firewall::commandDelete);
    EXPECT_TRUE(entriesOf("filter", "FromDatalanToGatewayForAPI").empty());
}

TEST_F(Chains, DeleteRemovesExactlyOneEqualEntry)
{
    for (const ChainCase &chain : chains) {
        SCOPED_TRACE(chain.name);
        // The entry that differs only in its match comes first: a delete that compared less than every
        // byte would take it.
        Rule other = callRule("tcp", 4000);
        other.srcPort = 4001;
        (firewall.*chain.function)(other, Firewall::commandAdd);
        (firewall.*chain.function)(callRule("tcp", 4000), Firewall::commandAdd);
        (firewall.*chain.function)(callRule("tcp", 4000), Firewall::commandAdd);
        (firewall.*chain.function)(callRule("tcp", 4000), Firewall::commandDelete);

        const std::vector<std::string> left = entriesOf(chain.table, chain.name);
        ASSERT_EQ(2u, left.size());
        EXPECT_NE(std::string::npos, left[0].find("--sport 4001"));
        EXPECT_NE(std::string::npos, left[1].find("--sport 4000 "));
    }
}

TEST_F(Chains, DeletingAnAbsentEntryFailsWithTheTableLibrarysText)
{
    for (const ChainCase &chain : chains) {
        SCOPED_TRACE(chain.name);
        (firewall.*chain.function)(callRule("tcp", 4000), Firewall::commandAdd);
        const std::string failure = failureOf(firewall, chain, callRule("tcp", 4001), Firewall::commandDelete);
        EXPECT_EQ(std::string(chain.name) + " - " + iptc_strerror(ENOENT), failure);
        EXPECT_EQ(1u, entriesOf(chain.table, chain.name).size());
    }
}

TEST_F(Chains, AMissingChainIsFoundMissingBeforeTheProtocolIsLookedAt)
{
    shell("iptables-legacy -w -t nat -X ToWanForAPI && iptables-legacy -w -X FromWanToGatewayForAPI");
    for (const ChainCase &chain : {chains[3], chains[4]}) {
        SCOPED_TRACE(chain.name);
        const std::string missing = std::string(chain.name) + " - Chain not found";
        Rule wrongProtocol = callRule("sctp", 4000);
        EXPECT_EQ(missing, failureOf(firewall, chain, callRule("tcp", 4000), Firewall::commandAdd));
        EXPECT_EQ(missing, failureOf(firewall, chain, callRule("udp", 4000), Firewall::commandDelete));
        EXPECT_EQ(missing, failureOf(firewall, chain, wrongProtocol, Firewall::commandAdd));
    }
}

TEST_F(Chains, WrongProtocolAndUnknownCommandCommitNothing)
{
    for (const ChainCase &chain : chains) {
        SCOPED_TRACE(chain.name);
        EXPECT_EQ(std::string(chain.name) + " - Wrong protocol for chain",
                  failureOf(firewall, chain, callRule("TCP", 4000), Firewall::commandAdd));
        // The protocol is checked before the command.
        EXPECT_EQ(std::string(chain.name) + " - Wrong protocol for chain",
                  failureOf(firewall, chain, callRule("icmp", 4000), 32));
        EXPECT_EQ("Unknown command on " + std::string(chain.name) + " chain",
                  failureOf(firewall, chain, callRule("udp", 4000), 32));
    }
    EXPECT_TRUE(allEntries().empty());
}

TEST_F(Chains, EachChainRefusesARuleWithoutWhatItNeeds)
{
    enum Field { SrcAddr, DstAddr, DstPort, NatSrcPort, NatDstPort };
    const std::vector<std::vector<Field>> needs = {
        {DstPort, SrcAddr, DstAddr, NatDstPort}, {SrcAddr, DstAddr, NatDstPort}, {SrcAddr, DstAddr, NatDstPort},
        {NatDstPort}, {DstPort, SrcAddr, DstAddr, NatSrcPort}, {SrcAddr, DstAddr, DstPort},
        {SrcAddr, DstAddr, DstPort}, {NatDstPort}, {NatDstPort}};
    for (std::size_t i = 0; i < std::size(chains); ++i) {
        SCOPED_TRACE(chains[i].name);
        const std::string missing = std::string(chains[i].name) + " - Missing mandatory parameters";
        for (Field field : needs[i]) {
            for (int badPort : {Rule::noPort, 65536}) {
                Rule rule = callRule("udp", 4000);
                switch (field) {
                case SrcAddr: rule.srcAddr = ""; break;
                case DstAddr: rule.dstAddr = ""; break;
                case DstPort: rule.dstPort = badPort; break;
                case NatSrcPort: rule.natSrcPort = badPort; break;
                case NatDstPort: rule.natDstPort = badPort; break;
                }
                EXPECT_EQ(missing, failureOf<std::invalid_argument>(firewall, chains[i], rule, Firewall::commandAdd)) << field;
            }
        }
        // A source port outside the port range would be cut to 16 bits: a path the caller never named.
        Rule wideSourcePort = callRule("udp", 65536 + 4000);
        EXPECT_EQ(missing, failureOf<std::invalid_argument>(firewall, chains[i], wideSourcePort, Firewall::commandAdd));
    }
    EXPECT_TRUE(allEntries().empty());

    // What a chain does not need may be left out.
    Rule gatewayOnly;
    gatewayOnly.proto = "tcp";
    gatewayOnly.natDstPort = 0;
    firewall.FromWanToGatewayForAPI(gatewayOnly, Firewall::commandAdd);
    EXPECT_EQ(std::vector<std::string>{"-A FromWanToGatewayForAPI -p tcp -m tcp --dport 0 -j Accept"},
              entriesOf("filter", "FromWanToGatewayForAPI"));
}

// Runs CALL in a child process without CAP_NET_ADMIN; the text of what it threw.
template <typename Call> std::string failureWithoutNetAdmin(Call call)
{
    int out[2];
    if (pipe(out) != 0)
        return "no pipe";
    const pid_t child = fork();
    if (child == 0) {
        close(out[0]);
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct caps[_LINUX_CAPABILITY_U32S_3] = {};
        std::string text = "capabilities unchanged";
        if (syscall(SYS_capget, &header, caps) == 0) {
            caps[CAP_TO_INDEX(CAP_NET_ADMIN)].effective &= ~CAP_TO_MASK(CAP_NET_ADMIN);
            caps[CAP_TO_INDEX(CAP_NET_ADMIN)].permitted &= ~CAP_TO_MASK(CAP_NET_ADMIN);
            if (syscall(SYS_capset, &header, caps) == 0) {
                try {
                    call();
                    text = "no failure";
                } catch (const std::exception &e) {
                    text = e.what();
                }
            }
        }
        const bool written = write(out[1], text.data(), text.size()) == static_cast<ssize_t>(text.size());
        _exit(written ? 0 : 1);
    }
    close(out[1]);
    std::string text;
    char buffer[256];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, n);
    close(out[0]);
    waitpid(child, nullptr, 0);
    return text;
}

TEST_F(Chains, WithoutNetAdminTheTableCannotBeOpened)
{
    EXPECT_EQ("FromWanForAPI - Handle init error for  chain", failureWithoutNetAdmin([this] {
                  firewall.FromWanForAPI(callRule("tcp", 4000), Firewall::commandAdd);
              }));
    EXPECT_EQ("ToWanForAPI - Handle init error for chain", failureWithoutNetAdmin([this] {
                  firewall.ToWanForAPI(callRule("tcp", 4000), Firewall::commandAdd);
              }));
    EXPECT_EQ("FromDatalanToWanForAPI - Handle init error for chain", failureWithoutNetAdmin([this] {
                  firewall.FromDatalanToWanForAPI(callRule("tcp", 4000), Firewall::commandDelete);
              }));
    // The parameters are checked before the table is opened.
    EXPECT_EQ("ToWanForAPI - Missing mandatory parameters", failureWithoutNetAdmin([this] {
                  Rule noSourcePort = callRule("tcp", 4000);
                  noSourcePort.natSrcPort = Rule::noPort;
                  firewall.ToWanForAPI(noSourcePort, Firewall::commandAdd);
              }));
    EXPECT_TRUE(allEntries().empty());
}

TEST_F(Chains, FailingCallsReleaseTheirTableHandles)
{
    // Each handle holds a copy of the whole table; a few hundred lost ones would show as megabytes.
    for (int i = 0; i < 20; ++i)
        firewall.FromVoicelanToWanForAPI(callRule("tcp", 2000 + i), Firewall::commandAdd);
    const auto failEveryWay = [this] {
        const ChainCase &chain = chains[5];
        failureOf(firewall, chain, callRule("TCP", 4000), Firewall::commandAdd);
        failureOf(firewall, chain, callRule("tcp", 4000), 32);
        failureOf(firewall, chain, callRule("tcp", 4000), Firewall::commandDelete);
        failureOf(firewall, chains[3], callRule("tcp", 4000), Firewall::commandDelete);
    };
    failEveryWay();
    const std::size_t before = mallinfo2().uordblks;
    for (int i = 0; i < 100; ++i)
        failEveryWay();
    EXPECT_LT(mallinfo2().uordblks, before + 64 * 1024);
}

} // namespace
