// TDSettings: the program's hidden form. It reads the settings from the per-user key, and starts and
// stops the server thread.
#pragma once

#include "fDaemon.h"

#include <windows.h>

#include <memory>
#include <string>

extern const char SettingsKey[];

class TDSettings {
public:
    explicit TDSettings(HINSTANCE instance);
    ~TDSettings();
    TDSettings(const TDSettings &) = delete;
    TDSettings &operator=(const TDSettings &) = delete;

    HWND Handle() const { return Window; }

    // Raises the daemon's start-up error; no daemon is kept then.
    void StartDaemon(const std::string &root, uint32_t codePage);
    void StopDaemon();

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void FormCreate();
    void ReadSettings();

    HWND Window = nullptr;
    std::string Root;
    std::string Hosts;
    uint32_t CodePage = 0;
};

// The daemon global: the one running server thread, or none.
extern std::unique_ptr<TDaemon> Daemon;

// Writes a line to the debug output and the standard error, for what the user cannot be shown.
void LogLine(const std::string &line);
// Shows an exception's text the way the application reports errors.
void ShowException(const std::exception &error);
