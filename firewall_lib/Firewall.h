// libnetkeep: paths through the board's packet filter for the traffic of voice calls, one Rule per path,
// and the local ports that the calls use.
//
// The program that links this library also links the packet-filter table library (libiptc), defines its
// globals program_name and program_version, and supplies IPAddress, getAddress, the Socket classes and
// pmrnetconf_getdevice.
#pragma once

#include "IPAddress.h"
#include "Socket.h"

#include <netinet/in.h>

#include <array>
#include <list>
#include <string>
#include <vector>

class Rule {
public:
    static constexpr int idUnused = 20;
    static constexpr int idUsed = 21;

    static constexpr int stateOpen = 25;
    static constexpr int stateAdded = 26;

    // Network pairs; "Datalan" stands for "Voicelan" where the voice LAN shares the data LAN's device.
    static constexpr int typeWanToVoicelan = 11;
    static constexpr int typeVoicelanToWan = 12;
    static constexpr int typeWanToGateway = 13;
    static constexpr int typeVoicelanToGateway = 14;
    static constexpr int typeWanToDatalan = 15;
    static constexpr int typeDatalanToWan = 16;
    static constexpr int typeDatalanToGateway = 17;

    static constexpr int noPort = -1;

    int id = idUnused;
    int state = 0;
    int type = 0;
    std::string srcNet;
    IPAddress srcAddr;
    std::string dstNet;
    IPAddress dstAddr;
    std::string proto;
    int srcPort = noPort;
    int dstPort = noPort;
    int natSrcPort = noPort;
    int natDstPort = noPort;
};

struct socket_port {
    static constexpr int unusedPort = -1;

    int fd;
    int port; // unusedPort: the record is free
};

// Non-zero when the voice LAN has a device of its own, 0 when it shares the data LAN's.
// std::invalid_argument when the board's VLAN configuration cannot be read.
int check_dedicated_voicelan();

class Firewall {
public:
    using RuleIterator = std::list<Rule>::iterator;

    // Commands of the chain functions.
    static constexpr int commandAdd = 30;
    static constexpr int commandDelete = 31;

    explicit Firewall(std::string appName);
    Firewall(const Firewall &) = delete;
    Firewall &operator=(const Firewall &) = delete;

    // Update modes: "NoUpdate", "Asynchronous"; any other text acts as "Synchronous".
    RuleIterator AddAPIRule(std::string srcNet, IPAddress srcAddr, std::string dstNet, IPAddress dstAddr,
                            std::string proto, int srcPort, int dstPort, int natSrcPort, int natDstPort,
                            std::string updateMode);
    // In "Asynchronous" mode the rule stays listed until SynchronizeFW replays its close and erases it.
    void DeleteAPIRule(RuleIterator rule, std::string updateMode);
    // Replays at most COUNT queued opens, then closes, the newest first; 0 replays all.
    void SynchronizeFW(int count);
    void OpenRule(RuleIterator rule);
    void CloseRule(RuleIterator rule);

    // One entry in the user chain of the same name: COMMAND is commandAdd or commandDelete.
    void FromWanForAPI(Rule rule, int command) const;
    void FromWanToVoicelanForAPI(Rule rule, int command) const;
    void FromWanToDatalanForAPI(Rule rule, int command) const;
    void FromWanToGatewayForAPI(Rule rule, int command) const;
    void ToWanForAPI(Rule rule, int command) const;
    void FromVoicelanToWanForAPI(Rule rule, int command) const;
    void FromDatalanToWanForAPI(Rule rule, int command) const;
    void FromVoicelanToGatewayForAPI(Rule rule, int command) const;
    void FromDatalanToGatewayForAPI(Rule rule, int command) const;

    // The reserved port; the socket object owns the new descriptor. The pair form returns the RTP port,
    // the RTCP port is one higher.
    int PreAllocatePort(std::string net, StreamSocket &socket);
    int PreAllocatePort(std::string net, DatagramSocket &socket);
    int PreAllocatePort(std::string net, DatagramSocket &rtp, DatagramSocket &rtcp);
    void DeAllocatePort(int port);
    void GetReservedPorts(RuleIterator rule, int *natSrcPort, int *natDstPort);
    std::string GetInterfaceName(std::string net);

private:
    static constexpr int queueSize = 30;
    using RuleQueue = std::array<RuleIterator, queueSize>;
    using Chain = void (Firewall::*)(Rule, int) const;
    struct ChainPair {
        Chain first;
        Chain second; // null for the single-chain types
    };

    static const ChainPair *chainsOf(int type);
    void writeEntries(const ChainPair &chains, const Rule &rule, int command) const;
    void dropFromQueues(RuleIterator rule);
    template <typename Replay> void replay(RuleQueue &queue, int &count, int limit, Replay apply);

    sockaddr_in localAddress(const std::string &net);
    int findFreeRecords(int needed) const;

    int streamLow, streamHigh;
    int dgramLow, dgramHigh;
    int streamCursor, dgramCursor;
    std::list<Rule> rules;
    int portTableSize;
    std::string appName;
    std::vector<socket_port> portTable;
    RuleQueue openQueue;
    int openCount;
    RuleQueue closeQueue;
    int closeCount;
};
