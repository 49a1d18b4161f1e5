// Port reservation with real sockets on the board's three interfaces, made as bridges in the test's own
// network namespace. Ports are held by other sockets to make them busy; nothing is ever sent.
#include "netkeep_fixture.h"

#include "pmrnetconf.h"

#include <arpa/inet.h>
#include <memory>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace netkeep_test;

namespace {

const char wanAddress[] = "192.0.2.1";
const char datalanAddress[] = "198.51.100.1";
const char voicelanAddress[] = "203.0.113.1";

sockaddr_in localOf(int fd)
{
    sockaddr_in local{};
    socklen_t length = sizeof local;
    EXPECT_EQ(0, getsockname(fd, reinterpret_cast<sockaddr *>(&local), &length));
    return local;
}

std::string addressOf(const Socket &socket) { return IPAddress(localOf(socket.descriptor()).sin_addr).toString(); }

int portOf(const Socket &socket) { return ntohs(localOf(socket.descriptor()).sin_port); }

int typeOf(const Socket &socket)
{
    int type = 0;
    socklen_t length = sizeof type;
    getsockopt(socket.descriptor(), SOL_SOCKET, SO_TYPE, &type, &length);
    return type;
}

// Sockets of another user of the board's ports.
class HeldPorts {
public:
    ~HeldPorts()
    {
        for (const auto &held : fds_)
            close(held.second);
    }
    void hold(int type, const char *address, int port)
    {
        const int fd = socket(AF_INET, type, 0);
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_port = htons(port);
        inet_pton(AF_INET, address, &where.sin_addr);
        ASSERT_EQ(0, bind(fd, reinterpret_cast<const sockaddr *>(&where), sizeof where)) << port;
        fds_.emplace_back(port, fd);
    }
    void release(int port)
    {
        for (auto held = fds_.begin(); held != fds_.end(); ++held) {
            if (held->first == port) {
                close(held->second);
                fds_.erase(held);
                return;
            }
        }
    }

private:
    std::vector<std::pair<int, int>> fds_;
};

class Ports : public NamespaceTest {
protected:
    void SetUp() override
    {
        NamespaceTest::SetUp();
        if (HasFatalFailure())
            return;
        shell(std::string("set -e;") + bridge("wan", wanAddress) + bridge("datalan", datalanAddress) +
              bridge("voicelan", voicelanAddress));
    }
    static std::string bridge(const char *name, const char *address)
    {
        // An earlier case of the same program may have left the bridge behind.
        return std::string(" ip link del ") + name + " 2>/dev/null || true; ip link add " + name + " type bridge; ip addr add " + address + "/24 dev " + name +
               "; ip link set " + name + " up;";
    }

    Firewall h323{"H323"};
};

TEST_F(Ports, H323StreamPortsFollowOneAnotherAndDatagramPortsSkipOne)
{
    StreamSocket streams[3];
    DatagramSocket datagrams[3];
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(31000 + i, h323.PreAllocatePort("Wan", streams[i]));
        EXPECT_EQ(32000 + 2 * i, h323.PreAllocatePort("Wan", datagrams[i]));
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(SocketBound, streams[i].status());
        EXPECT_EQ(SOCK_STREAM, typeOf(streams[i]));
        EXPECT_EQ(31000 + i, portOf(streams[i]));
        EXPECT_EQ(wanAddress, addressOf(streams[i]));
        EXPECT_EQ(SOCK_DGRAM, typeOf(datagrams[i]));
        EXPECT_EQ(32000 + 2 * i, portOf(datagrams[i]));
    }
}

TEST_F(Ports, OtherApplicationsShareOneWideRange)
{
    Firewall other("SIP");
    StreamSocket stream;
    DatagramSocket datagram;
    EXPECT_EQ(1024, other.PreAllocatePort("Datalan", stream));
    EXPECT_EQ(1024, other.PreAllocatePort("Datalan", datagram));
}

TEST_F(Ports, TheNetworkChoosesTheInterfaceAndItsAddress)
{
    EXPECT_EQ("wan", h323.GetInterfaceName("Wan"));
    EXPECT_EQ("datalan", h323.GetInterfaceName("Datalan"));
    EXPECT_EQ("datalan", h323.GetInterfaceName("Voicelan"));
    EXPECT_EQ("UNKNOW", h323.GetInterfaceName("Gateway"));
    EXPECT_EQ("UNKNOW", h323.GetInterfaceName("wan"));
    DatagramSocket shared, dedicated, data;
    h323.PreAllocatePort("Voicelan", shared);
    EXPECT_EQ(datalanAddress, addressOf(shared));

    // The VLAN configuration is read again on every call.
    pmrnetconf_standin::setDevices("eth0", "eth0.5");
    EXPECT_EQ("voicelan", h323.GetInterfaceName("Voicelan"));
    h323.PreAllocatePort("Voicelan", dedicated);
    EXPECT_EQ(voicelanAddress, addressOf(dedicated));
    h323.PreAllocatePort("Datalan", data);
    EXPECT_EQ(datalanAddress, addressOf(data));
}

TEST_F(Ports, AnUnreadableVlanConfigurationOrAMissingInterfaceStopsTheReservation)
{
    const int descriptors = openDescriptors();
    StreamSocket socket;
    pmrnetconf_standin::setDevices("eth0", nullptr);
    EXPECT_EQ("check_dedicated_voicelan - cannot read Voice Vlan config",
              thrown<std::invalid_argument>([&] { h323.GetInterfaceName("Wan"); }));
    EXPECT_EQ("check_dedicated_voicelan - cannot read Voice Vlan config",
              thrown<std::invalid_argument>([&] { h323.PreAllocatePort("Wan", socket); }));

    pmrnetconf_standin::setDevices("eth0", "eth0");
    shell("ip link del wan");
    EXPECT_THROW(h323.PreAllocatePort("Wan", socket), std::runtime_error);
    EXPECT_EQ(descriptors, openDescriptors());
    EXPECT_EQ(-1, socket.descriptor());
    EXPECT_EQ(31000, h323.PreAllocatePort("Datalan", socket));
}

TEST_F(Ports, OnlyTheBoardsNetworksHavePorts)
{
    const int descriptors = openDescriptors();
    StreamSocket stream;
    DatagramSocket rtp, rtcp;
    const std::string invalid = "PreAllocatePort - Invalid net id";
    EXPECT_EQ(invalid, thrown<std::invalid_argument>([&] { h323.PreAllocatePort("Gateway", stream); }));
    EXPECT_EQ(invalid, thrown<std::invalid_argument>([&] { h323.PreAllocatePort("wan", rtp); }));
    EXPECT_EQ(invalid, thrown<std::invalid_argument>([&] { h323.PreAllocatePort("", rtp, rtcp); }));
    EXPECT_EQ(descriptors, openDescriptors());
}

TEST_F(Ports, BusyPortsAreSkippedTwoAtATime)
{
    HeldPorts others;
    others.hold(SOCK_STREAM, wanAddress, 31000);
    others.hold(SOCK_DGRAM, "0.0.0.0", 32000);
    StreamSocket stream;
    DatagramSocket datagram;
    EXPECT_EQ(31002, h323.PreAllocatePort("Wan", stream));
    EXPECT_EQ(32002, h323.PreAllocatePort("Wan", datagram));
}

TEST_F(Ports, ASearchFromJustBelowTheHighBoundWrapsToTheLowBound)
{
    HeldPorts others;
    for (int port = 31000; port < 31498; port += 2)
        others.hold(SOCK_STREAM, wanAddress, port);
    StreamSocket first, second;
    EXPECT_EQ(31498, h323.PreAllocatePort("Wan", first));
    others.hold(SOCK_STREAM, wanAddress, 31499);
    others.release(31000);
    EXPECT_EQ(31000, h323.PreAllocatePort("Wan", second));
}

TEST_F(Ports, TheSearchGivesUpAfterHalfTheRangeAndNeverReservesTheHighBound)
{
    HeldPorts others;
    for (int port = 31000; port < 31498; port += 2)
        others.hold(SOCK_STREAM, wanAddress, port);
    StreamSocket below, highest, none;
    EXPECT_EQ(31498, h323.PreAllocatePort("Wan", below));
    EXPECT_EQ(31499, h323.PreAllocatePort("Wan", highest));

    // Every even port is taken now; the odd ones are free but never tried.
    const int descriptors = openDescriptors();
    EXPECT_EQ("PreAllocatePort for STREAM - Can't find a free port",
              thrown<std::runtime_error>([&] { h323.PreAllocatePort("Wan", none); }));
    EXPECT_EQ(descriptors, openDescriptors());
    EXPECT_EQ(-1, none.descriptor());

    for (int port = 32000; port < 32500; port += 2)
        others.hold(SOCK_DGRAM, wanAddress, port);
    const int withDatagramsHeld = openDescriptors();
    DatagramSocket datagram;
    EXPECT_EQ("PreAllocatePort for DGRAM - Can't find a free port",
              thrown<std::runtime_error>([&] { h323.PreAllocatePort("Wan", datagram); }));
    EXPECT_EQ(withDatagramsHeld, openDescriptors());
}

TEST_F(Ports, AnRtpPairTakesTwoNeighbouringPorts)
{
    DatagramSocket rtp, rtcp, next;
    EXPECT_EQ(32000, h323.PreAllocatePort("Wan", rtp, rtcp));
    EXPECT_EQ(32000, portOf(rtp));
    EXPECT_EQ(32001, portOf(rtcp));
    EXPECT_EQ(wanAddress, addressOf(rtcp));
    EXPECT_EQ(SocketBound, rtcp.status());
    EXPECT_EQ(32002, h323.PreAllocatePort("Wan", next));
}

TEST_F(Ports, ABusyRtcpPortEndsThePairSearchAtOnce)
{
    HeldPorts others;
    others.hold(SOCK_DGRAM, wanAddress, 32001);
    const int descriptors = openDescriptors();
    DatagramSocket rtp, rtcp;
    EXPECT_EQ("PreAllocatePort for SOCK_DGRAM RTCP : bind() failed",
              thrown<std::runtime_error>([&] { h323.PreAllocatePort("Wan", rtp, rtcp); }));
    EXPECT_EQ(descriptors, openDescriptors());
    EXPECT_EQ(-1, rtp.descriptor());
    EXPECT_EQ(-1, rtcp.descriptor());

    // Nothing was recorded and the cursor did not move.
    EXPECT_EQ("DeAllocatePort - requested port not found", thrown<std::runtime_error>([&] { h323.DeAllocatePort(32000); }));
    others.release(32001);
    EXPECT_EQ(32000, h323.PreAllocatePort("Wan", rtp, rtcp));
}

TEST_F(Ports, TheTableHoldsAThousandReservations)
{
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    if (files.rlim_cur < 2048 && files.rlim_max >= 2048) {
        files.rlim_cur = 2048;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    ASSERT_GE(files.rlim_cur, 2048u) << "the test needs room for 1000 sockets";

    Firewall other("SIP");
    std::vector<std::unique_ptr<StreamSocket>> reserved;
    for (int i = 0; i < 1000; ++i) {
        reserved.push_back(std::make_unique<StreamSocket>());
        ASSERT_EQ(1024 + i, other.PreAllocatePort("Wan", *reserved.back()));
    }
    const int descriptors = openDescriptors();
    StreamSocket stream;
    DatagramSocket rtp, rtcp;
    EXPECT_EQ("PreAllocatePort - No more free socket_port record",
              thrown<std::runtime_error>([&] { other.PreAllocatePort("Wan", stream); }));

    // Records 0 and 2 free are no pair.
    other.DeAllocatePort(1024);
    other.DeAllocatePort(1026);
    EXPECT_EQ("PreAllocatePort - No more free socket_port record",
              thrown<std::runtime_error>([&] { other.PreAllocatePort("Wan", rtp, rtcp); }));
    EXPECT_EQ(descriptors, openDescriptors());
    other.DeAllocatePort(1025);
    EXPECT_EQ(1024, other.PreAllocatePort("Wan", rtp, rtcp));
    EXPECT_EQ(2024, other.PreAllocatePort("Wan", stream));
}

TEST_F(Ports, DeAllocateFreesTheFirstRecordOfAPortOnly)
{
    auto first = std::make_unique<StreamSocket>();
    EXPECT_EQ(31000, h323.PreAllocatePort("Wan", *first));
    // The caller closes the socket without giving the port back, and it is reserved again.
    first.reset();
    HeldPorts others;
    for (int port = 31001; port < 31500; port += 2)
        others.hold(SOCK_STREAM, wanAddress, port);
    StreamSocket again;
    EXPECT_EQ(31000, h323.PreAllocatePort("Wan", again));

    h323.DeAllocatePort(31000);
    h323.DeAllocatePort(31000);
    EXPECT_EQ("DeAllocatePort - requested port not found", thrown<std::runtime_error>([&] { h323.DeAllocatePort(31000); }));
    // Giving back the descriptor is the socket object's business: it stays open.
    EXPECT_EQ(31000, portOf(again));
}

TEST_F(Ports, AFreeRecordIsNoPortToGiveBack)
{
    EXPECT_EQ("DeAllocatePort - requested port not found", thrown<std::runtime_error>([&] { h323.DeAllocatePort(-1); }));
    EXPECT_EQ("DeAllocatePort - requested port not found", thrown<std::runtime_error>([&] { h323.DeAllocatePort(31000); }));
}

} // namespace
