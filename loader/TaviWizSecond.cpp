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
        m_storageFolder = ItemText(IDC_STORAGE_FOLDER);
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
    PIDLIST_ABSOLUTE picked = AfxBrowseForFolder(info);
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
    CMainFrame *frame = TaviMainFrame();
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
    const bool newBoards = m_delivery->Version() >= kVersionNewBoards;
    const char *installTarget = newBoards ? "\\target_dravenle.conf" : "\\target.conf";
    BoardPreparation preparation{{}, m_delivery->DeliveryPath() + "DownloadingItems", IDS_SERVICES_FAILED,
                                 MB_ICONEXCLAMATION};
    switch (m_type) {
    case kTypeMonoMigration:
        nextPage = IDD_DATA_SAVING;
        if (!newBoards)
            preparation.targets = {{"\\target.conf", kStepSaveIa | kStepSaveTele, false}};
        else
            preparation.targets = {{"\\target_dravenle.conf", kStepSaveTele, false},
                                   {"\\target.conf", kStepSaveTele, true}};
        break;
    case kTypeMultiMigration:
        nextPage = IDD_SAVING_TELEPHONY;
        preparation.targets = {{"\\target_ia.conf", kStepSaveIa, false}, {"\\target.conf", kStepSaveTele, false}};
        break;
    case kTypeInstallRestore:
        preparation.targets = {{installTarget, kStepRestore | kStepInstall, false}};
        break;
    default:
        preparation.targets = {{installTarget, kStepInstall, false}};
        break;
    }
    // The migrations serve the storage folder the board saves its data into.
    if (m_type == kTypeMonoMigration || m_type == kTypeMultiMigration)
        preparation = {preparation.targets, m_storageFolder, IDS_STORAGE_FAILED, 0};
    return PrepareBoard(preparation, IDD_INSTALLATION_TYPE, nextPage);
}

LRESULT CTaviWizSecond::OnWizardBack()
{
    UpdateData(true);
    return 0;
}
