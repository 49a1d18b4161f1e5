#include "MemoryFiles.h"
#include "TestTree.h"

namespace {

class TMemoryTree : public TTestTree {
public:
    TFileSystem &Files() override { return Memory; }
    std::wstring Root() override { return TMemoryFiles::RootPath; }
    void AddFolder(const std::string &relative) override { Memory.AddFolder(relative); }
    void AddFile(const std::string &relative, const std::string &data, bool readOnly) override
    {
        Memory.AddFile(relative, data, readOnly);
    }
    void Remove(const std::string &relative) override { Memory.Remove(relative); }
    std::string ShortName(const std::string &) override { return {}; }
    void LetTimePass(unsigned seconds) override { Memory.Clock += seconds * 10000000ull; }
    unsigned Listings() override { return Memory.ListCalls; }
    unsigned Flushes() override { return Memory.Flushes; }

private:
    TMemoryFiles Memory;
};

}  // namespace

std::unique_ptr<TTestTree> MakeTestTree() { return std::make_unique<TMemoryTree>(); }
