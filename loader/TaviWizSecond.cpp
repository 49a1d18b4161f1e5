#include "TaviWizSecond.h"

#include "BootFolder.h"
#include "MainFrm.h"
#include "TaviApp.h"
#include "TaviDoc.h"
#include "TaviString.h"
#include "framework/WaitCursor.h"
#include "res/resource.h"

#include <shlobj.h>

namespace {

// The radio group in the order of the installation types.
const int kTypeControls[] = {IDC_TYPE_INSTALL, IDC_TYPE_MONO, IDC_TYPE_MULTI, IDC_TYPE_RESTORE};
const UINT kTexts[] = {IDC_TYPE_LABEL, IDC_TYPE_INSTALL, IDC_TYPE_MONO, IDC_TYPE_MULTI, IDC_TYPE_RESTORE,
                       IDC_STORAGE_LABEL};
// What a page that was never shown nor loaded stores.
const InstallTypeRecord kNeverShown = {kTypeMonoMigration, ""};
const char kBrowseTitle[] = "Select Delivery Directory";
const char kDeleteFailed[] = "ERROR DELETE FILES : ";
const char kStorageEmpty[] = "<Storage Empty !!!>";

CMainFrame *Frame() { return TaviApp() ? TaviApp()->MainFrame() : nullptr; }

std::string Text(UINT id) { return CTaviString::LoadOr(id, "").Str(); }

}  // namespace

CTaviWizSecond::CTaviWizSecond(CDelivery *delivery) : CMyPages(IDD_INSTALLATION_TYPE), m_delivery(delivery) {}

InstallTypeRecord CTaviWizSecond::Record()
{
    if (m_hWnd) UpdateData(true);
    else if (!m_loaded) return kNeverShown;
    return {m_type, m_storageFolder};
}

void CTaviWizSecond::Load(const InstallTypeRecord &record)
{
    m_type = record.installationType;
    m_storageFolder = record.storageFolder;
    m_loaded = true;
    if (m_hWnd) UpdateData(false);
}

void CTaviWizSecond::UpdateData(bool save)
{
    if (save) {
        for (int i = 0; i < 4; ++i)
            if (IsDlgButtonChecked(m_hWnd, kTypeControls[i]) == BST_CHECKED) m_type = i;
        char folder[MAX_PATH] = {};
        GetDlgItemTextA(m_hWnd, IDC_STORAGE_FOLDER, folder, sizeof folder);
        m_storageFolder = folder;
        return;
    }
    for (int i = 0; i < 4; ++i) CheckDlgButton(m_hWnd, kTypeControls[i], i == m_type ? BST_CHECKED : BST_UNCHECKED);
    SetDlgItemTextA(m_hWnd, IDC_STORAGE_FOLDER, m_storageFolder.c_str());
}

void CTaviWizSecond::ReloadTexts() { SetTextsById(kTexts, sizeof kTexts / sizeof kTexts[0]); }

BOOL CTaviWizSecond::OnInitDialog()
{
    UpdateData(false);
    return TRUE;
}

BOOL CTaviWizSecond::OnSetActive()
{
    SetWizardButtons(PSWIZB_BACK | PSWIZB_NEXT);
    ReloadTexts();
    if (m_shownBefore) UpdateData(false);
    m_shownBefore = true;
    return TRUE;
}

BOOL CTaviWizSecond::OnQueryCancel()
{
    if (CTaviDoc *document = Document()) document->StopServices();
    if (GetSheet()) PropSheet_SetCurSel(GetSheet(), nullptr, 0);
    return FALSE;
}

bool CTaviWizSecond::OnCommand(UINT id, UINT code)
{
    if (id != IDC_STORAGE_BROWSE || code != BN_CLICKED) return false;
    Browse();
    return true;
}

void CTaviWizSecond::Browse()
{
    UpdateData(true);
    BROWSEINFOA info = {};
    info.hwndOwner = TaviApp() && TaviApp()->GetMainWnd() ? TaviApp()->GetMainWnd()->GetSafeHwnd() : m_hWnd;
    info.lpszTitle = kBrowseTitle;
    PIDLIST_ABSOLUTE picked = SHBrowseForFolderA(&info);
    if (!picked) return;
    char folder[MAX_PATH] = {};
    if (SHGetPathFromIDListA(picked, folder)) {
        m_storageFolder = folder;
        UpdateData(false);
    }
    CoTaskMemFree(picked);
}

LRESULT CTaviWizSecond::OnWizardNext()
{
    CWaitCursor wait;
    UpdateData(true);
    SetWizardButtons(0);
    CMainFrame *frame = Frame();
    if (frame) frame->SetStatusTextId(IDS_WAIT_MESSAGE);
    LRESULT page = IDD_INSTALL;
    const bool migration = m_type == kTypeMonoMigration || m_type == kTypeMultiMigration;
    if (migration && !CDelivery::IsFolderEmpty(m_storageFolder)) {
        AfxMessageBox(Text(IDS_STORAGE_NOT_EMPTY), MB_OK | MB_ICONSTOP);
        page = IDD_INSTALLATION_TYPE;
    }
    if (!m_delivery->EmptyDirectory(GetTftpbootPath())) {
        // Nothing is prepared: the page stays, rather than going on to a page that would wait for nothing.
        AfxMessageBox(kDeleteFailed + GetTftpbootPath(), MB_OK);
        if (frame) frame->SetStatusTextId(IDS_IDLE_MESSAGE);
        return IDD_INSTALLATION_TYPE;
    }
    if (m_type != kTypeInstallation && m_storageFolder.empty()) {
        AfxMessageBox(Text(IDS_STORAGE_FAILED) + kStorageEmpty, MB_OK);
        page = IDD_INSTALLATION_TYPE;
    }
    g_bMigrationTarget = false;
    if (page != IDD_INSTALLATION_TYPE) {
        const std::string question = CTaviString::LoadOr(IDS_MAIN_HARD_READY, kFallbackMainHardReady).Str();
        page = AfxMessageBox(question, MB_YESNO | MB_ICONEXCLAMATION) == IDYES ? Prepare(page)
                                                                              : IDD_INSTALLATION_TYPE;
    }
    if (frame) frame->SetStatusTextId(IDS_IDLE_MESSAGE);
    if (m_delivery->Cancelled()) return IDD_MAIN_PAGE;
    return page;
}

LRESULT CTaviWizSecond::Prepare(LRESULT nextPage)
{
    CTaviDoc *document = Document();
    if (!document) return IDD_INSTALLATION_TYPE;
    const std::string boot = GetTftpbootPath();
    const bool newBoards = m_delivery->Version() >= kVersionNewBoards;
    const std::string installTarget = boot + (newBoards ? "\\target_dravenle.conf" : "\\target.conf");
    const std::string deliveryItems = m_delivery->DeliveryPath() + "DownloadingItems";
    bool written = true;
    std::string served = deliveryItems;
    UINT servingFailure = IDS_SERVICES_FAILED;
    switch (m_type) {
    case kTypeMonoMigration:
        served = m_storageFolder;
        servingFailure = IDS_STORAGE_FAILED;
        nextPage = IDD_DATA_SAVING;
        if (!newBoards) {
            written = document->WriteTargetFile(boot + "\\target.conf", kStepSaveIa | kStepSaveTele);
        } else {
            written = document->WriteTargetFile(boot + "\\target_dravenle.conf", kStepSaveTele);
            g_bMigrationTarget = true;
            written = written && document->WriteTargetFile(boot + "\\target.conf", kStepSaveTele);
            g_bMigrationTarget = false;
        }
        break;
    case kTypeMultiMigration:
        served = m_storageFolder;
        servingFailure = IDS_STORAGE_FAILED;
        nextPage = IDD_SAVING_TELEPHONY;
        written = document->WriteTargetFile(boot + "\\target_ia.conf", kStepSaveIa) &&
                  document->WriteTargetFile(boot + "\\target.conf", kStepSaveTele);
        break;
    case kTypeInstallRestore:
        written = document->WriteTargetFile(installTarget, kStepRestore | kStepInstall);
        break;
    default:
        written = document->WriteTargetFile(installTarget, kStepInstall);
        break;
    }
    if (!written) {
        AfxMessageBox(m_delivery->LastErrorText() + m_delivery->ErrorContext(), MB_OK | MB_ICONEXCLAMATION);
        return IDD_INSTALLATION_TYPE;
    }
    if (!m_delivery->StartNfsServer(served)) {
        AfxMessageBox(Text(servingFailure), MB_OK | (servingFailure == IDS_SERVICES_FAILED ? MB_ICONEXCLAMATION : 0));
        return IDD_INSTALLATION_TYPE;
    }
    const int started = document->StartServices(m_delivery);
    if (started == kServicesFailed || started == kServicesNoDelivery) {
        AfxMessageBox(Text(IDS_SERVICES_FAILED), MB_OK | MB_ICONEXCLAMATION);
        return IDD_INSTALLATION_TYPE;
    }
    return nextPage;
}

LRESULT CTaviWizSecond::OnWizardBack()
{
    UpdateData(true);
    return 0;
}
