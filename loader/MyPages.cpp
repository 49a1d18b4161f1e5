#include "MyPages.h"

#include "BoardMessage.h"
#include "Delivery.h"
#include "MainFrm.h"
#include "BootFolder.h"
#include "TaviApp.h"
#include "TaviDoc.h"
#include "TaviNewView.h"
#include "TaviString.h"
#include "res/resource.h"

#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kBoardErrorsFromVersion = 300;
// A COPY_WAIT with status 3 moves the bar back by this share of the total.
constexpr int kCopyStepDivisor = 17;

}  // namespace

bool ReadProgressText(const std::string &text, int &done, int &total)
{
    int x = 0, y = 0;
    if (std::sscanf(text.c_str(), "%d/%d", &x, &y) != 2) return false;
    done = x;
    total = y;
    return true;
}

BoardErrorText ParseBoardError(int messageId, const std::string &text)
{
    char *end = nullptr;
    std::strtol(text.c_str(), &end, 10);
    const bool parsed = end != text.c_str();
    unsigned textId = IDS_COPY_FAILED;
    // A number that names no text of the board's range gives the text for no number.
    if (messageId != kMsgCopyWait && !BoardTextResourceId(text, IDS_BOARD_ERROR_TEXT_BASE, textId))
        textId = IDS_BOARD_ERROR_TEXT_BASE;
    std::string rest;
    if (text.size() > 4) {
        // The board's words follow its number and one blank, whatever the number's width.
        size_t skip = parsed ? static_cast<size_t>(end - text.c_str()) : 3;
        if (parsed && skip < text.size() && text[skip] == ' ') ++skip;
        rest = text.substr(skip);
    }
    return {textId, rest};
}

void CMyPages::AppendLog(int, const std::string &, std::size_t, const std::string &) {}

void CMyPages::OnRestoreProgress(int, int, const std::string &) {}

void CMyPages::OnSaveProgress(int, int, const std::string &) {}

CTaviNewView *CMyPages::View() { return TaviApp() ? TaviApp()->MainView() : nullptr; }

CTaviDoc *CMyPages::Document()
{
    CTaviNewView *view = View();
    return view ? dynamic_cast<CTaviDoc *>(view->GetDocument()) : nullptr;
}

void CMyPages::SetWizardButtons(DWORD buttons)
{
    if (GetSheet()) PostMessageA(GetSheet(), PSM_SETWIZBUTTONS, 0, static_cast<LPARAM>(buttons));
}

void CMyPages::ShowConnection(int messageId)
{
    CMainFrame *frame = TaviMainFrame();
    if (!frame || (messageId != kMsgConnect && messageId != kMsgDisconnect)) return;
    frame->SetConnectionIcon(messageId == kMsgConnect);
    if (messageId == kMsgDisconnect) frame->SetStatusTextId(IDS_IDLE_MESSAGE);
}

void CMyPages::OnBoardEvent(int messageId, int, const std::string &)
{
    ShowConnection(messageId);
    if (messageId != kMsgDisconnect) return;
    // The board hears its answer before the servers stop: a stop takes a second or more.
    if (CTaviNewView *view = View()) view->StopServersLater();
    SetWizardButtons(PSWIZB_NEXT);
}

void CMyPages::OnBoardError(int messageId, int, const std::string &text) { ShowBoardError(messageId, text); }

void CMyPages::ShowBoardError(int messageId, const std::string &text)
{
    if (g_deliveryVersion < kBoardErrorsFromVersion && messageId != kMsgCopyWait) return;
    const BoardErrorText error = ParseBoardError(messageId, text);
    std::string message;
    LoadResString(message, error.textId);
    if (CTaviNewView *view = View()) view->ShowBoardMessage(message + error.rest);
    if (messageId == kMsgMsgErr) return;
    // As the technician's cancel, but the servers stop after the answer (see CMyPages::OnBoardEvent).
    if (CTaviDoc *document = Document()) document->StopServices(false);
    if (CTaviNewView *view = View()) view->StopServersLater();
}

void CMyPages::OnCopyProgress(int, int status, const std::string &text)
{
    if (!m_copyProgress) return;
    int done = 0, total = 0;
    if (!ReadProgressText(text, done, total)) return;
    if (status == static_cast<int>(kStatusAck)) {
        if (done != total) SendMessageA(m_copyProgress, PBM_SETRANGE32, done, total);
        SendMessageA(m_copyProgress, PBM_SETPOS, done, 0);
    } else if (status == static_cast<int>(kStatusCopying)) {
        SendMessageA(m_copyProgress, PBM_SETPOS, done - total / kCopyStepDivisor, 0);
    }
}

BOOL CMyPages::OnQueryCancel()
{
    if (CTaviNewView *view = View()) view->StopViewTimer();
    if (CTaviDoc *document = Document()) document->StopServices();
    if (GetSheet()) PropSheet_SetCurSel(GetSheet(), nullptr, 0);
    return FALSE;
}

LRESULT CMyPages::PrepareTarget(LRESULT stayPage, LRESULT nextPage)
{
    CTaviDoc *document = Document();
    CMainFrame *frame = TaviMainFrame();
    if (!document || !frame) return stayPage;
    LRESULT page = stayPage;
    const std::string question = CTaviString::LoadOr(IDS_PRPG_HARD_READY1, kFallbackHardReady1).Str();
    if (AfxMessageBox(question, MB_YESNO | MB_ICONEXCLAMATION) == IDYES) {
        frame->SetStatusTextId(IDS_PRPG_PREP_TARGET);
        const char *target = g_deliveryVersion < kVersionNewBoards ? "\\target.conf" : "\\target_dravenle.conf";
        page = PrepareBoard({{{target, kStepRestore | kStepInstall, false}},
                             document->Delivery().DeliveryPath() + "DownloadingItems", IDS_SERVICES_FAILED,
                             MB_ICONEXCLAMATION},
                            stayPage, nextPage);
    }
    frame->SetStatusTextId(IDS_IDLE_MESSAGE);
    return page;
}

LRESULT CMyPages::PrepareBoard(const BoardPreparation &preparation, LRESULT stayPage, LRESULT nextPage)
{
    CTaviDoc *document = Document();
    if (!document) return stayPage;
    CDelivery &delivery = document->Delivery();
    const auto fail = [&](const std::string &text, UINT icon) {
        AfxMessageBox(text, MB_OK | icon);
        return stayPage;
    };
    for (const BoardPreparation::Target &target : preparation.targets) {
        g_bMigrationTarget = target.migrationTarget;
        const bool written = document->WriteTargetFile(GetTftpbootPath() + target.file, target.flags);
        g_bMigrationTarget = false;
        if (!written) return fail(delivery.LastErrorText() + delivery.ErrorContext(), MB_ICONEXCLAMATION);
    }
    if (delivery.Cancelled()) return IDD_MAIN_PAGE;
    if (!preparation.served.empty()) {
        if (CMainFrame *frame = TaviMainFrame()) frame->SetStatusText("Preparing Services...");
        if (!delivery.StartNfsServer(preparation.served))
            return fail(CTaviString::LoadOr(preparation.servingFailure, "").Str(), preparation.servingIcon);
    }
    const int started = document->StartServices(&delivery);
    if (started == kServicesFailed || started == kServicesNoDelivery)
        return fail(CTaviString::LoadOr(IDS_SERVICES_FAILED, "").Str(), MB_ICONEXCLAMATION);
    // A cancel during the wait goes back to the Main page, never to a page without services.
    return delivery.Cancelled() ? IDD_MAIN_PAGE : nextPage;
}

void CMyPages::SetTextsById(const UINT *ids, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        std::string text;
        if (LoadResString(text, ids[i]) > 0) SetDlgItemTextA(m_hWnd, static_cast<int>(ids[i]), text.c_str());
    }
}
