// The wizard sheet: comctl32's property sheet in wizard mode, modeless, as a child window of the view.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

class CMyPages;

// A wizard button press the loader makes itself for the board carries the page it is meant for in the
// lParam of PSM_PRESSBUTTON (which the sheet leaves unused): it is held during a handler's wait, where the
// technician's presses are refused, and dropped once another page is active.
inline LPARAM BoardPress(HWND page) { return reinterpret_cast<LPARAM>(page); }

class CTaviWiz {
public:
    CTaviWiz(const char *caption, HWND parent, UINT startPage);
    CTaviWiz(const CTaviWiz &) = delete;
    CTaviWiz &operator=(const CTaviWiz &) = delete;
    ~CTaviWiz();

    void AddPage(CMyPages *page);
    // Creates the sheet as a visible child of the parent window (no extra styles).
    bool Create(HWND parent);
    HWND GetSafeHwnd() const { return m_hWnd; }

    int GetPageCount() const { return static_cast<int>(m_pages.size()); }
    CMyPages *GetPage(int index) const { return m_pages[static_cast<size_t>(index)]; }
    CMyPages *GetActivePage() const;
    void SetActivePage(int index);
    // Keyboard navigation between the page's controls; true when the message was the sheet's.
    bool PreTranslateMessage(MSG *msg);

private:
    static int CALLBACK SheetCallback(HWND sheet, UINT message, LPARAM lp);
    static LRESULT CALLBACK SheetProc(HWND sheet, UINT message, WPARAM wp, LPARAM lp, UINT_PTR id, DWORD_PTR data);

    std::string m_caption;
    HWND m_parent;
    UINT m_startPage;
    std::vector<CMyPages *> m_pages;
    HWND m_hWnd = nullptr;
};
