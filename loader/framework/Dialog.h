// A modal dialog from a dialog resource, with virtual handlers for initialisation, commands and timers.
#pragma once

#include <windows.h>

class CDialog {
public:
    // The template is looked up in the program's own resources.
    explicit CDialog(UINT templateId) : m_templateId(templateId) {}
    CDialog(const CDialog &) = delete;
    CDialog &operator=(const CDialog &) = delete;
    virtual ~CDialog() = default;

    // A wait like a message box: while a close of the main window is held back it opens nothing (IDCANCEL).
    INT_PTR DoModal(HWND parent);
    void EndDialog(INT_PTR result);
    HWND GetSafeHwnd() const { return m_hWnd; }

protected:
    virtual BOOL OnInitDialog() { return TRUE; }
    // Returns true when handled; the default ends the dialog on OK and Cancel.
    virtual bool OnCommand(UINT id, UINT code);
    virtual void OnTimer(UINT_PTR) {}

    HWND m_hWnd = nullptr;

private:
    static INT_PTR CALLBACK DialogProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp);
    UINT m_templateId;
};
