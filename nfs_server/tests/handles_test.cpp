// The file-handle table, attributes, time conversion and directory snapshots.
#include "TestTree.h"
#include "fObjectHandles.h"
#include "fXdr.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <set>
#include <vector>

namespace {

class HandlesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Tree = MakeTestTree();
        Tree->AddFolder("a");
        Tree->AddFolder("a/b");
        Tree->AddFile("a/b/leaf.txt", "leaf");
        Tree->AddFile("one.txt", "1");
        Tree->AddFile("two.txt", "22");
        Handles = std::make_unique<TObjectHandles>(Tree->Files(), Tree->Root());
    }

    TDirHandle *Dir(TDirHandle *parent, const wchar_t *name)
    {
        TObjectHandle *object = Handles->FindOrCreate(parent, name);
        EXPECT_TRUE(object && object->IsDirectory()) << name;
        return static_cast<TDirHandle *>(object);
    }

    std::unique_ptr<TTestTree> Tree;
    std::unique_ptr<TObjectHandles> Handles;
};

}  // namespace

TEST(ObjectHandlesRoot, AMissingRootRaisesTheFolderError)
{
    auto tree = MakeTestTree();
    try {
        TObjectHandles handles(tree->Files(), tree->Root() + L"\\missing");
        FAIL() << "no exception";
    } catch (const std::runtime_error &error) {
        std::string text = error.what();
        EXPECT_EQ(0u, text.find("Can't open folder \"")) << text;
        EXPECT_NE(std::string::npos, text.find("missing\"")) << text;
    }
}

TEST_F(HandlesTest, ObjectsAreFoundAgainIgnoringCaseAndKeepTheirFirstSpelling)
{
    TDirHandle *a = Dir(Handles->Root(), L"a");
    EXPECT_EQ(a, Handles->FindOrCreate(Handles->Root(), L"A"));
    EXPECT_EQ(L"a", a->GetName());
    EXPECT_EQ(Tree->Root() + L"\\a", a->GetPath());
    TObjectHandle *leaf = Handles->FindOrCreate(Dir(a, L"b"), L"LEAF.TXT");
    ASSERT_NE(nullptr, leaf);
    EXPECT_FALSE(leaf->IsDirectory());
    EXPECT_EQ(L"LEAF.TXT", leaf->GetName());
    EXPECT_EQ(leaf, Handles->FindOrCreate(Dir(a, L"b"), L"leaf.txt"));
    EXPECT_EQ(nullptr, Handles->FindOrCreate(a, L"nothing"));
    EXPECT_EQ(nullptr, Handles->FindOrCreate(a, L""));
    EXPECT_EQ(nullptr, Handles->FindOrCreate(a, L"b\\leaf.txt"));
    EXPECT_EQ(nullptr, Handles->FindOrCreate(a, L"b/leaf.txt"));
}

TEST_F(HandlesTest, IdentitiesAreNeverZeroAndNeverReused)
{
    std::set<uint32_t> given = {Handles->Root()->Identity()};
    TDirHandle *a = Dir(Handles->Root(), L"a");
    TDirHandle *b = Dir(a, L"b");
    TObjectHandle *leaf = Handles->FindOrCreate(b, L"leaf.txt");
    TObjectHandle *two = Handles->FindOrCreate(Handles->Root(), L"two.txt");
    const uint32_t bId = b->Identity(), leafId = leaf->Identity(), twoId = two->Identity();
    given.insert({a->Identity(), bId, leafId, twoId});
    // Objects come and go in the middle of the table: no identity may come back, nor follow a position.
    for (int round = 0; round < 20; ++round) {
        TObjectHandle *one = Handles->FindOrCreate(Handles->Root(), L"one.txt");
        ASSERT_NE(nullptr, one);
        EXPECT_NE(0u, one->Identity());
        EXPECT_TRUE(given.insert(one->Identity()).second) << "identity " << one->Identity() << " given twice";
        EXPECT_EQ(one, Handles->Find(one->Identity()));
        const uint32_t oneId = one->Identity();
        Handles->Delete(one);
        EXPECT_EQ(nullptr, Handles->Find(oneId));
        EXPECT_EQ(two, Handles->Find(twoId)) << "the others keep their identity";
        EXPECT_EQ(twoId, two->Identity());
        EXPECT_EQ(leaf, Handles->Find(leafId));
    }

    std::vector<uint32_t> folders = Handles->Delete(a);
    EXPECT_EQ(nullptr, Handles->Find(bId)) << "everything below a deleted folder goes with it";
    EXPECT_EQ(nullptr, Handles->Find(leafId));
    EXPECT_EQ(2u, folders.size()) << "a and b: their snapshots go too";
    Handles->Delete(Handles->Root());
    EXPECT_EQ(Handles->Root(), Handles->Find(Handles->Root()->Identity())) << "the root stays";
}

TEST_F(HandlesTest, AHandleFromBeforeARestartIsStale)
{
    TObjectHandle *one = Handles->FindOrCreate(Handles->Root(), L"one.txt");
    const uint32_t oneId = one->Identity(), rootId = Handles->Root()->Identity();
    Tree->LetTimePass(1);
    TObjectHandles restarted(Tree->Files(), Tree->Root());
    for (const wchar_t *name : {L"a", L"one.txt", L"two.txt"}) restarted.FindOrCreate(restarted.Root(), name);
    EXPECT_EQ(nullptr, restarted.Find(oneId));
    EXPECT_EQ(nullptr, restarted.Find(rootId));
}

// Runs that hand out far more handles than their start times lie apart (here none): none comes back in a
// later run.
TEST_F(HandlesTest, HandlesOfAFullRunNeverNameAnObjectOfTheNext)
{
    struct TStore : TIdentityStore {
        bool Load(uint32_t &next) override { return Saved && (next = Next, true); }
        void Save(uint32_t next) override { Saved = true, Next = next; }
        bool Saved = false;
        uint32_t Next = 0;
    } store;
    constexpr int Objects = 30000;
    const TFileInfo listed;
    std::set<uint32_t> before;
    for (int run = 0; run < 3; ++run) {
        TObjectHandles handles(Tree->Files(), Tree->Root(), &store);
        std::set<uint32_t> given = {handles.Root()->Identity()};
        for (int i = 0; i < Objects; ++i)
            given.insert(handles.FindOrCreate(handles.Root(), L"f-" + std::to_wstring(i), &listed)->Identity());
        ASSERT_EQ(Objects + 1u, given.size());
        std::vector<uint32_t> both;
        std::set_intersection(before.begin(), before.end(), given.begin(), given.end(), std::back_inserter(both));
        EXPECT_TRUE(both.empty()) << both.size() << " handles of run " << run << " were given in an earlier run";
        EXPECT_EQ(0u, given.count(0));
        before.insert(given.begin(), given.end());
    }
}

TEST_F(HandlesTest, AttributesFollowTheFile)
{
    TObjectHandle *two = Handles->FindOrCreate(Handles->Root(), L"two.txt");
    TFattr3 attributes;
    ASSERT_TRUE(Handles->GetAttr(*two, attributes));
    EXPECT_EQ(1u, GetUInt32(attributes));
    EXPECT_EQ(0666u, GetUInt32(attributes + 4));
    EXPECT_EQ(2u, GetUInt32(attributes + 24)) << "size";
    EXPECT_EQ(2u, GetUInt32(attributes + 32)) << "used";
    EXPECT_EQ(two->Identity(), GetUInt32(attributes + 56));

    Tree->Remove("two.txt");
    EXPECT_FALSE(Handles->GetAttr(*two, attributes)) << "gone outside the server";
}

TEST_F(HandlesTest, AFoldersTimesAreThoseOfItsNewestEntry)
{
    TDirHandle *a = Dir(Handles->Root(), L"a");
    TFattr3 before, after;
    ASSERT_TRUE(Handles->GetAttr(*a, before));
    std::vector<TFindRecord> entries;
    ASSERT_TRUE(Tree->Files().List(a->GetPath(), entries));
    uint64_t newest = 0;
    for (const TFindRecord &e : entries) newest = std::max(newest, e.Info.LastWriteTime);
    uint32_t seconds, nanoseconds;
    FileTimeToNfsTime(newest, Tree->Files().TimeZoneBias(), seconds, nanoseconds);
    EXPECT_EQ(seconds, GetUInt32(before + 68)) << "mtime";
    EXPECT_EQ(seconds, GetUInt32(before + 60)) << "atime";
    EXPECT_EQ(nanoseconds, GetUInt32(before + 72));
    ASSERT_TRUE(Handles->GetAttr(*a, after));
    EXPECT_EQ(0, std::memcmp(before, after, Fattr3Size));
}

TEST(FileTime, CountsFrom1970AndAppliesTheBias)
{
    uint32_t seconds, nanoseconds;
    FileTimeToNfsTime(0x019DB1DED53E8000ull + 15 * 10000000ull + 1234567, 0, seconds, nanoseconds);
    EXPECT_EQ(15u, seconds);
    EXPECT_EQ(123456700u, nanoseconds);
    FileTimeToNfsTime(0x019DB1DED53E8000ull + 3600 * 10000000ull, -60, seconds, nanoseconds);
    EXPECT_EQ(7200u, seconds) << "a bias of -60 minutes is one hour east of UTC";
}

TEST_F(HandlesTest, EachDirectoryHasOneSnapshotWithItsOwnVerifier)
{
    TReadDirHandles snapshots(*Handles);
    TDirHandle *a = Dir(Handles->Root(), L"a");
    TReadDirSnapshot *first = snapshots.TakeSnapshot(*a);
    ASSERT_NE(nullptr, first);
    const uint32_t verifier = first->Verifier;
    EXPECT_NE(0u, verifier);
    EXPECT_EQ(3u, first->Files.size()) << ". .. b";
    Tree->AddFile("a/new.txt", "n");
    TReadDirSnapshot *second = snapshots.TakeSnapshot(*a);
    EXPECT_EQ(verifier, second->Verifier);
    EXPECT_EQ(4u, second->Files.size());
    TReadDirSnapshot *root = snapshots.TakeSnapshot(*Handles->Root());
    EXPECT_NE(verifier, root->Verifier);
    EXPECT_EQ(second, snapshots.Find(*a, verifier));
    EXPECT_EQ(nullptr, snapshots.Find(*a, root->Verifier));
    EXPECT_EQ(nullptr, snapshots.Find(*a, uint64_t(verifier) | 1ull << 32));
}
