#include "TaviBios.h"

#include "BootFolder.h"
#include "Delivery.h"
#include "ExtService.h"
#include "LocalLoop.h"
#include "TaviString.h"
#include "framework/WinApp.h"
#include "res/resource.h"

#include <cstdio>

namespace {

const char kEmptyDelivery[] = "Empty or Bad delivery ....";
const char kCheckCpuKind[] = "Check Kind of CPU";
const char kCorvoImage[] = "DownloadingItems\\bios\\pmr_bios.hex.gz";
const char kPiiiImage[] = "DownloadingItems\\bspiii\\pmr_bios.hex.gz";
const char kPackedImage[] = "\\pmr_bios.hex.gz";
const char kImage[] = "\\pmr_bios.hex";
const char kGzip[] = "gzip";
constexpr DWORD kWaitRoundMillis = 500;
constexpr UINT kControlCExit = 0xC000013A;
constexpr DWORD kBootpStopMillis = 1000;
constexpr DWORD kTftpStopMillis = 500;
constexpr DWORD kBootpStartDelayMillis = 500;

// Stops a running server and gives it the time to let go of its port.
void StopAndWait(CExtService &&server, DWORD millis)
{
    if (!server.IsRunning()) return;
    server.Stop();
    Sleep(millis);
}

}  // namespace

DWORD RunAndWait(const std::string &commandLine, bool pumpMessages, DWORD &exitCode, DWORD rounds)
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process = {};
    std::string command = commandLine;
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, CREATE_DEFAULT_ERROR_MODE | NORMAL_PRIORITY_CLASS,
                        nullptr, nullptr, &startup, &process))
        return GetLastError();
    CloseHandle(process.hThread);

    DWORD result = ERROR_TIMEOUT;
    LocalLoop loop;
    for (DWORD round = 0; round < rounds; ++round) {
        if (pumpMessages && !loop.Pump()) {
            TerminateProcess(process.hProcess, kControlCExit);
            result = ERROR_CANCELLED;
            break;
        }
        const DWORD wait = WaitForSingleObject(process.hProcess, kWaitRoundMillis);
        if (wait == WAIT_TIMEOUT) continue;
        result = wait == WAIT_OBJECT_0 ? 0 : GetLastError();
        if (result == 0 && !GetExitCodeProcess(process.hProcess, &exitCode)) result = GetLastError();
        break;
    }
    // A program still running after the wait would later replace files the caller has moved on from.
    if (result == ERROR_TIMEOUT) TerminateProcess(process.hProcess, kControlCExit);
    CloseHandle(process.hProcess);
    return result;
}

CTaviBios::CTaviBios(const CDelivery &delivery) : CDialog(IDD_BIOS), m_delivery(delivery) {}

bool CTaviBios::OnCommand(UINT id, UINT code)
{
    switch (id) {
    case IDC_BIOS_START:
        // A Start handled while Start waits is the same update asked for twice.
        if (code == BN_CLICKED && !m_starting) UnpackBios();
        return true;
    case IDOK:
    case IDCANCEL:
        // Stopping now, inside Start's wait, would let Start go on to start the servers behind the
        // closed dialog.
        if (m_starting) {
            m_endAsked = id;
            return true;
        }
        StopServers();
        EndDialog(id);
        return true;
    default:
        return false;
    }
}

void CTaviBios::StopServers() const
{
    StopAndWait(CExtBootp(), kBootpStopMillis);
    StopAndWait(CExtTftpd(), kTftpStopMillis);
}

void CTaviBios::ShowError(DWORD error, const std::string &context) const
{
    std::string text;
    if (LoadSystemMessage(error, text)) {
        text.erase(text.find_last_not_of(" \t\r\n") + 1);
    } else {
        char code[32];
        std::snprintf(code, sizeof code, "0x%lx", static_cast<unsigned long>(error));
        text = code;
    }
    AfxMessageBox(text + " [" + context + "]", MB_OK | MB_ICONERROR);
}

void CTaviBios::UnpackBios()
{
    m_starting = true;
    m_endAsked = 0;
    StartUpdate();
    m_starting = false;
    if (!m_endAsked) return;
    StopServers();
    for (const std::string &file : {std::string(kPackedImage), std::string(kImage), "\\" + std::string(kBootListFlash)})
        RemoveBootFile(GetTftpbootPath() + file);
    EndDialog(m_endAsked);
}

void CTaviBios::StartUpdate()
{
    const bool corvo = IsDlgButtonChecked(m_hWnd, IDC_BIOS_CORVO) == BST_CHECKED;
    const bool piii = IsDlgButtonChecked(m_hWnd, IDC_BIOS_PIII) == BST_CHECKED;
    StopServers();

    const std::string delivery = m_delivery.DeliveryPath();
    if (delivery.empty()) {
        AfxMessageBox(kEmptyDelivery, MB_OK);
        return;
    }
    if (!corvo && !piii) {
        AfxMessageBox(kCheckCpuKind, MB_OK);
        return;
    }

    const std::string boot = GetTftpbootPath();
    const std::string packed = boot + kPackedImage;
    const std::string image = boot + kImage;
    const std::string bootList = boot + "\\" + kBootListFlash;
    // An image or list of an earlier run must never be served in place of one that failed.
    for (const std::string &old : {packed, image, bootList}) RemoveBootFile(old);
    CreateDirectoryA(boot.c_str(), nullptr);

    const std::string source = delivery + (corvo ? kCorvoImage : kPiiiImage);
    if (!CopyFileA(source.c_str(), packed.c_str(), FALSE)) {
        ShowError(GetLastError(), source);
        return;
    }

    const std::string command = "\"" + GetAppFilePath(kGzip) + "\" -df \"" + packed + "\"";
    DWORD exitCode = 0;
    // The window stays blocked while gzip runs: nothing else may touch the boot folder meanwhile.
    const DWORD run = RunAndWait(command, false, exitCode);
    if (run != 0 || exitCode != 0) {
        DeleteFileA(packed.c_str());
        DeleteFileA(image.c_str());
        ShowError(run != 0 ? run : ERROR_INVALID_DATA, command + (run != 0 ? "" : " -> " + std::to_string(exitCode)));
        return;
    }

    WIN32_FILE_ATTRIBUTE_DATA unpacked = {};
    if (!GetFileAttributesExA(image.c_str(), GetFileExInfoStandard, &unpacked)) {
        ShowError(GetLastError(), image);
        return;
    }
    const std::uint64_t size = (std::uint64_t(unpacked.nFileSizeHigh) << 32) | unpacked.nFileSizeLow;
    if (size == 0) {
        DeleteFileA(image.c_str());
        ShowError(ERROR_INVALID_DATA, image);
        return;
    }

    if (const DWORD error = WriteBootFile(bootList, BiosBootList(size))) {
        DeleteFileA(image.c_str());
        ShowError(error, bootList);
        return;
    }

    // The clicks that came while gzip ran are handled before any server starts.
    if (!LocalLoop().Pump() || m_endAsked) return;
    CExtTftpd().Start();
    if (m_endAsked) return;
    Sleep(kBootpStartDelayMillis);
    CExtBootp().Start();
}
