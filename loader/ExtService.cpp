#include "ExtService.h"

#include "BootFolder.h"
#include "LocalLoop.h"
#include "framework/RegKey.h"

#include <tlhelp32.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

const char kBoardMacPrefix[] = "02-A0-3E";
const char kMacSuffixOldBoard[] = "2E-04-AC";
const char kMacSuffixVusko[] = "74-00-5C";
const char kMacSuffixMainFirst[] = "74-00-5A";
const char kMacSuffixMainSecond[] = "74-00-5D";

DWORD CExtService::s_waitRoundMillis = 1000;
BOOL(WINAPI *CExtNfs::s_terminateProcess)(HANDLE, UINT) = TerminateProcess;

namespace {

const char kBootpTitle[] = "BOOTP Desktop";
const char kBootpProgram[] = "c:\\Program Files\\BOOTP Desktop\\bootpdesk.exe";
const char kTftpTitle[] = "TFTP Desktop";
const char kTftpProgram[] = "c:\\Program Files\\TFTP Desktop\\tftpdesk.exe";
const char kTftpParametersKey[] = "Software\\WS\\TFTP Desktop\\2.5\\Parameters";
const char kTftpDefaultDirectory[] = "DefaultDirectory";
const char kNfsProgram[] = "Seldrix.exe";
// A round's wait looks for the server's window this often, so that a server that is up ends it at once.
constexpr DWORD kLookMillis = 20;
const char kUncontrolled[] = "0";
constexpr int kStartRounds = 11;
constexpr UINT kControlCExit = 0xC000013A;
constexpr DWORD kKillWaitMillis = 5000;
constexpr size_t kMaxValueLength = 255;

bool Contains(const std::string &text, const char *part) { return text.find(part) != std::string::npos; }

// The machine key's REG_SZ values of at most 255 characters, in enumeration order, up to the first error.
template <typename Visit>
void ForEachMachineString(const std::string &key, Visit visit)
{
    RegKey machine;
    if (!machine.Open(HKEY_LOCAL_MACHINE, key, KEY_READ)) return;
    for (DWORD index = 0;; ++index) {
        char name[kMaxValueLength + 1];
        BYTE data[kMaxValueLength + 1];
        DWORD nameLength = sizeof name, dataLength = sizeof data, type = 0;
        if (RegEnumValueA(machine.Get(), index, name, &nameLength, nullptr, &type, data, &dataLength) != ERROR_SUCCESS)
            break;
        if (type != REG_SZ) continue;
        visit(std::string(name, nameLength),
              std::string(reinterpret_cast<char *>(data), strnlen(reinterpret_cast<char *>(data), dataLength)));
    }
}

}  // namespace

std::string MachineKeyPath() { return "SOFTWARE\\QelTools\\Tavi400_R30.1\\30.1"; }

HWND CExtService::ServerWindow() const
{
    // FindWindowA with an empty title finds whatever untitled window comes first.
    return m_windowTitle.empty() ? nullptr : FindWindowA(nullptr, m_windowTitle.c_str());
}

bool CExtService::IsRunning() const { return !m_controlled || ServerWindow() != nullptr; }

void CExtService::ReadOverrides(const char *namePart, const char *pathPart, const char *ctrlPart)
{
    ForEachMachineString(MachineKeyPath(), [&](const std::string &name, const std::string &value) {
        if (Contains(name, namePart)) m_windowTitle = value;
        if (Contains(name, pathPart)) m_commandLine = value;
        if (Contains(name, ctrlPart)) m_controlled = value != kUncontrolled;
    });
}

HANDLE CExtService::CreateServerProcess() const
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWMINIMIZED;
    PROCESS_INFORMATION process = {};
    std::string commandLine = m_commandLine;
    if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE,
                        CREATE_DEFAULT_ERROR_MODE | NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup, &process))
        return nullptr;
    CloseHandle(process.hThread);
    return process.hProcess;
}

unsigned CExtService::s_starts = 0;

bool CExtService::Start()
{
    ++s_starts;
    if (IsRunning()) return true;
    HANDLE process = CreateServerProcess();
    if (!process) return false;
    bool cancelled = false;
    {
        LocalLoop loop;
        for (int round = 0; round < kStartRounds && !cancelled; ++round) {
            if (!loop.Pump()) {
                TerminateProcess(process, kControlCExit);
                cancelled = true;
            }
            for (DWORD waited = 0; waited < s_waitRoundMillis && !ServerWindow(); waited += kLookMillis)
                Sleep(std::min(kLookMillis, s_waitRoundMillis - waited));
            if (ServerWindow()) break;
        }
    }
    CloseHandle(process);
    if (cancelled) SetLastError(ERROR_CANCELLED);
    return !cancelled && ServerWindow() != nullptr;
}

void CExtService::Stop() const
{
    if (!m_controlled) return;
    if (HWND server = ServerWindow()) PostMessageA(server, WM_QUIT, 0, 0);
}

CExtBootp::CExtBootp()
{
    m_windowTitle = kBootpTitle;
    m_commandLine = kBootpProgram;
    ReadOverrides("BootpName", "BootpPath", "BootpCtrl");
}

int CExtBootp::QueryRegString(const std::string &key, const char *namePart, std::string &text)
{
    int result = 1;
    ForEachMachineString(key, [&](const std::string &name, const std::string &value) {
        if (!Contains(name, namePart)) return;
        text = value;
        result = 0;
    });
    return result;
}

CExtTftpd::CExtTftpd()
{
    m_windowTitle = kTftpTitle;
    m_commandLine = kTftpProgram;
    ReadOverrides("TftpName", "TftpPath", "TftpCtrl");
    RegKey parameters;
    if (parameters.Open(HKEY_LOCAL_MACHINE, kTftpParametersKey, KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY))
        parameters.SetString(kTftpDefaultDirectory, GetTftpbootPath());
}

CExtNfs::CExtNfs() { m_commandLine = GetAppFilePath(kNfsProgram); }

bool CExtNfs::Start()
{
    ++s_starts;
    HANDLE process = CreateServerProcess();
    if (!process) return false;
    CloseHandle(process);
    return true;
}

void CExtNfs::KillByName()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return;
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        if (std::strcmp(entry.szExeFile, kNfsProgram) != 0) continue;
        if (HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, entry.th32ProcessID)) {
            DWORD code = 0;
            GetExitCodeProcess(process, &code);
            s_terminateProcess(process, code);
            // The new server needs the ports the old one held.
            WaitForSingleObject(process, kKillWaitMillis);
            CloseHandle(process);
        }
        break;
    }
    CloseHandle(snapshot);
}

std::string IncrementIpAddress(const std::string &address)
{
    const size_t dot = address.find_last_of('.');
    const std::string head = dot == std::string::npos ? "" : address.substr(0, dot + 1);
    const std::string last = dot == std::string::npos ? address : address.substr(dot + 1);
    // Read wide enough that no text the technician typed makes the sum wrap.
    const long long number = std::strtoll(last.c_str(), nullptr, 10);
    return head + std::to_string(number < LLONG_MAX ? number + 1 : number);
}
