// TDaemon: the server thread. It owns the six sockets of the three RPC programs (ports 111, 635 and
// 2049, each on UDP and TCP) and the accepted connections, and serves one call at a time.
#pragma once

#include <winsock2.h>

#include "fRpcPrograms.h"
#include "framework/Thread.h"

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The bytes of a connection's records as they arrive. It grows without clearing what it adds, so that a
// record's announced length takes memory only as its bytes come. Large storage passes through a spare
// that the connections share: one large record after the other (WRITEs) takes no new memory, and an idle
// connection holds no large buffer.
class TRecordBuffer {
public:
    uint8_t *Data() const { return FData.get() + FStart; }
    std::size_t Size() const { return FSize; }
    std::size_t Capacity() const { return FCapacity; }
    bool Empty() const { return FSize == 0; }
    // Room for at least capacity bytes, keeping what is there; the spare's storage when it is large enough.
    void Reserve(std::size_t capacity, TRecordBuffer &spare);
    void Grow(std::size_t n) { FSize += n; }
    // Drops the first n bytes (what follows stays where it is until room is needed); an emptied large
    // buffer goes to the spare.
    void Consume(std::size_t n, TRecordBuffer &spare);

private:
    std::unique_ptr<uint8_t[]> FData;
    std::size_t FStart = 0;  // where the bytes begin in FData
    std::size_t FSize = 0;
    std::size_t FCapacity = 0;
};

// Replies a connection's peer has not taken yet, in order, sent as the peer reads.
class TReplyQueue {
public:
    bool Empty() const { return Parts.empty(); }
    std::size_t Size() const { return FSize; }
    // Keeps what is left of the reply once its first skip bytes went.
    void Add(const WSABUF *parts, DWORD count, std::size_t skip);
    // Sends what the socket takes without waiting; moved tells whether any byte went. False when the
    // connection failed.
    bool Send(SOCKET socket, bool &moved);

private:
    std::deque<std::vector<uint8_t>> Parts;
    std::size_t FrontSent = 0;
    std::size_t FSize = 0;
};

class TDaemon : public TThread, public TRpcPrograms {
public:
    using TTerminationCheck = std::function<bool()>;

    // Raises std::runtime_error "Can't open folder ..." when root is missing. A socket that cannot be
    // opened leaves ErrorText set instead: the caller reads it before resuming the thread.
    TDaemon(const std::wstring &root, TTerminationCheck terminationCheck, uint32_t codePage,
            TIdentityStore *identities = nullptr);
    ~TDaemon() override;

    std::string ErrorText;

protected:
    void Execute() override;
    uint32_t ResolveHost(const std::string &host) override;
    bool SocketBufferSizes(uint32_t &receive, uint32_t &send) override;

private:
    // An accepted connection. Its record is gathered as it arrives and its replies leave as its peer
    // reads them, so that a peer that sends or reads slowly never holds the others.
    struct TConnection {
        SOCKET Socket = INVALID_SOCKET;
        uint32_t Peer = 0;
        uint16_t LocalPort = 0;        // the port it came to, which chooses the program
        DWORD LastActivity = 0;        // tick of its last byte in or reply out
        DWORD RecordStart = 0;         // tick the record being gathered started (or was last waited for)
        DWORD LastSent = 0;            // tick its queued replies last moved
        bool PeerDone = false;         // the peer sent its last byte: closed once its replies are out
        bool Fresh = false;            // accepted this turn: read without asking select
        TRecordBuffer Partial;         // the records so far, record marks included
        TReplyQueue Replies;
    };
    enum class TRecordState { Incomplete, Whole, Refused };

    SOCKET OpenSocket(bool tcp, uint16_t port);
    void ProbePortmapper();
    // Serves the call in Request that came on a datagram socket or on the connection; false when the
    // connection must be closed.
    bool Serve(SOCKET socket, TConnection *connection, uint32_t peer, uint16_t localPort);
    // The socket's local port, 0 when the system cannot tell.
    static uint16_t LocalPort(SOCKET socket);
    // One turn of a connection: its replies out, its bytes in, and one of its records served. False
    // when it must be closed.
    bool Turn(TConnection &connection, bool readable, bool writable);
    // Takes what the connection has, up to the end of its next record, without waiting.
    bool Receive(TConnection &connection);
    bool ServeRecord(TConnection &connection);
    // Whether the records have room for another and one to serve; closed connections may go.
    static bool Reading(const TConnection &connection);
    static bool Servable(const TConnection &connection);
    static bool Finished(const TConnection &connection);
    // Whether partial starts with a whole record; want is its size with the mark.
    static TRecordState RecordEnd(const TRecordBuffer &partial, std::size_t &want);
    bool ReceiveDatagram(SOCKET socket, uint32_t &peer);
    bool SendDatagram(SOCKET socket);
    // The reply as parts to send: the reply buffer, then the window and its padding when there is one.
    DWORD ReplyParts(WSABUF (&parts)[3]) const;
    // Sends what the socket takes at once and queues the rest.
    bool QueueReply(TConnection &connection);
    void Accept(SOCKET listener, std::vector<TConnection> &connections);
    // Whether the sockets' arrivals set the events; false (and none kept) when one cannot be asked for.
    bool WatchArrivals();
    void DropArrivals();
    void DropStalled(std::vector<TConnection> &connections, DWORD now);

    TTerminationCheck TerminationCheck;
    SOCKET MountTcp = INVALID_SOCKET;
    SOCKET MountUdp = INVALID_SOCKET;
    SOCKET NfsTcp = INVALID_SOCKET;
    SOCKET NfsUdp = INVALID_SOCKET;
    SOCKET PmapTcp = INVALID_SOCKET;
    SOCKET PmapUdp = INVALID_SOCKET;
    SOCKET Current = INVALID_SOCKET;
    // Set by what arrives on the listening and datagram sockets, and on the connections; none when the
    // system offers no events.
    HANDLE Arrivals[2] = {};
    sockaddr_in DatagramPeer = {};  // where a UDP reply goes
    TRecordBuffer SpareRecord;
};
