#include "DeliveryFixture.h"

#include <algorithm>

namespace fixture {

TempFolder::TempFolder(const std::string &name)
{
    char base[MAX_PATH] = {};
    GetTempPathA(sizeof base, base);
    m_path = std::string(base) + name + "_" + std::to_string(GetCurrentProcessId());
    RemoveTree(m_path);
    CreateDirectoryA(m_path.c_str(), nullptr);
}

TempFolder::~TempFolder() { RemoveTree(m_path); }

void RemoveTree(const std::string &path)
{
    WIN32_FIND_DATAA found = {};
    HANDLE search = FindFirstFileA((path + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = found.cFileName;
            if (name == "." || name == "..") continue;
            const std::string entry = path + "\\" + name;
            SetFileAttributesA(entry.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(entry);
            else
                DeleteFileA(entry.c_str());
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    if (!RemoveDirectoryA(path.c_str())) DeleteFileA(path.c_str());
}

void WriteTextFile(const std::string &path, const std::string &content)
{
    for (size_t at = path.find('\\', 3); at != std::string::npos; at = path.find('\\', at + 1))
        CreateDirectoryA(path.substr(0, at).c_str(), nullptr);
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(file);
}

std::string ReadTextFile(const std::string &path)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "";
    std::string content;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) content.append(buffer, read);
    CloseHandle(file);
    return content;
}

bool FileExists(const std::string &path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::vector<std::string> FolderEntries(const std::string &folder)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA found = {};
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        const std::string name = found.cFileName;
        if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

void MakeNewStyleDelivery(const std::string &folder, const std::string &releaseLine, const std::string &boardType,
                          bool withBootList)
{
    const std::string items = folder + "\\DownloadingItems\\";
    WriteTextFile(items + "boot\\config.rc", "# delivery description\r\n\r\n   " + releaseLine +
                                                 "\r\n  kernel100_031_smp\r\n dasig_FR.tgz\r\ndasig_de.tgz\r\n"
                                                 "dacm_it.tgz\r\n# dasig_xx.tgz\r\n");
    WriteTextFile(items + "boot\\hw_req.xml", "<?xml version=\"1.0\"?>\n<hardware>\n  <cpu count=\"1\"/>\n"
                                              "  <board type=\"" + boardType + "\" rev=\"2\"/>\n</hardware>\n");
    WriteTextFile(items + "inskrn\\vmlinuz", "kernel image");
    if (withBootList) WriteTextFile(items + "inskrn\\pemrocom", "vmlinuz;12;BIN;1046016;1046016\n");
    WriteTextFile(items + "insram\\ramdisk.gz", "ram disk image");
}

void MakeOldStyleDelivery(const std::string &folder)
{
    WriteTextFile(folder + "\\DownloadingItems\\boot\\config.rc", "TAVI_R250.001 | Old release 2.5\r\nkernel100_024\r\n");
}

}  // namespace fixture
