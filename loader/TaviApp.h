// The loader's application object: start-up, language switch, settings, About, help and shut-down.
#pragma once

#include "framework/WinApp.h"

#include <memory>
#include <string>

class CAboutDlg;
class CMainFrame;
class CTaviNewView;

class CTaviApp : public CWinApp {
public:
    CTaviApp();
    ~CTaviApp() override;

    bool InitInstance() override;
    int ExitInstance() override;
    bool OnCommand(UINT id) override;
    bool PreTranslateMessage(MSG *msg) override;

    // Switches the user-interface language to a locale identifier (module, menu, labels, "Language").
    void SetLanguage(int identifier);
    // Writes a line to the debug log when it is open.
    void WriteDebugLog(const std::string &line);

    const std::string &ProgramFolder() const { return m_programFolder; }
    bool DebugFlag() const { return m_debug; }
    HMODULE LanguageModule() const { return m_languageModule; }
    const std::string &LanguageCode() const { return m_languageCode; }
    const std::string &DebugLogPath() const { return m_debugLogPath; }
    bool IsWin9x() const;
    // The main frame's view; none once the main window is gone.
    CTaviNewView *MainView() const { return GetMainWnd() ? m_mainView : nullptr; }
    CMainFrame *MainFrame() const;

private:
    bool RegisterWindowClass();
    bool StartSockets();
    void OpenDebugLog();
    int StartupLanguage() const;
    void AppendBiosMenuItem(HMENU menu) const;
    void CheckLanguageCommand(HMENU menu, UINT command) const;
    void ShowHelp();

    std::unique_ptr<CAboutDlg> m_about;
    bool m_classRegistered = false;
    bool m_socketsStarted = false;
    bool m_debug = false;
    HANDLE m_debugLog = INVALID_HANDLE_VALUE;
    std::string m_debugLogPath;
    std::string m_programFolder = ".\\";
    HMODULE m_languageModule = nullptr;
    std::string m_languageCode = "en";
    CTaviNewView *m_mainView = nullptr;
    bool m_threadLocaleAvailable = false;
    OSVERSIONINFOA m_osVersion = {};
    bool m_biosMenuItem = false;
};

CTaviApp *TaviApp();
// The main window; none before it is made or once it is gone.
CMainFrame *TaviMainFrame();

// The folder of the program file (at most 255 characters), with a trailing "\".
std::string ProgramFileFolder();

// The "CurrDir" setting: the folder File Open starts in.
extern std::string g_currentDirectory;
