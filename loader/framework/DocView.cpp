#include "framework/DocView.h"

#include "framework/ModalWait.h"
#include "framework/WinApp.h"

#include <commdlg.h>

bool CDocument::OnNewDocument()
{
    DeleteContents();
    SetPathName("");
    return true;
}

bool CDocument::OnOpenDocument(const std::string &)
{
    DeleteContents();
    return true;
}

bool CDocument::OnSaveDocument(const std::string &) { return true; }

bool CDocument::DoSave(bool askName)
{
    std::string path = m_path;
    if (askName || path.empty()) {
        CSingleDocTemplate *docTemplate = AfxGetApp() ? AfxGetApp()->Template() : nullptr;
        const std::string filterName = docTemplate ? docTemplate->DocString(3) : "";
        const std::string extension = docTemplate ? docTemplate->DocString(4) : "";
        const std::string filter = filterName + '\0' + "*" + extension + '\0' + '\0';
        char name[MAX_PATH] = {};
        lstrcpynA(name, path.c_str(), sizeof name);
        OPENFILENAMEA ofn = {};
        ofn.lStructSize = sizeof ofn;
        ofn.hwndOwner = m_frame ? m_frame->GetSafeHwnd() : nullptr;
        ofn.lpstrFilter = filter.c_str();
        ofn.lpstrFile = name;
        ofn.nMaxFile = sizeof name;
        ofn.lpstrDefExt = extension.empty() ? nullptr : extension.c_str() + 1;
        ofn.Flags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST;
        if (ModalWait::ClosePending()) return false;
        ModalWait wait;
        if (!GetSaveFileNameA(&ofn) || ModalWait::ClosePending()) return false;
        path = name;
    }
    if (!OnSaveDocument(path)) return false;
    SetPathName(path);
    return true;
}

void CDocument::SetPathName(const std::string &path)
{
    m_path = path;
    if (m_frame) m_frame->UpdateTitle(GetTitle());
}

std::string CDocument::GetTitle() const
{
    if (m_path.empty()) return "Untitled";
    return m_path.substr(m_path.find_last_of("\\/:") + 1);
}

bool CView::Create(CFrameWnd *frame, CDocument *document)
{
    m_document = document;
    return CreateBound(0, "", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, 0, 0, 0, 0, frame->GetSafeHwnd(),
                       reinterpret_cast<HMENU>(static_cast<INT_PTR>(AFX_IDW_PANE_FIRST)));
}

LRESULT CView::WindowProc(UINT msg, WPARAM wp, LPARAM lp)
{
    if (msg == WM_CREATE) return OnCreate();
    return CWnd::WindowProc(msg, wp, lp);
}

bool CFrameWnd::LoadFrame(UINT resourceId, const char *windowClass)
{
    HINSTANCE instance = GetModuleHandleA(nullptr);
    m_defaultMenu = LoadMenuA(instance, MAKEINTRESOURCEA(resourceId));
    m_accelerators = LoadAcceleratorsA(instance, MAKEINTRESOURCEA(resourceId));
    HWND wnd = CreateWindowExA(0, windowClass, AfxGetApp()->AppTitle().c_str(), FrameStyle(), CW_USEDEFAULT,
                               CW_USEDEFAULT, 640, 480, nullptr, m_defaultMenu, instance, nullptr);
    if (!wnd) return false;
    Subclass(wnd);
    HICON icon = LoadIconA(instance, MAKEINTRESOURCEA(resourceId));
    SendMessageA(wnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
    SendMessageA(wnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    if (OnCreate() == -1) {
        DestroyWindow(wnd);
        return false;
    }
    return true;
}

void CFrameWnd::UpdateTitle(const std::string &documentTitle)
{
    if (m_hWnd) SetWindowTextA(m_hWnd, (documentTitle + " - " + AfxGetApp()->AppTitle()).c_str());
}

RECT CFrameWnd::ViewArea()
{
    RECT area;
    GetClientRect(m_hWnd, &area);
    return area;
}

void CFrameWnd::RecalcLayout()
{
    if (!m_view || !m_view->GetSafeHwnd()) return;
    RECT area = ViewArea();
    MoveWindow(m_view->GetSafeHwnd(), area.left, area.top, area.right - area.left, area.bottom - area.top, TRUE);
}

bool CFrameWnd::OnCommand(UINT id)
{
    if (id == ID_APP_EXIT) {
        PostMessageA(m_hWnd, WM_CLOSE, 0, 0);
        return true;
    }
    return AfxGetApp()->OnCommand(id);
}

LRESULT CFrameWnd::WindowProc(UINT msg, WPARAM wp, LPARAM lp)
{
    switch (msg) {
    case WM_SIZE: {
        LRESULT result = Default(msg, wp, lp);
        RecalcLayout();
        return result;
    }
    case WM_COMMAND:
        // A handler waits (a box, a dialog, a local loop): no command may change the document or the
        // window under it. Only Exit goes through, as a close, which the wait holds.
        if (ModalWait::Active() && LOWORD(wp) != ID_APP_EXIT) return 0;
        if (OnCommand(LOWORD(wp))) return 0;
        break;
    case WM_SETFOCUS:
        if (m_view && m_view->GetSafeHwnd()) {
            SetFocus(m_view->GetSafeHwnd());
            return 0;
        }
        break;
    case WM_DESTROY:
        if (AfxGetApp()->GetMainWnd() == this) PostQuitMessage(0);
        break;
    default:
        break;
    }
    return Default(msg, wp, lp);
}

void CFrameWnd::PostNcDestroy()
{
    if (CSingleDocTemplate *docTemplate = AfxGetApp() ? AfxGetApp()->Template() : nullptr)
        docTemplate->FrameDestroyed(this);
}

CSingleDocTemplate::CSingleDocTemplate(UINT resourceId, const char *windowClass, DocumentFactory document,
                                       FrameFactory frame, ViewFactory view)
    : m_resourceId(resourceId), m_windowClass(windowClass), m_makeDocument(std::move(document)),
      m_makeFrame(std::move(frame)), m_makeView(std::move(view))
{
}

CSingleDocTemplate::~CSingleDocTemplate()
{
    if (m_frame && m_frame->GetSafeHwnd()) DestroyWindow(m_frame->GetSafeHwnd());
}

void CSingleDocTemplate::FrameDestroyed(CFrameWnd *frame)
{
    if (m_frame.get() != frame) return;
    // No caller may find the frame while it is being deleted.
    std::unique_ptr<CFrameWnd> gone = std::move(m_frame);
    gone.reset();
    m_document.reset();
}

std::string CSingleDocTemplate::DocString(int index) const
{
    char text[512] = {};
    LoadStringA(GetModuleHandleA(nullptr), m_resourceId, text, sizeof text);
    std::string all = text;
    size_t start = 0;
    for (int i = 0; i < index; ++i) {
        start = all.find('\n', start);
        if (start == std::string::npos) return "";
        ++start;
    }
    return all.substr(start, all.find('\n', start) - start);
}

bool CSingleDocTemplate::CreateFrame()
{
    m_document = m_makeDocument();
    m_frame = m_makeFrame();
    if (!m_frame->LoadFrame(m_resourceId, m_windowClass.c_str())) {
        m_frame.reset();
        return false;
    }
    std::unique_ptr<CView> view = m_makeView();
    if (!view->Create(m_frame.get(), m_document.get())) {
        DestroyWindow(m_frame->GetSafeHwnd());
        m_frame.reset();
        return false;
    }
    m_frame->SetView(std::move(view));
    m_frame->RecalcLayout();
    m_document->SetFrame(m_frame.get());
    return true;
}

CDocument *CSingleDocTemplate::OpenDocumentFile(const char *path)
{
    const bool created = !m_frame;
    if (created && !CreateFrame()) return nullptr;
    bool loaded = path ? m_document->OnOpenDocument(path) : m_document->OnNewDocument();
    if (!loaded) {
        if (created) {
            DestroyWindow(m_frame->GetSafeHwnd());
            m_frame.reset();
        }
        return nullptr;
    }
    m_document->SetPathName(path ? path : "");
    m_frame->GetActiveView()->OnInitialUpdate();
    return m_document.get();
}
