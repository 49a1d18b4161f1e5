// Native client of Seldrix.exe under Wine (run by files_test.sh inside the server's network namespace):
// what the served folder's files and the server's handles must hold against real Win32 files: links
// leading out of the folder reach nothing, and handles from before a restart name nothing.
#include "RpcWire.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

using namespace rpcwire;

namespace {

constexpr uint16_t MountPort = 635, NfsPort = 2049;
constexpr uint32_t MountProgram = 100005, NfsProgram = 100003;
constexpr uint32_t Getattr = 1, Lookup = 3, Read = 6, Write = 7, Create = 8, Remove = 12, Rmdir = 13, Rename = 14,
                   Readdir = 16, Readdirplus = 17;
constexpr uint32_t Stale = 70, NoEnt = 2, Acces = 13;

std::string Env(const char *name) { return std::getenv(name) ? std::getenv(name) : ""; }

std::string Contents(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream data;
    data << in.rdbuf();
    return data.str();
}

bool Exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// One TCP connection to a port of the server; calls go out as records, replies come back in order.
class TConnection {
public:
    explicit TConnection(uint16_t port)
    {
        Fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in to = {};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        Connected = connect(Fd, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0;
    }
    ~TConnection() { close(Fd); }
    TConnection(const TConnection &) = delete;
    TConnection &operator=(const TConnection &) = delete;

    bool Send(const TCall &call)
    {
        std::vector<uint8_t> record = call.Record();
        return Connected && send(Fd, record.data(), record.size(), MSG_NOSIGNAL) == ssize_t(record.size());
    }
    // The next reply, its RPC header read up to the procedure's status; an empty reply on failure.
    TReply Receive(uint32_t xid)
    {
        uint8_t mark[4];
        if (!Exactly(mark, 4)) return TReply();
        std::vector<uint8_t> bytes((uint32_t(mark[0] & 0x7F) << 24) | mark[1] << 16 | mark[2] << 8 | mark[3]);
        if (!Exactly(bytes.data(), bytes.size())) return TReply();
        TReply reply(bytes);
        if (reply.Header(xid) != Success) reply.Good = false;
        return reply;
    }
    TReply Call(const TCall &call) { return Send(call) ? Receive(Xid) : TReply(); }
    TCall Nfs(uint32_t procedure) { return TCall(++Xid, NfsProgram, 3, procedure); }
    TCall Mount(uint32_t procedure) { return TCall(++Xid, MountProgram, 3, procedure); }

    uint32_t Xid = 0x5000;

private:
    bool Exactly(uint8_t *to, std::size_t n)
    {
        while (n > 0) {
            pollfd p = {Fd, POLLIN, 0};
            if (poll(&p, 1, 60000) != 1) return false;
            ssize_t got = recv(Fd, to, n, 0);
            if (got <= 0) return false;
            to += got;
            n -= std::size_t(got);
        }
        return true;
    }

    int Fd;
    bool Connected;
};

// MNT of path: the MOUNT status, the handle in handle.
uint32_t MountPath(const std::string &path, uint32_t &handle)
{
    TConnection mount(MountPort);
    TReply reply = mount.Call(mount.Mount(1).Opaque(path));
    uint32_t status = reply.Ok() ? reply.U32() : ~0u;
    handle = status == 0 && reply.U32() == 4 ? reply.U32() : 0;
    return status;
}

// LOOKUP: the status, the handle in found.
uint32_t LookupName(TConnection &nfs, uint32_t directory, const std::string &name, uint32_t &found)
{
    TReply reply = nfs.Call(nfs.Nfs(Lookup).Handle(directory).Opaque(name));
    uint32_t status = reply.Ok() ? reply.U32() : ~0u;
    found = status == 0 && reply.U32() == 4 ? reply.U32() : 0;
    return status;
}

uint32_t Status(TConnection &nfs, const TCall &call)
{
    TReply reply = nfs.Call(call);
    return reply.Ok() ? reply.U32() : ~0u;
}

// Every entry of a folder through READDIRPLUS, by name: its handle, 0 when none came.
bool ListPlus(TConnection &nfs, uint32_t directory, std::map<std::string, uint32_t> &entries)
{
    uint64_t cookie = 0, verifier = 0;
    for (bool eof = false; !eof;) {
        TReply reply = nfs.Call(nfs.Nfs(Readdirplus).Handle(directory).U64(cookie).U64(verifier)
                                                 .U32(1 << 20).U32(1 << 20));
        if (!reply.Ok() || reply.U32() != 0) return false;
        if (reply.U32()) reply.Skip(84);
        verifier = reply.U64();
        while (reply.Ok() && reply.U32()) {
            reply.U64();  // file id
            std::string name = reply.Opaque();
            cookie = reply.U64();
            if (reply.U32()) reply.Skip(84);
            uint32_t handle = 0;
            if (reply.U32() && reply.U32() == 4) handle = reply.U32();
            entries[name] = handle;
        }
        eof = reply.U32() != 0;
        if (!reply.Ok()) return false;
    }
    return true;
}

}  // namespace

TEST(Files, LinksLeadingOutOfTheFolderReachNothing)
{
    const std::string outside = Env("SELDRIX_OUTSIDE");
    ASSERT_FALSE(outside.empty());
    uint32_t root = 0, handle = 0;
    ASSERT_EQ(0u, MountPath("/", root));
    EXPECT_EQ(0u, MountPath("/indir", handle));
    EXPECT_EQ(NoEnt, MountPath("/outdir", handle)) << "MNT through a link out";
    EXPECT_EQ(NoEnt, MountPath("/outdir/empty", handle));

    TConnection nfs(NfsPort);
    uint32_t in = 0;
    ASSERT_EQ(0u, LookupName(nfs, root, "in", in));
    struct TCase {
        uint32_t Directory;
        const char *Name;
        bool Reachable;
    };
    for (const TCase &c : {TCase{root, "outdir", false}, TCase{root, "outfile", false}, TCase{root, "outempty", false},
                           TCase{root, "indir", true}, TCase{root, "infile", true}, TCase{in, "up", true}})
        EXPECT_EQ(c.Reachable ? 0u : NoEnt, LookupName(nfs, c.Directory, c.Name, handle)) << "LOOKUP " << c.Name;

    // A listing may name the links; whatever handle it gives for one leading out reaches nothing.
    std::map<std::string, uint32_t> listed;
    ASSERT_TRUE(ListPlus(nfs, root, listed));
    for (const char *name : {"outdir", "outfile", "outempty"}) {
        const uint32_t h = listed[name];
        if (h == 0) continue;
        EXPECT_EQ(Stale, Status(nfs, nfs.Nfs(Getattr).Handle(h))) << name;
        EXPECT_EQ(Stale, Status(nfs, nfs.Nfs(Read).Handle(h).U64(0).U32(100))) << name;
        EXPECT_EQ(Stale, Status(nfs, nfs.Nfs(Write).Handle(h).U64(0).U32(3).U32(2).Opaque("bad"))) << name;
        EXPECT_EQ(Stale, Status(nfs, nfs.Nfs(Readdir).Handle(h).U64(0).U64(0).U32(4096))) << name;
    }
    ASSERT_NE(0u, listed["infile"]);
    TReply read = nfs.Call(nfs.Nfs(Read).Handle(listed["infile"]).U64(0).U32(100));
    EXPECT_EQ(0u, read.U32());
    read.Skip(4 + 84 + 4 + 4);
    EXPECT_EQ("inside\n", read.Opaque()) << "a link that stays inside is followed";

    // Changes by a name that leads out are refused, and nothing outside changes.
    EXPECT_EQ(Acces, Status(nfs, nfs.Nfs(Remove).Handle(root).Opaque("outfile")));
    EXPECT_EQ(Acces, Status(nfs, nfs.Nfs(Rmdir).Handle(root).Opaque("outempty")));
    EXPECT_EQ(Acces, Status(nfs, nfs.Nfs(Rename).Handle(root).Opaque("outfile").Handle(root).Opaque("moved")));
    EXPECT_EQ(Acces, Status(nfs, nfs.Nfs(Rename).Handle(root).Opaque("outdir").Handle(root).Opaque("moved")));
    EXPECT_EQ(Acces, Status(nfs, nfs.Nfs(Create).Handle(root).Opaque("outfile").U32(0)
                                              .U32(0).U32(0).U32(0).U32(1).U64(0).U32(0).U32(0)));
    EXPECT_EQ("secret\n", Contents(outside + "/secret.txt"));
    EXPECT_EQ("kept\n", Contents(outside + "/dir/kept.txt"));
    EXPECT_TRUE(Exists(outside + "/dir/empty"));
}

// A folder reached by its short name is the object of its long name: when it moves away and a folder
// holding a relative link takes its place, one level up, where the link leads out of the served folder,
// the handles held below it are stale and nothing outside is read or written through them.
TEST(Files, HandlesBelowAFolderReachedByItsShortNameGoWithIt)
{
    const std::string outside = Env("SELDRIX_OUTSIDE"), alias = Env("SELDRIX_SHORT_NAME");
    ASSERT_FALSE(alias.empty());
    ASSERT_NE("longdirectory-a", alias);
    uint32_t root = 0, folder = 0, data = 0, held = 0, deep = 0, moved = 0, link = 0;
    ASSERT_EQ(0u, MountPath("/", root));
    TConnection nfs(NfsPort);
    ASSERT_EQ(0u, LookupName(nfs, root, alias, folder));
    ASSERT_EQ(0u, LookupName(nfs, folder, "data", data));
    ASSERT_EQ(0u, LookupName(nfs, data, "kept.txt", held));
    ASSERT_EQ(0u, LookupName(nfs, root, "deep", deep));
    ASSERT_EQ(0u, Status(nfs, nfs.Nfs(Rename).Handle(root).Opaque("longdirectory-a").Handle(root).Opaque("old-a")));
    ASSERT_EQ(0u, Status(nfs, nfs.Nfs(Rename).Handle(deep).Opaque("stage").Handle(root).Opaque("longdirectory-a")));
    for (uint32_t h : {folder, data, held}) EXPECT_EQ(Stale, Status(nfs, nfs.Nfs(Getattr).Handle(h)));
    EXPECT_EQ(Stale, Status(nfs, nfs.Nfs(Read).Handle(held).U64(0).U32(100)));
    EXPECT_EQ(Stale, Status(nfs, nfs.Nfs(Write).Handle(held).U64(0).U32(4).U32(2).Opaque("bad!")));
    EXPECT_EQ("kept\n", Contents(outside + "/dir/kept.txt"));
    ASSERT_EQ(0u, LookupName(nfs, root, alias, moved));
    EXPECT_EQ(NoEnt, LookupName(nfs, moved, "data", link)) << "the moved link leads out";
}

// A handle reached through a link names what the link led to when it was looked up: a REMOVE or RENAME
// by the direct name retires it, so that it never names the file made in its place, nor one that a link
// put there leads out of the folder.
TEST(Files, HandlesReachedThroughALinkGoWithAChangeByTheDirectName)
{
    const std::string outside = Env("SELDRIX_OUTSIDE");
    uint32_t root = 0, linked = 0, through = 0, held = 0;
    ASSERT_EQ(0u, MountPath("/", root));
    TConnection nfs(NfsPort);
    ASSERT_EQ(0u, LookupName(nfs, root, "linked", linked));
    ASSERT_EQ(0u, LookupName(nfs, root, "tolinked", through));
    ASSERT_EQ(0u, LookupName(nfs, through, "g.txt", held));
    // Written unstable: the server's handle open on the file by the link's way must not stand in the way.
    ASSERT_EQ(0u, Status(nfs, nfs.Nfs(Write).Handle(held).U64(0).U32(4).U32(0).Opaque("kept")));
    ASSERT_EQ(0u, Status(nfs, nfs.Nfs(Remove).Handle(linked).Opaque("g.txt")));
    TReply create = nfs.Call(nfs.Nfs(Create).Handle(linked).Opaque("g.txt").U32(1).U32(0).U32(0).U32(0).U32(0)
                                 .U32(0).U32(0));
    ASSERT_EQ(0u, create.Ok() ? create.U32() : ~0u);
    EXPECT_EQ(Stale, Status(nfs, nfs.Nfs(Getattr).Handle(held))) << "the removed file's handle";

    ASSERT_EQ(0u, LookupName(nfs, root, "tolinked", through));
    ASSERT_EQ(0u, LookupName(nfs, through, "g.txt", held));
    ASSERT_EQ(0u, Status(nfs, nfs.Nfs(Rename).Handle(root).Opaque("linked").Handle(root).Opaque("linked-old")));
    ASSERT_EQ(0u, Status(nfs, nfs.Nfs(Rename).Handle(root).Opaque("staged").Handle(root).Opaque("linked")));
    EXPECT_EQ(Stale, Status(nfs, nfs.Nfs(Read).Handle(held).U64(0).U32(100)));
    EXPECT_EQ(Stale, Status(nfs, nfs.Nfs(Write).Handle(held).U64(0).U32(4).U32(2).Opaque("bad!")));
    EXPECT_EQ("secret\n", Contents(outside + "/secret.txt"));
    ASSERT_EQ(0u, LookupName(nfs, root, "tolinked", through));
    EXPECT_EQ(NoEnt, LookupName(nfs, through, "g.txt", held)) << "the file there now leads out";
}

// Here a move or removal of a link would move or remove what it leads to: a RENAME, REMOVE or RMDIR of
// a link is refused, and the link and its target stay where they are, the target's handle with them.
TEST(Files, ChangesOfALinkAreRefusedAndTouchNothing)
{
    uint32_t root = 0, target = 0, file = 0, found = 0;
    ASSERT_EQ(0u, MountPath("/", root));
    TConnection nfs(NfsPort);
    ASSERT_EQ(0u, LookupName(nfs, root, "target", target));
    ASSERT_EQ(0u, LookupName(nfs, target, "t.txt", file));
    struct TCase {
        uint32_t Procedure;
        const char *Name;
    };
    for (const TCase &c : {TCase{Rename, "tofile"}, TCase{Rename, "tofolder"}, TCase{Remove, "tofile"},
                           TCase{Rmdir, "toempty"}}) {
        TCall call = nfs.Nfs(c.Procedure).Handle(root).Opaque(c.Name);
        if (c.Procedure == Rename) call.Handle(root).Opaque(std::string(c.Name) + "-moved");
        EXPECT_EQ(Acces, Status(nfs, call)) << c.Procedure << " " << c.Name;
        EXPECT_EQ(0u, LookupName(nfs, root, c.Name, found)) << c.Name;
        EXPECT_EQ(NoEnt, LookupName(nfs, root, std::string(c.Name) + "-moved", found)) << c.Name;
    }
    EXPECT_EQ(0u, LookupName(nfs, root, "emptytarget", found));
    TReply read = nfs.Call(nfs.Nfs(Read).Handle(file).U64(0).U32(100));
    ASSERT_EQ(0u, read.U32());
    read.Skip(4 + 84 + 4 + 4);
    EXPECT_EQ("inside\n", read.Opaque());
}

TEST(Files, HandlesFromBeforeARestartNameNothing)
{
    const std::size_t objects = std::strtoul(Env("SELDRIX_OBJECTS").c_str(), nullptr, 10);
    ASSERT_GE(objects, 10000u);
    std::vector<uint32_t> old;
    for (int run = 0; run < 2; ++run) {
        uint32_t root = 0, many = 0;
        ASSERT_EQ(0u, MountPath("/", root));
        TConnection nfs(NfsPort);
        ASSERT_EQ(0u, LookupName(nfs, root, "many", many));
        std::map<std::string, uint32_t> listed;
        ASSERT_TRUE(ListPlus(nfs, many, listed));
        ASSERT_EQ(objects + 2, listed.size()) << "the files, . and ..";
        if (run == 1) break;
        old = {root, many};
        for (const auto &entry : listed)
            if (entry.second) old.push_back(entry.second);
        // The next run starts at once, its handles made as fast as a listing makes them.
        ASSERT_EQ(0, std::system(Env("SELDRIX_RESTART").c_str()));
    }
    TConnection nfs(NfsPort);
    std::size_t named = 0;
    // Sent in batches: each stale answer is cheap, the wait for each would not be.
    for (std::size_t at = 0; at < old.size(); at += 256) {
        const std::size_t end = std::min(old.size(), at + 256);
        const uint32_t first = nfs.Xid + 1;
        for (std::size_t i = at; i < end; ++i) ASSERT_TRUE(nfs.Send(nfs.Nfs(Getattr).Handle(old[i])));
        for (std::size_t i = at; i < end; ++i) {
            TReply reply = nfs.Receive(first + uint32_t(i - at));
            ASSERT_TRUE(reply.Ok());
            if (reply.U32() != Stale) ++named;
        }
    }
    EXPECT_EQ(0u, named) << "of " << old.size() << " handles from before the restart name an object";
}
