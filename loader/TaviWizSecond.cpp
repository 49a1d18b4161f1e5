#include "TaviWizSecond.h"

#include "TaviDoc.h"
#include "res/resource.h"

namespace {

// The radio group in the order of the installation types.
const int kTypeControls[] = {IDC_TYPE_INSTALL, IDC_TYPE_MONO, IDC_TYPE_MULTI, IDC_TYPE_RESTORE};
const UINT kTexts[] = {IDC_TYPE_LABEL, IDC_TYPE_INSTALL, IDC_TYPE_MONO, IDC_TYPE_MULTI, IDC_TYPE_RESTORE,
                       IDC_STORAGE_LABEL};
// What a page that was never shown nor loaded stores.
const InstallTypeRecord kNeverShown = {kTypeMonoMigration, ""};

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
    return TRUE;
}

LRESULT CTaviWizSecond::OnWizardBack()
{
    UpdateData(true);
    return 0;
}
