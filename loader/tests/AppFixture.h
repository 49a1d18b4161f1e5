// Shared set-up of the application tests: the loader's settings, Tavi.exe as a process, the application
// object in this process, and a helper thread that answers the dialog boxes a test expects.
#pragma once

#include "WindowProbe.h"

#include <windows.h>

#include <atomic>
#include <functional>
#include <initializer_list>
#include <string>
#include <thread>

namespace apptest {

extern const char kProfileRoot[];
extern const char kInstallKey[];

// Waits until the condition holds, looking every 20 ms; false if it still does not after the time-out.
template <typename Condition>
bool WaitUntil(Condition condition, DWORD timeoutMs = 30000)
{
    for (const DWORD start = GetTickCount(); !condition(); Sleep(20))
        if (GetTickCount() - start > timeoutMs) return condition();
    return true;
}

// Asks each outside server's window with one of these titles to quit and waits until none is left, so
// that the next case, which finds a running server by its title, never takes one that is going away.
bool QuitServerWindows(std::initializer_list<const char *> titles);

// Removes the loader's per-user settings and the installer's key; the board account stays unmanaged.
void ResetSettings();
// A HKEY_LOCAL_MACHINE key in the view the loader reads it through (the caller closes it), and its removal.
HKEY CreateMachineKey(const std::string &path);
void DeleteMachineKey(const std::string &path);
// A DWORD or string read straight from HKEY_CURRENT_USER\<profile root>[\section].
bool StoredDword(const char *section, const char *name, DWORD &value);
bool StoredString(const char *section, const char *name, std::string &value);

// Tavi.exe started from the program folder; ended on destruction if still running.
class TaviProcess {
public:
    explicit TaviProcess(const std::string &arguments = "");
    ~TaviProcess();
    bool Started() const { return m_process.hProcess != nullptr; }
    DWORD Pid() const { return m_process.dwProcessId; }
    // Waits for the main window (class "TaviApp") and the end of start-up; null on time-out.
    HWND WaitForMainWindow(DWORD timeoutMs = 20000);
    // Waits for the process to end; its exit code, or -1 on time-out.
    long WaitForExit(DWORD timeoutMs = 20000);
    // Closes the main window and waits for the end.
    long Close();

private:
    PROCESS_INFORMATION m_process = {};
};

// Waits on a thread for one dialog box of this process, keeps its title, message and controls' texts,
// then presses a button.
class DialogAnswerer {
public:
    explicit DialogAnswerer(int button = IDOK, DWORD timeoutMs = 20000, bool messageBoxOnly = false);
    ~DialogAnswerer();
    // Joins the thread; true when a box was seen.
    bool Wait();
    std::string title;
    std::string message;
    // Texts of controls 1014..1022 (the About box) by id - 1014.
    std::string controls[9];

private:
    std::thread m_thread;
    std::atomic<bool> m_seen{false};
};

// Past its limit, names every visible window of this process on the error channel, runs beforeExit (the
// case's servers hold its output open) and ends the process with a failure: a box nobody answers would
// otherwise hold the case until ctest's time-out, which shows nothing of it.
class HangWatch {
public:
    explicit HangWatch(std::function<void()> beforeExit, DWORD limitMs = 150000);
    ~HangWatch();
    HangWatch(const HangWatch &) = delete;
    HangWatch &operator=(const HangWatch &) = delete;

private:
    HANDLE m_done;
    std::thread m_thread;
};

}  // namespace apptest
