// The application object: start-up, the message loop, the document template, the recent-file list and the
// framework's standard commands (New, Open, recent files).
#pragma once

#include "framework/DocView.h"
#include "framework/FrameworkIds.h"

#include <shlobj.h>

#include <memory>
#include <string>
#include <vector>

// The most-recently-used files, kept in the profile section "Recent File List" as "File1".."FileN".
class CRecentFileList {
public:
    explicit CRecentFileList(int size) : m_size(size) {}
    void Load();
    void Save() const;
    // Moves (or puts) the path at the top; the oldest entry drops out.
    void Add(const std::string &path);
    const std::vector<std::string> &Entries() const { return m_entries; }
    // Rewrites the File menu's recent-file items, from the placeholder command ID_FILE_MRU_FILE1 on.
    void UpdateMenu(HMENU menu) const;

private:
    int m_size;
    std::vector<std::string> m_entries;
};

class CWinApp {
public:
    CWinApp();
    CWinApp(const CWinApp &) = delete;
    CWinApp &operator=(const CWinApp &) = delete;
    virtual ~CWinApp();

    virtual bool InitInstance() { return true; }
    virtual int ExitInstance();
    // Menu commands that neither frame nor view handled; true when handled.
    virtual bool OnCommand(UINT id);
    virtual bool PreTranslateMessage(MSG *msg);
    // Checks that the file opens for reading, then loads it into the document.
    virtual CDocument *OpenDocumentFile(const char *path);

    // Runs start-up, the message loop and exit; the program's exit code.
    int Run(HINSTANCE instance, const char *commandLine);
    // Start-up alone: false when the program must end.
    bool Start(HINSTANCE instance, const char *commandLine);

    HINSTANCE Instance() const { return m_hInstance; }
    const std::string &CommandLine() const { return m_commandLine; }
    CFrameWnd *GetMainWnd() const;
    const std::string &AppTitle() const { return m_appTitle; }
    CSingleDocTemplate *Template() const { return m_template.get(); }
    CRecentFileList *RecentFiles() const { return m_recentFiles.get(); }

protected:
    // Per-user settings go below HKEY_CURRENT_USER\Software\<key>\<application title>.
    void SetRegistryKey(const std::string &key);
    void LoadStdProfileSettings(int recentFiles);
    void AddDocTemplate(std::unique_ptr<CSingleDocTemplate> docTemplate);
    // Opens the file named on the command line, or a new document; false when that failed.
    bool ProcessShellCommand();
    void OnFileNew();
    void OnFileOpen();

    HINSTANCE m_hInstance = nullptr;
    std::string m_commandLine;
    std::string m_appTitle;

private:
    void RunMessageLoop();

    std::unique_ptr<CSingleDocTemplate> m_template;
    std::unique_ptr<CRecentFileList> m_recentFiles;
};

CWinApp *AfxGetApp();
// The application-wide message box: owner is the main window, title is the application title.
// While a close of the main window is held back it shows nothing and answers IDCANCEL.
int AfxMessageBox(const std::string &text, UINT type = MB_OK);
// The system's folder browser as a wait like a message box: nothing is picked once a close was asked for.
PIDLIST_ABSOLUTE AfxBrowseForFolder(BROWSEINFOA &info);
