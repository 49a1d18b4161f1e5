#include "framework/Wnd.h"

namespace {
const char kBoundClass[] = "TaviBoundWindow";
}

CWnd::~CWnd()
{
    if (m_hWnd) {
        SetWindowLongPtrA(m_hWnd, GWLP_USERDATA, 0);
        if (m_previous) SetWindowLongPtrA(m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_previous));
    }
}

const char *CWnd::BoundClassName()
{
    static const ATOM atom = [] {
        WNDCLASSA wc = {};
        wc.style = CS_DBLCLKS;
        wc.lpfnWndProc = BoundProc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        wc.lpszClassName = kBoundClass;
        return RegisterClassA(&wc);
    }();
    return atom ? kBoundClass : nullptr;
}

bool CWnd::CreateBound(DWORD exStyle, const char *title, DWORD style, int x, int y, int cx, int cy, HWND parent,
                       HMENU menuOrId)
{
    const char *cls = BoundClassName();
    return cls && CreateWindowExA(exStyle, cls, title, style, x, y, cx, cy, parent, menuOrId,
                                  GetModuleHandleA(nullptr), this) != nullptr;
}

void CWnd::Subclass(HWND wnd)
{
    m_hWnd = wnd;
    SetWindowLongPtrA(wnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    m_previous = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(wnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(BoundProc)));
}

LRESULT CWnd::WindowProc(UINT msg, WPARAM wp, LPARAM lp) { return Default(msg, wp, lp); }

LRESULT CWnd::Default(UINT msg, WPARAM wp, LPARAM lp)
{
    if (m_previous) return CallWindowProcA(m_previous, m_hWnd, msg, wp, lp);
    return DefWindowProcA(m_hWnd, msg, wp, lp);
}

LRESULT CALLBACK CWnd::BoundProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp)
{
    if (msg == WM_NCCREATE) {
        auto *create = reinterpret_cast<CREATESTRUCTA *>(lp);
        auto *self = static_cast<CWnd *>(create->lpCreateParams);
        if (self) {
            self->m_hWnd = wnd;
            SetWindowLongPtrA(wnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        }
    }
    auto *self = reinterpret_cast<CWnd *>(GetWindowLongPtrA(wnd, GWLP_USERDATA));
    if (!self) return DefWindowProcA(wnd, msg, wp, lp);
    LRESULT result = self->WindowProc(msg, wp, lp);
    if (msg == WM_NCDESTROY) {
        SetWindowLongPtrA(wnd, GWLP_USERDATA, 0);
        if (self->m_previous) SetWindowLongPtrA(wnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(self->m_previous));
        self->m_previous = nullptr;
        self->m_hWnd = nullptr;
        self->PostNcDestroy();
    }
    return result;
}
