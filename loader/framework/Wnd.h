// A window object: messages of its window reach the virtual WindowProc of the C++ object.
#pragma once

#include <windows.h>

class CWnd {
public:
    CWnd() = default;
    CWnd(const CWnd &) = delete;
    CWnd &operator=(const CWnd &) = delete;
    virtual ~CWnd();

    HWND GetSafeHwnd() const { return m_hWnd; }

    // Registers (once) a window class whose windows are bound to their object at WM_NCCREATE.
    static const char *BoundClassName();
    // Creates a window of the bound class for this object.
    bool CreateBound(DWORD exStyle, const char *title, DWORD style, int x, int y, int cx, int cy, HWND parent,
                     HMENU menuOrId);
    // Binds a window created with another class (its procedure is replaced; unknown messages go to it).
    void Subclass(HWND wnd);

protected:
    virtual LRESULT WindowProc(UINT msg, WPARAM wp, LPARAM lp);
    LRESULT Default(UINT msg, WPARAM wp, LPARAM lp);
    // Called once the window is gone; the object may then be reused or deleted.
    virtual void PostNcDestroy() {}

    HWND m_hWnd = nullptr;

private:
    static LRESULT CALLBACK BoundProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp);
    WNDPROC m_previous = nullptr;
};
