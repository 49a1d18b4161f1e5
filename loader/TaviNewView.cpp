#include "TaviNewView.h"

#include "MyPages.h"
#include "TaviApp.h"
#include "TaviString.h"
#include "res/resource.h"

#include <commctrl.h>

#include <cstdio>
#include <ctime>

namespace {

const char kWaitMark[] = "_WAIT_";
const char kWaitCountTrim[] = "0123456789: .";
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

void CTaviNewView::SetWizard(HWND sheet, std::vector<CMyPages *> pages)
{
    m_sheet = sheet;
    m_pages = std::move(pages);
}

CMyPages *CTaviNewView::ActivePage() const
{
    if (!m_sheet) return nullptr;
    HWND current = PropSheet_GetCurrentPageHwnd(m_sheet);
    for (CMyPages *page : m_pages)
        if (page->GetSafeHwnd() && page->GetSafeHwnd() == current) return page;
    return nullptr;
}

void CTaviNewView::LogText(const std::string &prefix, UINT textId, const std::string &suffix, bool popUp)
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
    const std::string added = AppendLogLine(m_log, m_waitCounter, line);
    if (TaviApp()) TaviApp()->WriteDebugLog(added);
    if (m_closing) return;
    if (CMyPages *page = ActivePage()) page->AppendLog(static_cast<int>(textId), m_log);
}

void CTaviNewView::FormatSystemError(DWORD code, const std::string &context, bool popUp)
{
    std::string message;
    if (!LoadSystemMessage(code, message)) {
        char suffix[64 + MAX_PATH];
        std::snprintf(suffix, sizeof suffix, " - 0x%lx [%s]\r\n", static_cast<unsigned long>(code), context.c_str());
        LogText("", IDS_NO_SYSTEM_TEXT, suffix, popUp);
        return;
    }
    message.erase(message.find_last_not_of(" \t\r\n") + 1);
    LogText(message, 0, " [" + context + "]", popUp);
}

void CTaviNewView::Relabel()
{
    for (CMyPages *page : m_pages)
        if (page->GetSafeHwnd()) page->ReloadTexts();
    if (!m_sheet) return;
    for (int button : kSheetButtons) {
        std::string text;
        if (LoadResString(text, static_cast<UINT>(button)) > 0) SetDlgItemTextA(m_sheet, button, text.c_str());
    }
}

LRESULT CTaviNewView::WindowProc(UINT msg, WPARAM wp, LPARAM lp)
{
    if (msg == WM_DESTROY) m_closing = true;
    return CView::WindowProc(msg, wp, lp);
}
