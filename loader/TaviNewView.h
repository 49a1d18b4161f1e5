// The main window's view: hosts the wizard sheet with its six pages, owns the board socket on UDP 6010
// and the view timer that counts the board's step allowances, relays the board's events to the active
// page, and keeps the log the pages show.
#pragma once

#include "BoardDialogueOwner.h"
#include "ProgressPages.h"
#include "ServerSocket.h"
#include "TaviWiz.h"
#include "framework/DocView.h"
#include "framework/ProfileSettings.h"

#include <memory>
#include <string>

class CMyPages;

// Adds one time-stamped line to the log text. Consecutive "_WAIT_" lines collapse into one line that
// counts them; the counter is the number of such lines so far (0: the last line was a normal one).
// Returns the text appended.
std::string AppendLogLine(std::string &log, int &waitCounter, std::string line);
// Drops the log's oldest lines until at most `keep` characters remain.
void KeepLogTail(std::string &log, std::size_t keep);

class CTaviNewView : public CView, public CBoardDialogueOwner {
public:
    CTaviNewView();
    ~CTaviNewView() override;

    // One log line: prefix, text `textId` and suffix joined by blanks; shown in a box too when popUp.
    void LogText(const std::string &prefix, unsigned textId, const std::string &suffix, bool popUp) override;
    // The system's text for a Win32 error code, logged with its context.
    void FormatSystemError(int code, const std::string &context, bool popUp) override;
    // A board's message for the technician: logged, then shown in a box opened from the view's own message
    // queue, one at a time; what comes while one is pending or open is only logged.
    void ShowBoardMessage(const std::string &text) override;
    // A board's clean-up or error: the servers stop on the view's next turn, once the socket's handler has
    // answered, and a burst of such requests makes one stop (see CTaviDoc::StopServersOnce).
    void StopServersLater();
    // Reloads every page's texts and the sheet's button labels after a language switch.
    void Relabel();

    // What the board socket reports, handed to the active page.
    void OnBoardEvent(int id, std::uint32_t status, const std::string &text) override;
    void OnBoardError(int id, std::uint32_t status, const std::string &text) override;
    void OnSaveProgress(int id, std::uint32_t status, const std::string &text) override;
    void OnRestoreProgress(int id, std::uint32_t status, const std::string &text) override;
    void OnCopyProgress(int id, std::uint32_t status, const std::string &text) override;
    void OnConversationAdded() override {}
    void OnConversationRemoved() override {}
    std::string LoadText(unsigned textId) override;
    void SetStatusText(unsigned textId) override;
    void SetStatusText(const std::string &text) override;
    int InstallationType() override;
    void StartStorageNfsServer() override;

    void OnInitialUpdate() override;
    // Keyboard navigation inside the wizard.
    bool PreTranslateMessage(MSG *msg);
    // The view timer (id 1) stops: the board's step allowances are no longer counted.
    void StopViewTimer();
    bool ViewTimerRunning() const { return m_viewTimer != 0; }

    const std::string &Log() const { return m_log; }
    CTaviWiz *Sheet() const { return m_sheet.get(); }
    CMyPages *ActivePage() const;
    CServerSocket &BoardSocket() { return m_socket; }

protected:
    int OnCreate() override;
    LRESULT WindowProc(UINT msg, WPARAM wp, LPARAM lp) override;

private:
    std::unique_ptr<CTaviWiz> m_sheet;
    CTaviWizSaveIA m_saveIaPage;
    CTaviWizSaveTel m_saveTelPage;
    CTaviWizInstall m_installPage;
    CTaviWizSaveMono m_saveMonoPage;
    std::string m_log;
    int m_waitCounter = 0;
    std::string m_boardMessage;
    bool m_boardMessagePending = false;
    bool m_stopPending = false;
    bool m_closing = false;
    UINT_PTR m_viewTimer = 0;
    CProfileSettings m_settings;
    // Last, so that it goes first: every board's session ends while the view's other members still exist.
    CServerSocket m_socket;
};
