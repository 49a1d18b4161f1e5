// TDSettings: the program's hidden form. It puts the icon in the notification area, reads the settings
// from the per-user key, starts and stops the server thread, and shows the settings from the icon's menu.
#pragma once

#include "fDaemon.h"

#include <windows.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

extern const char SettingsKey[];

class TDSettings {
public:
    explicit TDSettings(HINSTANCE instance);
    // FormDestroy: the icon goes and the server stops.
    ~TDSettings();
    TDSettings(const TDSettings &) = delete;
    TDSettings &operator=(const TDSettings &) = delete;

    // The window of the icon and its menu: message-only, so it needs no display.
    HWND Handle() const { return Window; }
    // True when the message was the shown form's keyboard navigation, already handled.
    bool IsFormMessage(MSG &msg);

    // Raises the daemon's start-up error; no daemon is kept then.
    void StartDaemon(const std::string &root, uint32_t codePage);
    void StopDaemon();

private:
    using TCodePage = std::pair<std::string, uint32_t>;  // name, identifier

    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static INT_PTR CALLBACK FormProc(HWND form, UINT message, WPARAM wParam, LPARAM lParam);

    void FormCreate();
    void ReadSettings();
    void AddIcon();
    void IconCallback(LPARAM mouseMessage);
    void pmSettingsClick();
    void pmQuitClick();
    void FormShow();
    void FormHide();
    void FBOkEnabledCheck();
    void FBOkClick();
    void FBCancelClick();
    void ShowPage(int page);
    std::string ControlText(int id) const;

    HINSTANCE Instance;
    HWND Window = nullptr;
    HWND Form = nullptr;  // made when first shown
    bool IconAdded = false;
    std::string Root;
    std::string Hosts;
    uint32_t CodePage = 0;
    std::vector<TCodePage> CodePages;  // while the form is shown
};

// The daemon global: the one running server thread, or none.
extern std::unique_ptr<TDaemon> Daemon;

// Writes a line to the debug output and the standard error, for what the user cannot be shown.
void LogLine(const std::string &line);
// Shows an exception's text the way the application reports errors.
void ShowException(const std::exception &error);
