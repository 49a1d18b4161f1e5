// The base of every wizard page: the operations the view calls on the active page, with their defaults.
#pragma once

#include "framework/PropertyPage.h"

#include <string>

class CMyPages : public CPropertyPage {
public:
    explicit CMyPages(UINT templateId) : CPropertyPage(templateId) {}

    // After a language switch: reload the page's control texts.
    virtual void ReloadTexts() {}
    // A log line was added; `log` is the whole log text.
    virtual void AppendLog(int textId, const std::string &log);
    // A board event: CONNECT and DISCONNECT update the connection icon and the wizard buttons.
    virtual void OnBoardEvent(int messageId, int status, const std::string &text);
    // A board error: shown in a box (see ShowBoardError).
    virtual void OnBoardError(int messageId, int status, const std::string &text);
    virtual void OnRestoreProgress(int messageId, int status, const std::string &text);
    virtual void OnSaveProgress(int messageId, int status, const std::string &text);
    // COPY_WAIT progress "X/Y" on the page's copy-progress bar.
    virtual void OnCopyProgress(int messageId, int status, const std::string &text);

protected:
    // The wizard's Cancel never closes the program: it goes back to the first page.
    BOOL OnQueryCancel() override;
    // Each control takes the text of the same number when that text exists.
    void SetTextsById(const UINT *ids, size_t count);
    void ShowBoardError(int messageId, const std::string &text);

    HWND m_copyProgress = nullptr;
};

// The board-error text number and the board's own words for a board error text ("%d rest").
struct BoardErrorText {
    UINT textId;
    std::string rest;
};
BoardErrorText ParseBoardError(int messageId, const std::string &text);
