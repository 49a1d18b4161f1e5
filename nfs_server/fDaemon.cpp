#include "fDaemon.h"

#include "fWinFiles.h"

#include <algorithm>
#include <cstring>
#include <cstdlib>
#include <ctime>

namespace {

constexpr long SelectSeconds = 1;
constexpr long SelectMicroseconds = 1000;
constexpr DWORD ProbeWaitMs = 5005;
constexpr DWORD IdleAgeingMs = 60000;
// A started record must be complete within this time of reading it.
constexpr DWORD RecordTimeoutMs = 10000;
// Replies a peer leaves unread this long close its connection.
constexpr DWORD ReplyStallMs = 60000;
// A connection's requests are read and served only while less than this waits for its peer to read:
// a peer that does not read stops being served, and holds at most this and one reply.
constexpr std::size_t ReplyQueueLimit = BufferLimit;
// Bytes taken from a connection at a time, so that a record's announced length reserves nothing.
constexpr uint32_t ReceiveChunk = 65536;
constexpr uint32_t DatagramGranularity = 1024;
constexpr DWORD DatagramSendWaitMs = 1000;
constexpr uint32_t ProbeReplyLimit = 65536;
constexpr uint32_t LoopbackAddress = 0x7F000001;
// Listening sockets plus accepted connections must fit the select set (FD_SETSIZE, set by the build).
constexpr std::size_t MaxConnections = FD_SETSIZE - 6;

void CloseSocket(SOCKET &socket)
{
    if (socket == INVALID_SOCKET) return;
    shutdown(socket, SD_BOTH);
    closesocket(socket);
    socket = INVALID_SOCKET;
}

TWinFiles &WinFiles()
{
    static TWinFiles files;
    return files;
}

// Waits until the socket is ready for reading (or writing) or the deadline (a tick count) passes.
bool WaitReady(SOCKET socket, bool write, DWORD deadline)
{
    const LONG left = static_cast<LONG>(deadline - GetTickCount());
    if (left <= 0) return false;
    fd_set set;
    FD_ZERO(&set);
    FD_SET(socket, &set);
    timeval wait = {left / 1000, left % 1000 * 1000};
    return select(0, write ? nullptr : &set, write ? &set : nullptr, nullptr, &wait) == 1;
}

// Receives exactly n bytes before the deadline, however the peer spreads them out.
bool ReceiveAll(SOCKET socket, uint8_t *to, uint32_t n, DWORD deadline)
{
    while (n > 0) {
        if (!WaitReady(socket, false, deadline)) return false;
        int got = recv(socket, reinterpret_cast<char *>(to), static_cast<int>(std::min<uint32_t>(n, 1u << 30)), 0);
        if (got <= 0) return false;
        to += got;
        n -= static_cast<uint32_t>(got);
    }
    return true;
}

// Sends every part before the deadline, on blocking and non-blocking sockets alike.
bool SendAll(SOCKET socket, WSABUF *parts, DWORD count, DWORD deadline)
{
    while (count > 0) {
        DWORD sent = 0;
        if (WSASend(socket, parts, count, &sent, 0, nullptr, nullptr) != 0) {
            if (WSAGetLastError() != WSAEWOULDBLOCK || !WaitReady(socket, true, deadline)) return false;
            continue;
        }
        for (; count > 0 && sent >= parts->len; --count, ++parts) sent -= parts->len;
        if (count > 0) {
            parts->buf += sent;
            parts->len -= sent;
        }
    }
    return true;
}

bool SendAll(SOCKET socket, const uint8_t *from, uint32_t n, DWORD deadline)
{
    WSABUF part = {n, reinterpret_cast<char *>(const_cast<uint8_t *>(from))};
    return SendAll(socket, &part, 1, deadline);
}

bool RaiseBuffer(SOCKET socket, int option, uint32_t size)
{
    int current = 0;
    int length = sizeof current;
    if (getsockopt(socket, SOL_SOCKET, option, reinterpret_cast<char *>(&current), &length) != 0) return false;
    if (current >= 0 && static_cast<uint32_t>(current) >= size) return true;
    int wanted = static_cast<int>(size);
    return setsockopt(socket, SOL_SOCKET, option, reinterpret_cast<const char *>(&wanted), sizeof wanted) == 0;
}

void PutWord(std::vector<uint8_t> &to, uint32_t value)
{
    uint8_t bytes[4];
    PutUInt32(bytes, value);
    to.insert(to.end(), bytes, bytes + 4);
}

// Reads the words of the portmapper's DUMP reply.
struct TWordReader {
    const std::vector<uint8_t> &Data;
    std::size_t At = 0;
    bool Next(uint32_t &value)
    {
        if (Data.size() - At < 4) return false;
        value = GetUInt32(Data.data() + At);
        At += 4;
        return true;
    }
};

}  // namespace

TDaemon::TDaemon(const std::wstring &root, TTerminationCheck terminationCheck, uint32_t codePage,
                 TIdentityStore *identities)
    : TThread(true), TRpcPrograms(WinFiles(), root, codePage, identities), TerminationCheck(std::move(terminationCheck))
{
    PmapTcp = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (PmapTcp == INVALID_SOCKET) {
        ErrorText = "Can't create TPC socket";
    } else {
        sockaddr_in local = {};
        local.sin_family = AF_INET;
        local.sin_port = htons(PmapPort);
        if (bind(PmapTcp, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0 || listen(PmapTcp, 0) != 0)
            CloseSocket(PmapTcp);
    }
    if (ErrorText.empty() && PmapTcp == INVALID_SOCKET) ProbePortmapper();
    if (ErrorText.empty()) PmapUdp = OpenSocket(false, PmapPort);
    if (ErrorText.empty()) MountTcp = OpenSocket(true, MountPort);
    if (ErrorText.empty()) MountUdp = OpenSocket(false, MountPort);
    if (ErrorText.empty()) NfsTcp = OpenSocket(true, NfsPort);
    if (ErrorText.empty()) NfsUdp = OpenSocket(false, NfsPort);
}

TDaemon::~TDaemon()
{
    if (Started()) {
        Terminate();
        WaitFor();
    }
    for (SOCKET *s : {&MountTcp, &MountUdp, &NfsTcp, &NfsUdp, &PmapTcp, &PmapUdp}) CloseSocket(*s);
}

SOCKET TDaemon::OpenSocket(bool tcp, uint16_t port)
{
    const std::string kind = tcp ? "TCP" : "UDP";
    const std::string number = std::to_string(port);
    SOCKET s = tcp ? socket(AF_INET, SOCK_STREAM, IPPROTO_TCP) : socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) {
        ErrorText = "Can't create " + kind + " socket";
        return INVALID_SOCKET;
    }
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    if (bind(s, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        ErrorText = "Can't bind socket to local " + kind + " port " + number;
    } else if (tcp && listen(s, 0) != 0) {
        ErrorText = "Can't listen on local TCP port " + number;
    }
    // Sockets opened so far stay open until the daemon is freed; this one is kept for the same reason.
    return s;
}

// Port 111 is taken: ask whoever holds it what it serves, only to tell the user what runs already.
void TDaemon::ProbePortmapper()
{
    const std::string port = std::to_string(PmapPort);
    SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (probe == INVALID_SOCKET) {
        ErrorText = "Can't create TCP socket";
        return;
    }
    bool nfsFound = false, mountFound = false;
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(PmapPort);
    to.sin_addr.s_addr = htonl(LoopbackAddress);
    if (connect(probe, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
        ErrorText = "Can't connect to local TCP port " + port;
    } else {
        std::srand(static_cast<unsigned>(std::time(nullptr)));
        const uint32_t xid = static_cast<uint32_t>(std::rand()) % 2147483647u;
        std::vector<uint8_t> call;
        PutWord(call, 0);
        for (uint32_t word : {xid, 0u, 2u, PmapProgram, PmapVersion, 4u, 0u, 0u, 0u, 0u}) PutWord(call, word);
        PutUInt32(call.data(), uint32_t(call.size() - RecordMarkSize) | RecordLastFragment);
        if (!SendAll(probe, call.data(), uint32_t(call.size()), GetTickCount() + ProbeWaitMs)) {
            ErrorText = "Unknown usage of local TCP port " + port;
        } else {
            // The whole answer must come within the wait, so that no holder of the port can stall the start.
            const DWORD deadline = GetTickCount() + ProbeWaitMs;
            uint8_t mark[4];
            if (ReceiveAll(probe, mark, 4, deadline)) {
                uint32_t length = GetUInt32(mark) & ~RecordLastFragment;
                std::vector<uint8_t> reply(std::min(length, ProbeReplyLimit));
                if (ReceiveAll(probe, reply.data(), uint32_t(reply.size()), deadline)) {
                    TWordReader in{reply};
                    uint32_t id, type, status, flavour, verifierLength, accepted, more;
                    bool valid = in.Next(id) && id == xid && in.Next(type) && type == 1 && in.Next(status) &&
                                 status == 0 && in.Next(flavour) && in.Next(verifierLength) && in.Next(accepted) &&
                                 accepted == 0;
                    while (valid && in.Next(more) && more) {
                        uint32_t program, version, protocol, mappedPort;
                        if (!(in.Next(program) && in.Next(version) && in.Next(protocol) && in.Next(mappedPort))) break;
                        bool served = protocol == IpProtoTcp || protocol == IpProtoUdp;
                        if (served && program == NfsProgram && version == NfsVersion) nfsFound = true;
                        if (served && program == MountProgram && version == MountVersion) mountFound = true;
                    }
                }
            }
        }
    }
    closesocket(probe);
    if (!ErrorText.empty()) return;
    if (nfsFound)
        ErrorText = "A NFS server is still running on this machine";
    else if (mountFound)
        ErrorText = "A Mount service is still running on this machine";
    else
        ErrorText = "A Portmapper is still running on local TCP port " + port;
}

uint32_t TDaemon::ResolveHost(const std::string &host)
{
    uint32_t address = inet_addr(host.c_str());
    if (address != INADDR_NONE) return address;
    const hostent *entry = gethostbyname(host.c_str());
    if (!entry || entry->h_addrtype != AF_INET || !entry->h_addr_list[0]) return NoAddress;
    std::memcpy(&address, entry->h_addr_list[0], 4);
    return address;
}

bool TDaemon::SocketBufferSizes(uint32_t &receive, uint32_t &send)
{
    int values[2] = {0, 0};
    int length = sizeof(int);
    if (getsockopt(Current, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char *>(&values[0]), &length) != 0) return false;
    length = sizeof(int);
    if (getsockopt(Current, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<char *>(&values[1]), &length) != 0) return false;
    receive = static_cast<uint32_t>(values[0]);
    send = static_cast<uint32_t>(values[1]);
    return true;
}

void TDaemon::Execute()
{
    std::vector<TConnection> connections;
    DWORD lastAgeing = 0;
    if (!WatchArrivals()) DropArrivals();
    while (!Terminated()) {
        // One turn serves every ready socket once: a datagram per UDP socket, a connection per listening
        // socket and a record per connection, so that no peer's stream of calls holds the others.
        const SOCKET listeners[] = {PmapTcp, PmapUdp, MountTcp, MountUdp, NfsTcp, NfsUdp};
        fd_set readable, writable;
        FD_ZERO(&readable);
        FD_ZERO(&writable);
        for (SOCKET s : listeners)
            if (s != INVALID_SOCKET) FD_SET(s, &readable);
        bool waiting = false;  // a record already here to serve: the sockets are only asked, not waited for
        bool sending = false;
        for (const TConnection &c : connections) {
            if (Reading(c)) FD_SET(c.Socket, &readable);
            if (!c.Replies.Empty()) FD_SET(c.Socket, &writable);
            waiting = waiting || Servable(c);
            sending = sending || !c.Replies.Empty();
        }
        // With nothing to serve or send, the loop sleeps on the events that arrivals set: under Wine that
        // costs one request to the wineserver where a select that waits costs five, and an arrival on
        // the only connection needs no select at all. Room to send sets no event: queued replies wait
        // in select.
        int ready = 0;
        const bool slept = Arrivals[0] && !waiting && !sending;
        const DWORD woken = slept ? WaitForMultipleObjects(2, Arrivals, FALSE, SelectSeconds * 1000 + 1) : WAIT_OBJECT_0;
        if (woken == WAIT_FAILED) DropArrivals();
        if (woken == WAIT_OBJECT_0 + 1 && connections.size() == 1 && Reading(connections[0])) {
            FD_ZERO(&readable);
            FD_ZERO(&writable);
            FD_SET(connections[0].Socket, &readable);
            ready = 1;
        } else if (woken == WAIT_OBJECT_0 || woken == WAIT_OBJECT_0 + 1) {
            const bool waits = !waiting && !slept;
            timeval wait = {waits ? SelectSeconds : 0, waits ? SelectMicroseconds : 0};
            ready = select(0, &readable, &writable, nullptr, &wait);
        }
        if (ready < 0) {
            FD_ZERO(&readable);
            FD_ZERO(&writable);
        }
        if (ready <= 0 && !waiting) {
            DWORD now = GetTickCount();
            if (now - lastAgeing > IdleAgeingMs) {
                ObjectHandles.AgeCachedHandles(now, IdleAgeingMs);
                lastAgeing = now;
            }
            if (ready < 0) Sleep(SelectSeconds * 1000);
        } else {
            for (SOCKET s : listeners) {
                if (s == INVALID_SOCKET || !FD_ISSET(s, &readable)) continue;
                if (s == PmapTcp || s == MountTcp || s == NfsTcp) {
                    Accept(s, connections);
                } else {
                    Request.Head = Request.Tail = 0;
                    uint32_t peer = NoAddress;
                    if (ReceiveDatagram(s, peer)) Serve(s, nullptr, peer, LocalPort(s));
                }
            }
            for (TConnection &c : connections) {
                const bool fresh = c.Fresh;
                c.Fresh = false;
                if (!Turn(c, fresh || FD_ISSET(c.Socket, &readable), !fresh && FD_ISSET(c.Socket, &writable)))
                    CloseSocket(c.Socket);
            }
        }
        DropStalled(connections, GetTickCount());
        if (!Suspended() && !Terminated() && TerminationCheck && TerminationCheck()) Terminate();
    }
    for (TConnection &c : connections) CloseSocket(c.Socket);
    DropArrivals();
}

bool TDaemon::WatchArrivals()
{
    for (HANDLE &event : Arrivals)
        if (!(event = CreateEventW(nullptr, FALSE, FALSE, nullptr))) return false;
    for (SOCKET s : {PmapTcp, MountTcp, NfsTcp})
        if (s != INVALID_SOCKET && WSAEventSelect(s, Arrivals[0], FD_ACCEPT) != 0) return false;
    for (SOCKET s : {PmapUdp, MountUdp, NfsUdp})
        if (s != INVALID_SOCKET && WSAEventSelect(s, Arrivals[0], FD_READ) != 0) return false;
    return true;
}

// Sockets already watching keep setting the events, which nothing waits for any more.
void TDaemon::DropArrivals()
{
    for (HANDLE &event : Arrivals) {
        if (event) CloseHandle(event);
        event = nullptr;
    }
}

// A new connection is read in the turn it came, and served only once it has data, so that a silent
// peer never holds the server. When the table is full, the connection idle longest makes room: silent
// peers cannot lock clients out.
void TDaemon::Accept(SOCKET listener, std::vector<TConnection> &connections)
{
    sockaddr_in from = {};
    int length = sizeof from;
    SOCKET s = accept(listener, reinterpret_cast<sockaddr *>(&from), &length);
    if (s == INVALID_SOCKET) return;
    const DWORD now = GetTickCount();
    if (connections.size() >= MaxConnections) {
        auto idlest = std::max_element(connections.begin(), connections.end(),
            [now](const TConnection &a, const TConnection &b) { return now - a.LastActivity < now - b.LastActivity; });
        CloseSocket(idlest->Socket);
        connections.erase(idlest);
    }
    // The buffers take the largest record and reply at once, so that no call has to ask again.
    u_long nonBlocking = 1;
    if ((Arrivals[1] && WSAEventSelect(s, Arrivals[1], FD_READ | FD_CLOSE) != 0) ||
        ioctlsocket(s, FIONBIO, &nonBlocking) != 0 || !RaiseBuffer(s, SO_RCVBUF, BufferLimit) ||
        !RaiseBuffer(s, SO_SNDBUF, BufferLimit)) {
        CloseSocket(s);
        return;
    }
    sockaddr_in local = {};
    length = sizeof local;
    if (getsockname(s, reinterpret_cast<sockaddr *>(&local), &length) != 0) {
        CloseSocket(s);
        return;
    }
    TConnection connection;
    connection.Socket = s;
    connection.LocalPort = ntohs(local.sin_port);
    connection.Peer = from.sin_family == AF_INET ? from.sin_addr.s_addr : 0;
    connection.LastActivity = now;
    connection.Fresh = true;
    connections.push_back(std::move(connection));
}

bool TDaemon::Turn(TConnection &connection, bool readable, bool writable)
{
    bool moved = false;
    if (writable && !connection.Replies.Send(connection.Socket, moved)) return false;
    if (moved) connection.LastSent = connection.LastActivity = GetTickCount();
    if (readable && Reading(connection) && !Receive(connection)) return false;
    return !Servable(connection) || ServeRecord(connection);
}

bool TDaemon::Reading(const TConnection &connection)
{
    std::size_t want;
    return !connection.PeerDone && connection.Replies.Size() < ReplyQueueLimit &&
           RecordEnd(connection.Partial, want) == TRecordState::Incomplete;
}

bool TDaemon::Servable(const TConnection &connection)
{
    std::size_t want;
    return connection.Replies.Size() < ReplyQueueLimit &&
           RecordEnd(connection.Partial, want) != TRecordState::Incomplete;
}

bool TDaemon::Finished(const TConnection &connection)
{
    std::size_t want;
    return connection.Socket == INVALID_SOCKET ||
           (connection.PeerDone && connection.Replies.Empty() &&
            RecordEnd(connection.Partial, want) != TRecordState::Whole);
}

// A record that does not complete in time while it is read closes its connection, and so do replies
// that the peer leaves unread for too long.
void TDaemon::DropStalled(std::vector<TConnection> &connections, DWORD now)
{
    for (TConnection &c : connections) {
        if (c.Socket == INVALID_SOCKET) continue;
        // A record's clock runs only while the server reads it.
        if (c.Partial.Empty() || !Reading(c))
            c.RecordStart = now;
        else if (now - c.RecordStart > RecordTimeoutMs)
            CloseSocket(c.Socket);
        if (!c.Replies.Empty() && now - c.LastSent > ReplyStallMs) CloseSocket(c.Socket);
    }
    for (TConnection &c : connections)
        if (Finished(c)) CloseSocket(c.Socket);
    connections.erase(std::remove_if(connections.begin(), connections.end(),
                                     [](const TConnection &c) { return c.Socket == INVALID_SOCKET; }),
                      connections.end());
}

bool TDaemon::Serve(SOCKET socket, TConnection *connection, uint32_t peer, uint16_t localPort)
{
    Current = socket;
    if (localPort == 0) return true;
    TCallResult result = ServeCall(localPort, connection != nullptr, peer);
    bool sent = true;
    if (result == TCallResult::Reply) sent = connection ? QueueReply(*connection) : SendDatagram(socket);
    ReplyDone();
    return sent && result != TCallResult::CloseConnection;
}

uint16_t TDaemon::LocalPort(SOCKET socket)
{
    sockaddr_in local = {};
    int length = sizeof local;
    return getsockname(socket, reinterpret_cast<sockaddr *>(&local), &length) == 0 ? ntohs(local.sin_port) : 0;
}

bool TDaemon::Receive(TConnection &connection)
{
    TRecordBuffer &partial = connection.Partial;
    std::size_t want;
    for (TRecordState state; (state = RecordEnd(partial, want)) == TRecordState::Incomplete;) {
        // The rest of the record at once, and with a short one the start of the next. Before its length is
        // known, as much as the spare buffer holds: a large record then comes with one call.
        const std::size_t had = partial.Size();
        std::size_t ask = std::max<std::size_t>(want - had, ReceiveChunk);
        if (had < RecordMarkSize && SpareRecord.Capacity() > had)
            ask = std::max(ask, SpareRecord.Capacity() - had);
        partial.Reserve(had + ask, SpareRecord);
        int got = recv(connection.Socket, reinterpret_cast<char *>(partial.Data() + had), static_cast<int>(ask), 0);
        if (got < 0 && WSAGetLastError() == WSAEWOULDBLOCK) return true;
        if (got < 0) return false;
        if (got == 0) {
            // The peer has nothing more to say; what it sent whole is still served and answered.
            connection.PeerDone = true;
            return true;
        }
        partial.Grow(static_cast<std::size_t>(got));
        connection.LastActivity = GetTickCount();
        if (had == 0) connection.RecordStart = connection.LastActivity;
    }
    return true;
}

// Serves the record at the start of the connection's bytes; a record the server cannot take (a
// fragment, or longer than the limit) closes the connection.
bool TDaemon::ServeRecord(TConnection &connection)
{
    TRecordBuffer &partial = connection.Partial;
    std::size_t want;
    if (RecordEnd(partial, want) != TRecordState::Whole) return false;
    const uint32_t length = static_cast<uint32_t>(want - RecordMarkSize);
    if (Request.Capacity < length && !ResizeBuffer(Request, length, 1)) return false;
    if (length) std::memcpy(Request.Data, partial.Data() + RecordMarkSize, length);
    Request.Head = 0;
    Request.Tail = length;
    partial.Consume(want, SpareRecord);
    if (!partial.Empty()) connection.RecordStart = GetTickCount();
    if (!Serve(connection.Socket, &connection, connection.Peer, connection.LocalPort)) return false;
    connection.LastActivity = GetTickCount();
    return true;
}

TDaemon::TRecordState TDaemon::RecordEnd(const TRecordBuffer &partial, std::size_t &want)
{
    want = RecordMarkSize;
    if (partial.Size() < RecordMarkSize) return TRecordState::Incomplete;
    const uint32_t word = GetUInt32(partial.Data());
    const uint32_t length = word & ~RecordLastFragment;
    if (!(word & RecordLastFragment) || length > BufferLimit - RecordMarkSize) return TRecordState::Refused;
    want = RecordMarkSize + length;
    return partial.Size() >= want ? TRecordState::Whole : TRecordState::Incomplete;
}

void TRecordBuffer::Reserve(std::size_t capacity, TRecordBuffer &spare)
{
    if (FStart + capacity <= FCapacity) return;
    if (capacity <= FCapacity) {
        std::memmove(FData.get(), Data(), FSize);
        FStart = 0;
        return;
    }
    if (capacity > spare.FCapacity) {
        std::unique_ptr<uint8_t[]> larger(new uint8_t[capacity]);
        spare.FData = std::move(larger);
        spare.FCapacity = capacity;
    }
    if (FSize) std::memcpy(spare.FData.get(), Data(), FSize);
    std::swap(FData, spare.FData);
    std::swap(FCapacity, spare.FCapacity);
    FStart = 0;
}

void TRecordBuffer::Consume(std::size_t n, TRecordBuffer &spare)
{
    FSize -= n;
    FStart = FSize ? FStart + n : 0;
    if (!FSize && FCapacity > ReceiveChunk) {
        if (FCapacity > spare.FCapacity) {
            std::swap(FData, spare.FData);
            std::swap(FCapacity, spare.FCapacity);
        }
        if (FCapacity > ReceiveChunk) {
            FData.reset();
            FCapacity = 0;
        }
    }
}

// The datagram is sized by peeking first: a datagram received into too small a buffer would be cut.
bool TDaemon::ReceiveDatagram(SOCKET socket, uint32_t &peer)
{
    for (;;) {
        if (!RaiseBuffer(socket, SO_RCVBUF, Request.Capacity)) return false;
        sockaddr_in from = {};
        int length = sizeof from;
        int got = recvfrom(socket, reinterpret_cast<char *>(Request.Data), static_cast<int>(Request.Capacity),
                           MSG_PEEK, reinterpret_cast<sockaddr *>(&from), &length);
        bool cut = (got < 0 && WSAGetLastError() == WSAEMSGSIZE) ||
                   (got >= 0 && static_cast<uint32_t>(got) == Request.Capacity);
        if (got < 0 && !cut) return false;
        if (cut && Request.Capacity * 2 <= BufferLimit) {
            if (!ResizeBuffer(Request, Request.Capacity * 2, DatagramGranularity)) return false;
            continue;
        }
        length = sizeof from;
        got = recvfrom(socket, reinterpret_cast<char *>(Request.Data), static_cast<int>(Request.Capacity), 0,
                       reinterpret_cast<sockaddr *>(&from), &length);
        if (got < 0) return false;
        Request.Tail = static_cast<uint32_t>(got);
        DatagramPeer = from;
        peer = from.sin_family == AF_INET ? from.sin_addr.s_addr : NoAddress;
        return true;
    }
}

DWORD TDaemon::ReplyParts(WSABUF (&parts)[3]) const
{
    static const uint8_t zeros[4] = {};
    parts[0] = {Reply.Tail - Reply.Head, reinterpret_cast<char *>(Reply.Data + Reply.Head)};
    parts[1] = {ReplyWindow.Length, reinterpret_cast<char *>(const_cast<uint8_t *>(ReplyWindow.Data))};
    parts[2] = {ReplyWindow.Padding, reinterpret_cast<char *>(const_cast<uint8_t *>(zeros))};
    return ReplyWindow.Data ? 3 : 1;
}

bool TDaemon::QueueReply(TConnection &connection)
{
    WSABUF parts[3];
    const DWORD count = ReplyParts(parts);
    DWORD sent = 0;
    // Replies leave in order: with others waiting, this one waits behind them.
    if (connection.Replies.Empty()) {
        if (WSASend(connection.Socket, parts, count, &sent, 0, nullptr, nullptr) != 0) {
            if (WSAGetLastError() != WSAEWOULDBLOCK) return false;
            sent = 0;
        }
        connection.LastSent = GetTickCount();
    }
    connection.Replies.Add(parts, count, sent);
    return true;
}

bool TDaemon::SendDatagram(SOCKET socket)
{
    WSABUF parts[3];
    const DWORD count = ReplyParts(parts);
    const uint32_t length = parts[0].len + parts[1].len + parts[2].len;
    if (!RaiseBuffer(socket, SO_SNDBUF, length)) return false;
    // Watched sockets do not block: a full buffer is waited for, but not for long.
    const DWORD deadline = GetTickCount() + DatagramSendWaitMs;
    for (;;) {
        DWORD sent = 0;
        if (WSASendTo(socket, parts, count, &sent, 0, reinterpret_cast<const sockaddr *>(&DatagramPeer),
                      sizeof DatagramPeer, nullptr, nullptr) == 0)
            return sent == length;
        if (WSAGetLastError() != WSAEWOULDBLOCK || !WaitReady(socket, true, deadline)) return false;
    }
}

void TReplyQueue::Add(const WSABUF *parts, DWORD count, std::size_t skip)
{
    std::vector<uint8_t> rest;
    for (DWORD i = 0; i < count; ++i) {
        const std::size_t length = parts[i].len;
        if (skip >= length) {
            skip -= length;
            continue;
        }
        rest.insert(rest.end(), parts[i].buf + skip, parts[i].buf + length);
        skip = 0;
    }
    if (rest.empty()) return;
    FSize += rest.size();
    Parts.push_back(std::move(rest));
}

bool TReplyQueue::Send(SOCKET socket, bool &moved)
{
    moved = false;
    while (!Parts.empty()) {
        const std::vector<uint8_t> &front = Parts.front();
        const std::size_t left = front.size() - FrontSent;
        int sent = send(socket, reinterpret_cast<const char *>(front.data() + FrontSent),
                        static_cast<int>(std::min<std::size_t>(left, 1u << 30)), 0);
        if (sent < 0) return WSAGetLastError() == WSAEWOULDBLOCK;
        moved = moved || sent > 0;
        FrontSent += static_cast<std::size_t>(sent);
        FSize -= static_cast<std::size_t>(sent);
        if (FrontSent < front.size()) return true;  // the socket is full for now
        Parts.pop_front();
        FrontSent = 0;
    }
    return true;
}
