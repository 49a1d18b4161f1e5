#include "MainFrm.h"

#include "AccountManage.h"
#include "TaviDoc.h"
#include "TaviNewView.h"
#include "TaviString.h"
#include "framework/ModalWait.h"
#include "res/resource.h"

#include <commctrl.h>

#include <vector>

namespace {

const UINT kIndicators[] = {0, ID_INDICATOR_CAP, ID_INDICATOR_NUM, ID_INDICATOR_SCRL, ID_INDICATOR_CONNECTION};
constexpr int kConnectionPane = 4;
constexpr int kIconWidth = 26;
constexpr int kIconHeight = 16;

std::string PromptPart(const std::string &text) { return text.substr(0, text.find('\n')); }

// The toolbar's buttons, in the order of their pictures in the toolbar bitmap; 0 is a separator.
const UINT kToolButtons[] = {ID_FILE_NEW, ID_FILE_OPEN, ID_FILE_SAVE, 0, ID_APP_ABOUT};
constexpr int kToolPictures = 4;
constexpr int kToolPictureWidth = 16;
constexpr int kToolPictureHeight = 15;
// A tool tip holds at most 79 characters and the terminator.
constexpr size_t kToolTipSize = 80;

}  // namespace

CMainFrame::~CMainFrame()
{
    // The board's account lives as long as the main window.
    CAccountManage().RemoveAccount();
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
    if (!CreateToolBar()) return -1;
    m_statusBar = CreateWindowExA(0, STATUSCLASSNAMEA, "", WS_CHILD | WS_VISIBLE | SBARS_SIZEGRIP, 0, 0, 0, 0, m_hWnd,
                                  nullptr, instance, nullptr);
    if (!m_statusBar) return -1;
    LayoutStatusPanes();
    SetConnectionIcon(false);
    SetStatusTextId(AFX_IDS_IDLEMESSAGE);
    CAccountManage().CreateAccount();
    return 0;
}

bool CMainFrame::CreateToolBar()
{
    std::vector<TBBUTTON> buttons;
    int picture = 0;
    for (UINT command : kToolButtons) {
        TBBUTTON button = {};
        button.idCommand = static_cast<int>(command);
        button.fsState = TBSTATE_ENABLED;
        button.fsStyle = command == 0 ? BTNS_SEP : BTNS_BUTTON;
        button.iBitmap = command == 0 ? 0 : picture++;
        buttons.push_back(button);
    }
    m_toolBar = CreateToolbarEx(m_hWnd, WS_CHILD | WS_VISIBLE | TBSTYLE_FLAT | TBSTYLE_TOOLTIPS | CCS_TOP,
                                AFX_IDW_TOOLBAR, kToolPictures, GetModuleHandleA(nullptr), IDR_TOOLBAR, buttons.data(),
                                static_cast<int>(buttons.size()), kToolPictureWidth, kToolPictureHeight,
                                kToolPictureWidth, kToolPictureHeight, sizeof(TBBUTTON));
    return m_toolBar != nullptr;
}

std::string CMainFrame::ToolTipText(UINT id)
{
    std::string text;
    LoadResString(text, id);
    const size_t last = text.find_last_of('\n');
    return last == std::string::npos ? text : text.substr(last + 1);
}

bool CMainFrame::ConnectedIconShown() const
{
    return m_statusBar && m_connectedIcon &&
           reinterpret_cast<HICON>(SendMessageA(m_statusBar, SB_GETICON, kConnectionPane, 0)) == m_connectedIcon;
}

LRESULT CMainFrame::OnNotify(NMHDR *header)
{
    if (header->code == TTN_NEEDTEXTA || header->code == TTN_NEEDTEXTW) {
        auto *tipA = reinterpret_cast<NMTTDISPINFOA *>(header);
        UINT id = static_cast<UINT>(header->idFrom);
        if (tipA->uFlags & TTF_IDISHWND) id = static_cast<UINT>(GetDlgCtrlID(reinterpret_cast<HWND>(header->idFrom)));
        const std::string tip = ToolTipText(id).substr(0, kToolTipSize - 1);
        if (header->code == TTN_NEEDTEXTA) {
            lstrcpynA(tipA->szText, tip.c_str(), kToolTipSize);
        } else {
            auto *tipW = reinterpret_cast<NMTTDISPINFOW *>(header);
            const int written = MultiByteToWideChar(CP_ACP, 0, tip.c_str(), static_cast<int>(tip.size()), tipW->szText,
                                                    kToolTipSize - 1);
            tipW->szText[written > 0 ? written : 0] = L'\0';
        }
        return TRUE;
    }
    if (header->code == TBN_HOTITEMCHANGE && header->hwndFrom == m_toolBar) {
        const auto *hot = reinterpret_cast<NMTBHOTITEM *>(header);
        ShowMessagePane(GetMessageString(hot->dwFlags & HICF_LEAVING ? AFX_IDS_IDLEMESSAGE : UINT(hot->idNew)));
    }
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
    if (m_toolBar && GetWindowRect(m_toolBar, &bar)) area.top += bar.bottom - bar.top;
    return area;
}

LRESULT CMainFrame::WindowProc(UINT msg, WPARAM wp, LPARAM lp)
{
    switch (msg) {
    case WM_NOTIFY:
        return OnNotify(reinterpret_cast<NMHDR *>(lp));
    case WM_QUERYENDSESSION:
    case WM_ENDSESSION:
    case WM_CLOSE:
        // A close asked for inside a wait ends that wait and takes effect once the wait is over. The end of
        // the session inside a wait is held the same way (the session is told the program cannot end yet).
        if ((msg == WM_ENDSESSION && !wp) || (msg != WM_CLOSE && !ModalWait::Active())) break;
        if (ModalWait::Active()) {
            ModalWait::HoldClose(m_hWnd);
            if (CTaviNewView *view = dynamic_cast<CTaviNewView *>(GetActiveView()))
                if (auto *document = dynamic_cast<CTaviDoc *>(view->GetDocument())) document->Delivery().SetCancelled(true);
            return 0;
        }
        break;
    case WM_DESTROY:
        ModalWait::CloseCarriedOut(m_hWnd);
        break;
    case WM_SIZE:
        if (m_toolBar) SendMessageA(m_toolBar, TB_AUTOSIZE, 0, 0);
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
