// A wizard page over comctl32's property sheet: the page's dialog messages reach virtual handlers.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <string>

class CPropertyPage {
public:
    explicit CPropertyPage(UINT templateId);
    CPropertyPage(const CPropertyPage &) = delete;
    CPropertyPage &operator=(const CPropertyPage &) = delete;
    virtual ~CPropertyPage() = default;

    // The page description to add to a sheet; the page window exists once the sheet showed the page.
    HPROPSHEETPAGE CreatePage();
    HWND GetSafeHwnd() const { return m_hWnd; }
    HWND GetSheet() const { return m_hWnd ? GetParent(m_hWnd) : nullptr; }
    UINT TemplateId() const { return m_templateId; }

protected:
    virtual BOOL OnInitDialog() { return TRUE; }
    virtual BOOL OnSetActive() { return TRUE; }
    // Wizard moves: 0 goes on in sheet order, -1 stays, a template id jumps to that page.
    virtual LRESULT OnWizardNext() { return 0; }
    virtual LRESULT OnWizardBack() { return 0; }
    // False keeps the sheet open.
    virtual BOOL OnQueryCancel() { return TRUE; }
    virtual bool OnCommand(UINT id, UINT code);
    // A control's whole text, however long.
    std::string ItemText(int id) const;

    HWND m_hWnd = nullptr;

private:
    static INT_PTR CALLBACK PageProc(HWND page, UINT msg, WPARAM wp, LPARAM lp);
    INT_PTR OnNotify(const NMHDR *header);
    UINT m_templateId;
};
