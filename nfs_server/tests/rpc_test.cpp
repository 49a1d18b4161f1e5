// RPC framing, the RPC-level replies, the portmapper, MOUNT and the allowed hosts.
#include "ServerFixture.h"

using namespace rpcwire;

namespace {

uint32_t XidOf(const TCall &call) { return uint32_t(call.Bytes[2]) << 8 | call.Bytes[3]; }

}  // namespace

TEST(XdrBuffer, GrowsByGranularityUpToTheLimitAndKeepsItsContent)
{
    for (bool uncached : {false, true}) {
        TXdrBuffer buffer;
        buffer.Uncached = uncached;
        ASSERT_TRUE(ResizeBuffer(buffer, 1000, 1024));
        EXPECT_EQ(1024u, buffer.Capacity);
        std::memcpy(buffer.Data, "abcd", 4);
        buffer.Tail = 4;
        ASSERT_TRUE(ResizeBuffer(buffer, 5000, 1024));
        EXPECT_EQ(5120u, buffer.Capacity);
        EXPECT_EQ(0, std::memcmp(buffer.Data, "abcd", 4));
        EXPECT_TRUE(ResizeBuffer(buffer, 100, 1024)) << "a smaller size changes nothing";
        EXPECT_EQ(5120u, buffer.Capacity);
        ASSERT_TRUE(ResizeBuffer(buffer, BufferLimit, 512));
        EXPECT_EQ(BufferLimit, buffer.Capacity);
        EXPECT_FALSE(ResizeBuffer(buffer, BufferLimit + 1, 1));
        FreeBuffer(buffer);
        EXPECT_EQ(nullptr, buffer.Data);
        EXPECT_EQ(0u, buffer.Capacity);
    }
}

TEST_F(ServerTest, RepliesCarryTheTransactionIdAndTcpRecordMark)
{
    TCall call = Pmap(0);
    TReply reply = Serve(PmapPort, call.Bytes, true);
    ASSERT_EQ(TRpcPrograms::TCallResult::Reply, LastResult);
    EXPECT_EQ(Success, reply.Header(XidOf(call)));
    TRpcPrograms &server = Server();
    uint32_t mark = GetUInt32(server.Reply.Data + server.Reply.Head);
    EXPECT_EQ(0x80000000u | (server.Reply.Tail - server.Reply.Head - 4), mark);

    // READ's data follows the reply from the I/O buffer, padded, and the mark counts it.
    Tree->AddFile("five.bin", "12345");
    uint32_t file = 0;
    ASSERT_EQ(0u, Lookup(RootHandle(), "five.bin", file));
    reply = Serve(NfsPort, Nfs(6).Handle(file).U64(0).U32(100).Bytes, true);
    EXPECT_EQ(5u, server.ReplyWindow.Length);
    EXPECT_EQ(3u, server.ReplyWindow.Padding);
    mark = GetUInt32(server.Reply.Data + server.Reply.Head);
    EXPECT_EQ(0x80000000u | (server.Reply.Tail - server.Reply.Head - 4 + 8), mark);
    EXPECT_EQ(Success, reply.Header(Xid));
    EXPECT_EQ(0u, reply.U32());
    reply.Skip(4 + 84 + 8);
    EXPECT_EQ("12345", reply.Opaque());
    EXPECT_EQ(0u, reply.Left());
}

TEST_F(ServerTest, WrongRpcVersionGetsRpcMismatchWhateverTheProgram)
{
    for (uint16_t port : {PmapPort, MountPort, NfsPort}) {
        TCall call(7, 424242, 9, 0, 3);
        TReply reply = Serve(port, call.Bytes);
        EXPECT_EQ(7u, reply.U32());
        EXPECT_EQ(Reply, reply.U32());
        EXPECT_EQ(Denied, reply.U32());
        EXPECT_EQ(RpcMismatch, reply.U32());
        EXPECT_EQ(2u, reply.U32());
        EXPECT_EQ(2u, reply.U32());
        EXPECT_TRUE(reply.Ok());
    }
}

TEST_F(ServerTest, WrongProgramVersionOrProcedureIsRefusedAtRpcLevel)
{
    TReply reply = Serve(PmapPort, TCall(1, MountProgram, 3, 0).Bytes);
    EXPECT_EQ(ProgUnavail, reply.Header(1));

    reply = Serve(MountPort, TCall(2, MountProgram, 1, 0).Bytes);
    EXPECT_EQ(ProgMismatch, reply.Header(2));
    EXPECT_EQ(3u, reply.U32());
    EXPECT_EQ(3u, reply.U32());

    for (uint32_t procedure : {1u, 2u, 5u, 99u}) {
        reply = Serve(PmapPort, TCall(3, PmapProgram, 2, procedure).Bytes);
        EXPECT_EQ(ProcUnavail, reply.Header(3)) << procedure;
    }
    for (uint32_t procedure : {2u, 5u}) {
        reply = Serve(MountPort, TCall(4, MountProgram, 3, procedure).Bytes);
        EXPECT_EQ(ProcUnavail, reply.Header(4)) << procedure;
    }
    RootHandle();
    for (uint32_t procedure : {5u, 10u, 11u, 15u, 22u}) {
        reply = Serve(NfsPort, TCall(5, NfsProgram, 3, procedure).Bytes);
        EXPECT_EQ(ProcUnavail, reply.Header(5)) << procedure;
    }
}

TEST_F(ServerTest, ShortOrLyingHeadersGetNoReply)
{
    Serve(NfsPort, {});
    EXPECT_EQ(TRpcPrograms::TCallResult::CloseConnection, LastResult) << "no transaction id";

    TCall call = Pmap(0);
    std::vector<uint8_t> cut(call.Bytes.begin(), call.Bytes.begin() + 20);
    Serve(PmapPort, cut);
    EXPECT_EQ(TRpcPrograms::TCallResult::NoReply, LastResult);

    // A credential length near 2^32 must not wrap the bounds check.
    TCall lying(9, PmapProgram, 2, 0);
    lying.Bytes.resize(28);
    lying.U32(0xFFFFFFFCu).U32(0).U32(0);
    Serve(PmapPort, lying.Bytes);
    EXPECT_EQ(TRpcPrograms::TCallResult::NoReply, LastResult);

    Serve(4000, Pmap(0).Bytes);
    EXPECT_EQ(TRpcPrograms::TCallResult::NoReply, LastResult) << "no program on other ports";
}

TEST_F(ServerTest, PortmapperKnowsOnlyTheServersOwnPrograms)
{
    struct {
        uint32_t Program, Version, Protocol, Port;
    } cases[] = {{NfsProgram, 3, IpProtoUdp, 2049}, {NfsProgram, 3, IpProtoTcp, 2049}, {NfsProgram, 2, IpProtoTcp, 0},
                 {MountProgram, 3, IpProtoUdp, 635}, {PmapProgram, 2, IpProtoTcp, 111}, {100021, 4, IpProtoTcp, 0}};
    for (const auto &c : cases) {
        TReply reply = Accepted(PmapPort, Pmap(3).U32(c.Program).U32(c.Version).U32(c.Protocol).U32(0));
        EXPECT_EQ(c.Port, reply.U32()) << c.Program << " v" << c.Version;
    }
    TCall shortCall = Pmap(3).U32(NfsProgram).U32(3);
    TReply reply = Serve(PmapPort, shortCall.Bytes);
    EXPECT_EQ(GarbageArgs, reply.Header(XidOf(shortCall)));
    EXPECT_EQ(0u, reply.Left()) << "short arguments end at GARBAGE_ARGS";

    reply = Accepted(PmapPort, Pmap(4));
    std::vector<std::vector<uint32_t>> dump;
    while (reply.U32() == 1) dump.push_back({reply.U32(), reply.U32(), reply.U32(), reply.U32()});
    std::vector<std::vector<uint32_t>> expected = {{100000, 2, 6, 111},  {100000, 2, 17, 111},
                                                   {100005, 3, 6, 635},  {100005, 3, 17, 635},
                                                   {100003, 3, 6, 2049}, {100003, 3, 17, 2049}};
    EXPECT_EQ(expected, dump);
    EXPECT_TRUE(reply.Ok());

    reply = Accepted(PmapPort, Pmap(6));
    EXPECT_GT(reply.U32(), 1700000000u);
}

TEST_F(ServerTest, GarbageArgumentsGetGarbageArgs)
{
    TCall call = Pmap(3).U32(1);
    TReply reply = Serve(PmapPort, call.Bytes);
    EXPECT_EQ(GarbageArgs, reply.Header(XidOf(call)));
}

TEST_F(ServerTest, AllowedHostsGuardPortmapperAndMount)
{
    Server().AddAllowedHost("192.168.0.1");
    Server().AddAllowedHost("");
    Server().AddAllowedHost("192.168.0.2");
    EXPECT_TRUE(Server().IsAllowedHost(Address(192, 168, 0, 2)));
    EXPECT_FALSE(Server().IsAllowedHost(Address(127, 0, 0, 1)));
    EXPECT_FALSE(Server().IsAllowedHost(NoAddress));

    TCall call = Pmap(0);
    TReply reply = Serve(PmapPort, call.Bytes);
    EXPECT_EQ(100 + AuthError, reply.Header(XidOf(call)));
    EXPECT_EQ(AuthTooWeak, reply.U32());

    Peer = Address(192, 168, 0, 1);
    EXPECT_EQ(0u, Accepted(PmapPort, Pmap(0)).Left());
}

TEST_F(ServerTest, AnUnresolvableHostAllowsNobody)
{
    Server().AddAllowedHost("no-such-host.invalid");
    EXPECT_FALSE(Server().IsAllowedHost(Address(127, 0, 0, 1)));
    EXPECT_FALSE(Server().IsAllowedHost(NoAddress));
    TRpcPrograms open(Tree->Files(), Tree->Root(), CodePageUtf8);
    EXPECT_TRUE(open.IsAllowedHost(Address(10, 1, 2, 3))) << "an empty list allows everyone";
}

TEST_F(ServerTest, NfsNeedsAMountFromTheSameAddress)
{
    TCall call = Nfs(0);
    TReply reply = Serve(NfsPort, call.Bytes);
    EXPECT_EQ(100 + AuthError, reply.Header(XidOf(call)));
    EXPECT_EQ(AuthTooWeak, reply.U32());

    RootHandle();
    EXPECT_EQ(0u, Accepted(NfsPort, Nfs(0)).Left());
    Peer = Address(127, 0, 0, 2);
    reply = Serve(NfsPort, call.Bytes);
    EXPECT_EQ(100 + AuthError, reply.Header(XidOf(call)));
}

TEST_F(ServerTest, MountFindsFoldersUnderTheRootOnly)
{
    Tree->AddFolder("a");
    Tree->AddFolder("a/b");
    Tree->AddFile("a/file.txt", "x");
    uint32_t root = RootHandle(), ab = 0, again = 0, upper = 0, unused = 0;
    EXPECT_NE(0u, root);
    EXPECT_EQ(0u, MountPath("/a/b", ab));
    EXPECT_EQ(0u, MountPath("/a/b", again));
    EXPECT_EQ(0u, MountPath("/A/B", upper));
    EXPECT_EQ(ab, again);
    EXPECT_EQ(ab, upper);
    EXPECT_NE(root, ab);
    EXPECT_EQ(20u, MountPath("/a/file.txt", unused));
    EXPECT_EQ(2u, MountPath("/missing", unused));
    for (const char *escape : {"/..", "/a/../..", "a", "/a\\..\\..", "/C:", "//..//"})
        EXPECT_EQ(13u, MountPath(escape, unused)) << escape;

    TReply reply = Accepted(MountPort, Mount(MountProcMnt).Opaque("/a"));
    EXPECT_EQ(0u, reply.U32());
    reply.U32();
    reply.U32();
    EXPECT_EQ(1u, reply.U32()) << "one flavour";
    EXPECT_EQ(0u, reply.U32()) << "AUTH_NULL";
}

TEST_F(ServerTest, MountPathLengthsAreBounded)
{
    uint32_t unused;
    EXPECT_EQ(2u, MountPath("/" + std::string(259, 'p'), unused)) << "260 bytes proceed";
    EXPECT_EQ(63u, MountPath("/" + std::string(260, 'p'), unused));
    TCall tooLong = Mount(MountProcMnt).Opaque(std::string(1024, 'p'));
    TReply reply = Serve(MountPort, tooLong.Bytes);
    EXPECT_EQ(GarbageArgs, reply.Header(XidOf(tooLong)));
    EXPECT_EQ(0u, reply.Left()) << "GARBAGE_ARGS and nothing more";
    TCall empty = Mount(MountProcMnt).Opaque("");
    reply = Serve(MountPort, empty.Bytes);
    EXPECT_EQ(GarbageArgs, reply.Header(XidOf(empty)));
    TCall lying = Mount(MountProcMnt).U32(0xFFFFFFF0u);
    reply = Serve(MountPort, lying.Bytes);
    EXPECT_EQ(GarbageArgs, reply.Header(XidOf(lying)));
}

TEST_F(ServerTest, UnmountCountsMountsPerClient)
{
    TReply reply = Accepted(MountPort, Mount(MountProcUmnt).Opaque("/"));
    EXPECT_EQ(13u, reply.U32()) << "no mount yet";

    RootHandle();
    RootHandle();
    EXPECT_EQ(0u, Accepted(MountPort, Mount(MountProcUmnt).Opaque("/")).U32());
    EXPECT_TRUE(Server().IsMountedClient(Peer)) << "two MNT, one UMNT";
    EXPECT_EQ(0u, Accepted(MountPort, Mount(MountProcUmnt).Opaque("/")).U32());
    EXPECT_FALSE(Server().IsMountedClient(Peer));

    Tree->AddFolder("x");
    uint32_t unused;
    MountPath("/", unused);
    MountPath("/x", unused);
    Peer = Address(127, 0, 0, 9);
    MountPath("/x", unused);
    EXPECT_EQ(0u, Accepted(MountPort, Mount(MountProcUmntAll)).U32());
    EXPECT_FALSE(Server().IsMountedClient(Peer));
    EXPECT_TRUE(Server().IsMountedClient(Address(127, 0, 0, 1))) << "other clients keep theirs";
    EXPECT_EQ(13u, Accepted(MountPort, Mount(MountProcUmntAll)).U32());
}

TEST_F(ServerTest, EverySpellingOfAFolderIsOneMount)
{
    Tree->AddFolder("a");
    uint32_t root = RootHandle(), handle = 0;
    for (const char *spelling : {"//", "/./", "/.", "///./"}) {
        EXPECT_EQ(0u, MountPath(spelling, handle)) << spelling;
        EXPECT_EQ(root, handle) << spelling;
    }
    for (const char *spelling : {"/a", "/A/", "//a/."}) EXPECT_EQ(0u, MountPath(spelling, handle)) << spelling;
    // Five mounts of the root and three of "a", whatever the spelling of each UMNT.
    for (const char *spelling : {"/", "//", "/./", "/.", "/a/./", "/A", "a-not-a-path"})
        Accepted(MountPort, Mount(MountProcUmnt).Opaque(spelling));
    EXPECT_TRUE(Server().IsMountedClient(Peer)) << "one mount of the root and one of a are left";
    Accepted(MountPort, Mount(MountProcUmnt).Opaque("///"));
    Accepted(MountPort, Mount(MountProcUmnt).Opaque("/a//"));
    EXPECT_FALSE(Server().IsMountedClient(Peer));
}
