#include "TaviDoc.h"

#include "BootFolder.h"
#include "ExtService.h"
#include "LocalIpAddress.h"
#include "LocalLoop.h"
#include "MainFrm.h"
#include "ServerSocket.h"
#include "TargetConf.h"
#include "TaviApp.h"
#include "TaviString.h"
#include "framework/Profile.h"
#include "framework/WaitCursor.h"
#include "res/resource.h"

#include <winsock2.h>

#include <fstream>
#include <iterator>
#include <sstream>

DWORD CTaviDoc::s_stopGapMillis = 1000;
void(WINAPI *CTaviDoc::s_stopGap)(DWORD) = Sleep;

namespace {

constexpr UINT_PTR kServiceTimer = 2000;
constexpr int kServiceWaitDefault = 30000;
constexpr int kBootpEntriesDefault = 1;
constexpr int kSecondInterfaceKernel = 31;
constexpr int kHostNameSize = 51;
constexpr DWORD kIdleWaitMillis = 50;
const char kBootpKey[] = "SOFTWARE\\WS\\BOOTP Desktop";
const char kBootpDatabase[] = "DatabasePath";
const char kBootpAddress[] = "IP address";

std::string BoardSection(const char *suffix) { return std::string(kBoardMacPrefix) + "-" + suffix; }

HWND MainWindow()
{
    CTaviApp *app = TaviApp();
    return app && app->GetMainWnd() ? app->GetMainWnd()->GetSafeHwnd() : nullptr;
}

}  // namespace

void ApplyTargetChoices(CTargetConf &target, const MainPageRecord &main, int flags, int installationType,
                        int version)
{
    target.IA = main.options[kOptionIa];
    target.VOIP = main.options[kOptionVoip];
    target.ACD = main.options[kOptionAcd];
    target.LUMASET = main.options[kOptionLumaset];
    target.CLR_NOR_FK = main.options[kOptionResetFarlink];
    // Below version 200 the box is the second CPU's option, from it remote access.
    if (version < kVersionRemoteAccess)
        target.IA_MULTI = main.options[kOptionRemoteAccess];
    else
        target.RAS = main.options[kOptionRemoteAccess];
    if (flags & kStepSaveIa) target.SAVE_IA = target.REBOOT = 1;
    if (flags & kStepSaveTele) target.SAVE_TELE = 1;
    if (flags & kStepRestore) {
        target.RESTORE_TELE = 1;
        if (version < kVersionNewBoards) target.RESTORE_IA = 1;
    }
    if (flags & kStepInstall) target.INSTALL = 1;
    if (installationType == kTypeMultiMigration) {
        target.REBOOT = 0;
        if (flags & kStepSaveTele) target.SAVE_IA_MULTI = 1;
    }
}

CTaviDoc::CTaviDoc() : m_secondPage(&m_delivery), m_mainPage(&m_delivery) {}

CTaviDoc::~CTaviDoc()
{
    CExtBootp().Stop();
    CExtTftpd().Stop();
}

bool CTaviDoc::OnNewDocument()
{
    SetPathName("");
    return true;
}

bool CTaviDoc::OnOpenDocument(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    MainPageRecord main;
    InstallTypeRecord type;
    std::string error;
    if (!file || !ReadTavFile(bytes.str(), main, type, error)) {
        AfxMessageBox("Cannot read the document " + path + ": " + (error.empty() ? "read error" : error) + ".",
                      MB_OK | MB_ICONEXCLAMATION);
        return false;
    }
    m_mainPage.Load(main);
    m_secondPage.Load(type);
    m_mainPage.CheckDelivery(&m_delivery, "");
    return true;
}

bool CTaviDoc::OnSaveDocument(const std::string &path)
{
    const std::string bytes = WriteTavFile(m_mainPage.Record(), m_secondPage.Record());
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    file.close();
    if (!file) {
        AfxMessageBox("Cannot write the document " + path + ".", MB_OK | MB_ICONEXCLAMATION);
        return false;
    }
    return true;
}

bool CTaviDoc::WriteTargetFile(const std::string &path, int flags)
{
    CTargetConf target;
    std::string releaseText;
    std::vector<std::string> countries;
    if (!PrepareTftpboot(m_delivery, releaseText, countries)) {
        // A failure without a system error of its own (no release, no country) still needs a text.
        if (m_delivery.LastErrorText().empty()) {
            SetLastError(ERROR_INVALID_DATA);
            m_delivery.GetLastErrorText();
        }
        if (m_delivery.ErrorContext().empty()) m_delivery.SetErrorContext(GetTftpbootPath());
        return false;
    }
    const MainPageRecord main = m_mainPage.Record();
    const int type = m_secondPage.InstallationType();
    ApplyTargetChoices(target, main, flags, type, m_delivery.Version());
    m_lastTargetFlags = flags;
    m_countryText = m_mainPage.SelectedCountry();
    target.Country = m_countryText;
    if (type != kTypeInstallation) {
        ULARGE_INTEGER available = {};
        if (GetDiskFreeSpaceExA(m_secondPage.StorageFolder().c_str(), &available, nullptr, nullptr))
            target.FreeSize = available.QuadPart;
    }
    if (!target.WriteTargetConf(path)) {
        SetLastError(static_cast<DWORD>(target.LastError()));
        m_delivery.GetLastErrorText();
        m_delivery.SetErrorContext(target.ErrorContext());
        return false;
    }
    return true;
}

void CTaviDoc::WriteBootpEntries(const CDelivery &delivery)
{
    std::string database;
    if (CExtBootp::QueryRegString(kBootpKey, kBootpDatabase, database) != 0) return;
    std::string address;
    char host[kHostNameSize] = {};
    if (GetLocalIpAddress(address) != 0 || gethostname(host, sizeof host - 1) != 0) return;
    const std::string board = IncrementIpAddress(address);
    auto write = [&](const char *suffix, const std::string &value) {
        WritePrivateProfileStringA(BoardSection(suffix).c_str(), kBootpAddress, value.c_str(), database.c_str());
    };
    if (delivery.Version() < kVersionNewBoards) {
        write(kMacSuffixOldBoard, board);
    } else if (g_boardType == kBoardTypeVusko) {
        write(kMacSuffixVusko, board);
    } else {
        write(kMacSuffixMainFirst, board);
        write(kMacSuffixMainSecond, delivery.KernelNumber() >= kSecondInterfaceKernel ? board : "");
    }
}

int CTaviDoc::StartServices(CDelivery *delivery)
{
    if (!delivery) return kServicesNoDelivery;
    int result = kServicesStarted;
    CWaitCursor wait;
    HWND main = MainWindow();
    HWND dialog = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_SERVICE_WAIT), main, nullptr, 0);
    const std::string waitText = CTaviString::LoadOr(IDS_SERVICE_WAIT, "").Str();
    if (dialog) {
        RECT box, owner;
        GetWindowRect(dialog, &box);
        GetWindowRect(main ? main : GetDesktopWindow(), &owner);
        SetWindowPos(dialog, nullptr, (owner.left + owner.right - (box.right - box.left)) / 2,
                     (owner.top + owner.bottom - (box.bottom - box.top)) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
        SetDlgItemTextA(dialog, IDC_SERVICE_WAIT_TEXT, waitText.c_str());
        ShowWindow(dialog, SW_SHOW);
    }
    if (CMainFrame *frame = TaviMainFrame()) frame->SetStatusText(waitText);

    const int period = profile::GetInt(kTimeoutsSection, "WStartServices", kServiceWaitDefault);
    SetTimer(main, kServiceTimer, static_cast<UINT>(period), nullptr);
    bool quit = false;
    {
        LocalLoop loop;
        bool elapsed = false;
        const auto serviceTimer = [&](const MSG &msg) {
            elapsed = msg.message == WM_TIMER && msg.hwnd == main && msg.wParam == kServiceTimer;
            return elapsed;
        };
        while (!elapsed) {
            if (!loop.Pump(serviceTimer)) {
                quit = true;
                break;
            }
            if (delivery->Cancelled()) {
                result = kServicesStopped;
                break;
            }
            if (!elapsed) MsgWaitForMultipleObjects(0, nullptr, FALSE, kIdleWaitMillis, QS_ALLINPUT);
        }
        KillTimer(main, kServiceTimer);
        if (quit) {
            // The quit ends the program once its caller returned: nothing more is started.
            if (dialog) DestroyWindow(dialog);
            return kServicesStopped;
        }
    }
    if (dialog) ShowWindow(dialog, SW_HIDE);

    if (profile::GetInt(kConfigSection, "Ip_BootpTab", kBootpEntriesDefault) != 0) WriteBootpEntries(*delivery);
    if (result != kServicesStopped) {
        CExtTftpd().Start();
        CExtBootp().Start();
    }
    if (dialog) DestroyWindow(dialog);
    return result;
}

void CTaviDoc::StopTftpThenBootp()
{
    CWaitCursor wait;
    m_startsAtStop = CExtService::Starts();
    CExtTftpd().Stop();
    s_stopGap(s_stopGapMillis);
    CExtBootp().Stop();
}

void CTaviDoc::StopServices(bool stopServers)
{
    m_delivery.SetCancelled(true);
    if (CMainFrame *frame = TaviMainFrame()) {
        frame->SetConnectionIcon(false);
        frame->SetStatusTextId(IDS_IDLE_MESSAGE);
    }
    if (!stopServers) return;
    StopTftpThenBootp();
    m_delivery.StopNfsServer();
}

void CTaviDoc::StopServersOnce()
{
    if (m_startsAtStop == CExtService::Starts()) return;
    m_delivery.StopNfsServer();
    StopTftpThenBootp();
}

int CTaviDoc::CleanUp(bool stopServers, bool emptyStorage)
{
    m_delivery.StopNfsServer();
    if (stopServers) StopTftpThenBootp();
    if (emptyStorage) {
        CWaitCursor wait;
        m_delivery.EmptyDirectory(m_secondPage.StorageFolder());
    }
    return 0;
}
