#include "MemoryFiles.h"

#include <algorithm>

namespace {

constexpr uint32_t CodePageUtf8 = 65001;
constexpr uint32_t ErrInvalidParameter = 87;
// 2026-01-01 as a Windows file time.
constexpr uint64_t StartTime = 134117856000000000ull;

class TMemoryFile : public TOpenFile {
public:
    TMemoryFile(TMemoryFiles::TNode &node, bool unbuffered, uint32_t &error)
        : Node(node), Unbuffered(unbuffered), Error(error)
    {
    }
    bool GetInfo(TFileInfo &info) override
    {
        info = Node.Info;
        info.Size = Node.Folder ? 0 : Node.Data.size();
        return true;
    }
    bool Seek(uint64_t offset) override
    {
        if (Unbuffered && offset % TMemoryFiles::SectorSize) return Fail();
        Position = offset;
        return true;
    }
    bool Read(void *buffer, uint32_t n, uint32_t &got) override
    {
        if (Unbuffered && n % TMemoryFiles::SectorSize) return Fail();
        got = 0;
        if (Position < Node.Data.size()) {
            got = static_cast<uint32_t>(std::min<uint64_t>(n, Node.Data.size() - Position));
            Node.Data.copy(static_cast<char *>(buffer), got, static_cast<std::size_t>(Position));
        }
        Position += got;
        return true;
    }

private:
    bool Fail()
    {
        Error = ErrInvalidParameter;
        return false;
    }
    TMemoryFiles::TNode &Node;
    bool Unbuffered;
    uint32_t &Error;
    uint64_t Position = 0;
};

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
    auto node = std::make_unique<TNode>();
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
    auto node = std::make_unique<TNode>();
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

std::unique_ptr<TOpenFile> TMemoryFiles::OpenForAttributes(const std::wstring &path, bool)
{
    TNode *node = Resolve(path);
    if (!node) return nullptr;
    return std::make_unique<TMemoryFile>(*node, false, Error);
}

std::unique_ptr<TOpenFile> TMemoryFiles::OpenForUnbufferedRead(const std::wstring &path)
{
    TNode *node = Resolve(path);
    if (!node) return nullptr;
    if (node->Folder) {
        Error = WinErrAccessDenied;
        return nullptr;
    }
    return std::make_unique<TMemoryFile>(*node, true, Error);
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
    for (const wchar_t *dot : {L".", L".."}) {
        TFindRecord record;
        record.Info = node->Info;
        record.Name = dot;
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
