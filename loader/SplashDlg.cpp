#include "SplashDlg.h"

#include "res/resource.h"

UINT CSplashDlg::s_showMillis = 4000;

namespace {

constexpr UINT_PTR kSplashTimer = 1;

}  // namespace

CSplashDlg::CSplashDlg() : CDialog(IDD_SPLASH) {}

BOOL CSplashDlg::OnInitDialog()
{
    RECT picture;
    GetClientRect(GetDlgItem(m_hWnd, IDC_SPLASH_PICTURE), &picture);
    RECT window = picture;
    AdjustWindowRectEx(&window, static_cast<DWORD>(GetWindowLongA(m_hWnd, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(GetWindowLongA(m_hWnd, GWL_EXSTYLE)));
    SetWindowPos(m_hWnd, nullptr, 0, 0, window.right - window.left, window.bottom - window.top,
                 SWP_NOMOVE | SWP_NOZORDER);
    m_timer = SetTimer(m_hWnd, kSplashTimer, s_showMillis, nullptr);
    return TRUE;
}

void CSplashDlg::OnTimer(UINT_PTR id)
{
    if (id != m_timer) return;
    KillTimer(m_hWnd, m_timer);
    EndDialog(0);
}
