#include "framework/WinApp.h"

#include "framework/ModalWait.h"
#include "framework/Profile.h"

#include <commdlg.h>

namespace {

CWinApp *g_app = nullptr;
const char kRecentFileSection[] = "Recent File List";

// The first command-line word that is not a flag ("/x" or "-x"), without quotes.
std::string FileArgument(const std::string &commandLine)
{
    size_t i = 0;
    while (i < commandLine.size()) {
        while (i < commandLine.size() && commandLine[i] == ' ') ++i;
        if (i >= commandLine.size()) break;
        std::string word;
        if (commandLine[i] == '"') {
            size_t end = commandLine.find('"', i + 1);
            word = commandLine.substr(i + 1, end == std::string::npos ? std::string::npos : end - i - 1);
            i = end == std::string::npos ? commandLine.size() : end + 1;
        } else {
            size_t end = commandLine.find(' ', i);
            word = commandLine.substr(i, end == std::string::npos ? std::string::npos : end - i);
            i = end == std::string::npos ? commandLine.size() : end;
        }
        if (!word.empty() && word[0] != '/' && word[0] != '-') return word;
    }
    return "";
}

}  // namespace

void CRecentFileList::Load()
{
    m_entries.clear();
    for (int i = 1; i <= m_size; ++i) {
        std::string path = profile::GetString(kRecentFileSection, ("File" + std::to_string(i)).c_str(), "");
        if (!path.empty()) m_entries.push_back(path);
    }
}

void CRecentFileList::Save() const
{
    for (int i = 1; i <= m_size; ++i) {
        const size_t index = static_cast<size_t>(i - 1);
        profile::WriteString(kRecentFileSection, ("File" + std::to_string(i)).c_str(),
                             index < m_entries.size() ? m_entries[index] : "");
    }
}

void CRecentFileList::Add(const std::string &path)
{
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
        if (lstrcmpiA(it->c_str(), path.c_str()) == 0) {
            m_entries.erase(it);
            break;
        }
    }
    m_entries.insert(m_entries.begin(), path);
    if (m_entries.size() > static_cast<size_t>(m_size)) m_entries.resize(static_cast<size_t>(m_size));
}

void CRecentFileList::UpdateMenu(HMENU menu) const
{
    // With no file yet, the menu's own grayed item stays, worded in the menu's language.
    if (m_entries.empty()) return;
    HMENU file = GetSubMenu(menu, 0);
    if (!file) return;
    int position = -1;
    for (int i = 0; i < GetMenuItemCount(file); ++i) {
        const UINT id = GetMenuItemID(file, i);
        if (id >= ID_FILE_MRU_FILE1 && id < ID_FILE_MRU_FILE1 + static_cast<UINT>(m_size)) {
            if (position < 0) position = i;
            DeleteMenu(file, i--, MF_BYPOSITION);
        }
    }
    if (position < 0) return;
    for (size_t i = 0; i < m_entries.size(); ++i) {
        const std::string label = "&" + std::to_string(i + 1) + " " + m_entries[i];
        InsertMenuA(file, position + static_cast<int>(i), MF_BYPOSITION | MF_STRING,
                    ID_FILE_MRU_FILE1 + static_cast<UINT>(i), label.c_str());
    }
}

CWinApp::CWinApp()
{
    g_app = this;
    char title[256] = {};
    LoadStringA(GetModuleHandleA(nullptr), AFX_IDS_APP_TITLE, title, sizeof title);
    m_appTitle = title;
}

CWinApp::~CWinApp()
{
    m_template.reset();
    if (g_app == this) g_app = nullptr;
}

CWinApp *AfxGetApp() { return g_app; }

int AfxMessageBox(const std::string &text, UINT type)
{
    CWinApp *app = AfxGetApp();
    HWND owner = app && app->GetMainWnd() ? app->GetMainWnd()->GetSafeHwnd() : nullptr;
    // Once the program is closing nobody is asked anything more: the box counts as closed.
    if (ModalWait::ClosePending()) return IDCANCEL;
    ModalWait wait;
    const int answer = MessageBoxA(owner, text.c_str(), app ? app->AppTitle().c_str() : "", type);
    return ModalWait::ClosePending() ? IDCANCEL : answer;
}

PIDLIST_ABSOLUTE AfxBrowseForFolder(BROWSEINFOA &info)
{
    if (ModalWait::ClosePending()) return nullptr;
    ModalWait wait;
    PIDLIST_ABSOLUTE picked = SHBrowseForFolderA(&info);
    if (picked && ModalWait::ClosePending()) {
        CoTaskMemFree(picked);
        picked = nullptr;
    }
    return picked;
}

CFrameWnd *CWinApp::GetMainWnd() const { return m_template ? m_template->GetFrame() : nullptr; }

int CWinApp::ExitInstance()
{
    if (m_recentFiles) m_recentFiles->Save();
    return 0;
}

void CWinApp::SetRegistryKey(const std::string &key) { profile::SetRoot("Software\\" + key + "\\" + m_appTitle); }

void CWinApp::LoadStdProfileSettings(int recentFiles)
{
    m_recentFiles = std::make_unique<CRecentFileList>(recentFiles);
    m_recentFiles->Load();
}

void CWinApp::AddDocTemplate(std::unique_ptr<CSingleDocTemplate> docTemplate) { m_template = std::move(docTemplate); }

bool CWinApp::ProcessShellCommand()
{
    const std::string file = FileArgument(m_commandLine);
    if (!file.empty()) return OpenDocumentFile(file.c_str()) != nullptr;
    OnFileNew();
    return GetMainWnd() != nullptr;
}

void CWinApp::OnFileNew()
{
    if (m_template) m_template->OpenDocumentFile(nullptr);
}

void CWinApp::OnFileOpen()
{
    if (!m_template) return;
    const std::string filterName = m_template->DocString(3);
    const std::string extension = m_template->DocString(4);
    std::string filter = filterName + '\0' + "*" + extension + '\0' + "All Files (*.*)" + '\0' + "*.*" + '\0';
    char path[MAX_PATH] = {};
    OPENFILENAMEA ofn = {};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = GetMainWnd() ? GetMainWnd()->GetSafeHwnd() : nullptr;
    ofn.lpstrFilter = filter.c_str();
    ofn.lpstrFile = path;
    ofn.nMaxFile = sizeof path;
    ofn.lpstrDefExt = extension.empty() ? nullptr : extension.c_str() + 1;
    ofn.Flags = OFN_HIDEREADONLY | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST;
    if (ModalWait::ClosePending()) return;
    ModalWait wait;
    if (GetOpenFileNameA(&ofn) && !ModalWait::ClosePending()) OpenDocumentFile(path);
}

CDocument *CWinApp::OpenDocumentFile(const char *path)
{
    if (!m_template) return nullptr;
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        AfxMessageBox(std::string("Cannot open the file ") + path + ".", MB_OK | MB_ICONEXCLAMATION);
        return nullptr;
    }
    CloseHandle(file);
    CDocument *document = m_template->OpenDocumentFile(path);
    if (document && m_recentFiles && GetMainWnd()) {
        m_recentFiles->Add(path);
        m_recentFiles->UpdateMenu(GetMenu(GetMainWnd()->GetSafeHwnd()));
    }
    return document;
}

bool CWinApp::OnCommand(UINT id)
{
    switch (id) {
    case ID_FILE_NEW:
        OnFileNew();
        return true;
    case ID_FILE_OPEN:
        OnFileOpen();
        return true;
    case ID_FILE_SAVE:
    case ID_FILE_SAVE_AS:
        if (CDocument *document = m_template ? m_template->GetDocument() : nullptr) {
            if (document->DoSave(id == ID_FILE_SAVE_AS) && m_recentFiles && GetMainWnd()) {
                m_recentFiles->Add(document->GetPathName());
                m_recentFiles->UpdateMenu(GetMenu(GetMainWnd()->GetSafeHwnd()));
            }
        }
        return true;
    default:
        break;
    }
    if (m_recentFiles && id >= ID_FILE_MRU_FILE1 && id < ID_FILE_MRU_FILE1 + m_recentFiles->Entries().size()) {
        const std::string path = m_recentFiles->Entries()[id - ID_FILE_MRU_FILE1];
        OpenDocumentFile(path.c_str());
        return true;
    }
    return false;
}

bool CWinApp::PreTranslateMessage(MSG *msg)
{
    CFrameWnd *frame = GetMainWnd();
    return frame && frame->m_accelerators && frame->GetSafeHwnd() &&
           TranslateAcceleratorA(frame->GetSafeHwnd(), frame->m_accelerators, msg);
}

void CWinApp::RunMessageLoop()
{
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (PreTranslateMessage(&msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

bool CWinApp::Start(HINSTANCE instance, const char *commandLine)
{
    m_hInstance = instance;
    m_commandLine = commandLine ? commandLine : "";
    if (!InitInstance()) return false;
    if (m_recentFiles && GetMainWnd()) m_recentFiles->UpdateMenu(GetMenu(GetMainWnd()->GetSafeHwnd()));
    return true;
}

int CWinApp::Run(HINSTANCE instance, const char *commandLine)
{
    if (Start(instance, commandLine)) RunMessageLoop();
    return ExitInstance();
}
