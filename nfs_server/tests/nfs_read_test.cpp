// NFS reading procedures through the RPC layer: attributes, lookup, READ, READDIR(PLUS), file-system
// information, and the bounds the server keeps whatever the client sends.
#include "ServerFixture.h"

#include <map>
#include <set>

using namespace rpcwire;

namespace {

struct TEntry {
    uint64_t FileId;
    std::string Name;
    uint64_t Cookie;
    uint32_t Handle;
};

}  // namespace

class NfsReadTest : public ServerTest {
protected:
    void SetUp() override
    {
        ServerTest::SetUp();
        Tcp = true;
        Tree->AddFolder("docs");
        Tree->AddFile("docs/k1000.bin", Pattern(1000));
        Tree->AddFile("empty.txt", "");
        Tree->AddFile("five.txt", Pattern(5000));
        Tree->AddFile("locked.txt", "ro", true);
        Root = RootHandle();
    }

    // READDIR or READDIRPLUS from cookie; returns the status.
    uint32_t ReadDir(bool plus, uint32_t directory, uint64_t cookie, uint64_t &verifier, uint32_t count,
                     std::vector<TEntry> &entries, bool &eof)
    {
        TCall call = Nfs(plus ? NfsProcReaddirplus : NfsProcReaddir).Handle(directory).U64(cookie).U64(verifier);
        if (plus) call.U32(count);
        call.U32(count);
        TReply reply = Accepted(NfsPort, call);
        uint32_t status = reply.U32();
        entries.clear();
        if (status != 0) return status;
        EXPECT_EQ(1u, reply.U32());
        ReadFattr3(reply);
        verifier = reply.U64();
        while (reply.Ok() && reply.U32() == 1) {
            TEntry entry{};
            entry.FileId = reply.U64();
            entry.Name = reply.Opaque();
            entry.Cookie = reply.U64();
            if (plus) {
                if (reply.U32()) ReadFattr3(reply);
                if (reply.U32()) {
                    EXPECT_EQ(4u, reply.U32());
                    entry.Handle = reply.U32();
                }
            }
            entries.push_back(entry);
        }
        eof = reply.U32() != 0;
        EXPECT_TRUE(reply.Ok());
        return status;
    }

    uint32_t Root = 0;
};

TEST_F(NfsReadTest, GetattrReportsTypeModeSizeAndAStableFileId)
{
    uint32_t file = Handle(Root, "five.txt");
    TReply reply = Accepted(NfsPort, Nfs(NfsProcGetattr).Handle(file));
    ASSERT_EQ(0u, reply.U32());
    TAttr a = ReadFattr3(reply);
    EXPECT_EQ(NF3REG, a.Type);
    EXPECT_EQ(0666u, a.Mode);
    EXPECT_EQ(1u, a.Nlink);
    EXPECT_EQ(5000u, a.Size);
    EXPECT_EQ(file, a.FileId) << "the file id is the handle's identity";
    EXPECT_EQ(0u, reply.Left()) << "fattr3 is 84 bytes";

    reply = Accepted(NfsPort, Nfs(NfsProcGetattr).Handle(Handle(Root, "locked.txt")));
    ASSERT_EQ(0u, reply.U32());
    EXPECT_EQ(0444u, ReadFattr3(reply).Mode);

    reply = Accepted(NfsPort, Nfs(NfsProcGetattr).Handle(Root));
    ASSERT_EQ(0u, reply.U32());
    a = ReadFattr3(reply);
    EXPECT_EQ(NF3DIR, a.Type);
    EXPECT_EQ(0666u, a.Mode);
}

TEST_F(NfsReadTest, HandleChecksGiveBadHandleStaleOrGarbage)
{
    EXPECT_EQ(NFS3ERR_BADHANDLE, Accepted(NfsPort, Nfs(NfsProcGetattr).Handle(0)).U32());
    EXPECT_EQ(NFS3ERR_STALE, Accepted(NfsPort, Nfs(NfsProcGetattr).Handle(0xDEAD)).U32());
    TCall wrongLength = Nfs(NfsProcGetattr).Opaque("12345678");
    TReply reply = Serve(NfsPort, wrongLength.Bytes);
    EXPECT_EQ(GarbageArgs, reply.Header(Xid));
    EXPECT_EQ(0u, reply.Left());
}

TEST_F(NfsReadTest, LookupFindsNamesIgnoringCaseAndNeverLeavesTheRoot)
{
    uint32_t docs = Handle(Root, "docs");
    EXPECT_EQ(docs, Handle(Root, "DOCS"));
    EXPECT_EQ(Handle(docs, "k1000.bin"), Handle(docs, "K1000.BIN"));
    EXPECT_EQ(docs, Handle(docs, "."));
    EXPECT_EQ(Root, Handle(docs, ".."));
    EXPECT_EQ(Root, Handle(Root, "..")) << "the root's parent is the root";
    EXPECT_EQ(Root, Handle(Root, "."));

    uint32_t found;
    for (const char *escape : {"../docs", "..\\docs", "docs/k1000.bin", "C:", "a:b"})
        EXPECT_EQ(NFS3ERR_NOENT, Lookup(Root, escape, found)) << escape;
    EXPECT_EQ(NFS3ERR_NOENT, Lookup(Root, "missing", found));
    // Windows would drop the trailing dots and spaces (another name for the folder or one of its entries),
    // or open a device.
    for (const char *foreign : {"...", ".. ", ". .", "docs.", "docs ", "docs. .", "NUL", "nul.txt", "Com1", "lpt9.log",
                                "CON ", "conout$"})
        EXPECT_EQ(NFS3ERR_NOENT, Lookup(Root, foreign, found)) << '"' << foreign << '"';
    Tree->AddFile("com10.nul", "no device");
    EXPECT_NE(0u, Handle(Root, "com10.nul"));
    EXPECT_EQ(NFS3ERR_NOENT, Lookup(docs, "k1000.bin.", found));

    TReply reply = Accepted(NfsPort, Nfs(NfsProcLookup).Handle(docs).Opaque("k1000.bin"));
    ASSERT_EQ(0u, reply.U32());
    reply.Skip(8);
    EXPECT_EQ(1u, reply.U32());
    EXPECT_EQ(1000u, ReadFattr3(reply).Size);
    EXPECT_EQ(1u, reply.U32());
    EXPECT_EQ(NF3DIR, ReadFattr3(reply).Type) << "the directory's attributes follow";
}

TEST_F(NfsReadTest, AFileHandleIsNoDirectory)
{
    uint32_t file = Handle(Root, "five.txt"), found;
    EXPECT_EQ(NFS3ERR_NOTDIR, Lookup(file, "x", found));
    EXPECT_EQ(NFS3ERR_NOTDIR, Lookup(file, "..", found));
    std::vector<TEntry> entries;
    uint64_t verifier = 0;
    bool eof;
    EXPECT_EQ(NFS3ERR_NOTDIR, ReadDir(false, file, 0, verifier, 4096, entries, eof));
    EXPECT_EQ(NFS3ERR_NOTDIR, ReadDir(true, file, 0, verifier, 4096, entries, eof));
}

TEST_F(NfsReadTest, LookupBoundsThePathLength)
{
    std::size_t rootLength = Tree->Root().size();
    ASSERT_LT(rootLength + 2, 260u);
    std::string fits(260 - rootLength - 1, 'n'), tooLong(261 - rootLength - 1, 'n');
    uint32_t found;
    EXPECT_EQ(NFS3ERR_NOENT, Lookup(Root, fits, found)) << "260 characters proceed";
    EXPECT_EQ(NFS3ERR_NAMETOOLONG, Lookup(Root, tooLong, found));
    TCall call = Nfs(NfsProcLookup).Handle(Root).Opaque(std::string(1024, 'n'));
    EXPECT_EQ(GarbageArgs, Serve(NfsPort, call.Bytes).Header(Xid));
}

TEST_F(NfsReadTest, ReadReturnsWhatTheFileHolds)
{
    uint32_t docs = Handle(Root, "docs"), k1000 = Handle(docs, "k1000.bin");
    std::string data;
    bool eof = false;
    ASSERT_EQ(0u, Read(k1000, 100, 4096, data, eof));
    EXPECT_EQ(Pattern(1000).substr(100), data);
    EXPECT_TRUE(eof);

    ASSERT_EQ(0u, Read(k1000, 0, 10, data, eof));
    EXPECT_EQ(Pattern(10), data);
    EXPECT_FALSE(eof);

    uint32_t five = Handle(Root, "five.txt");
    ASSERT_EQ(0u, Read(five, 4999, 1, data, eof));
    EXPECT_EQ(Pattern(5000).substr(4999), data);
    EXPECT_TRUE(eof);
    // At or past the end: no data and the end of the file, as a client reading until nothing comes expects.
    struct TCase {
        uint32_t File;
        uint64_t Offset;
    };
    for (const TCase &c : {TCase{five, 5000}, TCase{five, 5001}, TCase{five, ~uint64_t(0)},
                           TCase{Handle(Root, "empty.txt"), 0}, TCase{Handle(Root, "empty.txt"), 4096}}) {
        eof = false;
        data = "left";
        EXPECT_EQ(0u, Read(c.File, c.Offset, 10, data, eof)) << c.Offset;
        EXPECT_EQ("", data) << c.Offset;
        EXPECT_TRUE(eof) << c.Offset;
    }
}

TEST_F(NfsReadTest, ReadOfALargeFileInFullTransfersIsByteIdentical)
{
    const std::string content = Pattern(3 * MaxTransfer + 12345);
    Tree->AddFile("big.bin", content);
    uint32_t big = Handle(Root, "big.bin");
    std::string all, data;
    bool eof = false;
    while (!eof) {
        ASSERT_EQ(0u, Read(big, all.size(), MaxTransfer, data, eof));
        ASSERT_FALSE(data.empty());
        all += data;
    }
    EXPECT_TRUE(all == content);
    EXPECT_LE(Server().Reply.Capacity, BufferLimit);
}

TEST_F(NfsReadTest, ReadCountsAreClampedSoNoClientSizesTheBuffers)
{
    Tree->AddFile("big.bin", Pattern(2 * MaxTransfer));
    uint32_t big = Handle(Root, "big.bin");
    std::string data;
    bool eof;
    ASSERT_EQ(0u, Read(big, 3, 0xFFFFFFFFu, data, eof));
    EXPECT_EQ(MaxTransfer, data.size());
    EXPECT_FALSE(eof);
    EXPECT_LE(Server().Io.Capacity, BufferLimit);
    EXPECT_LE(Server().Reply.Capacity, BufferLimit);

    Tcp = false;
    ASSERT_EQ(0u, Read(big, 3, MaxTransfer, data, eof));
    EXPECT_EQ(MaxUdpTransfer, data.size()) << "a reply datagram holds less";
    const TRpcPrograms::TReplyWindow &window = Server().ReplyWindow;
    EXPECT_LE(Server().Reply.Tail - Server().Reply.Head + window.Length + window.Padding, 65507u);

    uint32_t small = Handle(Handle(Root, "docs"), "k1000.bin");
    ASSERT_EQ(0u, Read(small, 0, 0x7FFFFFFFu, data, eof));
    EXPECT_EQ(1000u, data.size());
}

TEST_F(NfsReadTest, AccessGrantsWhatIsAskedAndFsinfoOffersFullTransfers)
{
    TReply reply = Accepted(NfsPort, Nfs(NfsProcAccess).Handle(Handle(Root, "locked.txt")).U32(0x3F));
    ASSERT_EQ(0u, reply.U32());
    EXPECT_EQ(1u, reply.U32());
    EXPECT_EQ(0444u, ReadFattr3(reply).Mode);
    EXPECT_EQ(0x3Fu, reply.U32());

    reply = Accepted(NfsPort, Nfs(NfsProcFsinfo).Handle(Root));
    ASSERT_EQ(0u, reply.U32());
    EXPECT_EQ(1u, reply.U32());
    ReadFattr3(reply);
    EXPECT_EQ(MaxTransfer, reply.U32()) << "rtmax";
    EXPECT_EQ(32768u, reply.U32());
    uint32_t sector = reply.U32();
    EXPECT_TRUE(sector == 512 || sector == 4096) << sector;
    EXPECT_EQ(MaxTransfer, reply.U32()) << "wtmax";
    EXPECT_EQ(32768u, reply.U32());
    EXPECT_EQ(sector, reply.U32());
    EXPECT_EQ(32768u, reply.U32());
    EXPECT_EQ(~uint64_t(0), reply.U64());
    EXPECT_EQ(0u, reply.U32());
    EXPECT_EQ(0u, reply.U32());
    EXPECT_EQ(16u, reply.U32());
    EXPECT_EQ(0u, reply.Left());

    reply = Accepted(NfsPort, Nfs(NfsProcFsinfo).Handle(Handle(Root, "five.txt")));
    ASSERT_EQ(0u, reply.U32());
    reply.Skip(4 + 84 + 8);
    EXPECT_EQ(sector, reply.U32()) << "a file takes its folder's sector size";
}

TEST_F(NfsReadTest, FsstatAndPathconfDescribeTheVolume)
{
    TReply reply = Accepted(NfsPort, Nfs(NfsProcFsstat).Handle(Handle(Root, "docs")));
    ASSERT_EQ(0u, reply.U32());
    reply.Skip(4 + 84);
    uint64_t total = reply.U64(), free = reply.U64(), available = reply.U64();
    EXPECT_GT(total, 0u);
    EXPECT_LE(free, total);
    EXPECT_LE(available, total);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(0u, reply.U64());
    EXPECT_EQ(0u, reply.U32());

    reply = Accepted(NfsPort, Nfs(NfsProcPathconf).Handle(Root));
    ASSERT_EQ(0u, reply.U32());
    reply.Skip(4 + 84);
    EXPECT_EQ(0u, reply.U32());
    EXPECT_EQ(260u, reply.U32());
    for (int i = 0; i < 4; ++i) EXPECT_EQ(1u, reply.U32());
}

TEST_F(NfsReadTest, ReaddirPagesWithCookiesAndAStableVerifier)
{
    Tree->AddFolder("many");
    for (int i = 0; i < 200; ++i) Tree->AddFile("many/entry-" + std::to_string(1000 + i), "");
    uint32_t many = Handle(Root, "many");
    std::map<std::string, int> seen;
    uint64_t cookie = 0, verifier = 0, first = 0;
    bool eof = false;
    int calls = 0;
    while (!eof && calls++ < 100) {
        std::vector<TEntry> entries;
        ASSERT_EQ(0u, ReadDir(false, many, cookie, verifier, 1024, entries, eof));
        if (first == 0) first = verifier;
        EXPECT_EQ(first, verifier);
        ASSERT_FALSE(entries.empty());
        for (const TEntry &e : entries) {
            ++seen[e.Name];
            EXPECT_EQ(e.Cookie, e.FileId);
        }
        EXPECT_EQ(cookie + entries.size(), entries.back().Cookie);
        cookie = entries.back().Cookie;
    }
    EXPECT_GT(calls, 2) << "count 1024 gives partial lists";
    EXPECT_EQ(202u, seen.size()) << "every entry once, with . and ..";
    for (const auto &s : seen) EXPECT_EQ(1, s.second) << s.first;

    uint64_t again = 0;
    std::vector<TEntry> entries;
    ASSERT_EQ(0u, ReadDir(false, many, 0, again, 1024, entries, eof));
    EXPECT_EQ(first, again) << "a new snapshot keeps the directory's verifier";
}

TEST_F(NfsReadTest, ReaddirAlwaysEnds)
{
    uint32_t docs = Handle(Root, "docs");
    uint64_t verifier = 0;
    std::vector<TEntry> entries;
    bool eof = false;
    ASSERT_EQ(0u, ReadDir(false, docs, 0, verifier, 8192, entries, eof));
    ASSERT_EQ(3u, entries.size());
    EXPECT_TRUE(eof);

    ASSERT_EQ(0u, ReadDir(false, docs, 3, verifier, 8192, entries, eof));
    EXPECT_TRUE(entries.empty());
    EXPECT_TRUE(eof) << "a cookie at the end is an empty, finished list";
    EXPECT_EQ(NFS3ERR_BAD_COOKIE, ReadDir(false, docs, 4, verifier, 8192, entries, eof));

    uint64_t never = 0xABCDEF;
    EXPECT_EQ(NFS3ERR_BAD_COOKIE, ReadDir(false, docs, 0, never, 8192, entries, eof));
    uint64_t rootVerifier = 0;
    ASSERT_EQ(0u, ReadDir(false, Root, 0, rootVerifier, 8192, entries, eof));
    EXPECT_NE(rootVerifier, verifier);
    EXPECT_EQ(NFS3ERR_BAD_COOKIE, ReadDir(false, docs, 1, rootVerifier, 8192, entries, eof))
        << "another directory's verifier";

    uint64_t fresh = 0;
    EXPECT_EQ(NFS3ERR_TOOSMALL, ReadDir(false, docs, 0, fresh, 100, entries, eof));
    EXPECT_EQ(NFS3ERR_TOOSMALL, ReadDir(true, docs, 0, fresh, 150, entries, eof));
}

TEST_F(NfsReadTest, AReaddirListsNoMoreThanOneReplyCanCarry)
{
    Tree->AddFolder("wide");
    for (int i = 0; i < 600; ++i) Tree->AddFile("wide/entry-" + std::to_string(i) + ".txt", "");
    uint32_t wide = Handle(Root, "wide");
    Tcp = false;
    const uint32_t asked = 0xFFFFFFFFu;
    TReply first = Serve(NfsPort, Nfs(NfsProcReaddirplus).Handle(wide).U64(0).U64(0).U32(asked).U32(asked).Bytes);
    EXPECT_GT(first.Left(), 0u) << "a reply is sent";
    EXPECT_LE(first.Left(), 65507u) << "in one datagram";

    std::set<std::string> seen;
    uint64_t cookie = 0, verifier = 0;
    bool eof = false;
    for (int calls = 0; !eof && calls < 20; ++calls) {
        std::vector<TEntry> entries;
        ASSERT_EQ(0u, ReadDir(true, wide, cookie, verifier, asked, entries, eof));
        ASSERT_FALSE(entries.empty());
        for (const TEntry &e : entries) seen.insert(e.Name);
        cookie = entries.back().Cookie;
    }
    EXPECT_TRUE(eof);
    EXPECT_EQ(602u, seen.size());
}

TEST_F(NfsReadTest, ReaddirplusHandsOutHandlesThatStayInsideTheRoot)
{
    uint64_t verifier = 0;
    std::vector<TEntry> entries;
    bool eof = false;
    ASSERT_EQ(0u, ReadDir(true, Root, 0, verifier, 8192, entries, eof));
    EXPECT_TRUE(eof);
    std::map<std::string, TEntry> byName;
    for (const TEntry &e : entries) byName[e.Name] = e;
    ASSERT_EQ(6u, byName.size());
    EXPECT_EQ(Root, byName["."].Handle);
    EXPECT_EQ(Root, byName[".."].Handle) << "the root's .. is the root";
    EXPECT_EQ(Handle(Root, "docs"), byName["docs"].Handle);
    EXPECT_EQ(byName["five.txt"].Handle, byName["five.txt"].FileId);

    uint32_t docs = byName["docs"].Handle;
    verifier = 0;
    ASSERT_EQ(0u, ReadDir(true, docs, 0, verifier, 8192, entries, eof));
    for (const TEntry &e : entries)
        if (e.Name == "..") EXPECT_EQ(Root, e.Handle);
}

TEST_F(NfsReadTest, NamesTravelInTheConfiguredCodePage)
{
    Tree->AddFolder("Grüße");
    Tree->AddFile("Grüße/Straße.txt", "utf");
    uint32_t folder = Handle(Root, "Grüße");
    uint32_t file = Handle(folder, "Straße.txt");
    std::string data;
    bool eof;
    ASSERT_EQ(0u, Read(file, 0, 100, data, eof));
    EXPECT_EQ("utf", data);
    uint64_t verifier = 0;
    std::vector<TEntry> entries;
    ASSERT_EQ(0u, ReadDir(false, folder, 0, verifier, 8192, entries, eof));
    bool found = false;
    for (const TEntry &e : entries) found = found || e.Name == "Straße.txt";
    EXPECT_TRUE(found);
}

TEST_F(NfsReadTest, AFolderIsListedOncePerChangeNotOnEveryLookAtIt)
{
    Tree->AddFolder("big");
    for (int i = 0; i < 300; ++i) Tree->AddFile("big/entry-" + std::to_string(i), "");
    uint32_t big = Handle(Root, "big");
    auto mtime = [this, big] {
        TReply reply = Accepted(NfsPort, Nfs(NfsProcGetattr).Handle(big));
        EXPECT_EQ(0u, reply.U32());
        return ReadFattr3(reply).Mtime;
    };
    const uint64_t before = mtime();
    const unsigned listed = Tree->Listings();
    for (int i = 0; i < 10; ++i) EXPECT_EQ(before, mtime());
    for (int i = 0; i < 10; ++i) Handle(big, "entry-" + std::to_string(i));
    EXPECT_EQ(listed, Tree->Listings()) << "GETATTR and LOOKUP of an unchanged folder list nothing";

    uint64_t cookie = 0, verifier = 0;
    bool eof = false;
    int pages = 0;
    while (!eof && pages++ < 100) {
        std::vector<TEntry> entries;
        ASSERT_EQ(0u, ReadDir(true, big, cookie, verifier, 2048, entries, eof));
        ASSERT_FALSE(entries.empty());
        cookie = entries.back().Cookie;
    }
    EXPECT_GT(pages, 10);
    EXPECT_EQ(listed + 1, Tree->Listings()) << "one snapshot, however many pages";

    Tree->LetTimePass(1);
    Tree->AddFile("big/later", "");
    EXPECT_GT(mtime(), before) << "a change of content shows";

    Tree->LetTimePass(1);
    Tree->AddFile("big/latest", "");
    const unsigned changed = Tree->Listings();
    std::vector<TEntry> entries;
    cookie = verifier = 0;
    ASSERT_EQ(0u, ReadDir(true, big, cookie, verifier, 2048, entries, eof));
    EXPECT_EQ(changed + 1, Tree->Listings()) << "a new snapshot of a changed folder gives its times too";
}

// Every procedure's failure body is what its "On error" says: GETATTR nothing, the others FALSE.
TEST_F(NfsReadTest, FailuresCarryNoAttributes)
{
    const uint32_t stale = 0xDEAD;
    struct {
        const char *Name;
        TCall Call;
    } cases[] = {
        {"LOOKUP", Nfs(NfsProcLookup).Handle(stale).Opaque("x")},
        {"ACCESS", Nfs(NfsProcAccess).Handle(stale).U32(1)},
        {"READ", Nfs(NfsProcRead).Handle(stale).U64(0).U32(10)},
        {"READDIR", Nfs(NfsProcReaddir).Handle(stale).U64(0).U64(0).U32(4096)},
        {"READDIRPLUS", Nfs(NfsProcReaddirplus).Handle(stale).U64(0).U64(0).U32(4096).U32(4096)},
        {"FSSTAT", Nfs(NfsProcFsstat).Handle(stale)},
        {"FSINFO", Nfs(NfsProcFsinfo).Handle(stale)},
        {"PATHCONF", Nfs(NfsProcPathconf).Handle(stale)},
        {"READ of a folder", Nfs(NfsProcRead).Handle(Root).U64(0).U32(10)},
        {"READDIR too small", Nfs(NfsProcReaddir).Handle(Root).U64(0).U64(0).U32(100)},
        {"LOOKUP of a missing name", Nfs(NfsProcLookup).Handle(Root).Opaque("missing")},
    };
    for (auto &c : cases) {
        TReply reply = Accepted(NfsPort, c.Call);
        EXPECT_NE(0u, reply.U32()) << c.Name;
        EXPECT_EQ(0u, reply.U32()) << c.Name << ": FALSE";
        EXPECT_EQ(0u, reply.Left()) << c.Name << ": and nothing more";
        EXPECT_TRUE(reply.Ok()) << c.Name;
    }
    TReply reply = Accepted(NfsPort, Nfs(NfsProcGetattr).Handle(stale));
    EXPECT_EQ(NFS3ERR_STALE, reply.U32());
    EXPECT_EQ(0u, reply.Left()) << "GETATTR: the status alone";
}
