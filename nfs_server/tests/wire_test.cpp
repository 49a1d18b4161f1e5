// Native client of Seldrix.exe under Wine (run by wire_test.sh inside the server's network namespace):
// what the NFS tools cannot reach — RPC errors over real sockets, records the server must refuse, the
// allowed-host check, datagrams larger than the first buffer, and peers that stall.
#include "RpcWire.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>

using namespace rpcwire;

namespace {

constexpr uint16_t PmapPort = 111, MountPort = 635, NfsPort = 2049;
constexpr uint32_t PmapProgram = 100000, MountProgram = 100005, NfsProgram = 100003;
constexpr int ReplyWaitMs = 5000;
// A limit on failure only, for replies that queue behind others on a loaded machine.
constexpr int LongWaitMs = 30000;

// The address the server allows ("Host"); every other loopback address is refused.
std::string AllowedClient()
{
    const char *client = std::getenv("SELDRIX_ALLOWED_CLIENT");
    return client ? client : "127.0.0.2";
}

class TSocket {
public:
    // A receive buffer, when given, is fixed before connecting: the kernel then holds no more than it.
    TSocket(bool tcp, const std::string &from, int receiveBuffer = 0)
    {
        Fd = socket(AF_INET, tcp ? SOCK_STREAM : SOCK_DGRAM, 0);
        if (receiveBuffer) setsockopt(Fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in local = {};
        local.sin_family = AF_INET;
        inet_pton(AF_INET, from.c_str(), &local.sin_addr);
        bind(Fd, reinterpret_cast<sockaddr *>(&local), sizeof local);
    }
    ~TSocket() { close(Fd); }
    TSocket(const TSocket &) = delete;
    TSocket &operator=(const TSocket &) = delete;

    bool Connect(uint16_t port)
    {
        sockaddr_in to = Server(port);
        return connect(Fd, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0;
    }
    bool Send(const std::vector<uint8_t> &bytes)
    {
        return send(Fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
    }
    bool SendTo(uint16_t port, const std::vector<uint8_t> &bytes)
    {
        sockaddr_in to = Server(port);
        return sendto(Fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to) ==
               ssize_t(bytes.size());
    }
    bool Readable(int waitMs)
    {
        pollfd p = {Fd, POLLIN, 0};
        return poll(&p, 1, waitMs) == 1;
    }
    // One datagram, or an empty reply after the wait.
    TReply ReceiveDatagram(int waitMs = ReplyWaitMs)
    {
        if (!Readable(waitMs)) return TReply();
        std::vector<uint8_t> bytes(70000);
        ssize_t n = recv(Fd, bytes.data(), bytes.size(), 0);
        bytes.resize(n > 0 ? size_t(n) : 0);
        return TReply(bytes);
    }
    // One record; empty when the connection closed or nothing came in time.
    TReply ReceiveRecord(int waitMs = ReplyWaitMs)
    {
        uint8_t mark[4];
        if (!ReceiveExactly(mark, 4, waitMs)) return TReply();
        uint32_t length = (uint32_t(mark[0]) << 24 | mark[1] << 16 | mark[2] << 8 | mark[3]) & 0x7FFFFFFFu;
        std::vector<uint8_t> bytes(length);
        if (!ReceiveExactly(bytes.data(), length, waitMs)) return TReply();
        return TReply(bytes);
    }
    // True when the server closed the connection (rather than leaving it open and silent).
    bool ClosedByServer(int waitMs)
    {
        if (!Readable(waitMs)) return false;
        uint8_t byte;
        return recv(Fd, &byte, 1, 0) <= 0;
    }

private:
    static sockaddr_in Server(uint16_t port)
    {
        sockaddr_in to = {};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return to;
    }
    bool ReceiveExactly(uint8_t *to, size_t n, int waitMs)
    {
        while (n > 0) {
            if (!Readable(waitMs)) return false;
            ssize_t got = recv(Fd, to, n, 0);
            if (got <= 0) return false;
            to += got;
            n -= size_t(got);
        }
        return true;
    }

    int Fd;
};

uint32_t XidOf(const TCall &call)
{
    return uint32_t(call.Bytes[0]) << 24 | uint32_t(call.Bytes[1]) << 16 | uint32_t(call.Bytes[2]) << 8 | call.Bytes[3];
}

uint32_t RootHandle()
{
    TSocket s(true, AllowedClient());
    EXPECT_TRUE(s.Connect(MountPort));
    s.Send(TCall(77, MountProgram, 3, 1).Opaque("/").Record());
    TReply reply = s.ReceiveRecord();
    EXPECT_EQ(Success, reply.Header(77));
    EXPECT_EQ(0u, reply.U32());
    EXPECT_EQ(4u, reply.U32());
    return reply.U32();
}

// The handle of name in the folder, 0 when the lookup fails.
uint32_t Lookup(TSocket &s, uint32_t folder, const std::string &name, uint32_t xid, uint32_t &status)
{
    s.Send(TCall(xid, NfsProgram, 3, 3).Handle(folder).Opaque(name).Record());
    TReply reply = s.ReceiveRecord(LongWaitMs);
    status = reply.Header(xid) == Success ? reply.U32() : ~0u;
    reply.U32();
    const uint32_t handle = reply.U32();
    if (!reply.Ok() && status == 0) status = ~0u;  // no reply, or a short one
    return status == 0 ? handle : 0;
}

// A NULL call to the portmapper over UDP answers within a second: the server is not held up.
bool PortmapperAnswersPromptly()
{
    TSocket s(false, AllowedClient());
    TCall call(4242, PmapProgram, 2, 0);
    s.SendTo(PmapPort, call.Bytes);
    TReply reply = s.ReceiveDatagram(1000);
    return reply.Header(4242) == Success && reply.Ok();
}

}  // namespace

TEST(Wire, HostsNotInHostAreRefusedOverUdpAndTcp)
{
    for (bool tcp : {false, true}) {
        TSocket s(tcp, "127.0.0.1");
        TCall call(11, PmapProgram, 2, 4);
        TReply reply;
        if (tcp) {
            ASSERT_TRUE(s.Connect(PmapPort));
            s.Send(call.Record());
            reply = s.ReceiveRecord();
        } else {
            s.SendTo(PmapPort, call.Bytes);
            reply = s.ReceiveDatagram();
        }
        EXPECT_EQ(100 + AuthError, reply.Header(11)) << (tcp ? "TCP" : "UDP");
        EXPECT_EQ(AuthTooWeak, reply.U32());
    }
    TSocket mount(true, "127.0.0.1");
    ASSERT_TRUE(mount.Connect(MountPort));
    mount.Send(TCall(12, MountProgram, 3, 1).Opaque("/").Record());
    EXPECT_EQ(100 + AuthError, mount.ReceiveRecord().Header(12));
    EXPECT_TRUE(PortmapperAnswersPromptly()) << "the allowed host gets through";
}

TEST(Wire, RpcErrorsOverARealConnection)
{
    uint32_t root = RootHandle();
    TSocket s(true, AllowedClient());
    ASSERT_TRUE(s.Connect(NfsPort));

    s.Send(TCall(1, NfsProgram, 3, 0, 3).Record());
    TReply reply = s.ReceiveRecord();
    EXPECT_EQ(100 + RpcMismatch, reply.Header(1));
    EXPECT_EQ(2u, reply.U32());
    EXPECT_EQ(2u, reply.U32());

    s.Send(TCall(2, NfsProgram, 2, 0).Record());
    reply = s.ReceiveRecord();
    EXPECT_EQ(ProgMismatch, reply.Header(2));
    EXPECT_EQ(3u, reply.U32());

    s.Send(TCall(3, MountProgram, 3, 0).Record());
    EXPECT_EQ(ProgUnavail, s.ReceiveRecord().Header(3)) << "the program goes by the port";

    s.Send(TCall(4, NfsProgram, 3, 5).Record());
    EXPECT_EQ(ProcUnavail, s.ReceiveRecord().Header(4)) << "READLINK";

    s.Send(TCall(5, NfsProgram, 3, 1).U32(4).Record());
    EXPECT_EQ(GarbageArgs, s.ReceiveRecord().Header(5));

    s.Send(TCall(6, NfsProgram, 3, 3).Handle(root).Opaque("..").Record());
    reply = s.ReceiveRecord();
    ASSERT_EQ(Success, reply.Header(6));
    EXPECT_EQ(0u, reply.U32());
    EXPECT_EQ(4u, reply.U32());
    EXPECT_EQ(root, reply.U32()) << "the root's .. is the root";

    TCall shortRead(7, NfsProgram, 3, 6);
    shortRead.Handle(root).U64(0);  // READ without its count
    s.Send(shortRead.Record());
    EXPECT_EQ(GarbageArgs, s.ReceiveRecord().Header(7));
}

TEST(Wire, RecordsTheServerCannotTakeCloseTheConnection)
{
    {
        TSocket s(true, AllowedClient());
        ASSERT_TRUE(s.Connect(PmapPort));
        std::vector<uint8_t> record = TCall(1, PmapProgram, 2, 0).Record();
        record[0] &= 0x7F;  // not the last fragment
        s.Send(record);
        EXPECT_TRUE(s.ClosedByServer(ReplyWaitMs));
    }
    {
        TSocket s(true, AllowedClient());
        ASSERT_TRUE(s.Connect(PmapPort));
        s.Send({0x80, 0x20, 0x00, 0x00});  // 2 MiB announced
        EXPECT_TRUE(s.ClosedByServer(ReplyWaitMs));
    }
    {
        TSocket s(true, AllowedClient());
        ASSERT_TRUE(s.Connect(PmapPort));
        TCall call(3, PmapProgram, 2, 0);
        call.Bytes.resize(28);
        call.U32(0xFFFFFFF8u);  // a credential longer than the record
        s.Send(call.Record());
        EXPECT_FALSE(s.Readable(1000)) << "no reply";
    }
    EXPECT_TRUE(PortmapperAnswersPromptly());
}

TEST(Wire, ADatagramLargerThanTheFirstBufferIsServedWhole)
{
    TSocket s(false, AllowedClient());
    TCall call(21, PmapProgram, 2, 3);
    call.Bytes.resize(call.Bytes.size() - 8);  // replace the null verifier by a large one
    call.U32(0).Opaque(std::string(50000, 'v'));
    call.U32(NfsProgram).U32(3).U32(17).U32(0);
    ASSERT_GT(call.Bytes.size(), 32768u);
    ASSERT_TRUE(s.SendTo(PmapPort, call.Bytes));
    TReply reply = s.ReceiveDatagram();
    EXPECT_EQ(Success, reply.Header(21));
    EXPECT_EQ(2049u, reply.U32());
    EXPECT_TRUE(PortmapperAnswersPromptly()) << "and the next one too";
}

TEST(Wire, SilentOrStalledPeersDoNotHoldTheServer)
{
    RootHandle();  // NFS answers only a client that mounted
    TSocket silent(true, AllowedClient());
    ASSERT_TRUE(silent.Connect(NfsPort));
    EXPECT_TRUE(PortmapperAnswersPromptly()) << "a connection that sends nothing";

    TSocket stalled(true, AllowedClient());
    ASSERT_TRUE(stalled.Connect(PmapPort));
    std::vector<uint8_t> record = TCall(31, PmapProgram, 2, 0).Record();
    record.resize(8);
    stalled.Send(record);
    auto start = std::chrono::steady_clock::now();
    bool answered = false;
    for (int i = 0; i < 30 && !answered; ++i) answered = PortmapperAnswersPromptly();
    double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_TRUE(answered);
    EXPECT_LT(waited, 15.0) << "a stalled record times out";
    EXPECT_TRUE(stalled.ClosedByServer(15000)) << "its connection is dropped when the record times out";

    TSocket after(true, AllowedClient());
    ASSERT_TRUE(after.Connect(NfsPort));
    after.Send(TCall(32, MountProgram, 3, 0).Record());
    EXPECT_EQ(ProgUnavail, after.ReceiveRecord().Header(32));
}

TEST(Wire, APeerThatTricklesItsRecordIsDroppedWhenTheRecordTimesOut)
{
    TSocket trickling(true, AllowedClient());
    ASSERT_TRUE(trickling.Connect(PmapPort));
    std::vector<uint8_t> record = TCall(34, PmapProgram, 2, 0).Record();
    auto start = std::chrono::steady_clock::now();
    bool closed = false;
    // One byte every 2 s: each arrives well within the record time-out, the record never does.
    for (std::size_t i = 0; i < 10 && !closed; ++i) {
        trickling.Send({record[i]});
        closed = trickling.ClosedByServer(2000);
    }
    double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_TRUE(closed) << "the connection outlived its record's time-out";
    EXPECT_LT(waited, 15.0);
    EXPECT_TRUE(PortmapperAnswersPromptly());
}

TEST(Wire, ReaddirPagesThroughAFolderWithCookiesAndItsVerifier)
{
    uint32_t root = RootHandle();
    TSocket s(true, AllowedClient());
    ASSERT_TRUE(s.Connect(NfsPort));
    s.Send(TCall(40, NfsProgram, 3, 3).Handle(root).Opaque("many").Record());
    TReply reply = s.ReceiveRecord();
    ASSERT_EQ(Success, reply.Header(40));
    ASSERT_EQ(0u, reply.U32());
    reply.U32();
    uint32_t many = reply.U32();

    std::vector<std::string> names;
    uint64_t cookie = 0, verifier = 0;
    bool eof = false;
    for (uint32_t call = 0; call < 100 && !eof; ++call) {
        s.Send(TCall(41 + call, NfsProgram, 3, 16).Handle(many).U64(cookie).U64(verifier).U32(600).Record());
        reply = s.ReceiveRecord();
        ASSERT_EQ(Success, reply.Header(41 + call));
        ASSERT_EQ(0u, reply.U32());
        reply.Skip(4 + 84);
        uint64_t given = reply.U64();
        EXPECT_TRUE(verifier == 0 || verifier == given);
        verifier = given;
        while (reply.Ok() && reply.U32() == 1) {
            reply.U64();
            names.push_back(reply.Opaque());
            cookie = reply.U64();
        }
        eof = reply.U32() != 0;
        ASSERT_TRUE(reply.Ok());
    }
    EXPECT_TRUE(eof);
    ASSERT_EQ(52u, names.size()) << "50 files with . and ..";
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names.end(), std::adjacent_find(names.begin(), names.end())) << "no entry twice";

    s.Send(TCall(200, NfsProgram, 3, 16).Handle(many).U64(cookie + 1).U64(verifier).U32(600).Record());
    reply = s.ReceiveRecord();
    ASSERT_EQ(Success, reply.Header(200));
    EXPECT_EQ(10003u, reply.U32()) << "a cookie past the end";
}

TEST(Wire, ManyOpenConnectionsAreAllServed)
{
    // Connections come one after the other, as clients open them (the listen backlog is 0).
    RootHandle();
    std::vector<std::unique_ptr<TSocket>> sockets;
    for (uint32_t i = 0; i < 40; ++i) {
        sockets.push_back(std::make_unique<TSocket>(true, AllowedClient()));
        ASSERT_TRUE(sockets.back()->Connect(i % 2 ? PmapPort : NfsPort));
        sockets.back()->Send(TCall(100 + i, PmapProgram, 2, 0).Record());
        uint32_t expected = i % 2 ? Success : ProgUnavail;
        EXPECT_EQ(expected, sockets.back()->ReceiveRecord().Header(100 + i)) << i;
    }
    for (uint32_t i = 0; i < 40; ++i) sockets[i]->Send(TCall(200 + i, MountProgram, 3, 0).Record());
    for (uint32_t i = 0; i < 40; ++i) {
        TReply reply = sockets[i]->ReceiveRecord();
        EXPECT_EQ(ProgUnavail, reply.Header(200 + i)) << i;
        EXPECT_TRUE(reply.Ok()) << i;
    }
}

TEST(Wire, PartialRecordsNeverHoldOtherConnections)
{
    std::vector<std::unique_ptr<TSocket>> stalled;
    for (uint32_t i = 0; i < 3; ++i) {
        stalled.push_back(std::make_unique<TSocket>(true, AllowedClient()));
        ASSERT_TRUE(stalled.back()->Connect(PmapPort));
        std::vector<uint8_t> record = TCall(300 + i, PmapProgram, 2, 0).Record();
        record.resize(2);
        stalled.back()->Send(record);
    }
    TSocket working(true, AllowedClient());
    ASSERT_TRUE(working.Connect(PmapPort));
    for (uint32_t i = 0; i < 3; ++i) {
        working.Send(TCall(310 + i, PmapProgram, 2, 0).Record());
        EXPECT_EQ(Success, working.ReceiveRecord().Header(310 + i)) << "while three records stall";
    }
    // The stalled records complete later and are served then.
    for (uint32_t i = 0; i < 3; ++i) {
        std::vector<uint8_t> record = TCall(300 + i, PmapProgram, 2, 0).Record();
        stalled[i]->Send(std::vector<uint8_t>(record.begin() + 2, record.end()));
        EXPECT_EQ(Success, stalled[i]->ReceiveRecord().Header(300 + i)) << i;
    }
}

TEST(Wire, AFullConnectionTableMakesRoomByClosingTheIdlest)
{
    // More connections than the table holds (the select set less the six listening sockets), each
    // served once and then left silent.
    constexpr uint32_t Table = 512 - 6, Opened = Table + 10;
    std::vector<std::unique_ptr<TSocket>> sockets;
    for (uint32_t i = 0; i < Opened; ++i) {
        sockets.push_back(std::make_unique<TSocket>(true, AllowedClient()));
        ASSERT_TRUE(sockets.back()->Connect(PmapPort)) << i;
        sockets.back()->Send(TCall(1000 + i, PmapProgram, 2, 0).Record());
        ASSERT_EQ(Success, sockets.back()->ReceiveRecord().Header(1000 + i)) << "connection " << i << " is served";
    }
    EXPECT_TRUE(sockets.front()->ClosedByServer(ReplyWaitMs)) << "the idlest made room";
    sockets.back()->Send(TCall(5000, PmapProgram, 2, 0).Record());
    EXPECT_EQ(Success, sockets.back()->ReceiveRecord().Header(5000)) << "the newest stays";
}

TEST(Wire, UnstableWritesAndTheirCommitShareAVerifier)
{
    uint32_t root = RootHandle(), xid = 600;
    TSocket s(true, AllowedClient());
    ASSERT_TRUE(s.Connect(NfsPort));
    auto call = [&](TCall c) {
        s.Send(c.Record());
        TReply reply = s.ReceiveRecord();
        EXPECT_EQ(Success, reply.Header(xid));
        return reply;
    };
    TReply reply = call(TCall(++xid, NfsProgram, 3, 8).Handle(root).Opaque("verifier.bin").U32(1).U32(0).U32(0)
                            .U32(0).U32(0).U32(0).U32(0));
    ASSERT_EQ(0u, reply.U32());
    reply.U32();
    reply.U32();
    const uint32_t file = reply.U32();
    // WRITE and COMMIT end in wcc_data (two attribute sets), then their own fields.
    auto afterWcc = [](TReply &r) { r.Skip(4 + 24 + 4 + 84); };
    uint64_t verifiers[3];
    reply = call(TCall(++xid, NfsProgram, 3, 7).Handle(file).U64(0).U32(4096).U32(0).Opaque(std::string(4096, 'u')));
    ASSERT_EQ(0u, reply.U32());
    afterWcc(reply);
    EXPECT_EQ(4096u, reply.U32());
    EXPECT_EQ(0u, reply.U32()) << "UNSTABLE";
    verifiers[0] = reply.U64();
    for (int i = 1; i <= 2; ++i) {
        reply = call(TCall(++xid, NfsProgram, 3, 21).Handle(file).U64(0).U32(0));
        ASSERT_EQ(0u, reply.U32());
        afterWcc(reply);
        verifiers[i] = reply.U64();
    }
    EXPECT_NE(0u, verifiers[0]) << "an unstable write's verifier names its cached handle";
    EXPECT_EQ(verifiers[0], verifiers[1]) << "and COMMIT gives it back";
    EXPECT_EQ(0u, verifiers[2]) << "a second COMMIT has no handle";
    reply = call(TCall(++xid, NfsProgram, 3, 7).Handle(file).U64(0).U32(1).U32(2).Opaque("s"));
    ASSERT_EQ(0u, reply.U32());
    afterWcc(reply);
    reply.U32();
    EXPECT_EQ(2u, reply.U32());
    EXPECT_EQ(0u, reply.U64()) << "a stable write keeps no handle";

    for (const char *name : {".", ".."}) {
        reply = call(TCall(++xid, NfsProgram, 3, 13).Handle(root).Opaque(name));
        EXPECT_EQ(13u, reply.U32()) << name;
    }
    reply = call(TCall(++xid, NfsProgram, 3, 12).Handle(root).Opaque("verifier.bin"));
    EXPECT_EQ(0u, reply.U32());
}

TEST(Wire, RecordsSentTogetherAreServedInTurn)
{
    TSocket s(true, AllowedClient());
    ASSERT_TRUE(s.Connect(PmapPort));
    std::vector<uint8_t> together;
    for (uint32_t i = 0; i < 3; ++i) {
        std::vector<uint8_t> record = TCall(700 + i, PmapProgram, 2, 0).Record();
        together.insert(together.end(), record.begin(), record.end());
    }
    std::vector<uint8_t> partOfFourth = TCall(703, PmapProgram, 2, 0).Record();
    together.insert(together.end(), partOfFourth.begin(), partOfFourth.begin() + 6);
    ASSERT_TRUE(s.Send(together));
    for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(Success, s.ReceiveRecord().Header(700 + i)) << i;
    ASSERT_TRUE(s.Send(std::vector<uint8_t>(partOfFourth.begin() + 6, partOfFourth.end())));
    EXPECT_EQ(Success, s.ReceiveRecord().Header(703)) << "the rest of a record that came with others";
}

// Connections are served in turn, one record each: a record that another connection sent meanwhile is
// served before the rest of what one connection sent at once. A listing of a crowded folder holds the
// server while both arrive; a round in which its reply came first proves nothing and is run again.
TEST(Wire, ARecordOfAnotherConnectionIsServedBeforeTheRestOfOnesRecords)
{
    const uint32_t root = RootHandle();
    TSocket first(true, AllowedClient()), second(true, AllowedClient()), holder(true, AllowedClient());
    uint32_t xid = 1100, status;
    // Accepted in this order, and so served in it within a turn.
    for (TSocket *s : {&first, &second, &holder}) {
        ASSERT_TRUE(s->Connect(NfsPort));
        s->Send(TCall(++xid, NfsProgram, 3, 0).Record());
        ASSERT_EQ(Success, s->ReceiveRecord(LongWaitMs).Header(xid));
    }
    const uint32_t crowd = Lookup(holder, root, "crowd", ++xid, status);
    ASSERT_NE(0u, crowd);
    auto statusOf = [](TSocket &s, uint32_t id) {
        TReply reply = s.ReceiveRecord(LongWaitMs);
        return reply.Header(id) == Success ? reply.U32() : ~0u;
    };
    constexpr uint32_t Lookups = 8;
    for (int round = 0; round < 20; ++round) {
        const uint32_t base = xid + 1;
        std::vector<uint8_t> lookups;
        for (uint32_t i = 0; i < Lookups; ++i) {
            std::vector<uint8_t> record = TCall(base + i, NfsProgram, 3, 3).Handle(root).Opaque("in-turn").Record();
            lookups.insert(lookups.end(), record.begin(), record.end());
        }
        xid = base + Lookups + 3;
        ASSERT_TRUE(holder.Send(TCall(xid - 2, NfsProgram, 3, 16).Handle(crowd).U64(0).U64(0).U32(1024).Record()));
        ASSERT_TRUE(first.Send(lookups));
        ASSERT_TRUE(second.Send(TCall(xid - 1, NfsProgram, 3, 8).Handle(root).Opaque("in-turn").U32(1).U32(0).U32(0)
                                    .U32(0).U32(0).U32(0).U32(0).Record()));
        const bool held = !holder.Readable(0);
        ASSERT_EQ(0u, statusOf(holder, xid - 2)) << "the listing";
        uint32_t last = ~0u;
        for (uint32_t i = 0; i < Lookups; ++i) last = statusOf(first, base + i);
        ASSERT_EQ(0u, statusOf(second, xid - 1)) << "the CREATE";
        ASSERT_TRUE(second.Send(TCall(xid, NfsProgram, 3, 12).Handle(root).Opaque("in-turn").Record()));
        ASSERT_EQ(0u, statusOf(second, xid)) << "the REMOVE";
        if (!held) continue;
        EXPECT_EQ(0u, last) << "the first connection's last LOOKUP came after the second's CREATE";
        return;
    }
    FAIL() << "the listing never held the server while both connections sent";
}

TEST(Wire, ReadOverUdpCarriesItsDataInTheDatagram)
{
    uint32_t root = RootHandle();
    TSocket s(false, AllowedClient());
    s.SendTo(NfsPort, TCall(800, NfsProgram, 3, 3).Handle(root).Opaque("file.txt").Bytes);
    TReply reply = s.ReceiveDatagram();
    ASSERT_EQ(Success, reply.Header(800));
    ASSERT_EQ(0u, reply.U32());
    reply.U32();
    const uint32_t file = reply.U32();
    s.SendTo(NfsPort, TCall(801, NfsProgram, 3, 6).Handle(file).U64(0).U32(100).Bytes);
    reply = s.ReceiveDatagram();
    ASSERT_EQ(Success, reply.Header(801));
    ASSERT_EQ(0u, reply.U32());
    reply.Skip(4 + 84);
    EXPECT_EQ(5u, reply.U32());
    EXPECT_EQ(1u, reply.U32()) << "eof";
    EXPECT_EQ("data\n", reply.Opaque());
    EXPECT_EQ(0u, reply.Left()) << "padded to four bytes, nothing more";
}

TEST(Wire, ASlowReaderHoldsNobodyUpAndItsLaterCallsWaitForItToRead)
{
    const uint32_t root = RootHandle();
    TSocket prober(true, AllowedClient());
    ASSERT_TRUE(prober.Connect(NfsPort));
    uint32_t status;
    const uint32_t big = Lookup(prober, root, "big.bin", 900, status);
    ASSERT_NE(0u, big);

    // Far more READs of the whole 1 MiB file than the sockets' buffers and the server's queue can hold,
    // then a CREATE; nothing is read for now.
    constexpr uint32_t Reads = 24, Count = 1 << 20, FirstXid = 1000;
    TSocket slow(true, AllowedClient(), 16384);
    ASSERT_TRUE(slow.Connect(NfsPort));
    std::vector<uint8_t> pipeline;
    for (uint32_t i = 0; i <= Reads; ++i) {
        TCall call(FirstXid + i, NfsProgram, 3, i < Reads ? 6 : 8);
        if (i < Reads)
            call.Handle(big).U64(0).U32(Count);
        else
            call.Handle(root).Opaque("late.txt").U32(1).U32(0).U32(0).U32(0).U32(0).U32(0).U32(0);
        std::vector<uint8_t> record = call.Record();
        pipeline.insert(pipeline.end(), record.begin(), record.end());
    }
    ASSERT_TRUE(slow.Send(pipeline));
    ASSERT_TRUE(slow.Readable(LongWaitMs)) << "its replies have begun";

    // Each exchange is a turn of the server in which it could have served the slow reader's next call.
    for (uint32_t i = 0; i < 2 * Reads; ++i) {
        EXPECT_EQ(0u, Lookup(prober, root, "late.txt", 2000 + i, status));
        ASSERT_EQ(2u, status) << "answered, and the CREATE behind the unread replies is not done yet (" << i << ")";
    }

    const std::string line = "0123456789abcdef\n";
    std::string expected(Count, '\0');
    for (uint32_t i = 0; i < Count; ++i) expected[i] = line[i % line.size()];
    for (uint32_t i = 0; i < Reads; ++i) {
        TReply reply = slow.ReceiveRecord(LongWaitMs);
        ASSERT_EQ(Success, reply.Header(FirstXid + i)) << "every reply comes, in order: " << i;
        ASSERT_TRUE(reply.Ok()) << "every reply comes, in order: " << i;
        ASSERT_EQ(0u, reply.U32());
        reply.Skip(4 + 84);
        EXPECT_EQ(Count, reply.U32());
        EXPECT_EQ(1u, reply.U32()) << "eof";
        ASSERT_TRUE(reply.Opaque() == expected) << i;
    }
    TReply created = slow.ReceiveRecord(LongWaitMs);
    ASSERT_EQ(Success, created.Header(FirstXid + Reads));
    ASSERT_TRUE(created.Ok());
    EXPECT_EQ(0u, created.U32()) << "the CREATE is done once the replies before it are read";
    EXPECT_NE(0u, Lookup(prober, root, "late.txt", 3000, status));
}
