// The pages that follow the board through an operation: Data saving (140), Saving Telephony (142), Save
// Internet Access (141) and Install (144). The view owns them. Each moves its current progress bar as the
// board reports "X/Y"; none keeps other state.
#pragma once

#include "MyPages.h"
#include "framework/Timer.h"
#include "res/resource.h"

class CServerSocket;

class CTaviWizSaveMono : public CMyPages {
public:
    CTaviWizSaveMono() : CMyPages(IDD_DATA_SAVING) {}
    void ReloadTexts() override;
    void OnBoardEvent(int messageId, int status, const std::string &text) override;
    void OnSaveProgress(int messageId, int status, const std::string &text) override;

protected:
    BOOL OnSetActive() override;
    LRESULT OnWizardNext() override;
};

class CTaviWizSaveTel : public CMyPages {
public:
    CTaviWizSaveTel() : CMyPages(IDD_SAVING_TELEPHONY) {}
    void ReloadTexts() override;
    // DISCONNECT: the board boots again for the Internet Access save, so the page moves on by itself.
    void OnBoardEvent(int messageId, int status, const std::string &text) override;
    void OnSaveProgress(int messageId, int status, const std::string &text) override;

protected:
    BOOL OnSetActive() override;
    LRESULT OnWizardNext() override { return IDD_SAVE_IA; }
};

class CTaviWizSaveIA : public CMyPages {
public:
    CTaviWizSaveIA() : CMyPages(IDD_SAVE_IA) {}
    void ReloadTexts() override;
    void OnSaveProgress(int messageId, int status, const std::string &text) override;

protected:
    BOOL OnSetActive() override;
    LRESULT OnWizardNext() override;
};

class CTaviWizInstall : public CMyPages {
public:
    explicit CTaviWizInstall(CServerSocket *socket) : CMyPages(IDD_INSTALL), m_socket(socket) {}
    void ReloadTexts() override;
    // The log's change, shown in the log box scrolled to its last line once no other message waits; the
    // box keeps the newest lines only.
    void AppendLog(int textId, const std::string &log, std::size_t removed, const std::string &added) override;
    // Whether the log box shows every line so far.
    bool LogShown() const { return !m_logPending; }
    void OnBoardEvent(int messageId, int status, const std::string &text) override;
    void OnRestoreProgress(int messageId, int status, const std::string &text) override;
    CServerSocket *BoardSocket() const { return m_socket; }

protected:
    BOOL OnSetActive() override;
    LRESULT OnWizardNext() override;

private:
    CServerSocket *m_socket;
    void ShowLog();

    // The log box's text to be; the log replaces the waiting text at the first line after activation.
    std::string m_shown;
    bool m_showsLog = false;
    bool m_logPending = false;
    CTimer m_logTimer;
    bool m_logTimerRuns = false;
};
