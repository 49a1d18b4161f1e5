// An in-memory folder tree behind the server's file-system interface, for native tests and the fuzzer.
// It behaves as the Win32 functions do where the server relies on them: names compare ignoring case,
// listings carry "." and "..", unbuffered reads must start and end on sector boundaries, an open file
// cannot be deleted or moved, a read-only one cannot be written or deleted.
#pragma once

#include "fFiles.h"

#include <map>
#include <memory>
#include <string>

class TMemoryFiles : public TFileSystem {
public:
    static constexpr uint32_t SectorSize = 512;
    // The root of the tree as the server sees it.
    static const std::wstring RootPath;

    struct TNode {
        bool Folder = true;
        std::wstring Name;
        std::string Data;
        TFileInfo Info;
        std::map<std::wstring, std::shared_ptr<TNode>> Children;  // by folded name
        int Opened = 0;                                            // handles open on it
    };

    TMemoryFiles();
    // Paths relative to the root, "/"-separated, UTF-8.
    void AddFolder(const std::string &relative);
    void AddFile(const std::string &relative, const std::string &data, bool readOnly = false);
    void Remove(const std::string &relative);

    uint32_t LastError() override { return Error; }
    bool IsFolder(const std::wstring &path) override;
    bool IsFile(const std::wstring &path) override;
    bool RealPath(const std::wstring &path, std::wstring &onVolume, std::wstring *full) override;
    bool StoredName(const std::wstring &path, std::wstring &stored) override;
    std::unique_ptr<TOpenFile> OpenForAttributes(const std::wstring &path, bool folder) override;
    std::unique_ptr<TOpenFile> OpenForUnbufferedRead(const std::wstring &path) override;
    std::unique_ptr<TOpenFile> OpenForWriting(const std::wstring &path) override;
    bool MakeNewFile(const std::wstring &path, bool readOnly) override;
    bool MakeFolder(const std::wstring &path) override;
    bool RemoveFile(const std::wstring &path) override;
    bool RemoveFolder(const std::wstring &path) override;
    bool Rename(const std::wstring &from, const std::wstring &to) override;
    bool List(const std::wstring &folder, std::vector<TFindRecord> &entries) override;
    bool BytesPerSector(const std::wstring &folder, uint32_t &bytes) override;
    bool DiskFree(const std::wstring &folder, uint64_t &total, uint64_t &free, uint64_t &available) override;
    bool ToWide(uint32_t codePage, const std::string &text, std::wstring &wide) override;
    bool ToNarrow(uint32_t codePage, const std::wstring &wide, std::string &text) override;
    std::string AnsiText(const std::wstring &wide) override;
    std::wstring FoldCase(const std::wstring &name) override;
    int32_t TimeZoneBias() override { return 0; }
    uint64_t SystemTime() override { return Clock; }
    uint32_t TickCount() override { return static_cast<uint32_t>(Clock / 10000); }

    uint64_t Clock;
    unsigned ListCalls = 0;
    unsigned Flushes = 0;
    // The disk: a file grows to MaxFileSize at most, and all files together by MaxGrowth over the
    // tree's life; beyond, writes fail as on a full disk.
    uint64_t MaxFileSize = 64ull << 20;
    uint64_t MaxGrowth = 256ull << 20;
    uint64_t Grown = 0;

private:
    TNode *Resolve(const std::wstring &path);
    // The folder that holds path and the last name of path; none when that folder does not exist.
    TNode *ResolveParent(const std::wstring &path, std::wstring &name);
    // The entry path names and the folder that holds it; none when either is missing.
    std::shared_ptr<TNode> Entry(const std::wstring &path, TNode *&parent);
    std::unique_ptr<TOpenFile> Open(const std::wstring &path, bool unbuffered, bool writable);
    bool AddEntry(const std::wstring &path, bool folder, bool readOnly);
    bool RemoveEntry(const std::wstring &path, bool folder);
    TNode *ResolveRelative(const std::string &relative, bool parentOnly, std::wstring &last);

    TNode Root;
    uint32_t Error = 0;
    uint32_t NextToken = 0x100;
};
