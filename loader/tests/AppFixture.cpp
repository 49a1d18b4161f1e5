#include "AppFixture.h"

#include "TaviApp.h"
#include "framework/RegKey.h"

#include <cstdio>

namespace apptest {

const char kProfileRoot[] = "Software\\QelTools\\Tavi400_R30.1\\Tavi";
const char kInstallKey[] = "SOFTWARE\\QelTools\\Tavi400_R30.1\\Install";

HangWatch::HangWatch(std::function<void()> beforeExit, DWORD limitMs)
    : m_done(CreateEventA(nullptr, TRUE, FALSE, nullptr))
{
    m_thread = std::thread([this, beforeExit, limitMs] {
        if (WaitForSingleObject(m_done, limitMs) != WAIT_TIMEOUT) return;
        std::fflush(stdout);
        std::fprintf(stderr, "HangWatch: the case still runs after %lu ms; its windows:\n", limitMs);
        EnumWindows(
            [](HWND window, LPARAM) -> BOOL {
                DWORD pid = 0;
                GetWindowThreadProcessId(window, &pid);
                if (pid != GetCurrentProcessId() || !IsWindowVisible(window)) return TRUE;
                char name[64] = {};
                GetClassNameA(window, name, sizeof name);
                // The window's thread may be the one that hangs: a text it does not give in time stays empty.
                const auto text = [](HWND of) {
                    char buffer[512] = {};
                    DWORD_PTR ignored = 0;
                    if (of) SendMessageTimeoutA(of, WM_GETTEXT, sizeof buffer, reinterpret_cast<LPARAM>(buffer),
                                                SMTO_ABORTIFHUNG, 2000, &ignored);
                    return std::string(buffer);
                };
                std::fprintf(stderr, "  [%s] \"%s\": %s\n", name, text(window).c_str(),
                             text(GetDlgItem(window, 0xFFFF)).c_str());
                return TRUE;
            },
            0);
        std::fflush(stderr);
        if (beforeExit) beforeExit();
        ExitProcess(3);
    });
}

HangWatch::~HangWatch()
{
    SetEvent(m_done);
    m_thread.join();
    CloseHandle(m_done);
}

bool QuitServerWindows(std::initializer_list<const char *> titles)
{
    const auto anyLeft = [&] {
        bool left = false;
        for (const char *title : titles)
            if (HWND server = FindWindowA(nullptr, title)) {
                PostMessageA(server, WM_QUIT, 0, 0);
                left = true;
            }
        return left;
    };
    return WaitUntil([&] { return !anyLeft(); });
}

void ResetSettings()
{
    RegDeleteTreeA(HKEY_CURRENT_USER, kProfileRoot);
    DeleteMachineKey(kInstallKey);
    // Wine only pretends to manage accounts: a managed account would stop each start at a failure box.
    HKEY config = nullptr;
    const std::string configKey = std::string(kProfileRoot) + "\\Config";
    if (RegCreateKeyExA(HKEY_CURRENT_USER, configKey.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &config, nullptr) ==
        ERROR_SUCCESS) {
        const DWORD unmanaged = 0;
        RegSetValueExA(config, "ManageTaviAccount", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&unmanaged),
                       sizeof unmanaged);
        RegCloseKey(config);
    }
}

HKEY CreateMachineKey(const std::string &path)
{
    HKEY key = nullptr;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, RegistryView(HKEY_LOCAL_MACHINE, KEY_ALL_ACCESS),
                    nullptr, &key, nullptr);
    return key;
}

void DeleteMachineKey(const std::string &path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, RegistryView(HKEY_LOCAL_MACHINE, KEY_ALL_ACCESS), &key) !=
        ERROR_SUCCESS)
        return;
    RegDeleteTreeA(key, nullptr);
    RegCloseKey(key);
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), RegistryView(HKEY_LOCAL_MACHINE, 0), 0);
}

namespace {

bool ReadValue(const char *section, const char *name, DWORD wantedType, std::string &data)
{
    std::string path = kProfileRoot;
    if (section) path = path + "\\" + section;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    char buffer[1024] = {};
    DWORD type = 0, size = sizeof buffer;
    const bool ok = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE *>(buffer), &size) ==
                        ERROR_SUCCESS &&
                    type == wantedType;
    RegCloseKey(key);
    if (ok) data.assign(buffer, size);
    return ok;
}

}  // namespace

bool StoredDword(const char *section, const char *name, DWORD &value)
{
    std::string data;
    if (!ReadValue(section, name, REG_DWORD, data) || data.size() != sizeof value) return false;
    memcpy(&value, data.data(), sizeof value);
    return true;
}

bool StoredString(const char *section, const char *name, std::string &value)
{
    std::string data;
    if (!ReadValue(section, name, REG_SZ, data)) return false;
    value = data.c_str();
    return true;
}

TaviProcess::TaviProcess(const std::string &arguments)
{
    std::string commandLine = "\"" + ProgramFileFolder() + "Tavi.exe\" " + arguments;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &m_process))
        m_process = {};
}

TaviProcess::~TaviProcess()
{
    if (!m_process.hProcess) return;
    if (WaitForSingleObject(m_process.hProcess, 0) == WAIT_TIMEOUT) {
        TerminateProcess(m_process.hProcess, 1);
        WaitForSingleObject(m_process.hProcess, 5000);
    }
    CloseHandle(m_process.hThread);
    CloseHandle(m_process.hProcess);
}

HWND TaviProcess::WaitForMainWindow(DWORD timeoutMs)
{
    HWND main = inspector::WaitForWindow("TaviApp", nullptr, Pid(), timeoutMs);
    // A sent message is handled once start-up is over and the message loop runs.
    DWORD_PTR result = 0;
    if (main) SendMessageTimeoutA(main, WM_NULL, 0, 0, SMTO_NORMAL, timeoutMs, &result);
    return main;
}

long TaviProcess::WaitForExit(DWORD timeoutMs)
{
    if (WaitForSingleObject(m_process.hProcess, timeoutMs) != WAIT_OBJECT_0) return -1;
    DWORD code = 0;
    GetExitCodeProcess(m_process.hProcess, &code);
    return static_cast<long>(code);
}

long TaviProcess::Close()
{
    HWND main = WaitForMainWindow(0);
    if (main) PostMessageA(main, WM_CLOSE, 0, 0);
    return WaitForExit();
}

DialogAnswerer::DialogAnswerer(int button, DWORD timeoutMs, bool messageBoxOnly)
{
    m_thread = std::thread([this, button, timeoutMs, messageBoxOnly] {
        const DWORD pid = GetCurrentProcessId();
        HWND box = messageBoxOnly ? inspector::WaitForMessageBox(pid, timeoutMs) : inspector::WaitForDialog(pid, timeoutMs);
        if (!box) return;
        title = inspector::Text(box);
        message = inspector::MessageBoxText(box);
        for (int i = 0; i < 9; ++i) controls[i] = inspector::ControlText(box, 1014 + i);
        m_seen = true;
        inspector::PressButton(box, button);
    });
}

DialogAnswerer::~DialogAnswerer()
{
    if (m_thread.joinable()) m_thread.join();
}

bool DialogAnswerer::Wait()
{
    if (m_thread.joinable()) m_thread.join();
    return m_seen;
}

}  // namespace apptest
