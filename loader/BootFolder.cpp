#include "BootFolder.h"

#include "Delivery.h"
#include "TaviApp.h"

#include <windows.h>

const char kBootListFlash[] = "install_flash.tftp";
const char kBootListVusko[] = "install_VUSKO.tftp";
const char kBootListDravenle[] = "install_Dravenle.tftp";

namespace {

const char kBootFolder[] = "tftpboot";
const char kBiosImage[] = "pmr_bios.hex";
const char kDeliveryBootList[] = "pemrocom";
const char kOldStyleBootList[] = "tormel_flash.tftp";
const char kOldStyleBootFiles[] = "iplboot";
const char kMigrationBootFiles[] = "migration_bin";
const char kKernelFolder[] = "inskrn";
const char kRamDiskFolder[] = "insram";
const char kDownloadingItems[] = "DownloadingItems\\";
const char kNotAFolder[] = "Error tftpboot directory should be a directory";
constexpr int kNewBoardsFromVersion = 800;
constexpr std::uint64_t kBiosLoadAddress = 1048576;
constexpr std::uint64_t kBootAnyAddress = 4294967295u;

std::string ProgramFolder() { return TaviApp() ? TaviApp()->ProgramFolder() : ProgramFileFolder(); }

// Clears the read-only bit, so that an earlier file the technician protected is still replaced.
void MakeWritable(const std::string &path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY)) return;
    const DWORD rest = attributes & ~FILE_ATTRIBUTE_READONLY;
    SetFileAttributesA(path.c_str(), rest ? rest : FILE_ATTRIBUTE_NORMAL);
}

void RenameReplacing(const std::string &from, const std::string &to)
{
    MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING);
}

// The failing step kept the system's text; the context names what was being done.
bool Failed(CDelivery &delivery, const std::string &source, const std::string &bootFolder)
{
    delivery.SetErrorContext(source + " -> " + bootFolder);
    return false;
}

}  // namespace

std::string GetTftpbootPath() { return ProgramFolder() + kBootFolder; }

std::string GetAppFilePath(const std::string &relative) { return ProgramFolder() + relative; }

const char *BootListName(int version, const std::string &boardType)
{
    if (version < kNewBoardsFromVersion) return kBootListFlash;
    return boardType == kBoardTypeVusko ? kBootListVusko : kBootListDravenle;
}

std::string BootListLine(const std::vector<BootListEntry> &records)
{
    std::string line;
    for (const BootListEntry &record : records) {
        if (!line.empty()) line += ';';
        line += record.name + ';' + std::to_string(record.size) + ';' + record.kind + ';' +
                std::to_string(record.first) + ';' + std::to_string(record.second);
    }
    return line + '\n';
}

std::string BiosBootList(std::uint64_t imageSize)
{
    return BootListLine({{kBiosImage, imageSize & 0xFFFFFFFFu, "HEX", kBiosLoadAddress, kBiosLoadAddress}}) +
           BootListLine({{"none", 0, "STOP", 0, 0}}) + BootListLine({{"none", 0, "BOOT", 0, kBootAnyAddress}});
}

bool PrepareTftpboot(CDelivery &delivery, std::string &releaseText, std::vector<std::string> &countries)
{
    if (!delivery.ReadDeliveryRelease(releaseText) || releaseText.empty()) return false;
    const bool newStyle = IsNewStyleRelease(releaseText);
    if (newStyle) {
        countries.clear();
        if (!delivery.ReadCountries(countries) || countries.empty()) return false;
    }

    const std::string boot = GetTftpbootPath();
    const DWORD attributes = GetFileAttributesA(boot.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        if (!CreateDirectoryA(boot.c_str(), nullptr)) {
            delivery.GetLastErrorText();
            delivery.SetErrorContext(boot);
            return false;
        }
    } else if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        AfxMessageBox(kNotAFolder, MB_OK | MB_ICONEXCLAMATION);
        return false;
    }
    if (delivery.DeliveryPath().empty()) return false;

    if (!newStyle) {
        const std::string source = GetAppFilePath(kOldStyleBootFiles);
        if (!delivery.CopyFiles(source, boot)) return Failed(delivery, source, boot);
        RenameReplacing(boot + "\\" + kOldStyleBootList, boot + "\\" + kBootListFlash);
        return true;
    }
    if (g_bMigrationTarget) {
        const std::string source = GetAppFilePath(kMigrationBootFiles);
        return delivery.CopyFiles(source, boot) || Failed(delivery, source, boot);
    }
    const std::string items = delivery.DeliveryPath() + kDownloadingItems;
    for (const char *part : {kKernelFolder, kRamDiskFolder}) {
        const std::string source = items + part;
        const std::string copied = boot + "\\" + part;
        if (!delivery.CopyTree(source, boot)) return Failed(delivery, source, boot);
        const bool flattened = part == kKernelFolder ? delivery.MoveFiles(copied, boot) : delivery.CopyFiles(copied, boot);
        if (!flattened) return Failed(delivery, copied, boot);
        if (!delivery.DeleteTree(copied)) return Failed(delivery, copied, boot);
    }
    RenameReplacing(boot + "\\" + kDeliveryBootList, boot + "\\" + BootListName(delivery.Version(), g_boardType));
    return true;
}

void RemoveBootFile(const std::string &path)
{
    MakeWritable(path);
    DeleteFileA(path.c_str());
}

unsigned long WriteBootFile(const std::string &path, const std::string &content)
{
    MakeWritable(path);
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return GetLastError();
    DWORD written = 0;
    DWORD error = 0;
    if (!WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr))
        error = GetLastError();
    else if (written != content.size())
        error = ERROR_DISK_FULL;  // a full disk may take part of the write and report no error
    CloseHandle(file);
    if (error != 0) DeleteFileA(path.c_str());
    return error;
}
