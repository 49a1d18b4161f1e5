// Rules and update modes: a rule's packet-filter entries are written or removed at once; the mode
// decides only when the rule is opened or closed and, for a delete, when it leaves the list.
#include "Firewall.h"

#include "NetNames.h"
#include "TableLock.h"

#include <stdexcept>
#include <utility>

using namespace netkeep;

namespace {
const char h323AppName[] = "H323";
constexpr int h323StreamLow = 31000, h323StreamHigh = 31500;
constexpr int h323DgramLow = 32000, h323DgramHigh = 32500;
constexpr int defaultLow = 1024, defaultHigh = 28000;
constexpr int portTableRecords = 1000;
constexpr int emptyQueue = -1;
constexpr int noDescriptor = -1;

int inverse(int command) { return command == Firewall::commandAdd ? Firewall::commandDelete : Firewall::commandAdd; }
} // namespace

Firewall::Firewall(std::string name)
    : streamLow(name == h323AppName ? h323StreamLow : defaultLow),
      streamHigh(name == h323AppName ? h323StreamHigh : defaultHigh),
      dgramLow(name == h323AppName ? h323DgramLow : defaultLow),
      dgramHigh(name == h323AppName ? h323DgramHigh : defaultHigh),
      streamCursor(streamLow),
      dgramCursor(dgramLow),
      portTableSize(portTableRecords),
      appName(std::move(name)),
      portTable(portTableSize, socket_port{noDescriptor, socket_port::unusedPort}),
      openCount(emptyQueue),
      closeCount(emptyQueue)
{
    openQueue.fill(rules.end());
    closeQueue.fill(rules.end());
}

const Firewall::ChainPair *Firewall::chainsOf(int type)
{
    static const ChainPair wanToVoicelan{&Firewall::FromWanForAPI, &Firewall::FromWanToVoicelanForAPI};
    static const ChainPair voicelanToWan{&Firewall::ToWanForAPI, &Firewall::FromVoicelanToWanForAPI};
    static const ChainPair wanToGateway{&Firewall::FromWanToGatewayForAPI, nullptr};
    static const ChainPair voicelanToGateway{&Firewall::FromVoicelanToGatewayForAPI, nullptr};
    static const ChainPair wanToDatalan{&Firewall::FromWanForAPI, &Firewall::FromWanToDatalanForAPI};
    static const ChainPair datalanToWan{&Firewall::ToWanForAPI, &Firewall::FromDatalanToWanForAPI};
    static const ChainPair datalanToGateway{&Firewall::FromDatalanToGatewayForAPI, nullptr};
    switch (type) {
    case Rule::typeWanToVoicelan: return &wanToVoicelan;
    case Rule::typeVoicelanToWan: return &voicelanToWan;
    case Rule::typeWanToGateway: return &wanToGateway;
    case Rule::typeVoicelanToGateway: return &voicelanToGateway;
    case Rule::typeWanToDatalan: return &wanToDatalan;
    case Rule::typeDatalanToWan: return &datalanToWan;
    case Rule::typeDatalanToGateway: return &datalanToGateway;
    default: return nullptr;
    }
}

void Firewall::writeEntries(const ChainPair &chains, const Rule &rule, int command) const
{
    // Other writers see both entries of a rule or neither, and none can slip in before an undo.
    const TableLock lock;
    (this->*chains.first)(rule, command);
    if (!chains.second)
        return;
    try {
        (this->*chains.second)(rule, command);
    } catch (const std::exception &) {
        // Take back the first chain's change, so that no entry outlives its rule and no rule is left
        // listed without its entries. The second chain's error is the one the caller must see.
        try {
            (this->*chains.first)(rule, inverse(command));
        } catch (const std::exception &) {
        }
        throw;
    }
}

Firewall::RuleIterator Firewall::AddAPIRule(std::string srcNet, IPAddress srcAddr, std::string dstNet,
                                             IPAddress dstAddr, std::string proto, int srcPort, int dstPort,
                                             int natSrcPort, int natDstPort, std::string updateMode)
{
    const bool dedicated = check_dedicated_voicelan() != 0;

    const bool fromWan = srcNet == wanNet;
    const bool fromVoicelan = srcNet == voicelanNet;
    if (fromVoicelan && !dedicated)
        srcNet = datalanNet;
    const bool toWan = dstNet == wanNet;
    const bool toVoicelan = dstNet == voicelanNet;
    const bool toGateway = dstNet == gatewayNet;
    if (toVoicelan && !dedicated)
        dstNet = datalanNet;

    Rule rule;
    if (fromWan && toVoicelan)
        rule.type = dedicated ? Rule::typeWanToVoicelan : Rule::typeWanToDatalan;
    else if (fromWan && toGateway)
        rule.type = Rule::typeWanToGateway;
    else if (fromVoicelan && toWan)
        rule.type = dedicated ? Rule::typeVoicelanToWan : Rule::typeDatalanToWan;
    else if (fromVoicelan && toGateway)
        rule.type = dedicated ? Rule::typeVoicelanToGateway : Rule::typeDatalanToGateway;
    else if (fromWan)
        throw std::invalid_argument("AddAPIRule - Src net id Wan, but wrong dest net id");
    else if (fromVoicelan)
        throw std::invalid_argument("AddAPIRule - Src net id Voicelan, but wrong dest net id");
    else
        throw std::invalid_argument("AddAPIRule - Wrong src net id");

    rule.srcNet = srcNet;
    rule.srcAddr = srcAddr;
    rule.dstNet = dstNet;
    rule.dstAddr = dstAddr;
    rule.proto = proto;
    rule.srcPort = srcPort;
    rule.dstPort = dstPort;
    rule.natSrcPort = natSrcPort;
    rule.natDstPort = natDstPort;

    // A full queue is refused before any entry is written: otherwise the entries and the listed rule
    // would stay behind with no iterator for the caller to remove them by.
    const bool asynchronous = updateMode == asynchronousMode;
    if (asynchronous && openCount + 1 >= queueSize)
        throw std::runtime_error("AddAPIRule - Firewall asynchronous update impossible");

    writeEntries(*chainsOf(rule.type), rule, commandAdd);

    rule.id = Rule::idUsed;
    const RuleIterator added = rules.insert(rules.begin(), rule);
    added->state = Rule::stateAdded;

    if (updateMode == noUpdateMode)
        return added;
    if (asynchronous)
        openQueue[++openCount] = added;
    else
        OpenRule(added);
    return added;
}

void Firewall::DeleteAPIRule(RuleIterator rule, std::string updateMode)
{
    if (rule->id == Rule::idUnused)
        throw std::invalid_argument("DeleteAPIRule - Invalid rule record id (not used)");
    const ChainPair *chains = chainsOf(rule->type);
    if (!chains)
        throw std::runtime_error("DeleteAPIRule - Wrong rule type");
    // As for an add: a full queue must not leave the rule listed with its entries already gone.
    const bool asynchronous = updateMode == asynchronousMode;
    if (asynchronous && closeCount + 1 >= queueSize)
        throw std::runtime_error("DeleteAPIRule - Firewall asynchronous update impossible");

    writeEntries(*chains, *rule, commandDelete);

    if (asynchronous) {
        closeQueue[++closeCount] = rule;
        return;
    }
    if (rule->state == Rule::stateOpen && updateMode != noUpdateMode)
        CloseRule(rule);
    dropFromQueues(rule);
    rules.erase(rule);
}

void Firewall::dropFromQueues(RuleIterator rule)
{
    // Queued entries of an erased rule become tombstones that a replay skips; the queues keep their counts.
    for (RuleIterator &queued : openQueue)
        if (queued == rule)
            queued = rules.end();
    for (RuleIterator &queued : closeQueue)
        if (queued == rule)
            queued = rules.end();
}

template <typename Replay> void Firewall::replay(RuleQueue &queue, int &count, int limit, Replay apply)
{
    // A negative limit replays nothing, as the lowest index would lie above the newest entry.
    if (count < 0 || limit < 0)
        return;
    const int lowest = limit != 0 && limit <= count ? count - limit + 1 : 0;
    for (; count >= lowest; --count) {
        const RuleIterator rule = queue[count];
        queue[count] = rules.end();
        if (rule != rules.end())
            apply(rule);
    }
}

void Firewall::SynchronizeFW(int count)
{
    replay(openQueue, openCount, count, [this](RuleIterator rule) { OpenRule(rule); });
    // A replayed close ends an asynchronous delete: the rule leaves the list only now, so the caller's
    // iterator stays valid until this call.
    replay(closeQueue, closeCount, count, [this](RuleIterator rule) {
        CloseRule(rule);
        dropFromQueues(rule);
        rules.erase(rule);
    });
}

void Firewall::OpenRule(RuleIterator rule) { rule->state = Rule::stateOpen; }

void Firewall::CloseRule(RuleIterator) {}
