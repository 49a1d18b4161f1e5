// TDaemon: the server thread. It owns the six sockets of the three RPC programs (ports 111, 635 and
// 2049, each on UDP and TCP) and the accepted connections, and serves one call at a time.
#pragma once

#include <winsock2.h>

#include "fRpcPrograms.h"
#include "framework/Thread.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

// The bytes of a connection's records as they arrive. It grows without clearing what it adds, so that a
// record's announced length takes memory only as its bytes come.
class TRecordBuffer {
public:
    uint8_t *Data() const { return FData.get(); }
    std::size_t Size() const { return FSize; }
    bool Empty() const { return FSize == 0; }
    // Room for at least capacity bytes, keeping what is there.
    void Reserve(std::size_t capacity);
    void Grow(std::size_t n) { FSize += n; }
    // Drops the first n bytes; an emptied large buffer is given back.
    void Consume(std::size_t n);

private:
    std::unique_ptr<uint8_t[]> FData;
    std::size_t FSize = 0;
    std::size_t FCapacity = 0;
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
    // An accepted connection. Its record is gathered as it arrives, so that a peer that sends part of
    // one never holds the others.
    struct TConnection {
        SOCKET Socket = INVALID_SOCKET;
        uint32_t Peer = 0;
        uint16_t LocalPort = 0;        // the port it came to, which chooses the program
        DWORD LastActivity = 0;        // tick of its last byte in or reply out
        DWORD RecordStart = 0;         // tick of the first byte of the record being gathered
        TRecordBuffer Partial;         // that record so far, record mark included
    };
    enum class TReceived { Whole, Partial, Closed };

    SOCKET OpenSocket(bool tcp, uint16_t port);
    void ProbePortmapper();
    // Serves the call in Request; false when the connection must be closed.
    bool Serve(SOCKET socket, bool tcp, uint32_t peer, uint16_t localPort);
    // The socket's local port, 0 when the system cannot tell.
    static uint16_t LocalPort(SOCKET socket);
    void ServeConnection(std::vector<TConnection> &connections, std::size_t index);
    TReceived ReceiveRecord(TConnection &connection);
    // True when partial holds a whole record; want is its size with the mark, or 0 for a record the
    // server cannot take (a fragment, or longer than the limit).
    static bool RecordEnd(const TRecordBuffer &partial, std::size_t &want);
    bool ReceiveDatagram(SOCKET socket, uint32_t &peer);
    bool SendReply(SOCKET socket, bool tcp);
    void Accept(SOCKET listener, std::vector<TConnection> &connections);
    void DropStalledRecords(std::vector<TConnection> &connections, DWORD now);

    TTerminationCheck TerminationCheck;
    SOCKET MountTcp = INVALID_SOCKET;
    SOCKET MountUdp = INVALID_SOCKET;
    SOCKET NfsTcp = INVALID_SOCKET;
    SOCKET NfsUdp = INVALID_SOCKET;
    SOCKET PmapTcp = INVALID_SOCKET;
    SOCKET PmapUdp = INVALID_SOCKET;
    SOCKET Current = INVALID_SOCKET;
    sockaddr_in DatagramPeer = {};  // where a UDP reply goes
};
