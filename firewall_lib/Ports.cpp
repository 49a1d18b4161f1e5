// Port reservation and interface names. A reservation binds a new socket to a free port of the
// configured range on the board's address in the call's network, and hands the socket to the caller's
// socket object; the port table only remembers the port until the caller gives it back.
#include "Firewall.h"
#include "NetNames.h"
#include "pmrnetconf.h"

#include <cstring>
#include <optional>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

using namespace netkeep;

namespace {

constexpr int deviceBufferSize = 24;
constexpr int deviceNameLength = 23;
const char voiceVlan[] = "VOICE";
const char voicelanInterface[] = "voicelan";
const char datalanInterface[] = "datalan";
const char wanInterface[] = "wan";
const char unknownInterface[] = "UNKNOW";
constexpr int searchStep = 2;

// A descriptor that is closed unless it was handed on.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return fd_; }
    int release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

Descriptor openSocket(int type, int protocol, const char *failure)
{
    const int fd = socket(AF_INET, type, protocol);
    if (fd < 0)
        throw std::runtime_error(failure);
    return Descriptor(fd);
}

bool bindTo(int fd, sockaddr_in address, int port)
{
    address.sin_port = htons(port);
    return bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
}

// The port that bound, trying every second port from CURSOR and wrapping at HIGH: (HIGH - LOW) / 2 + 1
// binds at most.
std::optional<int> searchPort(int fd, const sockaddr_in &address, int low, int high, int cursor)
{
    int port = cursor;
    for (int tried = 0; tried <= high - low; tried += searchStep) {
        if (port >= high)
            port = low;
        if (bindTo(fd, address, port))
            return port;
        port += searchStep;
    }
    return std::nullopt;
}

} // namespace

int check_dedicated_voicelan()
{
    char dataDevice[deviceBufferSize] = {};
    char voiceDevice[deviceBufferSize] = {};
    if (!pmrnetconf_getdevice(nullptr, dataDevice, deviceNameLength))
        throw std::invalid_argument("check_dedicated_voicelan - cannot read Data Vlan config");
    if (!pmrnetconf_getdevice(voiceVlan, voiceDevice, deviceNameLength))
        throw std::invalid_argument("check_dedicated_voicelan - cannot read Voice Vlan config");
    return std::strncmp(dataDevice, voiceDevice, deviceBufferSize);
}

std::string Firewall::GetInterfaceName(std::string net)
{
    const bool dedicated = check_dedicated_voicelan() != 0;
    if (net == voicelanNet)
        return dedicated ? voicelanInterface : datalanInterface;
    if (net == datalanNet)
        return datalanInterface;
    if (net == wanNet)
        return wanInterface;
    return unknownInterface;
}

sockaddr_in Firewall::localAddress(const std::string &net)
{
    if (net != voicelanNet && net != datalanNet && net != wanNet)
        throw std::invalid_argument("PreAllocatePort - Invalid net id");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr = getAddress(GetInterfaceName(net));
    return address;
}

int Firewall::findFreeRecords(int needed) const
{
    for (int first = 0; first + needed <= portTableSize; ++first) {
        bool free = true;
        for (int i = first; i < first + needed && free; ++i)
            free = portTable[i].port == socket_port::unusedPort;
        if (free)
            return first;
    }
    throw std::runtime_error("PreAllocatePort - No more free socket_port record");
}

int Firewall::PreAllocatePort(std::string net, StreamSocket &socket)
{
    const sockaddr_in address = localAddress(net);
    Descriptor fd = openSocket(SOCK_STREAM, IPPROTO_TCP, "PreAllocatePort for SOCK_STREAM : socket() failed");
    const std::optional<int> found = searchPort(fd.get(), address, streamLow, streamHigh, streamCursor);
    if (!found)
        throw std::runtime_error("PreAllocatePort for STREAM - Can't find a free port");
    const int port = *found;
    const int record = findFreeRecords(1);

    portTable[record] = {fd.get(), port};
    streamCursor = port + 1;
    socket.updateParam(fd.release(), SocketBound);
    return port;
}

int Firewall::PreAllocatePort(std::string net, DatagramSocket &socket)
{
    const sockaddr_in address = localAddress(net);
    Descriptor fd = openSocket(SOCK_DGRAM, IPPROTO_UDP, "PreAllocatePort for SOCK_DGRAM : socket() failed");
    const std::optional<int> found = searchPort(fd.get(), address, dgramLow, dgramHigh, dgramCursor);
    if (!found)
        throw std::runtime_error("PreAllocatePort for DGRAM - Can't find a free port");
    const int port = *found;
    const int record = findFreeRecords(1);

    portTable[record] = {fd.get(), port};
    dgramCursor = port + searchStep;
    socket.updateParam(fd.release(), SocketBound);
    return port;
}

int Firewall::PreAllocatePort(std::string net, DatagramSocket &rtp, DatagramSocket &rtcp)
{
    const sockaddr_in address = localAddress(net);
    Descriptor rtpFd = openSocket(SOCK_DGRAM, IPPROTO_UDP, "PreAllocatePort for SOCK_DGRAM RTP : socket() failed");
    Descriptor rtcpFd =
        openSocket(SOCK_DGRAM, IPPROTO_UDP, "PreAllocatePort for SOCK_DGRAM RTCP : socket() failed");
    const std::optional<int> found = searchPort(rtpFd.get(), address, dgramLow, dgramHigh, dgramCursor);
    if (!found)
        throw std::runtime_error("PreAllocatePort for DGRAM - Can't find a free port");
    const int port = *found;
    if (!bindTo(rtcpFd.get(), address, port + 1))
        throw std::runtime_error("PreAllocatePort for SOCK_DGRAM RTCP : bind() failed");
    const int record = findFreeRecords(2);

    portTable[record] = {rtpFd.get(), port};
    portTable[record + 1] = {rtcpFd.get(), port + 1};
    dgramCursor = port + searchStep;
    rtp.updateParam(rtpFd.release(), SocketBound);
    rtcp.updateParam(rtcpFd.release(), SocketBound);
    return port;
}

void Firewall::DeAllocatePort(int port)
{
    // A free record's -1 is no port: giving back -1 finds nothing.
    for (socket_port &record : portTable) {
        if (port != socket_port::unusedPort && record.port == port) {
            record.port = socket_port::unusedPort;
            return;
        }
    }
    throw std::runtime_error("DeAllocatePort - requested port not found");
}

void Firewall::GetReservedPorts(RuleIterator rule, int *natSrcPort, int *natDstPort)
{
    if (rule->id == Rule::idUnused)
        throw std::invalid_argument("GetReservedPorts - Invalid rule record id (not used)");
    if (!natSrcPort || !natDstPort)
        throw std::invalid_argument("GetReservedPorts - Null output pointer");
    *natSrcPort = rule->natSrcPort;
    *natDstPort = rule->natDstPort;
}
