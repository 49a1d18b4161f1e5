// The main window's view: hosts the wizard pages, keeps the log the pages show, reports system errors.
#pragma once

#include "framework/DocView.h"

#include <string>
#include <vector>

class CMyPages;

// Adds one time-stamped line to the log text. Consecutive "_WAIT_" lines collapse into one line that
// counts them; the counter is the number of such lines so far (0: the last line was a normal one).
// Returns the text appended.
std::string AppendLogLine(std::string &log, int &waitCounter, std::string line);

class CTaviNewView : public CView {
public:
    // One log line: prefix, text `textId` and suffix joined by blanks; shown in a box too when popUp.
    void LogText(const std::string &prefix, UINT textId, const std::string &suffix, bool popUp);
    // The system's text for a Win32 error code, logged with its context.
    void FormatSystemError(DWORD code, const std::string &context, bool popUp);
    // Reloads every page's texts and the sheet's button labels after a language switch.
    void Relabel();

    const std::string &Log() const { return m_log; }
    // The wizard sheet and its pages, in sheet order (empty until the wizard is built).
    void SetWizard(HWND sheet, std::vector<CMyPages *> pages);
    HWND Sheet() const { return m_sheet; }
    CMyPages *ActivePage() const;

protected:
    LRESULT WindowProc(UINT msg, WPARAM wp, LPARAM lp) override;

private:
    HWND m_sheet = nullptr;
    std::vector<CMyPages *> m_pages;
    std::string m_log;
    int m_waitCounter = 0;
    bool m_closing = false;
};
