#include "TaviWiz.h"

#include "MyPages.h"
#include "framework/ModalWait.h"

#include <commctrl.h>

namespace {

// The sheet's frame styles that a child window does not have.
constexpr DWORD kPopupStyles = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | WS_DLGFRAME | WS_BORDER;
// The sheet's Back, Next and Finish buttons.
constexpr WORD kBackButton = 12323, kNextButton = 12324, kFinishButton = 12325;

}  // namespace

CTaviWiz::CTaviWiz(const char *caption, HWND parent, UINT startPage)
    : m_caption(caption), m_parent(parent), m_startPage(startPage)
{
}

CTaviWiz::~CTaviWiz()
{
    if (m_hWnd && IsWindow(m_hWnd)) DestroyWindow(m_hWnd);
}

void CTaviWiz::AddPage(CMyPages *page) { m_pages.push_back(page); }

int CALLBACK CTaviWiz::SheetCallback(HWND, UINT message, LPARAM lp)
{
    if (message != PSCB_PRECREATE || lp == 0) return 0;
    // The sheet's own template becomes a child's: extended templates keep the styles further in.
    auto *words = reinterpret_cast<WORD *>(lp);
    const bool extended = words[0] == 1 && words[1] == 0xFFFF;
    auto *style = reinterpret_cast<DWORD *>(extended ? reinterpret_cast<BYTE *>(lp) + 12 : reinterpret_cast<BYTE *>(lp));
    auto *exStyle = reinterpret_cast<DWORD *>(extended ? reinterpret_cast<BYTE *>(lp) + 8 : reinterpret_cast<BYTE *>(lp) + 4);
    *style = (*style & ~kPopupStyles) | WS_CHILD | WS_TABSTOP;
    *exStyle &= ~static_cast<DWORD>(WS_EX_DLGMODALFRAME | WS_EX_WINDOWEDGE);
    *exStyle |= WS_EX_CONTROLPARENT;
    return 0;
}

LRESULT CALLBACK CTaviWiz::SheetProc(HWND sheet, UINT message, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR)
{
    // While a handler waits, Back, Next and Finish would run a page's handler inside it (a second Next
    // asks again and prepares the board twice). Cancel still ends the wait.
    if (message == PSM_PRESSBUTTON && lp != 0 && !ModalWait::Active()) {
        if (reinterpret_cast<HWND>(lp) != PropSheet_GetCurrentPageHwnd(sheet)) return 0;
        lp = 0;
    }
    if (ModalWait::Active()) {
        if (message == PSM_PRESSBUTTON && (wp == PSBTN_BACK || wp == PSBTN_NEXT || wp == PSBTN_FINISH)) {
            if (lp != 0) ModalWait::HoldMessage(sheet, message, wp, lp);
            return 0;
        }
        if (message == WM_COMMAND &&
            (LOWORD(wp) == kBackButton || LOWORD(wp) == kNextButton || LOWORD(wp) == kFinishButton))
            return 0;
    }
    return DefSubclassProc(sheet, message, wp, lp);
}

bool CTaviWiz::Create(HWND parent)
{
    if (parent) m_parent = parent;
    std::vector<HPROPSHEETPAGE> pages;
    for (CMyPages *page : m_pages) pages.push_back(page->CreatePage());
    PROPSHEETHEADERA header = {};
    header.dwSize = sizeof header;
    header.dwFlags = PSH_WIZARD | PSH_MODELESS | PSH_USECALLBACK;
    header.hwndParent = m_parent;
    header.hInstance = GetModuleHandleA(nullptr);
    header.pszCaption = m_caption.c_str();
    header.nPages = static_cast<UINT>(pages.size());
    header.nStartPage = m_startPage;
    header.phpage = pages.data();
    header.pfnCallback = SheetCallback;
    m_hWnd = reinterpret_cast<HWND>(PropertySheetA(&header));
    if (!m_hWnd || m_hWnd == INVALID_HANDLE_VALUE) {
        m_hWnd = nullptr;
        return false;
    }
    SetWindowSubclass(m_hWnd, SheetProc, 0, 0);
    SetWindowPos(m_hWnd, nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_SHOWWINDOW);
    return true;
}

CMyPages *CTaviWiz::GetActivePage() const
{
    if (!m_hWnd) return nullptr;
    HWND current = PropSheet_GetCurrentPageHwnd(m_hWnd);
    for (CMyPages *page : m_pages)
        if (page->GetSafeHwnd() && page->GetSafeHwnd() == current) return page;
    return nullptr;
}

void CTaviWiz::SetActivePage(int index)
{
    if (m_hWnd) PropSheet_SetCurSel(m_hWnd, nullptr, index);
}

bool CTaviWiz::PreTranslateMessage(MSG *msg)
{
    return m_hWnd && IsChild(m_hWnd, msg->hwnd) && PropSheet_IsDialogMessage(m_hWnd, msg);
}
