#include "fDSettings.h"

#include "framework/Registry.h"
#include "res/resource.h"

#include <commctrl.h>
#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <vector>

const char SettingsKey[] = "\\SOFTWARE\\Seldrix";
std::unique_ptr<TDaemon> Daemon;

namespace {

const char FormClass[] = "TDSettings";
const char ApplicationTitle[] = "Seldrix";
constexpr UINT IconCallbackMessage = WM_USER;
constexpr UINT IconId = 0;
constexpr std::size_t TipLength = 63;
constexpr std::size_t CodePageNameLength = 64;

// The controls of each page, in page order: Server, Clients, Filenames.
const std::vector<int> PageControls[] = {
    {IDC_GBASICS, IDC_FLFOLDER, IDC_FL2ROOT, IDC_FROOT},
    {IDC_GCLIENTS, IDC_FLHOST, IDC_FL2HOST, IDC_FHOST},
    {IDC_GCODEPAGE, IDC_FLCODEPAGE, IDC_LABEL1, IDC_FCODEPAGES},
};
const char *const PageNames[] = {"Server", "Clients", "Filenames"};

// How far the server's handles may have gone, kept beside the settings: a value the form neither shows
// nor writes.
class TRegistryIdentities : public TIdentityStore {
public:
    // A value that cannot be read stops the start with the registry's error ("Invalid data type for
    // 'Handles'"): starting from the start time instead could hand out again what the last run gave.
    bool Load(uint32_t &next) override
    {
        TRegistry key(HKEY_CURRENT_USER);
        if (!key.OpenKeyReadOnly(SettingsKey) || !key.ValueExists(ValueName)) return false;
        next = key.ReadInteger(ValueName);
        return true;
    }
    void Save(uint32_t next) override
    {
        try {
            TRegistry key(HKEY_CURRENT_USER);
            if (key.OpenKey(SettingsKey, true)) key.WriteInteger(ValueName, next);
        } catch (const std::exception &) {
            // Unrecorded, the next run starts where its start time puts it.
        }
    }

private:
    static constexpr const char *ValueName = "Handles";
};

TRegistryIdentities Identities;

bool IsFolder(const std::string &path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The code pages the system has, as EnumSystemCodePagesA hands them over one by one.
std::vector<std::pair<std::string, uint32_t>> *Enumerated = nullptr;

BOOL CALLBACK AddCodePage(LPSTR text)
{
    char *end = nullptr;
    unsigned long id = std::strtoul(text, &end, 10);
    CPINFOEXA info;
    if (end == text || *end != '\0' || !GetCPInfoExA(static_cast<UINT>(id), 0, &info)) return TRUE;
    // Windows names begin with the number ("1252  (ANSI - Latin I)"); a system whose names do not gets
    // the number put in front, so that the list sorts and reads the same.
    std::string name = info.CodePageName, number = text;
    if (name.compare(0, number.size(), number) != 0) name = number + "  (" + name + ")";
    Enumerated->emplace_back(name.substr(0, CodePageNameLength), static_cast<uint32_t>(id));
    return TRUE;
}

// The number a code-page name starts with, by which the list is sorted.
unsigned long LeadingNumber(const std::string &name) { return std::strtoul(name.c_str(), nullptr, 10); }

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

TDSettings::TDSettings(HINSTANCE instance) : Instance(instance)
{
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_TAB_CLASSES};
    InitCommonControlsEx(&controls);
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
    if (IconAdded) {
        NOTIFYICONDATAA icon = {};
        icon.cbSize = sizeof icon;
        icon.hWnd = Window;
        icon.uID = IconId;
        Shell_NotifyIconA(NIM_DELETE, &icon);
    }
    StopDaemon();
    if (Form) DestroyWindow(Form);
    if (Window) DestroyWindow(Window);
}

bool TDSettings::IsFormMessage(MSG &msg) { return Form && IsDialogMessageA(Form, &msg); }

LRESULT CALLBACK TDSettings::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        auto *create = reinterpret_cast<CREATESTRUCTA *>(lParam);
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto *self = reinterpret_cast<TDSettings *>(GetWindowLongPtrA(window, GWLP_USERDATA));
    switch (message) {
    case IconCallbackMessage:
        if (self) self->IconCallback(lParam);
        return 0;
    case WM_COMMAND:
        if (self && LOWORD(wParam) == ID_PMSETTINGS) self->pmSettingsClick();
        if (self && LOWORD(wParam) == ID_PMQUIT) self->pmQuitClick();
        return 0;
    case WM_CLOSE:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

void TDSettings::FormCreate()
{
    AddIcon();
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

void TDSettings::AddIcon()
{
    NOTIFYICONDATAA icon = {};
    icon.cbSize = sizeof icon;
    icon.hWnd = Window;
    icon.uID = IconId;
    icon.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    icon.uCallbackMessage = IconCallbackMessage;
    icon.hIcon = LoadIconA(nullptr, IDI_APPLICATION);
    lstrcpynA(icon.szTip, std::string(ApplicationTitle).substr(0, TipLength).c_str(), sizeof icon.szTip);
    IconAdded = Window && Shell_NotifyIconA(NIM_ADD, &icon);
    if (!IconAdded) LogLine("no notification icon (no display or no notification area); serving without it");
}

void TDSettings::IconCallback(LPARAM mouseMessage)
{
    POINT at;
    if (mouseMessage != WM_RBUTTONUP || !GetCursorPos(&at)) return;
    HMENU menu = CreatePopupMenu();
    if (!menu) return;
    // "Settings..." is hidden while the form is shown.
    if (!(Form && IsWindowVisible(Form))) AppendMenuA(menu, MF_STRING, ID_PMSETTINGS, "Settings...");
    AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(menu, MF_STRING, ID_PMQUIT, "Quit");
    SetForegroundWindow(Window);
    UINT chosen = TrackPopupMenu(menu, TPM_RIGHTBUTTON | TPM_RETURNCMD, at.x, at.y, 0, Window, nullptr);
    DestroyMenu(menu);
    if (chosen) PostMessageA(Window, WM_COMMAND, chosen, 0);
}

void TDSettings::pmSettingsClick()
{
    if (!Form) Form = CreateDialogParamA(Instance, MAKEINTRESOURCEA(IDD_DSETTINGS), nullptr, FormProc,
                                         reinterpret_cast<LPARAM>(this));
    if (!Form) {
        LogLine("the settings form cannot be shown (error " + std::to_string(GetLastError()) + ")");
        return;
    }
    FormShow();
}

// Closing the form ends the program.
void TDSettings::pmQuitClick()
{
    if (Form) ShowWindow(Form, SW_HIDE);
    PostQuitMessage(0);
}

INT_PTR CALLBACK TDSettings::FormProc(HWND form, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrA(form, DWLP_USER, lParam);
        HWND pages = GetDlgItem(form, IDC_PAGECONTROL);
        for (int page = 0; page < 3; ++page) {
            TCITEMA item = {};
            item.mask = TCIF_TEXT;
            item.pszText = const_cast<char *>(PageNames[page]);
            SendMessageA(pages, TCM_INSERTITEMA, page, reinterpret_cast<LPARAM>(&item));
        }
        return TRUE;
    }
    auto *self = reinterpret_cast<TDSettings *>(GetWindowLongPtrA(form, DWLP_USER));
    if (!self) return FALSE;
    switch (message) {
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK: self->FBOkClick(); return TRUE;
        case IDCANCEL: self->FBCancelClick(); return TRUE;
        case IDC_FROOT:
        case IDC_FHOST:
            if (HIWORD(wParam) == EN_CHANGE) self->FBOkEnabledCheck();
            return TRUE;
        case IDC_FCODEPAGES:
            if (HIWORD(wParam) == CBN_SELCHANGE) self->FBOkEnabledCheck();
            return TRUE;
        }
        return FALSE;
    case WM_NOTIFY:
        if (reinterpret_cast<NMHDR *>(lParam)->code != TCN_SELCHANGE) return FALSE;
        self->ShowPage(int(SendDlgItemMessageA(form, IDC_PAGECONTROL, TCM_GETCURSEL, 0, 0)));
        return TRUE;
    case WM_CLOSE:
        self->FBCancelClick();
        return TRUE;
    }
    return FALSE;
}

void TDSettings::ShowPage(int page)
{
    SendDlgItemMessageA(Form, IDC_PAGECONTROL, TCM_SETCURSEL, page, 0);
    for (int p = 0; p < 3; ++p)
        for (int id : PageControls[p]) ShowWindow(GetDlgItem(Form, id), p == page ? SW_SHOW : SW_HIDE);
}

std::string TDSettings::ControlText(int id) const
{
    HWND control = GetDlgItem(Form, id);
    std::string text(static_cast<std::size_t>(GetWindowTextLengthA(control)) + 1, '\0');
    text.resize(static_cast<std::size_t>(GetWindowTextA(control, &text[0], int(text.size()))));
    return text;
}

void TDSettings::FormShow()
{
    CodePages.clear();
    Enumerated = &CodePages;
    EnumSystemCodePagesA(AddCodePage, CP_INSTALLED);
    Enumerated = nullptr;
    std::stable_sort(CodePages.begin(), CodePages.end(), [](const TCodePage &a, const TCodePage &b) {
        return LeadingNumber(a.first) < LeadingNumber(b.first);
    });
    HWND list = GetDlgItem(Form, IDC_FCODEPAGES);
    SendMessageA(list, CB_RESETCONTENT, 0, 0);
    for (const TCodePage &page : CodePages) SendMessageA(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(page.first.c_str()));

    ShowPage(0);
    SetDlgItemTextA(Form, IDC_FROOT, Root.c_str());
    SetDlgItemTextA(Form, IDC_FHOST, Hosts.c_str());
    auto current = std::find_if(CodePages.begin(), CodePages.end(), [this](const TCodePage &p) { return p.second == CodePage; });
    SendMessageA(list, CB_SETCURSEL, current == CodePages.end() ? WPARAM(-1) : WPARAM(current - CodePages.begin()), 0);
    EnableWindow(GetDlgItem(Form, IDOK), FALSE);
    ShowWindow(Form, SW_SHOW);
    SetForegroundWindow(Form);
    SetFocus(GetDlgItem(Form, IDC_FROOT));
}

void TDSettings::FormHide()
{
    ShowWindow(Form, SW_HIDE);
    CodePages.clear();
}

void TDSettings::FBOkEnabledCheck() { EnableWindow(GetDlgItem(Form, IDOK), IsFolder(ControlText(IDC_FROOT))); }

void TDSettings::FBCancelClick() { FormHide(); }

void TDSettings::FBOkClick()
{
    try {
        StopDaemon();
        TRegistry key(HKEY_CURRENT_USER);
        if (key.OpenKey(SettingsKey, true)) {
            // Only what changed is written.
            const std::string root = ControlText(IDC_FROOT), hosts = ControlText(IDC_FHOST);
            if (root != Root && IsFolder(root)) {
                Root = root;
                key.WriteString("Root", Root);
            }
            if (hosts != Hosts) {
                Hosts = hosts;
                if (!Hosts.empty())
                    key.WriteString("Host", Hosts);
                else if (key.ValueExists("Host"))
                    key.DeleteValue("Host");
            }
            const std::string pageName = ControlText(IDC_FCODEPAGES);
            auto page = std::find_if(CodePages.begin(), CodePages.end(), [&](const TCodePage &p) { return p.first == pageName; });
            if (page != CodePages.end() && page->second != CodePage) {
                CodePage = page->second;
                if (CodePage != 0)
                    key.WriteInteger("CodePage", CodePage);
                else if (key.ValueExists("CodePage"))
                    key.DeleteValue("CodePage");
            }
            key.CloseKey();
        }
        StartDaemon(Root, CodePage);
    } catch (const std::exception &error) {
        // The form stays shown; the next OK tries again.
        ShowException(error);
        return;
    }
    EnableWindow(GetDlgItem(Form, IDOK), FALSE);
    FormHide();
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
    Daemon = std::make_unique<TDaemon>(AnsiToWide(root), nullptr, codePage, &Identities);
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
