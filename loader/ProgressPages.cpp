#include "ProgressPages.h"

#include "BoardMessage.h"
#include "MainFrm.h"
#include "TaviApp.h"
#include "TaviDoc.h"
#include "TaviNewView.h"
#include "TaviString.h"
#include "TaviWiz.h"

#include <algorithm>

namespace {

constexpr int kCopyBarFromVersion = 300;
// Characters the Install page's log box keeps: its newest lines.
constexpr std::size_t kLogBoxKeep = 16 * 1024;
constexpr unsigned kLogShowMillis = 100;

void Show(HWND page, int id, bool shown) { ShowWindow(GetDlgItem(page, id), shown ? SW_SHOW : SW_HIDE); }

void SetPosition(HWND bar, int position)
{
    if (bar) SendMessageA(bar, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

// A started step: the bar becomes current, with range X..Y and the given position.
HWND StartBar(HWND page, int id, int done, int total, int position)
{
    HWND bar = GetDlgItem(page, id);
    SendMessageA(bar, PBM_SETRANGE32, static_cast<WPARAM>(done), total);
    SetPosition(bar, position);
    return bar;
}

}  // namespace

void CTaviWizSaveMono::ReloadTexts()
{
    static const UINT texts[] = {IDC_SAVING_TELE_LABEL, IDC_SAVING_IA_LABEL, IDC_SAVING_END};
    SetTextsById(texts, 3);
}

BOOL CTaviWizSaveMono::OnSetActive()
{
    SetWizardButtons(0);
    m_copyProgress = nullptr;
    Show(m_hWnd, IDC_SAVING_END, false);
    // From version 800 the board saves its Internet Access with the telephony.
    const bool separateIa = g_deliveryVersion < kVersionNewBoards;
    Show(m_hWnd, IDC_SAVING_IA_LABEL, separateIa);
    Show(m_hWnd, IDC_SAVE_IA_BAR, separateIa);
    SetPosition(GetDlgItem(m_hWnd, IDC_SAVE_TELE_BAR), 0);
    SetPosition(GetDlgItem(m_hWnd, IDC_SAVE_IA_BAR), 0);
    ReloadTexts();
    if (CMainFrame *frame = TaviMainFrame()) frame->SetStatusTextId(IDS_PROGRESS_WAIT);
    return TRUE;
}

void CTaviWizSaveMono::OnBoardEvent(int messageId, int status, const std::string &text)
{
    if (messageId == kMsgDisconnect && m_hWnd) Show(m_hWnd, IDC_SAVING_END, true);
    CMyPages::OnBoardEvent(messageId, status, text);
}

void CTaviWizSaveMono::OnSaveProgress(int messageId, int, const std::string &text)
{
    int done = 0, total = 0;
    if (!m_hWnd || !ReadProgressText(text, done, total)) return;
    if (messageId == kMsgSaveTeleStart) {
        m_copyProgress = StartBar(m_hWnd, IDC_SAVE_TELE_BAR, done, total, 0);
    } else if (messageId == kMsgSaveIaStart) {
        m_copyProgress = StartBar(m_hWnd, IDC_SAVE_IA_BAR, done, total, 0);
    } else if (messageId == kMsgSaveTeleEnd || messageId == kMsgSaveIaEnd) {
        SetPosition(m_copyProgress, total);
        m_copyProgress = nullptr;
    }
}

LRESULT CTaviWizSaveMono::OnWizardNext()
{
    SetWizardButtons(0);
    if (CMainFrame *frame = TaviMainFrame()) frame->SetStatusTextId(IDS_WAIT_MESSAGE);
    return PrepareTarget(IDD_DATA_SAVING, IDD_INSTALL);
}

void CTaviWizSaveTel::ReloadTexts()
{
    static const UINT texts[] = {IDC_TELEPHONY_END, IDC_TELEPHONY_LABEL};
    SetTextsById(texts, 2);
}

BOOL CTaviWizSaveTel::OnSetActive()
{
    SetWizardButtons(0);
    ReloadTexts();
    Show(m_hWnd, IDC_TELEPHONY_END, false);
    SetPosition(GetDlgItem(m_hWnd, IDC_TELEPHONY_BAR), 0);
    return TRUE;
}

void CTaviWizSaveTel::OnBoardEvent(int messageId, int, const std::string &)
{
    ShowConnection(messageId);
    // The buttons are sent rather than posted, so that the press finds Next enabled.
    if (messageId == kMsgDisconnect && GetSheet()) {
        SendMessageA(GetSheet(), PSM_SETWIZBUTTONS, 0, PSWIZB_NEXT);
        PostMessageA(GetSheet(), PSM_PRESSBUTTON, PSBTN_NEXT, BoardPress(m_hWnd));
    }
}

void CTaviWizSaveTel::OnSaveProgress(int messageId, int, const std::string &text)
{
    int done = 0, total = 0;
    if (!m_hWnd || !ReadProgressText(text, done, total)) return;
    if (messageId == kMsgSaveTeleStart) {
        m_copyProgress = StartBar(m_hWnd, IDC_TELEPHONY_BAR, done, total, done);
    } else if (messageId == kMsgSaveTeleEnd) {
        SetPosition(m_copyProgress, total);
        SetWizardButtons(PSWIZB_NEXT);
        Show(m_hWnd, IDC_TELEPHONY_END, true);
        m_copyProgress = nullptr;
    }
}

void CTaviWizSaveIA::ReloadTexts()
{
    static const UINT texts[] = {IDC_IA_END, IDC_IA_LABEL};
    SetTextsById(texts, 2);
}

BOOL CTaviWizSaveIA::OnSetActive()
{
    SetWizardButtons(0);
    ReloadTexts();
    Show(m_hWnd, IDC_IA_END, false);
    SetPosition(GetDlgItem(m_hWnd, IDC_IA_BAR), 0);
    return TRUE;
}

void CTaviWizSaveIA::OnSaveProgress(int messageId, int, const std::string &text)
{
    int done = 0, total = 0;
    if (!m_hWnd || !ReadProgressText(text, done, total)) return;
    if (messageId == kMsgSaveIaStart) {
        m_copyProgress = StartBar(m_hWnd, IDC_IA_BAR, done, total, done);
    } else if (messageId == kMsgSaveIaEnd) {
        SetPosition(m_copyProgress, total);
        SetWizardButtons(PSWIZB_NEXT);
        Show(m_hWnd, IDC_IA_END, true);
        m_copyProgress = nullptr;
    }
}

LRESULT CTaviWizSaveIA::OnWizardNext()
{
    SetWizardButtons(0);
    return PrepareTarget(IDD_SAVE_IA, IDD_INSTALL);
}

void CTaviWizInstall::ReloadTexts()
{
    static const UINT texts[] = {IDC_RESTORE_LABEL, IDC_COPY_LABEL, IDC_INSTALL_END};
    SetTextsById(texts, 3);
}

void CTaviWizInstall::AppendLog(int, const std::string &log, std::size_t removed, const std::string &added)
{
    if (!m_hWnd) return;
    if (m_showsLog) {
        m_shown.erase(m_shown.size() - std::min(removed, m_shown.size()));
        m_shown += added;
    } else {
        m_shown = log;
        m_showsLog = true;
    }
    // Cut to half the bound, so that the cost of cutting spreads over many lines.
    if (m_shown.size() > kLogBoxKeep) KeepLogTail(m_shown, kLogBoxKeep / 2);
    // Each change of an edit box costs in proportion to its whole text. The box takes the new lines on the
    // timer's turn, which comes only when no other message waits: a flood of lines costs one change.
    m_logPending = true;
    if (!m_logTimerRuns) m_logTimerRuns = m_logTimer.Start(kLogShowMillis, [this] { ShowLog(); });
}

void CTaviWizInstall::ShowLog()
{
    if (!m_logPending || !m_hWnd) return;
    m_logPending = false;
    HWND box = GetDlgItem(m_hWnd, IDC_INSTALL_LOG);
    SetWindowTextA(box, m_shown.c_str());
    SendMessageA(box, EM_LINESCROLL, 0, SendMessageA(box, EM_GETLINECOUNT, 0, 0));
}

void CTaviWizInstall::OnBoardEvent(int messageId, int status, const std::string &text)
{
    CMyPages::OnBoardEvent(messageId, status, text);
    if (messageId != kMsgDisconnect || !m_hWnd) return;
    SetWizardButtons(PSWIZB_NEXT);
    Show(m_hWnd, IDC_INSTALL_END, true);
}

void CTaviWizInstall::OnRestoreProgress(int messageId, int, const std::string &text)
{
    int done = 0, total = 0;
    if (!m_hWnd || !ReadProgressText(text, done, total)) return;
    if (messageId == kMsgRestoreTeleStart || messageId == kMsgRestoreIaStart)
        m_copyProgress = StartBar(m_hWnd, IDC_RESTORE_BAR, done, total, done);
    else if (messageId == kMsgRestoreTeleEnd || messageId == kMsgRestoreIaEnd)
        SetPosition(m_copyProgress, total);
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
    SetPosition(GetDlgItem(m_hWnd, IDC_COPY_BAR), 0);
    SetPosition(GetDlgItem(m_hWnd, IDC_RESTORE_BAR), 0);
    const std::string wait = CTaviString::LoadOr(IDS_PROGRESS_WAIT, "").Str();
    if (CMainFrame *frame = TaviMainFrame()) frame->SetStatusText(wait);
    SetDlgItemTextA(m_hWnd, IDC_INSTALL_LOG, wait.c_str());
    m_showsLog = m_logPending = false;
    m_shown.clear();
    SendDlgItemMessageA(m_hWnd, IDC_INSTALL_LOG, EM_SETREADONLY, TRUE, 0);
    return TRUE;
}

LRESULT CTaviWizInstall::OnWizardNext()
{
    CTaviDoc *document = Document();
    if (document && (document->LastTargetFlags() & kStepRestore)) {
        const std::string question = CTaviString::LoadOr(IDS_END_QUESTION, "").Str();
        if (AfxMessageBox(question, MB_YESNO | MB_ICONEXCLAMATION) == IDYES) document->CleanUp(false, true);
    }
    return IDD_MAIN_PAGE;
}
