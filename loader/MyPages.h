// The base of every wizard page: the operations the view calls on the active page, with their defaults.
#pragma once

#include "framework/PropertyPage.h"

#include <cstddef>
#include <string>
#include <vector>

class CTaviDoc;
class CTaviNewView;

// What a page prepares before the board boots: the target files in order, then the folder served to the
// board (none on the short road), then the services.
struct BoardPreparation {
    struct Target {
        std::string file;  // in the boot folder
        int flags;
        bool migrationTarget;
    };
    std::vector<Target> targets;
    std::string served;
    // The text shown when the folder cannot be served, and its icon.
    UINT servingFailure;
    UINT servingIcon;
};

class CMyPages : public CPropertyPage {
public:
    explicit CMyPages(UINT templateId) : CPropertyPage(templateId) {}

    // After a language switch: reload the page's control texts.
    virtual void ReloadTexts() {}
    // A log line was added: `removed` characters came off the end of the log text `log`, then `added`
    // went on.
    virtual void AppendLog(int textId, const std::string &log, std::size_t removed, const std::string &added);
    // A board event: CONNECT and DISCONNECT update the connection icon and the wizard buttons.
    virtual void OnBoardEvent(int messageId, int status, const std::string &text);
    // A board error: shown in a box (see ShowBoardError).
    virtual void OnBoardError(int messageId, int status, const std::string &text);
    virtual void OnRestoreProgress(int messageId, int status, const std::string &text);
    virtual void OnSaveProgress(int messageId, int status, const std::string &text);
    // COPY_WAIT progress "X/Y" on the page's copy-progress bar.
    virtual void OnCopyProgress(int messageId, int status, const std::string &text);

    // The main window's view and its document; none once the main window is gone.
    static CTaviNewView *View();
    static CTaviDoc *Document();

protected:
    // The wizard's Cancel never closes the program: it stops the services and goes back to the first page.
    BOOL OnQueryCancel() override;
    // Before the Install page: the target file, the delivery served, the services started. The page to go
    // to: nextPage, stayPage on a refusal or failure, the Main page after a cancel during the wait.
    LRESULT PrepareTarget(LRESULT stayPage, LRESULT nextPage);
    // Carries out a preparation. The page to go to: nextPage; stayPage after a failure, which is shown;
    // the Main page after a cancel.
    LRESULT PrepareBoard(const BoardPreparation &preparation, LRESULT stayPage, LRESULT nextPage);
    // Posts the wizard-button mask to the sheet (0 none, PSWIZB_NEXT, PSWIZB_BACK | PSWIZB_NEXT).
    void SetWizardButtons(DWORD buttons);
    // CONNECT and DISCONNECT on the main frame: the connection icon, and "Ready" when the board has gone.
    static void ShowConnection(int messageId);
    // Each control takes the text of the same number when that text exists.
    void SetTextsById(const UINT *ids, size_t count);
    void ShowBoardError(int messageId, const std::string &text);

    HWND m_copyProgress = nullptr;
};

// A board's progress text "X/Y"; false (and nothing read) when it does not hold two numbers: such a
// text moves no bar.
bool ReadProgressText(const std::string &text, int &done, int &total);

// The board-error text number and the board's own words for a board error text ("%d rest").
struct BoardErrorText {
    UINT textId;
    std::string rest;
};
BoardErrorText ParseBoardError(int messageId, const std::string &text);
