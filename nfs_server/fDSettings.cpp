#include "fDSettings.h"

#include "framework/Registry.h"

#include <shlobj.h>

#include <stdexcept>
#include <vector>

const char SettingsKey[] = "\\SOFTWARE\\Seldrix";
std::unique_ptr<TDaemon> Daemon;

namespace {

const char FormClass[] = "TDSettings";
const char ApplicationTitle[] = "Seldrix";

std::wstring AnsiToWide(const std::string &text)
{
    int n = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &wide[0], n);
    wide.resize(static_cast<std::size_t>(n - 1));
    return wide;
}

// Creates the folder with every missing parent.
bool ForceDirectories(const std::string &path)
{
    std::string folder = path;
    while (!folder.empty() && (folder.back() == '\\' || folder.back() == '/')) folder.pop_back();
    if (folder.empty()) return false;
    DWORD attributes = GetFileAttributesA(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    std::size_t cut = folder.find_last_of("\\/");
    bool isDrive = folder.size() == 2 && folder[1] == ':';
    if (cut != std::string::npos && !isDrive && !ForceDirectories(folder.substr(0, cut))) return false;
    return CreateDirectoryA(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

std::string DefaultRoot()
{
    char folder[MAX_PATH];
    if (SHGetFolderPathA(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, folder) == S_OK)
        return std::string(folder) + "\\Seldrix";
    DWORD n = GetCurrentDirectoryA(MAX_PATH, folder);
    return std::string(n > 0 && n < MAX_PATH ? folder : ".") + "\\Seldrix";
}

}  // namespace

void LogLine(const std::string &line)
{
    const std::string text = std::string(ApplicationTitle) + ": " + line + "\n";
    OutputDebugStringA(text.c_str());
    HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    DWORD written;
    if (error && error != INVALID_HANDLE_VALUE) WriteFile(error, text.data(), DWORD(text.size()), &written, nullptr);
}

void ShowException(const std::exception &error)
{
    LogLine(error.what());
    MessageBoxA(nullptr, error.what(), ApplicationTitle, MB_OK | MB_ICONSTOP);
}

TDSettings::TDSettings(HINSTANCE instance)
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = instance;
    wc.lpszClassName = FormClass;
    RegisterClassA(&wc);
    // A message-only window needs no display: the server runs without one.
    Window = CreateWindowA(FormClass, "Seldrix Settings", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, this);
    if (!Window)
        LogLine("no window for the settings form (error " + std::to_string(GetLastError()) + "); serving without it");
    FormCreate();
}

TDSettings::~TDSettings()
{
    StopDaemon();
    if (Window) DestroyWindow(Window);
}

LRESULT CALLBACK TDSettings::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_CLOSE) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

void TDSettings::FormCreate()
{
    Root = DefaultRoot();
    Hosts.clear();
    CodePage = GetACP();
    try {
        ReadSettings();
        if (ForceDirectories(Root)) StartDaemon(Root, CodePage);
    } catch (const std::exception &error) {
        ShowException(error);
    }
}

void TDSettings::ReadSettings()
{
    TRegistry key(HKEY_CURRENT_USER);
    if (!key.OpenKeyReadOnly(SettingsKey)) return;
    if (key.ValueExists("Root")) {
        std::string root = key.ReadString("Root");
        if (!root.empty()) Root = root;
    }
    if (key.ValueExists("Host")) Hosts = key.ReadString("Host");
    if (key.ValueExists("CodePage")) CodePage = key.ReadInteger("CodePage");
}

void TDSettings::StartDaemon(const std::string &root, uint32_t codePage)
{
    if (Daemon) return;
    Daemon = std::make_unique<TDaemon>(AnsiToWide(root), nullptr, codePage);
    std::size_t at = 0;
    for (;;) {
        std::size_t space = Hosts.find(' ', at);
        Daemon->AddAllowedHost(Hosts.substr(at, space == std::string::npos ? std::string::npos : space - at));
        if (space == std::string::npos) break;
        at = space + 1;
    }
    if (!Daemon->ErrorText.empty()) {
        std::string text = Daemon->ErrorText;
        Daemon.reset();
        throw std::runtime_error(text);
    }
    Daemon->Resume();
}

void TDSettings::StopDaemon()
{
    if (!Daemon) return;
    Daemon->Terminate();
    Daemon->WaitFor();
    Daemon.reset();
}
