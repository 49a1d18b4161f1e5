// NFS procedures that change the tree, through the RPC layer: what they do on disk, their statuses,
// their bodies, and the handles and snapshots they retire.
#include "ServerFixture.h"

#include <algorithm>

using namespace rpcwire;

namespace {

constexpr uint32_t Unchecked = 0, Guarded = 1, Exclusive = 2;
constexpr uint32_t FileSync = 2;

// sattr3 with nothing set, or with the mode, the size or both times (set to the client's time).
TCall &NoAttributes(TCall &call) { return call.U32(0).U32(0).U32(0).U32(0).U32(0).U32(0); }

struct TWrite {
    uint32_t Status = 0, Count = 0, Committed = 0;
    uint64_t Verifier = 0;
};

}  // namespace

class NfsWriteTest : public ServerTest {
protected:
    void SetUp() override
    {
        ServerTest::SetUp();
        Tcp = true;
        Tree->AddFolder("docs");
        Tree->AddFile("docs/old.txt", "old");
        Tree->AddFile("locked.txt", "ro", true);
        Root = RootHandle();
    }

    // CREATE; returns the status, the new handle in made.
    uint32_t Create(uint32_t directory, const std::string &name, uint32_t how, uint32_t &made, int32_t mode = -1)
    {
        TCall call = Nfs(NfsProcCreate).Handle(directory).Opaque(name).U32(how);
        if (how == Exclusive) call.U64(0x1122334455667788ull);
        else if (mode >= 0) call.U32(1).U32(uint32_t(mode)).U32(0).U32(0).U32(0).U32(0).U32(0);
        else NoAttributes(call);
        return Made(Accepted(NfsPort, call), made);
    }
    uint32_t Mkdir(uint32_t directory, const std::string &name, uint32_t &made)
    {
        TCall call = Nfs(NfsProcMkdir).Handle(directory).Opaque(name);
        return Made(Accepted(NfsPort, NoAttributes(call)), made);
    }
    // The body of CREATE and MKDIR: handle, attributes, the folder's wcc_data.
    uint32_t Made(TReply reply, uint32_t &made)
    {
        uint32_t status = reply.U32();
        made = 0;
        if (status == 0) {
            EXPECT_EQ(1u, reply.U32());
            EXPECT_EQ(4u, reply.U32());
            made = reply.U32();
            EXPECT_EQ(1u, reply.U32());
            EXPECT_EQ(made, ReadFattr3(reply).FileId);
            ExpectWcc(reply);
        } else {
            ExpectFailedWcc(reply, 1);
        }
        EXPECT_EQ(0u, reply.Left());
        return status;
    }
    void ExpectWcc(TReply &reply)
    {
        EXPECT_EQ(1u, reply.U32()) << "pre-operation attributes";
        reply.Skip(24);
        EXPECT_EQ(1u, reply.U32()) << "post-operation attributes";
        ReadFattr3(reply);
    }
    void ExpectFailedWcc(TReply &reply, int count)
    {
        for (int i = 0; i < 2 * count; ++i) EXPECT_EQ(0u, reply.U32()) << "FALSE";
    }
    uint32_t Status(TReply reply, int wccCount = 1)
    {
        uint32_t status = reply.U32();
        for (int i = 0; i < wccCount; ++i) {
            if (status == 0)
                ExpectWcc(reply);
            else
                ExpectFailedWcc(reply, 1);
        }
        EXPECT_EQ(0u, reply.Left());
        return status;
    }
    uint32_t Remove(uint32_t directory, const std::string &name, bool folder = false)
    {
        return Status(Accepted(NfsPort, Nfs(folder ? NfsProcRmdir : NfsProcRemove).Handle(directory).Opaque(name)));
    }
    uint32_t Rename(uint32_t from, const std::string &fromName, uint32_t to, const std::string &toName)
    {
        TCall call = Nfs(NfsProcRename).Handle(from).Opaque(fromName).Handle(to).Opaque(toName);
        return Status(Accepted(NfsPort, call), 2);
    }
    TWrite Write(uint32_t file, uint64_t offset, const std::string &data, uint32_t stable)
    {
        TCall call = Nfs(NfsProcWrite).Handle(file).U64(offset).U32(uint32_t(data.size())).U32(stable).Opaque(data);
        TReply reply = Accepted(NfsPort, call);
        TWrite w;
        w.Status = reply.U32();
        if (w.Status != 0) {
            ExpectFailedWcc(reply, 1);
        } else {
            ExpectWcc(reply);
            w.Count = reply.U32();
            w.Committed = reply.U32();
            w.Verifier = reply.U64();
        }
        EXPECT_EQ(0u, reply.Left());
        return w;
    }
    uint64_t Commit(uint32_t file)
    {
        TReply reply = Accepted(NfsPort, Nfs(NfsProcCommit).Handle(file).U64(0).U32(0));
        EXPECT_EQ(0u, reply.U32());
        ExpectWcc(reply);
        return reply.U64();
    }
    TAttr Attributes(uint32_t object)
    {
        TReply reply = Accepted(NfsPort, Nfs(NfsProcGetattr).Handle(object));
        EXPECT_EQ(0u, reply.U32());
        return ReadFattr3(reply);
    }
    std::string Content(uint32_t file)
    {
        std::string all, data;
        bool eof = false;
        while (!eof && Read(file, all.size(), MaxTransfer, data, eof) == 0) all += data;
        return all;
    }
    uint32_t Missing(uint32_t directory, const std::string &name)
    {
        uint32_t found;
        return Lookup(directory, name, found);
    }

    uint32_t Root = 0;
};

TEST_F(NfsWriteTest, FilesOfSeveralSizesAreWrittenAndReadBackByteIdentical)
{
    for (std::size_t size : {std::size_t(1), std::size_t(4096), std::size_t(MaxTransfer + 12345), 3 * std::size_t(MaxTransfer)}) {
        const std::string name = "size-" + std::to_string(size), content = Pattern(size);
        uint32_t file;
        ASSERT_EQ(0u, Create(Root, name, Guarded, file));
        for (std::size_t at = 0; at < size; at += MaxTransfer) {
            TWrite w = Write(file, at, content.substr(at, MaxTransfer), 0);
            ASSERT_EQ(0u, w.Status);
            EXPECT_EQ(std::min<std::size_t>(MaxTransfer, size - at), w.Count);
        }
        Commit(file);
        EXPECT_EQ(size, Attributes(file).Size);
        EXPECT_TRUE(Content(file) == content) << size;
    }
}

TEST_F(NfsWriteTest, UnstableWritesKeepTheirHandleUntilCommitAndStableOnesCloseIt)
{
    uint32_t file;
    ASSERT_EQ(0u, Create(Root, "f.bin", Unchecked, file));
    TWrite w = Write(file, 0, Pattern(4096), 0);
    ASSERT_EQ(0u, w.Status);
    EXPECT_EQ(4096u, w.Count);
    EXPECT_EQ(0u, w.Committed);
    EXPECT_NE(0u, w.Verifier) << "the cached handle";
    EXPECT_EQ(w.Verifier, Write(file, 4096, "more", 0).Verifier) << "the same handle";
    EXPECT_EQ(w.Verifier, Commit(file));
    EXPECT_EQ(0u, Commit(file)) << "nothing cached any more";

    w = Write(file, 0, "sync", FileSync);
    EXPECT_EQ(FileSync, w.Committed);
    EXPECT_EQ(0u, w.Verifier);
    EXPECT_EQ(0u, Commit(file));
    EXPECT_EQ("sync" + Pattern(4096).substr(4) + "more", Content(file));
}

// What is answered as stable has been put on the disk; an unstable write waits for its COMMIT.
TEST_F(NfsWriteTest, StableWritesAndCommitsPutTheFileOnTheDisk)
{
    uint32_t file;
    ASSERT_EQ(0u, Create(Root, "f.bin", Unchecked, file));
    struct TStep {
        const char *What;
        uint32_t Stable;  // a WRITE with this stable_how, or a COMMIT when above FileSync
        unsigned Flushes;
    };
    constexpr uint32_t CommitStep = FileSync + 1;
    const TStep steps[] = {
        {"UNSTABLE", 0, 0},         {"DATA_SYNC", 1, 1},        {"FILE_SYNC", FileSync, 2},
        {"UNSTABLE again", 0, 2},   {"COMMIT", CommitStep, 3},  {"COMMIT with nothing cached", CommitStep, 4},
    };
    for (const TStep &step : steps) {
        if (step.Stable == CommitStep) {
            Commit(file);
        } else {
            TWrite w = Write(file, 0, "data", step.Stable);
            EXPECT_EQ(0u, w.Status) << step.What;
            EXPECT_EQ(step.Stable, w.Committed) << step.What;
        }
        EXPECT_EQ(step.Flushes, Tree->Flushes()) << step.What;
    }
}

TEST_F(NfsWriteTest, AWritePastTheEndFillsTheGapWithZeros)
{
    uint32_t file;
    ASSERT_EQ(0u, Create(Root, "sparse", Guarded, file));
    ASSERT_EQ(0u, Write(file, 10000, "0123456789", 0).Status);
    ASSERT_EQ(0u, Write(file, 2 * IoCapacity + 100, "end", FileSync).Status);
    EXPECT_EQ(2 * IoCapacity + 103, Attributes(file).Size);
    std::string expected(2 * IoCapacity + 103, '\0');
    expected.replace(10000, 10, "0123456789");
    expected.replace(2 * IoCapacity + 100, 3, "end");
    EXPECT_TRUE(Content(file) == expected);
}

// A write far past the end is answered at once: the gap is the system's zeros, not written byte by byte.
TEST_F(NfsWriteTest, AWriteFarPastTheEndDoesNotWriteItsGap)
{
    uint32_t file;
    ASSERT_EQ(0u, Create(Root, "far", Guarded, file));
    const uint64_t far = 1ull << 40;
    TWrite w = Write(file, far, "x", FileSync);
    if (w.Status == 0) {
        EXPECT_EQ(far + 1, Attributes(file).Size);
        std::string data;
        bool eof;
        ASSERT_EQ(0u, Read(file, far - 3, 4, data, eof));
        EXPECT_EQ(std::string("\0\0\0x", 4), data);
    } else {
        EXPECT_EQ(NFS3ERR_SERVERFAULT, w.Status) << "a disk too small for the offset";
    }
    EXPECT_EQ(0u, Remove(Root, "far"));
}

TEST_F(NfsWriteTest, WriteRefusesWhatItCannotTake)
{
    const uint32_t capacity = Server().Io.Capacity, locked = Handle(Root, "locked.txt");
    TCall lying = Nfs(NfsProcWrite).Handle(locked).U64(0).U32(0x100000).U32(0).U32(0x100000);
    lying.U32(0);
    EXPECT_EQ(GarbageArgs, Serve(NfsPort, lying.Bytes).Header(Xid));
    EXPECT_EQ(capacity, Server().Io.Capacity) << "no buffer grows for data that is not there";

    EXPECT_EQ(NFS3ERR_ISDIR, Write(Handle(Root, "docs"), 0, "x", 0).Status);
    EXPECT_EQ(NFS3ERR_STALE, Write(0xDEAD, 0, "x", 0).Status);
    EXPECT_EQ(NFS3ERR_BADHANDLE, Write(0, 0, "x", 0).Status);
}

TEST_F(NfsWriteTest, CreateAndMkdirMakeNewNamesOnly)
{
    uint32_t docs = Handle(Root, "docs"), made;
    EXPECT_EQ(NFS3ERR_EXIST, Create(docs, "OLD.TXT", Unchecked, made)) << "in every mode";
    EXPECT_EQ(NFS3ERR_EXIST, Create(docs, "old.txt", Exclusive, made));
    EXPECT_EQ(NFS3ERR_EXIST, Create(Root, "docs", Guarded, made));
    EXPECT_EQ("old", Content(Handle(docs, "old.txt")));

    ASSERT_EQ(0u, Create(docs, "ro.txt", Guarded, made, 0444));
    EXPECT_EQ(0444u, Attributes(made).Mode);
    EXPECT_EQ(made, Handle(docs, "ro.txt"));
    ASSERT_EQ(0u, Create(docs, "rw.txt", Exclusive, made));
    EXPECT_EQ(0666u, Attributes(made).Mode);

    ASSERT_EQ(0u, Mkdir(docs, "sub", made));
    EXPECT_EQ(NF3DIR, Attributes(made).Type);
    ASSERT_EQ(0u, Create(made, "inner", Guarded, made));
    EXPECT_EQ(NFS3ERR_EXIST, Mkdir(docs, "SUB", made));
    EXPECT_EQ(NFS3ERR_SERVERFAULT, Mkdir(docs, "old.txt", made)) << "a file of that name";
    EXPECT_EQ(NFS3ERR_NOTDIR, Mkdir(Handle(docs, "old.txt"), "x", made));
    EXPECT_EQ(NFS3ERR_NOTDIR, Create(Handle(docs, "old.txt"), "x", Guarded, made));

    std::size_t rootLength = Tree->Root().size();
    EXPECT_EQ(NFS3ERR_NAMETOOLONG, Create(Root, std::string(261 - rootLength - 1, 'n'), Guarded, made));
    EXPECT_EQ(0u, Create(Root, std::string(260 - rootLength - 1, 'n'), Guarded, made)) << "260 characters proceed";
}

// The name rules of reading hold for every change, and the folder itself or its parent is refused.
TEST_F(NfsWriteTest, NamesThatWouldLeaveTheFolderOrReachADeviceChangeNothing)
{
    uint32_t docs = Handle(Root, "docs"), made;
    for (const char *name : {".", "..", "../x", "..\\x", "a/b", "C:", "x:y", "NUL", "com1.txt", "Lpt3", "x.", "x ",
                             "docs. "}) {
        EXPECT_EQ(NFS3ERR_ACCES, Create(docs, name, Guarded, made)) << '"' << name << '"';
        EXPECT_EQ(NFS3ERR_ACCES, Mkdir(docs, name, made)) << '"' << name << '"';
        EXPECT_EQ(NFS3ERR_ACCES, Remove(Root, name)) << '"' << name << '"';
        EXPECT_EQ(NFS3ERR_ACCES, Remove(Root, name, true)) << '"' << name << '"';
        EXPECT_EQ(NFS3ERR_ACCES, Rename(docs, "old.txt", Root, name)) << '"' << name << '"';
        EXPECT_EQ(NFS3ERR_ACCES, Rename(Root, name, docs, "new")) << '"' << name << '"';
    }
    EXPECT_EQ(NFS3ERR_NOENT, Missing(Root, "x"));
    EXPECT_EQ(NFS3ERR_NOENT, Missing(docs, "x"));
    EXPECT_EQ("old", Content(Handle(docs, "old.txt")));
    EXPECT_EQ(NF3DIR, Attributes(docs).Type);
}

TEST_F(NfsWriteTest, SetattrChangesSizeAndTimesButNoOwnerOrMode)
{
    uint32_t file = Handle(Handle(Root, "docs"), "old.txt");
    const TAttr before = Attributes(file);
    TCall mode = Nfs(NfsProcSetattr).Handle(file).U32(1).U32(0600).U32(0).U32(0).U32(0).U32(0).U32(0).U32(0);
    EXPECT_EQ(NFS3ERR_NOTSUPP, Status(Accepted(NfsPort, mode)));
    TCall owner = Nfs(NfsProcSetattr).Handle(file).U32(0).U32(1).U32(1000).U32(0).U32(0).U32(0).U32(0).U32(0);
    EXPECT_EQ(NFS3ERR_NOTSUPP, Status(Accepted(NfsPort, owner)));
    EXPECT_EQ(before.Mode, Attributes(file).Mode);

    TCall grow = Nfs(NfsProcSetattr).Handle(file).U32(0).U32(0).U32(0).U32(1).U64(10).U32(0).U32(0).U32(0);
    EXPECT_EQ(0u, Status(Accepted(NfsPort, grow)));
    EXPECT_EQ(std::string("old") + std::string(7, '\0'), Content(file));
    TCall shrink = Nfs(NfsProcSetattr).Handle(file).U32(0).U32(0).U32(0).U32(1).U64(2).U32(0).U32(0).U32(0);
    EXPECT_EQ(0u, Status(Accepted(NfsPort, shrink)));
    EXPECT_EQ("ol", Content(file));

    // A client time of the year 2000 and a guard with its time: the server's time is set, and every
    // argument after the times is read.
    Tree->LetTimePass(2);
    TCall times = Nfs(NfsProcSetattr).Handle(file).U32(0).U32(0).U32(0).U32(0);
    times.U32(2).U32(946684800).U32(0).U32(2).U32(946684800).U32(0).U32(1).U32(946684800).U32(0);
    EXPECT_EQ(0u, Status(Accepted(NfsPort, times)));
    const TAttr after = Attributes(file);
    EXPECT_GT(after.Mtime >> 32, 946684800u + 20 * 365 * 86400u) << "now, not 2000";
    EXPECT_GT(after.Mtime, before.Mtime);

    TCall cut = Nfs(NfsProcSetattr).Handle(file).U32(0).U32(0).U32(0).U32(0).U32(2).U32(946684800);
    EXPECT_EQ(GarbageArgs, Serve(NfsPort, cut.Bytes).Header(Xid));
}

TEST_F(NfsWriteTest, RemoveAndRmdirDeleteWhatTheyNameAndRetireItsHandles)
{
    uint32_t docs = Handle(Root, "docs"), file, sub, inner;
    ASSERT_EQ(0u, Create(Root, "written", Guarded, file));
    ASSERT_EQ(0u, Write(file, 0, "unstable", 0).Status);
    EXPECT_EQ(0u, Remove(Root, "WRITTEN")) << "the server's own cached handle is closed first";
    EXPECT_EQ(NFS3ERR_STALE, Accepted(NfsPort, Nfs(NfsProcGetattr).Handle(file)).U32());
    EXPECT_EQ(NFS3ERR_NOENT, Missing(Root, "written"));
    EXPECT_EQ(NFS3ERR_NOENT, Remove(Root, "written"));

    ASSERT_EQ(0u, Mkdir(docs, "sub", sub));
    ASSERT_EQ(0u, Create(sub, "inner", Guarded, inner));
    ASSERT_EQ(0u, Write(inner, 0, "x", 0).Status);
    EXPECT_EQ(NFS3ERR_NOTEMPTY, Remove(docs, "sub", true));
    EXPECT_EQ(NFS3ERR_ACCES, Remove(docs, "sub")) << "REMOVE of a folder";
    EXPECT_EQ(0u, Remove(sub, "inner"));
    uint64_t verifier = 0;
    TReply listing = Accepted(NfsPort, Nfs(NfsProcReaddir).Handle(sub).U64(0).U64(0).U32(4096));
    ASSERT_EQ(0u, listing.U32());
    listing.Skip(4 + Fattr3Size);
    verifier = listing.U64();
    EXPECT_EQ(0u, Remove(docs, "sub", true));
    EXPECT_EQ(NFS3ERR_STALE, Accepted(NfsPort, Nfs(NfsProcGetattr).Handle(sub)).U32());
    EXPECT_EQ(NFS3ERR_STALE,
              Accepted(NfsPort, Nfs(NfsProcReaddir).Handle(sub).U64(1).U64(verifier).U32(4096)).U32());

    ASSERT_EQ(0u, Mkdir(docs, "sub", sub));
    EXPECT_EQ(NFS3ERR_BAD_COOKIE,
              Accepted(NfsPort, Nfs(NfsProcReaddir).Handle(sub).U64(1).U64(verifier).U32(4096)).U32())
        << "the old folder's snapshot went with it";
    EXPECT_EQ(NFS3ERR_ACCES, Remove(Root, "locked.txt"));
}

TEST_F(NfsWriteTest, RenameMovesFilesAndFoldersAndStalesTheirOldHandles)
{
    uint32_t docs = Handle(Root, "docs"), old = Handle(docs, "old.txt"), made, sub, inner;
    ASSERT_EQ(0u, Create(Root, "other.txt", Guarded, made));
    EXPECT_EQ(NFS3ERR_NOTDIR, Rename(docs, "old.txt", Root, "OTHER.TXT")) << "onto a file";
    EXPECT_EQ(NFS3ERR_SERVERFAULT, Rename(docs, "old.txt", Root, "docs")) << "onto a folder";
    EXPECT_EQ(NFS3ERR_NOENT, Rename(docs, "missing", Root, "x"));
    EXPECT_EQ(NFS3ERR_NOTDIR, Rename(old, "x", Root, "y"));
    EXPECT_EQ(NFS3ERR_BADHANDLE, Rename(0, "old.txt", Root, "y"));
    EXPECT_EQ(NFS3ERR_STALE, Rename(docs, "old.txt", 0xDEAD, "y"));

    ASSERT_EQ(0u, Write(old, 3, "+unstable", 0).Status);
    EXPECT_EQ(0u, Rename(docs, "old.txt", Root, "moved.txt")) << "the server's own cached handle is closed first";
    EXPECT_EQ(NFS3ERR_STALE, Accepted(NfsPort, Nfs(NfsProcGetattr).Handle(old)).U32());
    EXPECT_EQ(NFS3ERR_NOENT, Missing(docs, "old.txt"));
    uint32_t moved = Handle(Root, "moved.txt");
    EXPECT_NE(old, moved) << "a new handle";
    EXPECT_EQ("old+unstable", Content(moved));

    ASSERT_EQ(0u, Mkdir(docs, "sub", sub));
    ASSERT_EQ(0u, Create(sub, "inner", Guarded, inner));
    ASSERT_EQ(0u, Write(inner, 0, "kept", 0).Status);
    EXPECT_EQ(0u, Rename(docs, "sub", Root, "renamed"));
    EXPECT_EQ(NFS3ERR_STALE, Accepted(NfsPort, Nfs(NfsProcGetattr).Handle(sub)).U32());
    EXPECT_EQ(NFS3ERR_STALE, Accepted(NfsPort, Nfs(NfsProcGetattr).Handle(inner)).U32()) << "and everything below";
    EXPECT_EQ("kept", Content(Handle(Handle(Root, "renamed"), "inner")));
}

// A short name reaches the object of its long name: one handle, which a change by either name retires,
// so that it never answers for what takes the long name next (a file, or a folder's file).
TEST_F(NfsWriteTest, AShortNameReachesTheObjectOfItsLongName)
{
    Tree->AddFile("longfilename-one.txt", "one");
    Tree->AddFile("longfilename-two.txt", "two");
    Tree->AddFolder("longdirectory-a");
    Tree->AddFile("longdirectory-a/f.txt", "a");
    Tree->AddFolder("longdirectory-b");
    Tree->AddFile("longdirectory-b/f.txt", "b");
    if (Tree->ShortName("longfilename-one.txt").empty()) GTEST_SKIP() << "names have no short form here";
    struct TCase {
        const char *Long, *Other, *Inner, *Kept;
    };
    for (const TCase &c : {TCase{"longfilename-one.txt", "longfilename-two.txt", nullptr, "two"},
                           TCase{"longdirectory-a", "longdirectory-b", "f.txt", "b"}}) {
        const uint32_t reached = Handle(Root, Tree->ShortName(c.Long));
        EXPECT_EQ(Handle(Root, c.Long), reached) << c.Long;
        const uint32_t held = c.Inner ? Handle(reached, c.Inner) : reached;
        ASSERT_EQ(0u, Rename(Root, c.Long, Root, std::string("moved-") + c.Long));
        ASSERT_EQ(0u, Rename(Root, c.Other, Root, c.Long));
        EXPECT_EQ(NFS3ERR_STALE, Accepted(NfsPort, Nfs(NfsProcGetattr).Handle(held)).U32()) << c.Long;
        EXPECT_EQ(NFS3ERR_STALE, Write(held, 0, "alias", FileSync).Status) << c.Long;
        const uint32_t now = Handle(Root, c.Long);
        EXPECT_EQ(c.Kept, Content(c.Inner ? Handle(now, c.Inner) : now)) << c.Long;
    }
    // A change by the short name retires the handle of the long one.
    const uint32_t renamed = Handle(Root, "longfilename-one.txt"), removed = Handle(Root, "moved-longfilename-one.txt");
    EXPECT_EQ(0u, Rename(Root, Tree->ShortName("longfilename-one.txt"), Root, "renamed.txt"));
    EXPECT_EQ(0u, Remove(Root, Tree->ShortName("moved-longfilename-one.txt")));
    for (uint32_t gone : {renamed, removed})
        EXPECT_EQ(NFS3ERR_STALE, Accepted(NfsPort, Nfs(NfsProcGetattr).Handle(gone)).U32());
    EXPECT_EQ("two", Content(Handle(Root, "renamed.txt")));
}

// A name renamed onto itself stays as it is, handle and all; a change of letter case alone is made.
TEST_F(NfsWriteTest, RenameOntoItselfChangesNothingAndACaseChangeIsMade)
{
    Tree->AddFile("same.txt", "same");
    Tree->AddFile("case.txt", "case");
    Tree->AddFolder("Folder");
    struct TCase {
        const char *From, *To;
        uint32_t Status;
        const wchar_t *Listed;  // the name on disk afterwards
        bool HandleKept;
    };
    for (const TCase &c : {TCase{"same.txt", "same.txt", 0, L"same.txt", true},
                           TCase{"SAME.TXT", "SAME.TXT", 0, L"same.txt", true},
                           TCase{"case.txt", "CASE.txt", 0, L"CASE.txt", false},
                           TCase{"Folder", "FOLDER", 0, L"FOLDER", false},
                           TCase{"missing", "missing", NFS3ERR_NOENT, nullptr, false}}) {
        uint32_t before = 0;
        Lookup(Root, c.From, before);
        EXPECT_EQ(c.Status, Rename(Root, c.From, Root, c.To)) << c.From << " to " << c.To;
        if (!c.Listed) continue;
        std::vector<TFindRecord> entries;
        ASSERT_TRUE(Tree->Files().List(Tree->Root(), entries));
        const auto listed = [&c](const TFindRecord &e) { return e.Name == c.Listed; };
        EXPECT_TRUE(std::any_of(entries.begin(), entries.end(), listed)) << c.From << " to " << c.To;
        EXPECT_EQ(c.HandleKept ? NFS3_OK : NFS3ERR_STALE, Accepted(NfsPort, Nfs(NfsProcGetattr).Handle(before)).U32())
            << c.From << " to " << c.To;
        EXPECT_EQ(NFS3_OK, Missing(Root, c.To)) << c.To;
    }
    EXPECT_EQ("same", Content(Handle(Root, "same.txt")));
    EXPECT_EQ("case", Content(Handle(Root, "case.txt")));
}

// A change sent again (the same call from the same client) gets the reply of the time it was done; the
// same change in a new call, or from another client, is done anew and fails.
TEST_F(NfsWriteTest, RetransmittedChangesGetTheReplyOfTheFirstTime)
{
    Tree->AddFile("gone.txt", "x");
    Tree->AddFolder("empty");
    Tree->AddFile("from.txt", "y");
    TCall create = Nfs(NfsProcCreate).Handle(Root).Opaque("new.txt").U32(Guarded);
    TCall mkdir = Nfs(NfsProcMkdir).Handle(Root).Opaque("newdir");
    const std::pair<const char *, TCall> cases[] = {
        {"CREATE", NoAttributes(create)},
        {"MKDIR", NoAttributes(mkdir)},
        {"REMOVE", Nfs(NfsProcRemove).Handle(Root).Opaque("gone.txt")},
        {"RMDIR", Nfs(NfsProcRmdir).Handle(Root).Opaque("empty")},
        {"RENAME", Nfs(NfsProcRename).Handle(Root).Opaque("from.txt").Handle(Root).Opaque("to.txt")},
    };
    const uint32_t mine = Peer, other = Address(127, 0, 0, 9);
    Peer = other;
    RootHandle();
    // The status of the call, served from this client.
    auto status = [this](const std::vector<uint8_t> &call, uint32_t client) {
        Peer = client;
        TReply reply = Serve(NfsPort, call);
        EXPECT_EQ(Success, reply.Header(uint32_t(call[0]) << 24 | call[1] << 16 | call[2] << 8 | call[3]));
        return reply.U32();
    };
    for (const auto &c : cases) {
        ASSERT_EQ(NFS3_OK, status(c.second.Bytes, mine)) << c.first;
        const std::vector<uint8_t> first = Serve(NfsPort, c.second.Bytes).Bytes;
        EXPECT_EQ(NFS3_OK, status(c.second.Bytes, mine)) << c.first << " sent again";
        EXPECT_EQ(first, Serve(NfsPort, c.second.Bytes, !Tcp).Bytes) << c.first << " again over the other transport";
        TCall anew = c.second;
        anew.Bytes[0] ^= 0x40;  // another xid
        EXPECT_NE(NFS3_OK, status(anew.Bytes, mine)) << c.first << " in a new call";
        EXPECT_NE(NFS3_OK, status(c.second.Bytes, other)) << c.first << " from another client";
    }
}

TEST_F(NfsWriteTest, FolderAttributesOfChangesNeedNoNewListing)
{
    uint32_t docs = Handle(Root, "docs"), made;
    const TAttr before = Attributes(docs);
    const unsigned listed = Tree->Listings();
    Tree->LetTimePass(1);
    for (int i = 0; i < 20; ++i) ASSERT_EQ(0u, Create(docs, "f" + std::to_string(i), Guarded, made));
    for (int i = 0; i < 10; ++i) ASSERT_EQ(0u, Rename(docs, "f" + std::to_string(i), docs, "g" + std::to_string(i)));
    for (int i = 0; i < 10; ++i) ASSERT_EQ(0u, Remove(docs, "g" + std::to_string(i)));
    EXPECT_EQ(listed, Tree->Listings());
    EXPECT_GT(Attributes(docs).Mtime, before.Mtime);
}

// Every changing procedure's failure body is its "On error": wcc_data FALSE, FALSE (RENAME twice).
TEST_F(NfsWriteTest, FailuresCarryEmptyWccData)
{
    const uint32_t stale = 0xDEAD;
    struct {
        const char *Name;
        TCall Call;
        std::size_t Falses;
    } cases[] = {
        {"SETATTR", NoAttributes(Nfs(NfsProcSetattr).Handle(stale)).U32(0), 2},
        {"WRITE", Nfs(NfsProcWrite).Handle(stale).U64(0).U32(1).U32(0).Opaque("x"), 2},
        {"CREATE", NoAttributes(Nfs(NfsProcCreate).Handle(stale).Opaque("x").U32(0)), 2},
        {"MKDIR", NoAttributes(Nfs(NfsProcMkdir).Handle(stale).Opaque("x")), 2},
        {"REMOVE", Nfs(NfsProcRemove).Handle(stale).Opaque("x"), 2},
        {"RMDIR", Nfs(NfsProcRmdir).Handle(stale).Opaque("x"), 2},
        {"RENAME", Nfs(NfsProcRename).Handle(stale).Opaque("x").Handle(Root).Opaque("y"), 4},
        {"COMMIT", Nfs(NfsProcCommit).Handle(stale).U64(0).U32(0), 2},
    };
    for (auto &c : cases) {
        TReply reply = Accepted(NfsPort, c.Call);
        EXPECT_EQ(NFS3ERR_STALE, reply.U32()) << c.Name;
        for (std::size_t i = 0; i < c.Falses; ++i) EXPECT_EQ(0u, reply.U32()) << c.Name;
        EXPECT_EQ(0u, reply.Left()) << c.Name;
        EXPECT_TRUE(reply.Ok()) << c.Name;
    }
}
