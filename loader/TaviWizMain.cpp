#include "TaviWizMain.h"

#include "BootFolder.h"
#include "Delivery.h"
#include "MainFrm.h"
#include "TargetConf.h"
#include "TaviApp.h"
#include "TaviDoc.h"
#include "TaviString.h"
#include "res/resource.h"

#include <shlobj.h>
#include <windowsx.h>

namespace {

// The option check boxes in the order of the ".tav" record.
const int kOptionControls[kOptionCount] = {IDC_OPTION_IA,  IDC_OPTION_RAS,     IDC_OPTION_VOIP,
                                           IDC_OPTION_ACD, IDC_OPTION_LUMASET, IDC_OPTION_FARLINK};
const UINT kTexts[] = {IDC_DELIVERY_LABEL, IDC_OPTION_IA,     IDC_OPTION_RAS,    IDC_OPTION_VOIP,
                       IDC_OPTION_LUMASET, IDC_OPTION_FARLINK, IDC_OPTION_ACD,    IDC_VERSION_LABEL,
                       IDC_COUNTRY_LABEL,  IDC_PACKAGES};
const int kShownWithOptions[] = {IDC_OPTION_IA,      IDC_OPTION_VOIP,    IDC_OPTION_RAS,    IDC_OPTION_ACD,
                                 IDC_OPTION_LUMASET, IDC_LUMASET_LINE1, IDC_LUMASET_LINE2, IDC_OPTION_FARLINK};
// What the technician can type; a loaded document's folder is kept whole.
constexpr int kMaxFolderText = 260;
constexpr int kVersionAcd = 300;
constexpr int kVersionRemoteAccessShown = 210;
constexpr int kVersionLumaset = 810;
constexpr int kVersionFarlink = 2000;
constexpr int kVersionTolmaWithoutLumaset = 5000;
const char kTolmaBoard[] = "TOLMA";
const char kBadDelivery[] = "Failed Bad Delivery";
const char kNoDirectory[] = "Failed to get directory";
const char kBrowseTitle[] = "Select Delivery Directory";
const char kDeleteFailed[] = "ERROR DELETE FILES : ";
const char kRemoteAccessFallback[] = "*Define Remote Access...";
// What the folder browser accepts as a delivery, tested in this order.
const char *const kDeliveryPatterns[] = {"\\*.tgz", "\\boot\\config.rc", "\\DownloadingItems\\boot\\config.rc"};

void Show(HWND dialog, int id, bool shown) { ShowWindow(GetDlgItem(dialog, id), shown ? SW_SHOW : SW_HIDE); }
void Enable(HWND dialog, int id, bool enabled) { EnableWindow(GetDlgItem(dialog, id), enabled ? TRUE : FALSE); }
void Uncheck(HWND dialog, int id) { CheckDlgButton(dialog, id, BST_UNCHECKED); }

bool HoldsDelivery(const std::string &folder)
{
    for (const char *pattern : kDeliveryPatterns) {
        WIN32_FIND_DATAA found = {};
        HANDLE search = FindFirstFileA((folder + pattern).c_str(), &found);
        if (search == INVALID_HANDLE_VALUE) continue;
        FindClose(search);
        return true;
    }
    return false;
}

int CALLBACK BrowseCallback(HWND browser, UINT message, LPARAM lp, LPARAM data)
{
    if (message != BFFM_SELCHANGED) return 0;
    char path[MAX_PATH] = {};
    auto *chosen = reinterpret_cast<std::string *>(data);
    const bool accepted = SHGetPathFromIDListA(reinterpret_cast<PCIDLIST_ABSOLUTE>(lp), path) && HoldsDelivery(path);
    *chosen = accepted ? path : "";
    SendMessageA(browser, BFFM_ENABLEOK, 0, accepted ? TRUE : FALSE);
    return 0;
}

void ShowError(const std::string &text, UINT icon = MB_ICONERROR) { AfxMessageBox(text, MB_OK | icon); }

}  // namespace

CTaviWizMain::CTaviWizMain(CDelivery *delivery) : CMyPages(IDD_MAIN_PAGE), m_delivery(delivery) {}

MainPageRecord CTaviWizMain::Record()
{
    if (m_hWnd) UpdateData(true);
    if (m_delivery) m_delivery->SetDeliveryPath(m_values.deliveryFolder);
    return m_values;
}

void CTaviWizMain::Load(const MainPageRecord &record)
{
    m_values = record;
    if (m_delivery) m_delivery->SetDeliveryPath(record.deliveryFolder);
    if (m_hWnd) UpdateData(false);
}

std::string CTaviWizMain::SelectedCountry()
{
    if (m_hWnd) UpdateData(true);
    const std::int32_t selected = m_values.selectedCountry;
    if (selected < 0 || static_cast<size_t>(selected) >= m_values.countries.size()) return "";
    return m_values.countries[static_cast<size_t>(selected)];
}

void CTaviWizMain::UpdateData(bool save)
{
    HWND list = GetDlgItem(m_hWnd, IDC_COUNTRY);
    if (save) {
        m_values.deliveryFolder = ItemText(IDC_DELIVERY_FOLDER);
        for (int i = 0; i < kOptionCount; ++i)
            m_values.options[static_cast<size_t>(i)] = IsDlgButtonChecked(m_hWnd, kOptionControls[i]) == BST_CHECKED;
        m_values.countries.clear();
        const int count = ComboBox_GetCount(list);
        for (int i = 0; i < count; ++i) {
            std::string entry(static_cast<size_t>(ComboBox_GetLBTextLen(list, i)) + 1, '\0');
            ComboBox_GetLBText(list, i, &entry[0]);
            m_values.countries.push_back(entry.c_str());
        }
        m_values.selectedCountry = ComboBox_GetCurSel(list);
        return;
    }
    SetDlgItemTextA(m_hWnd, IDC_DELIVERY_FOLDER, m_values.deliveryFolder.c_str());
    for (int i = 0; i < kOptionCount; ++i)
        CheckDlgButton(m_hWnd, kOptionControls[i], m_values.options[static_cast<size_t>(i)] ? BST_CHECKED : BST_UNCHECKED);
    ComboBox_ResetContent(list);
    for (const std::string &country : m_values.countries) ComboBox_AddString(list, country.c_str());
    ComboBox_SetCurSel(list, m_values.selectedCountry);
}

void CTaviWizMain::ShowOptions(bool show)
{
    for (int id : kShownWithOptions) ShowWindow(GetDlgItem(m_hWnd, id), show ? SW_SHOW : SW_HIDE);
}

bool CTaviWizMain::CheckDelivery(CDelivery *delivery, const std::string &)
{
    const bool usable = delivery && delivery->ReadDelivery();
    if (usable) {
        if (m_hWnd) UpdateData(true);
        m_values.countries = delivery->Countries();
        if (m_values.selectedCountry >= static_cast<std::int32_t>(m_values.countries.size()))
            m_values.selectedCountry = -1;
    }
    if (!m_hWnd) {
        if (usable) {
            g_deliveryVersion = delivery->Version();
            g_deliverySubVersion = delivery->SubVersion();
        }
        return usable;
    }
    if (!usable) {
        ShowOptions(false);
        SetWizardButtons(0);
        return false;
    }
    SetDlgItemTextA(m_hWnd, IDC_RELEASE, delivery->GetReleaseText().c_str());
    UpdateData(false);
    Enable(m_hWnd, IDC_COUNTRY, true);
    ApplyOptionRules(delivery->Version());
    g_deliverySubVersion = delivery->SubVersion();
    UpdateData(true);
    SetWizardButtons(PSWIZB_NEXT);
    return true;
}

void CTaviWizMain::ApplyOptionRules(int version)
{
    // Remote access: the second CPU's option below 200, none from 200 to 209, remote access from 210.
    if (version < kVersionRemoteAccess) {
        SetDlgItemTextA(m_hWnd, IDC_OPTION_RAS, CTaviString::LoadOr(IDS_MULTI_CPU, "").c_str());
        Show(m_hWnd, IDC_OPTION_RAS, IsDlgButtonChecked(m_hWnd, IDC_OPTION_IA) == BST_CHECKED);
    } else if (version < kVersionRemoteAccessShown) {
        Show(m_hWnd, IDC_OPTION_RAS, false);
        Uncheck(m_hWnd, IDC_OPTION_RAS);
    } else {
        SetDlgItemTextA(m_hWnd, IDC_OPTION_RAS, CTaviString::LoadOr(IDC_OPTION_RAS, kRemoteAccessFallback).c_str());
        Show(m_hWnd, IDC_OPTION_RAS, true);
    }
    const bool newBoards = version >= kVersionNewBoards;
    if (newBoards) Uncheck(m_hWnd, IDC_OPTION_RAS);
    Enable(m_hWnd, IDC_OPTION_RAS, !newBoards);
    g_deliveryVersion = version;

    Show(m_hWnd, IDC_OPTION_ACD, version >= kVersionAcd);
    if (version < kVersionAcd) Uncheck(m_hWnd, IDC_OPTION_ACD);

    Show(m_hWnd, IDC_OPTION_IA, true);
    if (newBoards) Uncheck(m_hWnd, IDC_OPTION_IA);
    Enable(m_hWnd, IDC_OPTION_IA, !newBoards);

    const bool vusko = g_boardType == kBoardTypeVusko;
    Show(m_hWnd, IDC_OPTION_VOIP, true);
    if (vusko) CheckDlgButton(m_hWnd, IDC_OPTION_VOIP, BST_CHECKED);
    Enable(m_hWnd, IDC_OPTION_VOIP, !vusko);

    Show(m_hWnd, IDC_OPTION_FARLINK, true);
    Enable(m_hWnd, IDC_OPTION_FARLINK, version >= kVersionFarlink);

    const bool noLumaset = version < kVersionLumaset || vusko ||
                           (version >= kVersionTolmaWithoutLumaset && g_boardType == kTolmaBoard);
    for (int id : {IDC_OPTION_LUMASET, IDC_LUMASET_LINE1, IDC_LUMASET_LINE2}) Show(m_hWnd, id, true);
    if (noLumaset) Uncheck(m_hWnd, IDC_OPTION_LUMASET);
    Enable(m_hWnd, IDC_OPTION_LUMASET, !noLumaset);
}

void CTaviWizMain::Browse()
{
    std::string chosen;
    BROWSEINFOA info = {};
    info.hwndOwner = TaviApp() && TaviApp()->GetMainWnd() ? TaviApp()->GetMainWnd()->GetSafeHwnd() : m_hWnd;
    info.lpszTitle = kBrowseTitle;
    info.lpfn = BrowseCallback;
    info.lParam = reinterpret_cast<LPARAM>(&chosen);
    PIDLIST_ABSOLUTE picked = AfxBrowseForFolder(info);
    if (!picked) return;
    CoTaskMemFree(picked);
    if (chosen.empty()) {
        ShowError(kNoDirectory);
        return;
    }
    SetDlgItemTextA(m_hWnd, IDC_DELIVERY_FOLDER, chosen.c_str());
    if (m_delivery) m_delivery->SetDeliveryPath(chosen);
    if (!m_delivery || !m_delivery->ReadBoardType()) {
        SetWizardButtons(0);
        return;
    }
    if (!CheckDelivery(m_delivery, "")) ShowError(kBadDelivery);
}

bool CTaviWizMain::OnCommand(UINT id, UINT code)
{
    if (code != BN_CLICKED) return false;
    switch (id) {
    case IDC_DELIVERY_BROWSE:
        Browse();
        return true;
    case IDC_OPTION_IA:
        if (g_deliveryVersion > 0 && g_deliveryVersion < kVersionRemoteAccess) {
            const bool on = IsDlgButtonChecked(m_hWnd, IDC_OPTION_IA) == BST_CHECKED;
            Show(m_hWnd, IDC_OPTION_RAS, on);
            if (!on) Uncheck(m_hWnd, IDC_OPTION_RAS);
        }
        return true;
    case IDC_OPTION_LUMASET:
        if (IsDlgButtonChecked(m_hWnd, IDC_OPTION_LUMASET) == BST_CHECKED)
            CheckDlgButton(m_hWnd, IDC_OPTION_VOIP, BST_CHECKED);
        return true;
    case IDC_OPTION_VOIP:
        Uncheck(m_hWnd, IDC_OPTION_LUMASET);
        return true;
    default:
        return false;
    }
}

LRESULT CTaviWizMain::OnWizardNext()
{
    if (m_delivery) m_delivery->SetDeliveryPath(ItemText(IDC_DELIVERY_FOLDER));
    if (!CheckDelivery(m_delivery, "")) return IDD_MAIN_PAGE;
    UpdateData(true);
    m_delivery->SetCancelled(false);
    SetWizardButtons(0);
    CMainFrame *frame = TaviMainFrame();
    if (frame) frame->SetStatusTextId(IDS_WAIT_MESSAGE);
    if (m_values.selectedCountry < 0) {
        ShowError(CTaviString::LoadOr(IDS_SELECT_COUNTRY, "").Str(), MB_ICONEXCLAMATION);
        return IDD_MAIN_PAGE;
    }
    if (!m_delivery->EmptyDirectory(GetTftpbootPath())) {
        ShowError(kDeleteFailed + GetTftpbootPath());
        return IDD_MAIN_PAGE;
    }
    const LRESULT page = g_deliveryVersion >= kVersionAcd ? 0 : PrepareShortRoad();
    if (frame) frame->SetStatusTextId(IDS_IDLE_MESSAGE);
    return page;
}

LRESULT CTaviWizMain::PrepareShortRoad()
{
    CTargetConf seeds;  // seeds the target file's profile defaults before the question
    const std::string question = CTaviString::LoadOr(IDS_MAIN_HARD_READY, kFallbackMainHardReady).Str();
    if (AfxMessageBox(question, MB_YESNO | MB_ICONEXCLAMATION) != IDYES) return IDD_MAIN_PAGE;
    // Nothing is served over NFS on this road.
    return PrepareBoard({{{"\\target.conf", kStepInstall, false}}, "", 0, 0}, IDD_MAIN_PAGE, IDD_INSTALL);
}

void CTaviWizMain::ReloadTexts()
{
    SetTextsById(kTexts, sizeof kTexts / sizeof kTexts[0]);
    if (g_deliveryVersion >= 1 && g_deliveryVersion < kVersionRemoteAccess)
        SetDlgItemTextA(m_hWnd, IDC_OPTION_RAS, CTaviString::LoadOr(IDS_MULTI_CPU, "").c_str());
}

BOOL CTaviWizMain::OnInitDialog()
{
    SendDlgItemMessageA(m_hWnd, IDC_DELIVERY_FOLDER, EM_LIMITTEXT, kMaxFolderText, 0);
    UpdateData(false);
    return TRUE;
}

BOOL CTaviWizMain::OnSetActive()
{
    const std::string folder = ItemText(IDC_DELIVERY_FOLDER);
    if (m_delivery) m_delivery->SetDeliveryPath(folder);
    if (!CheckDelivery(m_delivery, "") && !folder.empty()) ShowError(kBadDelivery);
    ReloadTexts();
    return TRUE;
}
