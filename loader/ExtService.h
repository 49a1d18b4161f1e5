// Control of the outside servers the board boots from: the BOOTP and TFTP servers (found by their window
// title, ended with WM_QUIT) and the NFS server "Seldrix.exe" (ended through the process list).
// Callers build a fresh object for each use, so every use reads the settings anew.
#pragma once

#include <windows.h>

#include <string>

// HKEY_LOCAL_MACHINE key of the loader's overrides for the outside servers and the board account.
std::string MachineKeyPath();

// The board's default hardware addresses: the maker's prefix (a setting of ours) and the board's suffix.
extern const char kBoardMacPrefix[];
extern const char kMacSuffixOldBoard[];
extern const char kMacSuffixVusko[];
extern const char kMacSuffixMainFirst[];
extern const char kMacSuffixMainSecond[];

class CExtService {
public:
    virtual ~CExtService() = default;

    // True when the server is not controlled, or when its window exists. A server without a window title
    // is never found by title: it is not known to run.
    bool IsRunning() const;
    // Starts the server minimised and waits up to 11 rounds for its window, handling messages meanwhile;
    // true when it runs at the end.
    virtual bool Start();
    // Posts WM_QUIT to the server's window (controlled servers with a title only); does not wait.
    void Stop() const;

    bool Controlled() const { return m_controlled; }
    const std::string &WindowTitle() const { return m_windowTitle; }
    const std::string &CommandLine() const { return m_commandLine; }

    // One round of the start wait (a window that appears ends it early); tests change it.
    static DWORD s_waitRoundMillis;
    // How many starts of any server were asked for so far: a stop that finds none since the last one has
    // nothing to do.
    static unsigned Starts() { return s_starts; }

protected:
    static unsigned s_starts;

protected:
    // Applies the machine key's string values whose names contain the three parts.
    void ReadOverrides(const char *namePart, const char *pathPart, const char *ctrlPart);
    // Creates the server's process minimised; null when that failed.
    HANDLE CreateServerProcess() const;
    // The server's top-level window found by its title; none for a server without a title.
    HWND ServerWindow() const;

    bool m_controlled = true;
    std::string m_windowTitle;
    std::string m_commandLine;
};

class CExtBootp : public CExtService {
public:
    CExtBootp();
    // The REG_SZ value of HKEY_LOCAL_MACHINE\key whose name contains namePart (the last such wins):
    // 0 found, 1 not found (text unchanged).
    static int QueryRegString(const std::string &key, const char *namePart, std::string &text);
};

class CExtTftpd : public CExtService {
public:
    // Also writes the TFTP server's default directory: the boot folder.
    CExtTftpd();
};

class CExtNfs : public CExtService {
public:
    CExtNfs();
    // Starts the NFS server minimised without waiting; true when the process was created.
    bool Start() override;
    // Ends the first running process named exactly "Seldrix.exe" and waits (bounded) until it is gone.
    static void KillByName();
    // Ends a process; termination may complete after the call returns. Tests put a slower one in place.
    static BOOL(WINAPI *s_terminateProcess)(HANDLE process, UINT exitCode);
};

// "a.b.c.d" with its last number plus one.
std::string IncrementIpAddress(const std::string &address);
