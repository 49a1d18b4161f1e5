#include "TaviNewView.h"

#include "LocalIpAddress.h"
#include "MainFrm.h"
#include "MyPages.h"
#include "TaviApp.h"
#include "TaviDoc.h"
#include "TaviString.h"
#include "framework/AsyncSocket.h"
#include "res/resource.h"

#include <commctrl.h>

#include <cstdio>
#include <ctime>

namespace {

const char kWaitMark[] = "_WAIT_";
const char kSheetCaption[] = "Test App";
constexpr UINT_PTR kViewTimerId = 1;
constexpr UINT kViewTimerMillis = 3000;
const char kWaitCountTrim[] = "0123456789: .";
// A board can flood the log: it keeps its newest lines, a quarter of a megabyte of them.
constexpr std::size_t kLogKeep = 256 * 1024;
constexpr UINT kShowBoardMessageMsg = WM_APP + 1;
constexpr UINT kStopServersMsg = WM_APP + 2;
// Sheet buttons relabelled from the text of the same number: OK, Cancel, Next, Back, Apply, Help.
const int kSheetButtons[] = {IDOK, IDCANCEL, 12324, 12323, 12321, IDHELP};

void ReplaceAll(std::string &text, const std::string &from, const std::string &to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

std::string LocalTimeText()
{
    char text[64] = {};
    std::time_t now = std::time(nullptr);
    std::strftime(text, sizeof text, "%X  ", std::localtime(&now));
    return text;
}

}  // namespace

std::string AppendLogLine(std::string &log, int &waitCounter, std::string line)
{
    const bool waiting = line.find(kWaitMark) != std::string::npos;
    if (waiting) ReplaceAll(line, kWaitMark, "");
    if (waitCounter != 0) {
        if (waiting) {
            ++waitCounter;
            line += "..... " + std::to_string(waitCounter);
            log.erase(log.find_last_not_of(kWaitCountTrim) + 1);
        } else {
            waitCounter = 0;
            line = "\r\n" + line + "\r\n";
        }
    } else if (waiting) {
        waitCounter = 1;
        line += "..... 1";
    } else {
        line += "\r\n";
    }
    log += line;
    return line;
}

void KeepLogTail(std::string &log, std::size_t keep)
{
    if (log.size() <= keep) return;
    const size_t lineEnd = log.find('\n', log.size() - keep);
    log.erase(0, lineEnd == std::string::npos ? log.size() - keep : lineEnd + 1);
}

CTaviNewView::CTaviNewView()
    : m_sheet(std::make_unique<CTaviWiz>(kSheetCaption, nullptr, 0)), m_installPage(&m_socket),
      m_socket(m_settings, std::make_unique<CAsyncSocket>(), &GetLocalIpAddress)
{
}

CTaviNewView::~CTaviNewView()
{
    m_closing = true;
    // The sheet's pages go with the view; the board's sessions end before them.
    m_socket.RemoveAllSessions();
    m_sheet.reset();
}

int CTaviNewView::OnCreate()
{
    m_socket.Open(this);
    auto *document = dynamic_cast<CTaviDoc *>(GetDocument());
    if (!document) return 0;
    for (CMyPages *page : std::initializer_list<CMyPages *>{&document->MainPage(), &document->SecondPage(),
                                                            &m_saveMonoPage, &m_saveTelPage, &m_saveIaPage,
                                                            &m_installPage})
        m_sheet->AddPage(page);
    return m_sheet->Create(m_hWnd) ? 0 : -1;
}

void CTaviNewView::OnInitialUpdate()
{
    HWND sheet = m_sheet->GetSafeHwnd();
    if (!sheet) return;
    RECT client;
    GetClientRect(sheet, &client);
    MoveWindow(sheet, 0, 0, client.right, client.bottom, TRUE);
    // The frame shrinks around the view, which is as large as the sheet.
    HWND frame = GetParent(m_hWnd);
    RECT view, outer;
    GetClientRect(m_hWnd, &view);
    GetWindowRect(frame, &outer);
    SetWindowPos(frame, nullptr, 0, 0, outer.right - outer.left + client.right - view.right,
                 outer.bottom - outer.top + client.bottom - view.bottom, SWP_NOMOVE | SWP_NOZORDER);
}

bool CTaviNewView::PreTranslateMessage(MSG *msg) { return m_sheet->PreTranslateMessage(msg); }

CMyPages *CTaviNewView::ActivePage() const { return m_sheet->GetActivePage(); }

void CTaviNewView::StopViewTimer()
{
    if (m_viewTimer != 0) KillTimer(m_hWnd, m_viewTimer);
    m_viewTimer = 0;
}

void CTaviNewView::OnBoardEvent(int id, std::uint32_t status, const std::string &text)
{
    if (CMyPages *page = ActivePage()) page->OnBoardEvent(id, static_cast<int>(status), text);
    if (id == kMsgConnect && m_viewTimer == 0 && m_hWnd)
        m_viewTimer = SetTimer(m_hWnd, kViewTimerId, kViewTimerMillis, nullptr);
    else if (id == kMsgDisconnect)
        StopViewTimer();
}

void CTaviNewView::OnBoardError(int id, std::uint32_t status, const std::string &text)
{
    StopViewTimer();
    if (CMyPages *page = ActivePage()) page->OnBoardError(id, static_cast<int>(status), text);
}

void CTaviNewView::OnSaveProgress(int id, std::uint32_t status, const std::string &text)
{
    if (CMyPages *page = ActivePage()) page->OnSaveProgress(id, static_cast<int>(status), text);
}

void CTaviNewView::OnRestoreProgress(int id, std::uint32_t status, const std::string &text)
{
    if (CMyPages *page = ActivePage()) page->OnRestoreProgress(id, static_cast<int>(status), text);
}

void CTaviNewView::OnCopyProgress(int id, std::uint32_t status, const std::string &text)
{
    if (CMyPages *page = ActivePage()) page->OnCopyProgress(id, static_cast<int>(status), text);
}

std::string CTaviNewView::LoadText(unsigned textId)
{
    std::string text;
    LoadResString(text, textId);
    return text;
}

void CTaviNewView::SetStatusText(unsigned textId)
{
    if (CMainFrame *frame = TaviMainFrame()) frame->SetStatusTextId(textId);
}

void CTaviNewView::SetStatusText(const std::string &text)
{
    if (CMainFrame *frame = TaviMainFrame()) frame->SetStatusText(text);
}

int CTaviNewView::InstallationType()
{
    auto *document = dynamic_cast<CTaviDoc *>(GetDocument());
    return document ? document->SecondPage().InstallationType() : kTypeInstallation;
}

void CTaviNewView::StartStorageNfsServer()
{
    if (auto *document = dynamic_cast<CTaviDoc *>(GetDocument()))
        document->Delivery().StartNfsServer(document->SecondPage().StorageFolder());
}

void CTaviNewView::LogText(const std::string &prefix, unsigned textId, const std::string &suffix, bool popUp)
{
    std::string text;
    if (textId != 0) {
        LoadResString(text, textId);
        if (!prefix.empty()) text = " " + text;
        if (!suffix.empty()) text += " ";
    }
    std::string line = prefix + text + suffix;
    if (line.empty()) return;
    ReplaceAll(line, "\r\n", "\n");
    if (popUp) AfxMessageBox(line, MB_OK);
    line = LocalTimeText() + line;
    ReplaceAll(line, "\n", " ");
    const size_t before = m_log.size();
    const std::string added = AppendLogLine(m_log, m_waitCounter, line);
    const size_t removed = before + added.size() - m_log.size();
    // Cut to half the bound, so that the cost of cutting spreads over many lines.
    if (m_log.size() > kLogKeep) KeepLogTail(m_log, kLogKeep / 2);
    if (TaviApp()) TaviApp()->WriteDebugLog(added);
    if (m_closing) return;
    if (CMyPages *page = ActivePage()) page->AppendLog(static_cast<int>(textId), m_log, removed, added);
}

void CTaviNewView::ShowBoardMessage(const std::string &text)
{
    LogText(text, 0, "", false);
    // A box's own message loop takes the board's next datagram: a box opened inside the socket's handler
    // would open the next one inside it, without end.
    if (m_boardMessagePending || !m_hWnd) return;
    m_boardMessagePending = true;
    m_boardMessage = text;
    PostMessageA(m_hWnd, kShowBoardMessageMsg, 0, 0);
}

void CTaviNewView::StopServersLater()
{
    if (m_stopPending) return;
    if (m_hWnd && PostMessageA(m_hWnd, kStopServersMsg, 0, 0)) {
        m_stopPending = true;
        return;
    }
    if (auto *document = dynamic_cast<CTaviDoc *>(GetDocument())) document->StopServersOnce();
}

void CTaviNewView::FormatSystemError(int code, const std::string &context, bool popUp)
{
    std::string message;
    if (!LoadSystemMessage(static_cast<DWORD>(code), message)) {
        char suffix[64 + MAX_PATH];
        std::snprintf(suffix, sizeof suffix, " - 0x%lx [%s]\r\n", static_cast<unsigned long>(static_cast<DWORD>(code)),
                      context.c_str());
        LogText("", IDS_NO_SYSTEM_TEXT, suffix, popUp);
        return;
    }
    message.erase(message.find_last_not_of(" \t\r\n") + 1);
    LogText(message, 0, " [" + context + "]", popUp);
}

void CTaviNewView::Relabel()
{
    for (int i = 0; i < m_sheet->GetPageCount(); ++i)
        if (m_sheet->GetPage(i)->GetSafeHwnd()) m_sheet->GetPage(i)->ReloadTexts();
    HWND sheet = m_sheet->GetSafeHwnd();
    if (!sheet) return;
    for (int button : kSheetButtons) {
        std::string text;
        if (LoadResString(text, static_cast<UINT>(button)) > 0) SetDlgItemTextA(sheet, button, text.c_str());
    }
}

LRESULT CTaviNewView::WindowProc(UINT msg, WPARAM wp, LPARAM lp)
{
    switch (msg) {
    case WM_TIMER:
        if (wp == kViewTimerId) m_socket.OnTick();
        break;
    case kShowBoardMessageMsg:
        AfxMessageBox(m_boardMessage, MB_OK);
        m_boardMessagePending = false;
        return 0;
    case kStopServersMsg:
        m_stopPending = false;
        if (auto *document = dynamic_cast<CTaviDoc *>(GetDocument())) document->StopServersOnce();
        return 0;
    case WM_SETFOCUS:
        if (m_sheet->GetSafeHwnd()) SetFocus(m_sheet->GetSafeHwnd());
        return 0;
    case WM_DESTROY:
        m_closing = true;
        StopViewTimer();
        break;
    default:
        break;
    }
    return CView::WindowProc(msg, wp, lp);
}
