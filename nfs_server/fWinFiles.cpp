#include "fWinFiles.h"

#include <windows.h>

#include <vector>

namespace {

// Conversion buffers hold 1024 units, as names on the wire are below 1024 bytes.
constexpr int NameBufferUnits = 1024;

uint64_t Join64(DWORD high, DWORD low) { return uint64_t(high) << 32 | low; }
uint64_t FileTime(const FILETIME &t) { return Join64(t.dwHighDateTime, t.dwLowDateTime); }
FILETIME ToFileTime(uint64_t t) { return FILETIME{static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)}; }

std::wstring WithSlash(const std::wstring &folder)
{
    return !folder.empty() && folder.back() == L'\\' ? folder : folder + L"\\";
}

class THandleFile : public TOpenFile {
public:
    explicit THandleFile(HANDLE handle) : Handle(handle) {}
    ~THandleFile() override { CloseHandle(Handle); }

    // Two queries of the handle alone: the all-in-one query also asks for the volume's serial number,
    // which under Wine is a round trip to the mount manager's process on every call.
    bool GetInfo(TFileInfo &info) override
    {
        FILE_BASIC_INFO basic;
        FILE_STANDARD_INFO standard;
        if (!GetFileInformationByHandleEx(Handle, FileBasicInfo, &basic, sizeof basic) ||
            !GetFileInformationByHandleEx(Handle, FileStandardInfo, &standard, sizeof standard))
            return false;
        info.Attributes = basic.FileAttributes;
        info.CreationTime = static_cast<uint64_t>(basic.CreationTime.QuadPart);
        info.LastAccessTime = static_cast<uint64_t>(basic.LastAccessTime.QuadPart);
        info.LastWriteTime = static_cast<uint64_t>(basic.LastWriteTime.QuadPart);
        info.Size = static_cast<uint64_t>(standard.EndOfFile.QuadPart);
        return true;
    }

    bool Seek(uint64_t offset) override
    {
        LARGE_INTEGER to;
        to.QuadPart = static_cast<LONGLONG>(offset);
        return SetFilePointerEx(Handle, to, nullptr, FILE_BEGIN) != 0;
    }

    bool Read(void *buffer, uint32_t n, uint32_t &got) override
    {
        DWORD done = 0;
        if (!ReadFile(Handle, buffer, n, &done, nullptr)) return false;
        got = done;
        return true;
    }

    bool Write(const void *buffer, uint32_t n, uint32_t &written) override
    {
        DWORD done = 0;
        if (!WriteFile(Handle, buffer, n, &done, nullptr)) return false;
        written = done;
        return true;
    }

    bool SetEnd() override { return SetEndOfFile(Handle) != 0; }
    bool Flush() override { return FlushFileBuffers(Handle) != 0; }

    bool GetTimes(uint64_t &creation, uint64_t &access, uint64_t &write) override
    {
        FILETIME c, a, w;
        if (!GetFileTime(Handle, &c, &a, &w)) return false;
        creation = FileTime(c);
        access = FileTime(a);
        write = FileTime(w);
        return true;
    }

    bool SetTimes(uint64_t creation, uint64_t access, uint64_t write) override
    {
        const FILETIME c = ToFileTime(creation), a = ToFileTime(access), w = ToFileTime(write);
        return SetFileTime(Handle, &c, &a, &w) != 0;
    }

    uint32_t Token() const override { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(Handle)); }

private:
    HANDLE Handle;
};

std::unique_ptr<TOpenFile> Open(const std::wstring &path, DWORD flags)
{
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<THandleFile>(handle);
}

}  // namespace

uint32_t TWinFiles::LastError() { return GetLastError(); }

bool TWinFiles::IsFolder(const std::wstring &path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool TWinFiles::IsFile(const std::wstring &path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool TWinFiles::RealPath(const std::wstring &path, std::wstring &onVolume, std::wstring *full)
{
    HANDLE handle = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    // The name on the volume is one cheap query; the full path, under Wine, asks the mount manager.
    std::vector<uint8_t> buffer(sizeof(FILE_NAME_INFO) + 32768 * sizeof(wchar_t));
    auto *name = reinterpret_cast<FILE_NAME_INFO *>(buffer.data());
    bool found = GetFileInformationByHandleEx(handle, FileNameInfo, name, static_cast<DWORD>(buffer.size())) != 0;
    if (found) onVolume.assign(name->FileName, name->FileNameLength / sizeof(wchar_t));
    if (found && full) {
        std::vector<wchar_t> final(32768);
        DWORD n = GetFinalPathNameByHandleW(handle, final.data(), static_cast<DWORD>(final.size()), VOLUME_NAME_DOS);
        found = n > 0 && n < final.size();
        if (found) {
            full->assign(final.data(), n);
            const std::wstring unc = L"\\\\?\\UNC\\", local = L"\\\\?\\";
            if (full->compare(0, unc.size(), unc) == 0)
                *full = L"\\\\" + full->substr(unc.size());
            else if (full->compare(0, local.size(), local) == 0)
                *full = full->substr(local.size());
        }
    }
    DWORD error = GetLastError();
    CloseHandle(handle);
    SetLastError(error);
    return found;
}

bool TWinFiles::StoredName(const std::wstring &path, std::wstring &stored)
{
    const std::wstring name = path.substr(path.find_last_of(L'\\') + 1);
    // The find functions take these as patterns: the entry found must be the one named.
    if (name.empty() || name.find_first_of(L"*?<>\"") != std::wstring::npos) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(path.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return false;
    FindClose(find);
    const std::wstring folded = FoldCase(name);
    if (FoldCase(data.cFileName) != folded && FoldCase(data.cAlternateFileName) != folded) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    stored = data.cFileName;
    return true;
}

std::unique_ptr<TOpenFile> TWinFiles::OpenForAttributes(const std::wstring &path, bool folder)
{
    return Open(path, folder ? FILE_FLAG_BACKUP_SEMANTICS : FILE_ATTRIBUTE_NORMAL);
}

std::unique_ptr<TOpenFile> TWinFiles::OpenForUnbufferedRead(const std::wstring &path)
{
    return Open(path, FILE_FLAG_NO_BUFFERING);
}

std::unique_ptr<TOpenFile> TWinFiles::OpenForWriting(const std::wstring &path)
{
    // Attributes are read through this handle too (WRITE's attributes before and after).
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<THandleFile>(handle);
}

bool TWinFiles::MakeNewFile(const std::wstring &path, bool readOnly)
{
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                                readOnly ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    CloseHandle(handle);
    return true;
}

bool TWinFiles::MakeFolder(const std::wstring &path) { return CreateDirectoryW(path.c_str(), nullptr) != 0; }

bool TWinFiles::RemoveFile(const std::wstring &path) { return DeleteFileW(path.c_str()) != 0; }

bool TWinFiles::RemoveFolder(const std::wstring &path) { return RemoveDirectoryW(path.c_str()) != 0; }

bool TWinFiles::Rename(const std::wstring &from, const std::wstring &to)
{
    if (from == to || FoldCase(from) != FoldCase(to)) return MoveFileW(from.c_str(), to.c_str()) != 0;
    // A change of letter case alone: Wine takes the target for the source and keeps the old spelling,
    // so the name goes by way of a free one beside it.
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        const std::wstring aside = from + L".case-" + std::to_wstring(GetTickCount()) + L"-" + std::to_wstring(attempt);
        if (GetFileAttributesW(aside.c_str()) != INVALID_FILE_ATTRIBUTES) continue;
        if (!MoveFileW(from.c_str(), aside.c_str())) return false;
        if (MoveFileW(aside.c_str(), to.c_str())) return true;
        const DWORD error = GetLastError();
        MoveFileW(aside.c_str(), from.c_str());
        SetLastError(error);
        return false;
    }
    SetLastError(ERROR_ALREADY_EXISTS);
    return false;
}

bool TWinFiles::List(const std::wstring &folder, std::vector<TFindRecord> &entries)
{
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((WithSlash(folder) + L"*.*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return false;
    entries.clear();
    do {
        TFindRecord record;
        record.Info.Attributes = data.dwFileAttributes;
        record.Info.CreationTime = FileTime(data.ftCreationTime);
        record.Info.LastAccessTime = FileTime(data.ftLastAccessTime);
        record.Info.LastWriteTime = FileTime(data.ftLastWriteTime);
        record.Info.Size = Join64(data.nFileSizeHigh, data.nFileSizeLow);
        record.Name = data.cFileName;
        record.ShortName = data.cAlternateFileName;
        entries.push_back(std::move(record));
    } while (FindNextFileW(find, &data));
    DWORD ended = GetLastError();
    FindClose(find);
    SetLastError(ended);
    return ended == ERROR_NO_MORE_FILES;
}

bool TWinFiles::BytesPerSector(const std::wstring &folder, uint32_t &bytes)
{
    // The geometry query wants the volume's root, not any folder on it.
    wchar_t volume[MAX_PATH + 1];
    if (!GetVolumePathNameW(WithSlash(folder).c_str(), volume, MAX_PATH + 1)) return false;
    DWORD sectorsPerCluster, bytesPerSector, freeClusters, clusters;
    if (!GetDiskFreeSpaceW(volume, &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters)) return false;
    bytes = bytesPerSector;
    return true;
}

bool TWinFiles::DiskFree(const std::wstring &folder, uint64_t &total, uint64_t &free, uint64_t &available)
{
    ULARGE_INTEGER caller, all, unused;
    if (!GetDiskFreeSpaceExW(WithSlash(folder).c_str(), &caller, &all, &unused)) return false;
    available = caller.QuadPart;
    total = all.QuadPart;
    free = unused.QuadPart;
    return true;
}

bool TWinFiles::ToWide(uint32_t codePage, const std::string &text, std::wstring &wide)
{
    if (text.empty()) {
        wide.clear();
        return true;
    }
    wchar_t buffer[NameBufferUnits];
    int n = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), buffer, NameBufferUnits);
    if (n <= 0) return false;
    wide.assign(buffer, static_cast<std::size_t>(n));
    return true;
}

bool TWinFiles::ToNarrow(uint32_t codePage, const std::wstring &wide, std::string &text)
{
    if (wide.empty()) {
        text.clear();
        return true;
    }
    char buffer[NameBufferUnits];
    int n = WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), buffer, NameBufferUnits,
                                nullptr, nullptr);
    if (n <= 0) return false;
    text.assign(buffer, static_cast<std::size_t>(n));
    return true;
}

std::string TWinFiles::AnsiText(const std::wstring &wide)
{
    int n = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return std::string();
    std::string text(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, &text[0], n, nullptr, nullptr);
    text.resize(static_cast<std::size_t>(n - 1));
    return text;
}

std::wstring TWinFiles::FoldCase(const std::wstring &name)
{
    std::wstring folded = name;
    if (!folded.empty()) CharUpperBuffW(&folded[0], static_cast<DWORD>(folded.size()));
    return folded;
}

// Asked for every set of attributes: the answer is kept for a second, which a change of the zone or of
// daylight time may take to show.
int32_t TWinFiles::TimeZoneBias()
{
    const DWORD now = GetTickCount();
    if (BiasKnown && now - BiasAt < BiasLifeMs) return Bias;
    TIME_ZONE_INFORMATION zone;
    switch (GetTimeZoneInformation(&zone)) {
    case TIME_ZONE_ID_STANDARD: Bias = zone.Bias; break;
    case TIME_ZONE_ID_DAYLIGHT: Bias = zone.Bias + zone.DaylightBias; break;
    default: Bias = 0;
    }
    BiasKnown = true;
    BiasAt = now;
    return Bias;
}

uint64_t TWinFiles::SystemTime()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return FileTime(now);
}

uint32_t TWinFiles::TickCount() { return GetTickCount(); }
