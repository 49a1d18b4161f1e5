#include "TaviApp.h"

#include "AboutDlg.h"
#include "SplashDlg.h"
#include "MainFrm.h"
#include "TaviDoc.h"
#include "TaviBios.h"
#include "TaviNewView.h"
#include "TaviString.h"
#include "framework/Profile.h"
#include "framework/RegKey.h"
#include "res/resource.h"

#include <commctrl.h>
#include <winsock2.h>

#include <algorithm>
#include <ctime>

std::string g_currentDirectory;

namespace {

const char kWindowClass[] = "TaviApp";
const char kSettingsCompany[] = "QelTools";
const char kInstallKeyName[] = "Install";
const char kInstLanguage[] = "InstLanguage";
const char kLanguage[] = "Language";
const char kCurrDir[] = "CurrDir";
const char kConfig[] = "Config";
const char kDebugFlag[] = "/debug";
const char kBiosMenuText[] = "Bios";
constexpr int kBiosMenuPosition = 2;
constexpr int kRecentFiles = 5;
constexpr DWORD kOsVersionSize = 148;
constexpr UINT kHelpDisplayTopic = 0x0000;
constexpr UINT kHelpCloseAll = 0x0012;

using HtmlHelpFunction = HWND(WINAPI *)(HWND, LPCSTR, UINT, DWORD_PTR);

HtmlHelpFunction HtmlHelpEntry()
{
    HMODULE viewer = LoadLibraryA("hhctrl.ocx");
    return viewer ? reinterpret_cast<HtmlHelpFunction>(GetProcAddress(viewer, "HtmlHelpA")) : nullptr;
}

std::string ProgramBaseName()
{
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, sizeof path);
    std::string name = path;
    name = name.substr(name.find_last_of('\\') + 1);
    return name.substr(0, name.find_last_of('.'));
}

}  // namespace

std::string ProgramFileFolder()
{
    char path[256] = {};
    GetModuleFileNameA(nullptr, path, sizeof path - 1);
    std::string folder = path;
    return folder.substr(0, folder.find_last_of('\\') + 1);
}

HMODULE TaviLanguageModule() { return TaviApp() ? TaviApp()->LanguageModule() : nullptr; }

CTaviApp *TaviApp() { return dynamic_cast<CTaviApp *>(AfxGetApp()); }

CMainFrame *TaviMainFrame() { return TaviApp() ? TaviApp()->MainFrame() : nullptr; }

CTaviApp::CTaviApp()
{
    HMODULE kernel = LoadLibraryA("Kernel32.dll");
    m_threadLocaleAvailable = kernel && GetProcAddress(kernel, "SetThreadLocale");
    m_osVersion.dwOSVersionInfoSize = kOsVersionSize;
    GetVersionExA(&m_osVersion);
}

CTaviApp::~CTaviApp()
{
    if (m_socketsStarted) WSACleanup();
    if (m_languageModule) FreeLibrary(m_languageModule);
    m_languageModule = nullptr;
    if (m_debugLog != INVALID_HANDLE_VALUE) {
        CloseHandle(m_debugLog);
        DeleteFileA(m_debugLogPath.c_str());
    }
    if (HtmlHelpFunction help = HtmlHelpEntry()) help(nullptr, nullptr, kHelpCloseAll, 0);
}

bool CTaviApp::IsWin9x() const
{
    return m_osVersion.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS &&
           (m_osVersion.dwMajorVersion > 4 || (m_osVersion.dwMajorVersion == 4 && m_osVersion.dwMinorVersion != 0));
}

CMainFrame *CTaviApp::MainFrame() const { return dynamic_cast<CMainFrame *>(GetMainWnd()); }

bool CTaviApp::RegisterWindowClass()
{
    WNDCLASSA wc = {};
    wc.style = CS_DBLCLKS | CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = m_hInstance;
    wc.hIcon = LoadIconA(m_hInstance, MAKEINTRESOURCEA(IDR_MAINFRAME));
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = kWindowClass;
    m_classRegistered = RegisterClassA(&wc) != 0;
    return m_classRegistered;
}

bool CTaviApp::StartSockets()
{
    WSADATA data = {};
    if (WSAStartup(MAKEWORD(2, 0), &data) != 0) {
        std::string text;
        LoadResString(text, IDS_SOCKETS_INIT_FAILED);
        AfxMessageBox(text, MB_OK);
        return false;
    }
    m_socketsStarted = true;
    if (LOBYTE(data.wHighVersion) < 2) {
        AfxMessageBox(std::string(data.szDescription) + " < 2.0!", MB_OK);
        return false;
    }
    return true;
}

void CTaviApp::OpenDebugLog()
{
    char folder[MAX_PATH] = {};
    char path[MAX_PATH] = {};
    GetTempPathA(sizeof folder, folder);
    if (GetTempFileNameA(folder, ProgramBaseName().c_str(), 0, path) != 0)
        m_debugLog = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (m_debugLog == INVALID_HANDLE_VALUE) {
        AfxMessageBox(std::string("Cannot create the debug log ") + path + ".", MB_OK | MB_ICONEXCLAMATION);
        return;
    }
    m_debugLogPath = path;
    char now[128] = {};
    std::time_t clock = std::time(nullptr);
    std::strftime(now, sizeof now, "%#c", std::localtime(&clock));
    WriteDebugLog(std::string(now) + "\r\n\r\n" + m_about->Version(kProductName) + "\r\n" +
                  m_about->Version(kProductVersion) + " - " + m_about->Version(kFileVersion) + "\r\n" +
                  m_about->Version(kLegalCopyright) + "\r\n");
}

void CTaviApp::WriteDebugLog(const std::string &line)
{
    if (m_debugLog == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(m_debugLog, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    FlushFileBuffers(m_debugLog);
}

int CTaviApp::StartupLanguage() const
{
    const int stored = profile::GetInt(nullptr, kLanguage, 0);
    if (stored != 0) return stored;
    const std::string installKey = std::string("SOFTWARE\\") + kSettingsCompany + "\\" +
                                   m_about->Version(kInternalName) + "_R" + m_about->Version(kFileVersion) + "\\" +
                                   kInstallKeyName;
    RegKey key;
    std::string value;
    if (installKey.size() <= 255 && key.Open(HKEY_LOCAL_MACHINE, installKey, KEY_READ))
        key.QueryString(kInstLanguage, value);
    return LanguageFromInstaller(value);
}

void CTaviApp::AppendBiosMenuItem(HMENU menu) const
{
    if (HMENU third = GetSubMenu(menu, kBiosMenuPosition)) AppendMenuA(third, MF_STRING, ID_BIOS, kBiosMenuText);
}

bool CTaviApp::InitInstance()
{
    m_about = std::make_unique<CAboutDlg>();

    if (HWND other = FindWindowA(kWindowClass, nullptr)) {
        if (IsIconic(other)) ShowWindow(other, SW_RESTORE);
        SetForegroundWindow(GetLastActivePopup(other));
        return false;
    }
    if (!RegisterWindowClass()) return false;
    m_programFolder = ProgramFileFolder();

    InitCommonControls();
    CSplashDlg().DoModal(nullptr);

    if (!StartSockets()) return false;

    SetRegistryKey(std::string(kSettingsCompany) + "\\" + m_about->Version(kInternalName) + "_R" +
                   m_about->Version(kFileVersion));
    LoadStdProfileSettings(kRecentFiles);
    AddDocTemplate(std::make_unique<CSingleDocTemplate>(
        IDR_MAINFRAME, kWindowClass, [] { return std::make_unique<CTaviDoc>(); },
        [] { return std::make_unique<CMainFrame>(); }, [] { return std::make_unique<CTaviNewView>(); }));
    if (!ProcessShellCommand()) return false;

    std::string commandLine = m_commandLine;
    std::transform(commandLine.begin(), commandLine.end(), commandLine.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    m_debug = commandLine.find(kDebugFlag) != std::string::npos || profile::GetInt(kConfig, "Debug", 0) != 0;

    HWND main = GetMainWnd()->GetSafeHwnd();
    RECT window, screen;
    GetWindowRect(main, &window);
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &screen, 0);
    SetWindowPos(main, nullptr, (screen.right - (window.right - window.left)) / 2,
                 (screen.bottom - (window.bottom - window.top)) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    ShowWindow(main, SW_SHOW);
    UpdateWindow(main);
    m_mainView = static_cast<CTaviNewView *>(GetMainWnd()->GetActiveView());

    if (m_debug) OpenDebugLog();
    g_currentDirectory = profile::GetString(nullptr, kCurrDir, m_programFolder);
    SetLanguage(StartupLanguage());

    if (profile::GetInt(kConfig, kBiosMenuText, 0) == 1) {
        m_biosMenuItem = true;
        AppendBiosMenuItem(GetMenu(main));
        DrawMenuBar(main);
    }
    return true;
}

int CTaviApp::ExitInstance()
{
    if (m_classRegistered) UnregisterClassA(kWindowClass, m_hInstance);
    return CWinApp::ExitInstance();
}

void CTaviApp::CheckLanguageCommand(HMENU menu, UINT command) const
{
    size_t count = 0;
    const LanguageEntry *table = LanguageTable(count);
    for (size_t i = 0; i < count; ++i) CheckMenuItem(menu, table[i].command, MF_BYCOMMAND | MF_UNCHECKED);
    CheckMenuItem(menu, command, MF_BYCOMMAND | MF_CHECKED);
}

void CTaviApp::SetLanguage(int identifier)
{
    const LanguageEntry language = FindLanguage(identifier);
    m_languageCode = language.code;
    const std::string moduleFile = m_programFolder + ".\\language_" + m_languageCode + ".dll";
    HMODULE module = LoadLibraryA(moduleFile.c_str());
    if (!module) {
        const DWORD error = GetLastError();
        if (CTaviNewView *view = MainView()) view->FormatSystemError(error, moduleFile, true);
        return;
    }
    if (m_languageModule) FreeLibrary(m_languageModule);
    m_languageModule = module;

    CMainFrame *frame = MainFrame();
    HWND main = frame ? frame->GetSafeHwnd() : nullptr;
    if (!main || !GetMenu(main)) return;
    SendMessageA(main, WM_SETREDRAW, FALSE, 0);
    if (HMENU menu = LoadMenuA(module, MAKEINTRESOURCEA(IDR_MENU_LANGUAGE_MODULE))) {
        HMENU old = GetMenu(main);
        SetMenu(main, nullptr);
        DestroyMenu(old);
        // The module's menu has no BIOS item: keep the one start-up added.
        if (m_biosMenuItem) AppendBiosMenuItem(menu);
        if (RecentFiles()) RecentFiles()->UpdateMenu(menu);
        SetMenu(main, menu);
        frame->SetDefaultMenu(menu);
        if (CTaviNewView *view = MainView()) view->Relabel();
        if (m_threadLocaleAvailable) SetThreadLocale(MAKELCID(static_cast<LANGID>(identifier), SORT_DEFAULT));
        CheckLanguageCommand(menu, language.command);
        profile::WriteInt(nullptr, kLanguage, identifier);
    }
    frame->SetStatusTextId(IDS_IDLE_MESSAGE);
    SendMessageA(main, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(main, nullptr, TRUE);
    DrawMenuBar(main);
    UpdateWindow(main);
}

void CTaviApp::ShowHelp()
{
    const std::string file = m_programFolder + "tavihelp_" + m_languageCode + ".chm";
    if (GetFileAttributesA(file.c_str()) == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        if (CTaviNewView *view = MainView()) view->FormatSystemError(error, file, true);
        return;
    }
    const std::string topic = file + "::/config_" + m_languageCode + ".htm";
    if (HtmlHelpFunction help = HtmlHelpEntry())
        help(GetMainWnd() ? GetMainWnd()->GetSafeHwnd() : nullptr, topic.c_str(), kHelpDisplayTopic, 0);
}

bool CTaviApp::PreTranslateMessage(MSG *msg)
{
    if (CWinApp::PreTranslateMessage(msg)) return true;
    CTaviNewView *view = MainView();
    return view && view->PreTranslateMessage(msg);
}

bool CTaviApp::OnCommand(UINT id)
{
    if (const int language = LanguageOfCommand(id)) {
        SetLanguage(language);
        return true;
    }
    switch (id) {
    case ID_APP_ABOUT:
        m_about->DoModal(GetMainWnd() ? GetMainWnd()->GetSafeHwnd() : nullptr);
        return true;
    case ID_HELP_FINDER:
        ShowHelp();
        return true;
    case ID_BIOS:
        if (auto *document = dynamic_cast<CTaviDoc *>(Template()->GetDocument()))
            CTaviBios(document->Delivery()).DoModal(GetMainWnd() ? GetMainWnd()->GetSafeHwnd() : nullptr);
        return true;
    case ID_FILE_OPEN:
        SetCurrentDirectoryA(g_currentDirectory.c_str());
        OnFileOpen();
        return true;
    default:
        return CWinApp::OnCommand(id);
    }
}
