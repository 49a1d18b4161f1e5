#include "TestTree.h"
#include "fWinFiles.h"

#include <windows.h>

#include <stdexcept>

namespace {

std::wstring Wide(const std::string &utf8)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, &wide[0], n);
    wide.resize(static_cast<std::size_t>(n - 1));
    for (wchar_t &c : wide)
        if (c == L'/') c = L'\\';
    return wide;
}

void RemoveTree(const std::wstring &path)
{
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring child = path + L"\\" + name;
            SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(child);
            else
                DeleteFileW(child.c_str());
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    RemoveDirectoryW(path.c_str());
}

// A file open for writing whose flushes are counted.
class TCountedFile : public TOpenFile {
public:
    TCountedFile(std::unique_ptr<TOpenFile> file, unsigned &flushes) : File(std::move(file)), Flushes(flushes) {}
    bool GetInfo(TFileInfo &info) override { return File->GetInfo(info); }
    bool Seek(uint64_t offset) override { return File->Seek(offset); }
    bool Read(void *buffer, uint32_t n, uint32_t &got) override { return File->Read(buffer, n, got); }
    bool Write(const void *buffer, uint32_t n, uint32_t &written) override { return File->Write(buffer, n, written); }
    bool SetEnd() override { return File->SetEnd(); }
    bool Flush() override { return File->Flush() && ++Flushes; }
    bool GetTimes(uint64_t &c, uint64_t &a, uint64_t &w) override { return File->GetTimes(c, a, w); }
    bool SetTimes(uint64_t c, uint64_t a, uint64_t w) override { return File->SetTimes(c, a, w); }
    uint32_t Token() const override { return File->Token(); }

private:
    std::unique_ptr<TOpenFile> File;
    unsigned &Flushes;
};

class TCountingFiles : public TWinFiles {
public:
    bool List(const std::wstring &folder, std::vector<TFindRecord> &entries) override
    {
        ++Calls;
        return TWinFiles::List(folder, entries);
    }
    std::unique_ptr<TOpenFile> OpenForWriting(const std::wstring &path) override
    {
        std::unique_ptr<TOpenFile> file = TWinFiles::OpenForWriting(path);
        return file ? std::make_unique<TCountedFile>(std::move(file), Flushes) : nullptr;
    }
    unsigned Calls = 0, Flushes = 0;
};

class TWinTree : public TTestTree {
public:
    TWinTree()
    {
        // Beside the test program rather than in the temporary folder: under Wine that folder lies in the
        // prefix, which the network-namespace tests copy while these tests run, and a tree that vanishes
        // in the middle of the copy fails it.
        wchar_t self[MAX_PATH];
        DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
        std::wstring folder(self, n);
        folder.resize(folder.find_last_of(L'\\') + 1);
        Path = folder + L"seldrix-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
               std::to_wstring(GetTickCount());
        if (!CreateDirectoryW(Path.c_str(), nullptr)) throw std::runtime_error("cannot create the test folder");
    }
    ~TWinTree() override { RemoveTree(Path); }

    TFileSystem &Files() override { return WinFiles; }
    std::wstring Root() override { return Path; }
    void AddFolder(const std::string &relative) override
    {
        CreateDirectoryW((Path + L"\\" + Wide(relative)).c_str(), nullptr);
    }
    void AddFile(const std::string &relative, const std::string &data, bool readOnly) override
    {
        std::wstring path = Path + L"\\" + Wide(relative);
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD written = 0;
        WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
        CloseHandle(file);
        if (readOnly) SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY);
    }
    void Remove(const std::string &relative) override
    {
        std::wstring path = Path + L"\\" + Wide(relative);
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (!DeleteFileW(path.c_str())) RemoveTree(path);
    }
    std::string ShortName(const std::string &relative) override
    {
        wchar_t name[MAX_PATH];
        DWORD n = GetShortPathNameW((Path + L"\\" + Wide(relative)).c_str(), name, MAX_PATH);
        if (n == 0 || n >= MAX_PATH) return {};
        std::wstring alias(name, n);
        alias = alias.substr(alias.find_last_of(L'\\') + 1);
        std::string text(alias.begin(), alias.end());  // short names are plain ASCII
        return CompareStringOrdinal(alias.c_str(), -1, Wide(relative.substr(relative.find_last_of('/') + 1)).c_str(),
                                    -1, TRUE) == CSTR_EQUAL ? std::string() : text;
    }

    void LetTimePass(unsigned seconds) override { Sleep(seconds * 1000); }
    unsigned Listings() override { return WinFiles.Calls; }
    unsigned Flushes() override { return WinFiles.Flushes; }

private:
    std::wstring Path;
    TCountingFiles WinFiles;
};

}  // namespace

std::unique_ptr<TTestTree> MakeTestTree() { return std::make_unique<TWinTree>(); }
