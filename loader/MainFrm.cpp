#include "MainFrm.h"

#include "TaviString.h"
#include "res/resource.h"

#include <commctrl.h>

namespace {

const UINT kIndicators[] = {0, ID_INDICATOR_CAP, ID_INDICATOR_NUM, ID_INDICATOR_SCRL, ID_INDICATOR_CONNECTION};
constexpr int kConnectionPane = 4;
constexpr int kIconWidth = 26;
constexpr int kIconHeight = 16;

std::string PromptPart(const std::string &text) { return text.substr(0, text.find('\n')); }

}  // namespace

CMainFrame::~CMainFrame()
{
    if (m_connectedIcon) DestroyIcon(m_connectedIcon);
    if (m_notConnectedIcon) DestroyIcon(m_notConnectedIcon);
}

int CMainFrame::OnCreate()
{
    HINSTANCE instance = GetModuleHandleA(nullptr);
    m_connectedIcon = static_cast<HICON>(
        LoadImageA(instance, MAKEINTRESOURCEA(IDI_CONNECTED), IMAGE_ICON, kIconWidth, kIconHeight, 0));
    m_notConnectedIcon = static_cast<HICON>(
        LoadImageA(instance, MAKEINTRESOURCEA(IDI_NOT_CONNECTED), IMAGE_ICON, kIconWidth, kIconHeight, 0));
    m_statusBar = CreateWindowExA(0, STATUSCLASSNAMEA, "", WS_CHILD | WS_VISIBLE | SBARS_SIZEGRIP, 0, 0, 0, 0, m_hWnd,
                                  nullptr, instance, nullptr);
    if (!m_statusBar) return -1;
    LayoutStatusPanes();
    SetConnectionIcon(false);
    SetStatusTextId(AFX_IDS_IDLEMESSAGE);
    return 0;
}

void CMainFrame::LayoutStatusPanes()
{
    RECT client;
    GetClientRect(m_hWnd, &client);
    HDC dc = GetDC(m_statusBar);
    int right[5];
    int x = client.right;
    for (int i = 4; i >= 1; --i) {
        right[i] = x;
        std::string text;
        LoadResString(text, kIndicators[i]);
        SIZE size = {};
        GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &size);
        int width = (i == kConnectionPane ? kIconWidth : size.cx) + 12;
        x -= width;
    }
    right[0] = x;
    ReleaseDC(m_statusBar, dc);
    SendMessageA(m_statusBar, SB_SETPARTS, 5, reinterpret_cast<LPARAM>(right));
    for (int i = 1; i < kConnectionPane; ++i) {
        std::string text;
        LoadResString(text, kIndicators[i]);
        SendMessageA(m_statusBar, SB_SETTEXTA, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text.c_str()));
    }
}

void CMainFrame::SetConnectionIcon(bool connected)
{
    SendMessageA(m_statusBar, SB_SETICON, kConnectionPane,
                 reinterpret_cast<LPARAM>(connected ? m_connectedIcon : m_notConnectedIcon));
}

void CMainFrame::SetStatusText(const std::string &text)
{
    m_statusText = text;
    m_statusTextId = 0;
    InvalidateRect(m_statusBar, nullptr, TRUE);
    ShowMessagePane(GetMessageString(AFX_IDS_IDLEMESSAGE));
}

void CMainFrame::SetStatusTextId(UINT id)
{
    m_statusTextId = id;
    m_statusText.clear();
    InvalidateRect(m_statusBar, nullptr, TRUE);
    ShowMessagePane(GetMessageString(AFX_IDS_IDLEMESSAGE));
}

std::string CMainFrame::GetMessageString(UINT id) const
{
    std::string text;
    if (id != AFX_IDS_IDLEMESSAGE) {
        LoadResString(text, id);
        return PromptPart(text);
    }
    if (!m_statusText.empty()) return m_statusText;
    LoadResString(text, m_statusTextId != 0 ? m_statusTextId : AFX_IDS_IDLEMESSAGE);
    return text;
}

void CMainFrame::ShowMessagePane(const std::string &text)
{
    SendMessageA(m_statusBar, SB_SETTEXTA, 0, reinterpret_cast<LPARAM>(text.c_str()));
    UpdateWindow(m_statusBar);
}

RECT CMainFrame::ViewArea()
{
    RECT area = CFrameWnd::ViewArea();
    RECT bar;
    if (m_statusBar && GetWindowRect(m_statusBar, &bar)) area.bottom -= bar.bottom - bar.top;
    return area;
}

LRESULT CMainFrame::WindowProc(UINT msg, WPARAM wp, LPARAM lp)
{
    switch (msg) {
    case WM_SIZE:
        if (m_statusBar) {
            SendMessageA(m_statusBar, WM_SIZE, 0, 0);
            LayoutStatusPanes();
        }
        break;
    case WM_MENUSELECT: {
        const UINT flags = HIWORD(wp);
        if (flags == 0xFFFF && lp == 0)
            ShowMessagePane(GetMessageString(AFX_IDS_IDLEMESSAGE));
        else if (!(flags & (MF_POPUP | MF_SEPARATOR)))
            ShowMessagePane(GetMessageString(LOWORD(wp)));
        return 0;
    }
    default:
        break;
    }
    return CFrameWnd::WindowProc(msg, wp, lp);
}
