#include "ProgressPages.h"

#include "BoardMessage.h"
#include "MainFrm.h"
#include "TaviApp.h"
#include "TaviDoc.h"
#include "TaviString.h"
#include "res/resource.h"

namespace {

constexpr int kCopyBarFromVersion = 300;

void Show(HWND page, int id, bool shown) { ShowWindow(GetDlgItem(page, id), shown ? SW_SHOW : SW_HIDE); }

}  // namespace

void CTaviWizSaveMono::ReloadTexts()
{
    static const UINT texts[] = {IDC_SAVING_TELE_LABEL, IDC_SAVING_IA_LABEL, IDC_SAVING_END};
    SetTextsById(texts, 3);
}

void CTaviWizSaveTel::ReloadTexts()
{
    static const UINT texts[] = {IDC_TELEPHONY_END, IDC_TELEPHONY_LABEL};
    SetTextsById(texts, 2);
}

void CTaviWizSaveIA::ReloadTexts()
{
    static const UINT texts[] = {IDC_IA_END, IDC_IA_LABEL};
    SetTextsById(texts, 2);
}

void CTaviWizInstall::ReloadTexts()
{
    static const UINT texts[] = {IDC_RESTORE_LABEL, IDC_COPY_LABEL, IDC_INSTALL_END};
    SetTextsById(texts, 3);
}

void CTaviWizInstall::AppendLog(int, const std::string &log)
{
    if (!m_hWnd) return;
    HWND box = GetDlgItem(m_hWnd, IDC_INSTALL_LOG);
    SetWindowTextA(box, log.c_str());
    SendMessageA(box, EM_LINESCROLL, 0, SendMessageA(box, EM_GETLINECOUNT, 0, 0));
}

void CTaviWizInstall::OnBoardEvent(int messageId, int status, const std::string &text)
{
    CMyPages::OnBoardEvent(messageId, status, text);
    if (messageId != kMsgDisconnect || !m_hWnd) return;
    SetWizardButtons(PSWIZB_NEXT);
    Show(m_hWnd, IDC_INSTALL_END, true);
}

BOOL CTaviWizInstall::OnSetActive()
{
    SetWizardButtons(0);
    ReloadTexts();
    Show(m_hWnd, IDC_INSTALL_END, false);
    CTaviDoc *document = Document();
    const bool restore = document && (document->LastTargetFlags() & kStepRestore);
    Show(m_hWnd, IDC_RESTORE_LABEL, restore);
    Show(m_hWnd, IDC_RESTORE_BAR, restore);
    const bool copy = g_deliveryVersion >= kCopyBarFromVersion;
    Show(m_hWnd, IDC_COPY_LABEL, copy);
    Show(m_hWnd, IDC_COPY_BAR, copy);
    m_copyProgress = copy ? GetDlgItem(m_hWnd, IDC_COPY_BAR) : nullptr;
    SendDlgItemMessageA(m_hWnd, IDC_COPY_BAR, PBM_SETPOS, 0, 0);
    SendDlgItemMessageA(m_hWnd, IDC_RESTORE_BAR, PBM_SETPOS, 0, 0);
    const std::string wait = CTaviString::LoadOr(IDS_PROGRESS_WAIT, "").Str();
    if (CMainFrame *frame = TaviApp() ? TaviApp()->MainFrame() : nullptr) frame->SetStatusText(wait);
    SetDlgItemTextA(m_hWnd, IDC_INSTALL_LOG, wait.c_str());
    return TRUE;
}

LRESULT CTaviWizInstall::OnWizardNext() { return IDD_MAIN_PAGE; }
