// The nine chain functions: each writes or removes exactly one entry in the user chain of its own name,
// opening, changing and committing the table within the call. They differ only by the row of the table
// below.
#include "Firewall.h"
#include "NetNames.h"
#include "TableLock.h"
#include "iptc_compat.h"

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <stdexcept>
#include <string>
#include <vector>

using namespace netkeep;

namespace {

const char programName[] = "netkeep";
const char programVersion[] = "1.2.6a";
const char natTable[] = "nat";
const char filterTable[] = "filter";
const char dnatTarget[] = "DNAT";
const char masqueradeTarget[] = "MASQUERADE";
const char acceptChain[] = "Accept";

// The match cache bits for protocol and destination port that the board's gateway chains carry.
constexpr unsigned protocolAndPortCache = 0x420;
constexpr in_addr_t singleHost = 0xFFFFFFFF;
constexpr in_addr_t anyHost = 0;
constexpr int highestPort = 65535;
constexpr unsigned char deleteMaskByte = 0xFF;

enum class Target { Dnat, Masquerade, Accept };

// What a chain needs of the rule; a port that is needed must lie in 0..65535.
enum Needs : unsigned { SrcAddr = 1, DstAddr = 2, DstPort = 4, NatSrcPort = 8, NatDstPort = 16 };

struct ChainSpec {
    const char *name;
    const char *table;
    Target target;
    unsigned needs;
    bool matchesNatDstPort;   // destination port matched: natDstPort, else dstPort
    bool toDestinationHost;   // destination dstAddr/32, else any
    bool zeroSourceIsAny;     // source "0.0.0.0" takes mask 0.0.0.0
    unsigned nfcache;
};

const ChainSpec fromWan{"FromWanForAPI", natTable, Target::Dnat, DstPort | SrcAddr | DstAddr | NatDstPort,
                        false, false, false, 0};
const ChainSpec fromWanToVoicelan{"FromWanToVoicelanForAPI", filterTable, Target::Accept,
                                  SrcAddr | DstAddr | NatDstPort, true, true, false, 0};
const ChainSpec fromWanToDatalan{"FromWanToDatalanForAPI", filterTable, Target::Accept,
                                 SrcAddr | DstAddr | NatDstPort, true, true, false, 0};
const ChainSpec fromWanToGateway{"FromWanToGatewayForAPI", filterTable, Target::Accept, NatDstPort,
                                 true, false, true, 0};
const ChainSpec toWan{"ToWanForAPI", natTable, Target::Masquerade, DstPort | SrcAddr | DstAddr | NatSrcPort,
                      false, true, false, 0};
const ChainSpec fromVoicelanToWan{"FromVoicelanToWanForAPI", filterTable, Target::Accept,
                                  SrcAddr | DstAddr | DstPort, false, true, false, 0};
const ChainSpec fromDatalanToWan{"FromDatalanToWanForAPI", filterTable, Target::Accept,
                                 SrcAddr | DstAddr | DstPort, false, true, false, 0};
const ChainSpec fromVoicelanToGateway{"FromVoicelanToGatewayForAPI", filterTable, Target::Accept, NatDstPort,
                                      true, false, true, protocolAndPortCache};
const ChainSpec fromDatalanToGateway{"FromDatalanToGatewayForAPI", filterTable, Target::Accept, NatDstPort,
                                     true, false, true, protocolAndPortCache};

bool isPort(int port) { return port >= 0 && port <= highestPort; }

bool hasWhatItNeeds(const ChainSpec &chain, const Rule &rule)
{
    const auto lacks = [&chain](Needs need, bool missing) { return (chain.needs & need) && missing; };
    return (rule.srcPort == Rule::noPort || isPort(rule.srcPort)) && !lacks(SrcAddr, rule.srcAddr == "") &&
           !lacks(DstAddr, rule.dstAddr == "") && !lacks(DstPort, !isPort(rule.dstPort)) &&
           !lacks(NatSrcPort, !isPort(rule.natSrcPort)) && !lacks(NatDstPort, !isPort(rule.natDstPort));
}

std::string message(const ChainSpec &chain, const char *text) { return std::string(chain.name) + " - " + text; }

std::string initErrorMessage(const ChainSpec &chain)
{
    // The DNAT chain's message has always carried a doubled blank, and callers compare these texts.
    return message(chain, &chain == &fromWan ? "Handle init error for  chain" : "Handle init error for chain");
}

template <typename Record> void put(std::vector<unsigned char> &block, std::size_t offset, const Record &record)
{
    std::memcpy(block.data() + offset, &record, sizeof record);
}

// The match and its data: source ports from srcPort (all of them for -1), destination port PORT.
template <typename PortMatch>
void putMatch(std::vector<unsigned char> &entry, std::size_t offset, const char *name, const Rule &rule, int port)
{
    xt_entry_match head{};
    head.u.user.match_size = iptc_compat::align(sizeof(xt_entry_match)) + iptc_compat::align(sizeof(PortMatch));
    std::strncpy(head.u.user.name, name, sizeof head.u.user.name - 1);
    PortMatch ports{};
    ports.spts[0] = rule.srcPort == Rule::noPort ? 0 : rule.srcPort;
    ports.spts[1] = rule.srcPort == Rule::noPort ? highestPort : rule.srcPort;
    ports.dpts[0] = ports.dpts[1] = port;
    put(entry, offset, head);
    put(entry, offset + iptc_compat::align(sizeof(xt_entry_match)), ports);
}

unsigned matchSize(bool tcp)
{
    return iptc_compat::align(sizeof(xt_entry_match)) +
           iptc_compat::align(tcp ? sizeof(xt_tcp) : sizeof(xt_udp));
}

unsigned targetSize(Target target)
{
    if (target == Target::Accept)
        return iptc_compat::align(sizeof(xt_standard_target));
    return iptc_compat::align(sizeof(xt_entry_target)) + iptc_compat::align(sizeof(iptc_compat::NatRange));
}

const char *targetName(Target target)
{
    return target == Target::Dnat ? dnatTarget : target == Target::Masquerade ? masqueradeTarget : acceptChain;
}

void putTarget(std::vector<unsigned char> &entry, std::size_t offset, const ChainSpec &chain, const Rule &rule)
{
    xt_entry_target head{};
    head.u.user.target_size = targetSize(chain.target);
    std::strncpy(head.u.user.name, targetName(chain.target), sizeof head.u.user.name - 1);
    put(entry, offset, head);
    if (chain.target == Target::Accept)
        return; // the table library resolves the name as a jump to the chain "Accept"

    iptc_compat::NatRange nat{};
    nat.rangesize = 1;
    nf_nat_ipv4_range &range = nat.range[0];
    if (chain.target == Target::Dnat) {
        range.flags = iptc_compat::natMapAddresses | iptc_compat::natSpecificPorts;
        range.min_ip = range.max_ip = static_cast<int>(rule.dstAddr);
        range.min.all = range.max.all = htons(rule.natDstPort);
    } else {
        range.flags = iptc_compat::natSpecificPorts;
        range.min.all = range.max.all = htons(rule.natSrcPort);
    }
    put(entry, offset + iptc_compat::align(sizeof(xt_entry_target)), nat);
}

// One zero-filled block: the entry head, a tcp or udp match and the target.
std::vector<unsigned char> buildEntry(const ChainSpec &chain, const Rule &rule)
{
    const bool tcp = rule.proto == tcpName;
    if (!tcp && rule.proto != udpName)
        throw std::runtime_error(message(chain, "Wrong protocol for chain"));

    ipt_entry head{};
    head.ip.src.s_addr = static_cast<int>(rule.srcAddr);
    head.ip.smsk.s_addr = chain.zeroSourceIsAny && rule.srcAddr == IPAddress("0.0.0.0") ? anyHost : singleHost;
    if (chain.toDestinationHost) {
        head.ip.dst.s_addr = static_cast<int>(rule.dstAddr);
        head.ip.dmsk.s_addr = singleHost;
    }
    head.ip.proto = tcp ? IPPROTO_TCP : IPPROTO_UDP;
    head.nfcache = chain.nfcache;
    head.target_offset = iptc_compat::align(sizeof(ipt_entry)) + matchSize(tcp);
    head.next_offset = head.target_offset + targetSize(chain.target);

    std::vector<unsigned char> entry(head.next_offset);
    put(entry, 0, head);
    const int port = chain.matchesNatDstPort ? rule.natDstPort : rule.dstPort;
    if (tcp)
        putMatch<xt_tcp>(entry, iptc_compat::align(sizeof(ipt_entry)), tcpName, rule, port);
    else
        putMatch<xt_udp>(entry, iptc_compat::align(sizeof(ipt_entry)), udpName, rule, port);
    putTarget(entry, head.target_offset, chain, rule);
    return entry;
}

[[noreturn]] void tableFailure(const ChainSpec &chain, int error)
{
    throw std::runtime_error(message(chain, iptc_strerror(error)));
}

// Whether STORED, an entry as the table holds it, is BUILT: the same addresses, protocol, match and
// target. Counters and cache bits are not compared, as the table library does not compare them for a
// delete; a match name is compared as text, since the bytes after its end are not kept.
bool sameEntry(const ipt_entry *stored, const std::vector<unsigned char> &built, Target target, xtc_handle *table)
{
    const auto *entry = reinterpret_cast<const ipt_entry *>(built.data());
    if (std::memcmp(&stored->ip, &entry->ip, sizeof entry->ip) != 0 || stored->target_offset != entry->target_offset ||
        stored->next_offset != entry->next_offset ||
        std::strcmp(iptc_get_target(stored, table), targetName(target)) != 0)
        return false;
    const auto *storedBytes = reinterpret_cast<const unsigned char *>(stored);
    const std::size_t matchAt = iptc_compat::align(sizeof(ipt_entry));
    const auto *storedMatch = reinterpret_cast<const xt_entry_match *>(storedBytes + matchAt);
    const auto *builtMatch = reinterpret_cast<const xt_entry_match *>(built.data() + matchAt);
    const std::size_t matchDataAt = matchAt + sizeof(xt_entry_match);
    if (storedMatch->u.user.match_size != builtMatch->u.user.match_size ||
        std::strcmp(storedMatch->u.user.name, builtMatch->u.user.name) != 0 ||
        std::memcmp(storedBytes + matchDataAt, built.data() + matchDataAt, entry->target_offset - matchDataAt) != 0)
        return false;
    // A jump to "Accept" is held as a position in the table, which the target's name above already told.
    const std::size_t targetDataAt = entry->target_offset + sizeof(xt_entry_target);
    return target == Target::Accept ||
           std::memcmp(storedBytes + targetDataAt, built.data() + targetDataAt, entry->next_offset - targetDataAt) == 0;
}

int entriesLike(const ChainSpec &chain, const std::vector<unsigned char> &entry, xtc_handle *table)
{
    int count = 0;
    for (const ipt_entry *stored = iptc_first_rule(chain.name, table); stored; stored = iptc_next_rule(stored, table))
        count += sameEntry(stored, entry, chain.target, table);
    return count;
}

// Whether the table, read anew, holds more (an add) or fewer (a delete) entries like ENTRY than BEFORE.
bool changeIsThere(const ChainSpec &chain, const std::vector<unsigned char> &entry, int command, int before)
{
    const iptc_compat::TableHandle table = iptc_compat::open(chain.table);
    if (!table || !iptc_is_chain(chain.name, table.get()))
        return false;
    const int now = entriesLike(chain, entry, table.get());
    return command == Firewall::commandAdd ? now > before : now < before;
}

// A table that changed between our read and our commit is refused by the kernel; read it again.
constexpr int commitAttempts = 5;

// One read-edit-commit of CHAIN's table; false when the kernel refused the commit because the table
// changed meanwhile (a writer that does not take the lock), so the caller may start again from a new read.
bool applyOnce(const ChainSpec &chain, const Rule &rule, int command)
{
    const iptc_compat::TableHandle table = iptc_compat::open(chain.table);
    if (!table) {
        if (errno == EAGAIN)
            return false;
        throw std::runtime_error(initErrorMessage(chain));
    }
    if (!iptc_is_chain(chain.name, table.get()))
        throw std::runtime_error(message(chain, "Chain not found"));

    const std::vector<unsigned char> entry = buildEntry(chain, rule);
    const auto *record = reinterpret_cast<const ipt_entry *>(entry.data());
    const int before = entriesLike(chain, entry, table.get());
    int done = 0;
    if (command == Firewall::commandAdd) {
        done = iptc_append_entry(chain.name, record, table.get());
    } else if (command == Firewall::commandDelete) {
        std::vector<unsigned char> everyField(entry.size(), deleteMaskByte);
        done = iptc_delete_entry(chain.name, record, everyField.data(), table.get());
    } else {
        throw std::runtime_error("Unknown command on " + std::string(chain.name) + " chain");
    }
    if (!done)
        tableFailure(chain, errno);
    if (iptc_commit(table.get()))
        return true;
    // The text depends on the table library's last call, so it is taken before the table is read again.
    const int error = errno;
    // The kernel gives EAGAIN for a replace it refused because the table changed since our read, and for
    // nothing else: none of our change is there, and a like entry now in the table is another writer's.
    if (error == EAGAIN)
        return false;
    const std::string text = iptc_strerror(error);
    // A commit replaces the table and then adds the old counters to it: when a writer that ignores the
    // lock came in between, the second step fails with our change in place. Only the table can tell.
    if (changeIsThere(chain, entry, command, before))
        return true;
    throw std::runtime_error(message(chain, text.c_str()));
}

void apply(const ChainSpec &chain, const Rule &rule, int command)
{
    if (!hasWhatItNeeds(chain, rule))
        throw std::invalid_argument(message(chain, "Missing mandatory parameters"));
    program_name = programName;
    program_version = programVersion;
    const TableLock lock;
    for (int attempt = 0; attempt < commitAttempts; ++attempt)
        if (applyOnce(chain, rule, command))
            return;
    tableFailure(chain, EAGAIN);
}

} // namespace

void Firewall::FromWanForAPI(Rule rule, int command) const { apply(fromWan, rule, command); }
void Firewall::FromWanToVoicelanForAPI(Rule rule, int command) const { apply(fromWanToVoicelan, rule, command); }
void Firewall::FromWanToDatalanForAPI(Rule rule, int command) const { apply(fromWanToDatalan, rule, command); }
void Firewall::FromWanToGatewayForAPI(Rule rule, int command) const { apply(fromWanToGateway, rule, command); }
void Firewall::ToWanForAPI(Rule rule, int command) const { apply(toWan, rule, command); }
void Firewall::FromVoicelanToWanForAPI(Rule rule, int command) const { apply(fromVoicelanToWan, rule, command); }
void Firewall::FromDatalanToWanForAPI(Rule rule, int command) const { apply(fromDatalanToWan, rule, command); }
void Firewall::FromVoicelanToGatewayForAPI(Rule rule, int command) const
{
    apply(fromVoicelanToGateway, rule, command);
}
void Firewall::FromDatalanToGatewayForAPI(Rule rule, int command) const { apply(fromDatalanToGateway, rule, command); }
