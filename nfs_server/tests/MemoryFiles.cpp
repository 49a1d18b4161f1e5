#include "MemoryFiles.h"

#include <algorithm>

namespace {

constexpr uint32_t CodePageUtf8 = 65001;
constexpr uint32_t ErrInvalidParameter = 87;
// 2026-01-01 as a Windows file time.
constexpr uint64_t StartTime = 134117856000000000ull;

// An open handle: it keeps its node alive and open (no deletion or move) until it closes.
class TMemoryFile : public TOpenFile {
public:
    TMemoryFile(TMemoryFiles &files, std::shared_ptr<TMemoryFiles::TNode> node, bool unbuffered, bool writable,
                uint32_t &error, uint32_t token)
        : Files(files), Node(std::move(node)), Unbuffered(unbuffered), Writable(writable), Error(error), FToken(token)
    {
        ++Node->Opened;
    }
    ~TMemoryFile() override { --Node->Opened; }
    bool GetInfo(TFileInfo &info) override
    {
        info = Node->Info;
        info.Size = Node->Folder ? 0 : Node->Data.size();
        return true;
    }
    bool Seek(uint64_t offset) override
    {
        if (Unbuffered && offset % TMemoryFiles::SectorSize) return Fail(ErrInvalidParameter);
        Position = offset;
        return true;
    }
    bool Read(void *buffer, uint32_t n, uint32_t &got) override
    {
        if (Unbuffered && n % TMemoryFiles::SectorSize) return Fail(ErrInvalidParameter);
        got = 0;
        if (Position < Node->Data.size()) {
            got = static_cast<uint32_t>(std::min<uint64_t>(n, Node->Data.size() - Position));
            Node->Data.copy(static_cast<char *>(buffer), got, static_cast<std::size_t>(Position));
        }
        Position += got;
        return true;
    }
    bool Write(const void *buffer, uint32_t n, uint32_t &written) override
    {
        if (!Writable) return Fail(WinErrAccessDenied);
        // A far offset is a disk too small to hold it, never a wrapped end.
        if (Position > Files.MaxFileSize || n > Files.MaxFileSize - Position) return Fail(WinErrDiskFull);
        if (!Resize(std::max<uint64_t>(Node->Data.size(), Position + n))) return false;
        Node->Data.replace(static_cast<std::size_t>(Position), n, static_cast<const char *>(buffer), n);
        Position += n;
        written = n;
        Node->Info.LastWriteTime = Files.Clock;
        return true;
    }
    bool SetEnd() override { return Writable ? Resize(Position) : Fail(WinErrAccessDenied); }
    bool Flush() override { return Writable ? (++Files.Flushes, true) : Fail(WinErrAccessDenied); }
    bool GetTimes(uint64_t &creation, uint64_t &access, uint64_t &write) override
    {
        creation = Node->Info.CreationTime;
        access = Node->Info.LastAccessTime;
        write = Node->Info.LastWriteTime;
        return true;
    }
    bool SetTimes(uint64_t creation, uint64_t access, uint64_t write) override
    {
        if (!Writable) return Fail(WinErrAccessDenied);
        Node->Info.CreationTime = creation;
        Node->Info.LastAccessTime = access;
        Node->Info.LastWriteTime = write;
        return true;
    }
    uint32_t Token() const override { return FToken; }

private:
    bool Fail(uint32_t error)
    {
        Error = error;
        return false;
    }
    bool Resize(uint64_t size)
    {
        uint64_t growth = size > Node->Data.size() ? size - Node->Data.size() : 0;
        if (size > Files.MaxFileSize || Files.Grown + growth > Files.MaxGrowth) return Fail(WinErrDiskFull);
        Files.Grown += growth;
        Node->Data.resize(static_cast<std::size_t>(size));
        Node->Info.LastWriteTime = Files.Clock;
        return true;
    }
    TMemoryFiles &Files;
    std::shared_ptr<TMemoryFiles::TNode> Node;
    bool Unbuffered, Writable;
    uint32_t &Error;
    uint32_t FToken;
    uint64_t Position = 0;
};

// The node is folder or lies below it.
bool Holds(const TMemoryFiles::TNode &folder, const TMemoryFiles::TNode *node)
{
    if (&folder == node) return true;
    for (const auto &child : folder.Children)
        if (Holds(*child.second, node)) return true;
    return false;
}

// A node or anything below it is open.
bool InUse(const TMemoryFiles::TNode &node)
{
    if (node.Opened > 0) return true;
    for (const auto &child : node.Children)
        if (InUse(*child.second)) return true;
    return false;
}

bool DecodeUtf8(const std::string &text, std::wstring &wide)
{
    wide.clear();
    for (std::size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        int extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
        if (extra < 0 || text.size() - i <= static_cast<std::size_t>(extra)) return false;
        uint32_t code = extra == 0 ? c : c & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k) {
            unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            code = code << 6 | (next & 0x3F);
        }
        if (code > 0xFFFF) return false;  // one UTF-16 unit per character is enough for these tests
        wide.push_back(static_cast<wchar_t>(code));
        i += extra + 1;
    }
    return true;
}

std::string EncodeUtf8(const std::wstring &wide)
{
    std::string text;
    for (wchar_t w : wide) {
        uint32_t c = static_cast<uint32_t>(w);
        if (c < 0x80) {
            text.push_back(char(c));
        } else if (c < 0x800) {
            text.push_back(char(0xC0 | c >> 6));
            text.push_back(char(0x80 | (c & 0x3F)));
        } else {
            text.push_back(char(0xE0 | c >> 12));
            text.push_back(char(0x80 | (c >> 6 & 0x3F)));
            text.push_back(char(0x80 | (c & 0x3F)));
        }
    }
    return text;
}

}  // namespace

const std::wstring TMemoryFiles::RootPath = L"M:\\served";

TMemoryFiles::TMemoryFiles() : Clock(StartTime)
{
    Root.Info.Attributes = FileAttrDirectory;
    Root.Info.CreationTime = Root.Info.LastAccessTime = Root.Info.LastWriteTime = StartTime;
}

TMemoryFiles::TNode *TMemoryFiles::ResolveRelative(const std::string &relative, bool parentOnly, std::wstring &last)
{
    std::wstring wide;
    DecodeUtf8(relative, wide);
    TNode *node = &Root;
    std::size_t at = 0;
    for (;;) {
        std::size_t end = wide.find(L'/', at);
        std::wstring part = wide.substr(at, end == std::wstring::npos ? std::wstring::npos : end - at);
        if (end == std::wstring::npos && parentOnly) {
            last = part;
            return node;
        }
        auto child = node->Children.find(FoldCase(part));
        if (child == node->Children.end()) return nullptr;
        node = child->second.get();
        if (end == std::wstring::npos) return node;
        at = end + 1;
    }
}

void TMemoryFiles::AddFolder(const std::string &relative)
{
    std::wstring name;
    TNode *parent = ResolveRelative(relative, true, name);
    auto node = std::make_shared<TNode>();
    node->Name = name;
    node->Info.Attributes = FileAttrDirectory;
    node->Info.CreationTime = node->Info.LastAccessTime = node->Info.LastWriteTime = Clock += 10000000;
    parent->Info.LastWriteTime = Clock;
    parent->Children[FoldCase(name)] = std::move(node);
}

void TMemoryFiles::AddFile(const std::string &relative, const std::string &data, bool readOnly)
{
    std::wstring name;
    TNode *parent = ResolveRelative(relative, true, name);
    auto node = std::make_shared<TNode>();
    node->Folder = false;
    node->Name = name;
    node->Data = data;
    node->Info.Attributes = readOnly ? FileAttrReadOnly : 0;
    node->Info.CreationTime = node->Info.LastAccessTime = node->Info.LastWriteTime = Clock += 10000000;
    parent->Info.LastWriteTime = Clock;
    parent->Children[FoldCase(name)] = std::move(node);
}

void TMemoryFiles::Remove(const std::string &relative)
{
    std::wstring name;
    TNode *parent = ResolveRelative(relative, true, name);
    if (parent && parent->Children.erase(FoldCase(name))) parent->Info.LastWriteTime = Clock += 10000000;
}

TMemoryFiles::TNode *TMemoryFiles::Resolve(const std::wstring &path)
{
    Error = WinErrPathNotFound;
    if (path.compare(0, RootPath.size(), RootPath) != 0) return nullptr;
    TNode *node = &Root;
    std::size_t at = RootPath.size();
    while (at < path.size()) {
        if (path[at] != L'\\' || !node->Folder) return nullptr;
        std::size_t end = std::min(path.find(L'\\', at + 1), path.size());
        auto child = node->Children.find(FoldCase(path.substr(at + 1, end - at - 1)));
        if (child == node->Children.end()) {
            if (end == path.size()) Error = WinErrFileNotFound;
            return nullptr;
        }
        node = child->second.get();
        at = end;
    }
    Error = 0;
    return node;
}

bool TMemoryFiles::IsFolder(const std::wstring &path)
{
    TNode *node = Resolve(path);
    return node && node->Folder;
}

bool TMemoryFiles::IsFile(const std::wstring &path)
{
    TNode *node = Resolve(path);
    return node && !node->Folder;
}

bool TMemoryFiles::RealPath(const std::wstring &path, std::wstring &onVolume, std::wstring *full)
{
    // The tree has no links: every path leads where it says.
    if (!Resolve(path)) return false;
    onVolume = path.size() >= 2 && path[1] == L':' ? path.substr(2) : path;
    if (full) *full = path;
    return true;
}

std::unique_ptr<TOpenFile> TMemoryFiles::Open(const std::wstring &path, bool unbuffered, bool writable)
{
    TNode *parent = nullptr;
    std::shared_ptr<TNode> node =
        path == RootPath ? std::shared_ptr<TNode>(&Root, [](TNode *) {}) : Entry(path, parent);
    if (!node) return nullptr;
    if (((unbuffered || writable) && node->Folder) || (writable && (node->Info.Attributes & FileAttrReadOnly))) {
        Error = WinErrAccessDenied;
        return nullptr;
    }
    return std::make_unique<TMemoryFile>(*this, node, unbuffered, writable, Error, NextToken += 4);
}

std::unique_ptr<TOpenFile> TMemoryFiles::OpenForAttributes(const std::wstring &path, bool)
{
    return Open(path, false, false);
}

std::unique_ptr<TOpenFile> TMemoryFiles::OpenForUnbufferedRead(const std::wstring &path)
{
    return Open(path, true, false);
}

std::unique_ptr<TOpenFile> TMemoryFiles::OpenForWriting(const std::wstring &path) { return Open(path, false, true); }

TMemoryFiles::TNode *TMemoryFiles::ResolveParent(const std::wstring &path, std::wstring &name)
{
    std::size_t cut = path.find_last_of(L'\\');
    if (cut == std::wstring::npos || path.size() <= RootPath.size()) {
        TNode *root = Resolve(path);
        name.clear();
        return root == &Root ? &Root : nullptr;
    }
    TNode *parent = Resolve(path.substr(0, cut));
    if (!parent || !parent->Folder) {
        Error = WinErrPathNotFound;
        return nullptr;
    }
    name = path.substr(cut + 1);
    return parent;
}

bool TMemoryFiles::StoredName(const std::wstring &path, std::wstring &stored)
{
    TNode *parent;
    std::shared_ptr<TNode> node = Entry(path, parent);
    if (node) stored = node->Name;
    return node != nullptr;
}

std::shared_ptr<TMemoryFiles::TNode> TMemoryFiles::Entry(const std::wstring &path, TNode *&parent)
{
    std::wstring name;
    parent = ResolveParent(path, name);
    if (!parent) return nullptr;
    auto found = parent->Children.find(FoldCase(name));
    if (found != parent->Children.end()) return found->second;
    Error = WinErrFileNotFound;
    return nullptr;
}

bool TMemoryFiles::AddEntry(const std::wstring &path, bool folder, bool readOnly)
{
    std::wstring name;
    TNode *parent = ResolveParent(path, name);
    if (!parent || name.empty()) return false;
    if (parent->Children.count(FoldCase(name))) {
        Error = folder ? WinErrAlreadyExists : WinErrFileExists;
        return false;
    }
    auto node = std::make_shared<TNode>();
    node->Folder = folder;
    node->Name = name;
    node->Info.Attributes = folder ? FileAttrDirectory : readOnly ? FileAttrReadOnly : 0;
    node->Info.CreationTime = node->Info.LastAccessTime = node->Info.LastWriteTime = Clock;
    parent->Info.LastWriteTime = Clock;
    parent->Children[FoldCase(name)] = node;
    return true;
}

bool TMemoryFiles::RemoveEntry(const std::wstring &path, bool folder)
{
    TNode *parent = nullptr;
    std::shared_ptr<TNode> node = Entry(path, parent);
    if (!node) return false;
    if (folder)
        Error = !node->Folder ? WinErrDirectory : !node->Children.empty() ? WinErrDirNotEmpty : 0;
    else
        Error = node->Folder || (node->Info.Attributes & FileAttrReadOnly) ? WinErrAccessDenied : 0;
    if (!Error && node->Opened) Error = WinErrSharingViolation;
    if (Error) return false;
    parent->Children.erase(FoldCase(node->Name));
    parent->Info.LastWriteTime = Clock;
    return true;
}

bool TMemoryFiles::MakeNewFile(const std::wstring &path, bool readOnly) { return AddEntry(path, false, readOnly); }

bool TMemoryFiles::MakeFolder(const std::wstring &path) { return AddEntry(path, true, false); }

bool TMemoryFiles::RemoveFile(const std::wstring &path) { return RemoveEntry(path, false); }

bool TMemoryFiles::RemoveFolder(const std::wstring &path) { return RemoveEntry(path, true); }

bool TMemoryFiles::Rename(const std::wstring &from, const std::wstring &to)
{
    TNode *fromParent = nullptr;
    std::shared_ptr<TNode> node = Entry(from, fromParent);
    if (!node) return false;
    std::wstring toName;
    TNode *toParent = ResolveParent(to, toName);
    if (!toParent || toName.empty()) return false;
    auto existing = toParent->Children.find(FoldCase(toName));
    if (existing != toParent->Children.end() && existing->second != node) {
        Error = WinErrAlreadyExists;
        return false;
    }
    if (node->Folder && Holds(*node, toParent)) {
        Error = WinErrAccessDenied;  // into itself
        return false;
    }
    if (InUse(*node)) {
        Error = WinErrSharingViolation;
        return false;
    }
    fromParent->Children.erase(FoldCase(node->Name));
    node->Name = toName;
    toParent->Children[FoldCase(toName)] = node;
    fromParent->Info.LastWriteTime = toParent->Info.LastWriteTime = Clock;
    return true;
}

bool TMemoryFiles::List(const std::wstring &folder, std::vector<TFindRecord> &entries)
{
    ++ListCalls;
    TNode *node = Resolve(folder);
    if (!node || !node->Folder) {
        Error = WinErrPathNotFound;
        return false;
    }
    entries.clear();
    // ".." carries the parent's times, as a real listing does (the root's own in the root).
    std::wstring unused;
    TNode *parent = folder.size() > RootPath.size() ? ResolveParent(folder, unused) : node;
    for (TNode *dot : {node, parent ? parent : node}) {
        TFindRecord record;
        record.Info = dot->Info;
        record.Name = dot == node && entries.empty() ? L"." : L"..";
        entries.push_back(record);
    }
    for (const auto &child : node->Children) {
        TFindRecord record;
        record.Info = child.second->Info;
        record.Info.Size = child.second->Data.size();
        record.Name = child.second->Name;
        entries.push_back(record);
    }
    return true;
}

bool TMemoryFiles::BytesPerSector(const std::wstring &folder, uint32_t &bytes)
{
    if (!IsFolder(folder)) return false;
    bytes = SectorSize;
    return true;
}

bool TMemoryFiles::DiskFree(const std::wstring &folder, uint64_t &total, uint64_t &free, uint64_t &available)
{
    if (!IsFolder(folder)) return false;
    total = 10000000000ull;
    free = 6000000000ull;
    available = 5000000000ull;
    return true;
}

bool TMemoryFiles::ToWide(uint32_t codePage, const std::string &text, std::wstring &wide)
{
    if (codePage == CodePageUtf8) return DecodeUtf8(text, wide);
    wide.assign(text.begin(), text.end());
    for (wchar_t &w : wide) w = static_cast<wchar_t>(static_cast<unsigned char>(w));
    return true;
}

bool TMemoryFiles::ToNarrow(uint32_t codePage, const std::wstring &wide, std::string &text)
{
    if (codePage == CodePageUtf8) {
        text = EncodeUtf8(wide);
        return true;
    }
    text.clear();
    for (wchar_t w : wide) {
        if (static_cast<uint32_t>(w) > 0xFF) return false;
        text.push_back(static_cast<char>(w));
    }
    return true;
}

std::string TMemoryFiles::AnsiText(const std::wstring &wide) { return EncodeUtf8(wide); }

std::wstring TMemoryFiles::FoldCase(const std::wstring &name)
{
    std::wstring folded = name;
    for (wchar_t &c : folded)
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    return folded;
}
