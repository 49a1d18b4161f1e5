// The delivery: the software folder that the technician picked, what the loader reads from it, the tree
// helpers that copy it into the boot folder, and serving a folder to the board through the NFS server.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

// Copies of the delivery's version and sub-version made by the Main page, read by the later steps.
extern int g_deliveryVersion;
extern int g_deliverySubVersion;
// The board type read from the delivery's "hw_req.xml" (empty until read).
extern std::string g_boardType;
// The board type whose rules differ from the others' (countries, boot list, BOOTP entry, options).
extern const char kBoardTypeVusko[];
// Set while the second target file of a mono-CPU migration is written: the boot folder then gets the
// migration boot files.
extern bool g_bMigrationTarget;

// What the release line of "config.rc" gives.
struct DeliveryRelease {
    int version = 0;
    int subVersion = 0;
    std::string text;
};

// The release line split into its fields and turned into version, sub-version and display text.
DeliveryRelease ParseReleaseLine(const std::string &line);
// The release line of config.rc's lines: the first that is neither empty nor a comment (else empty).
std::string FindReleaseLine(const std::vector<std::string> &lines);
// The kernel number after "kernel100" on the first line that holds it; false when no line does.
bool FindKernelNumber(const std::vector<std::string> &lines, int &number);
// The country codes after the marker ("dacm_" for a VUSKO board, else "dasig_") on every line.
std::vector<std::string> FindCountries(const std::vector<std::string> &lines, const std::string &boardType);
// True for the release texts of new-style deliveries.
bool IsNewStyleRelease(const std::string &releaseText);

class CDelivery {
public:
    CDelivery();
    CDelivery(const CDelivery &) = delete;
    CDelivery &operator=(const CDelivery &) = delete;
    ~CDelivery();

    // Stores the folder with exactly one trailing "\" (an empty folder stays empty).
    void SetDeliveryPath(const std::string &folder);
    const std::string &DeliveryPath() const { return m_deliveryFolder; }

    bool ReadDelivery();
    bool ReadDeliveryRelease(std::string &text);
    bool ReadKernelNumber(int &number);
    bool ReadCountries(std::vector<std::string> &countries);
    bool IsNewStyleDelivery();
    // Reads the board type from "DownloadingItems\boot\hw_req.xml" into g_boardType.
    bool ReadBoardType();

    bool StartNfsServer(const std::string &folder);
    bool StopNfsServer();

    bool CopyTree(const std::string &source, const std::string &destination);
    bool DeleteTree(const std::string &folder);
    bool MoveFiles(const std::string &source, const std::string &destination);
    bool CopyFiles(const std::string &source, const std::string &destination);
    bool EmptyDirectory(const std::string &folder);
    static bool IsFolderEmpty(const std::string &folder);
    // Keeps the system text of the thread's last error as the last error text.
    void GetLastErrorText();
    // The shell's file operation; tests put one with a chosen result in its place.
    static int(WINAPI *s_shellFileOperation)(LPSHFILEOPSTRUCTA operation);

    int Version() const { return m_version; }
    int SubVersion() const { return m_subVersion; }
    int KernelNumber() const { return m_kernelNumber; }
    const std::string &GetReleaseText() const { return m_releaseText; }
    const std::vector<std::string> &Countries() const { return m_countries; }
    const std::string &LastErrorText() const { return m_lastErrorText; }
    const std::string &ErrorContext() const { return m_errorContext; }
    void SetErrorContext(const std::string &context) { m_errorContext = "[" + context + "]"; }
    void SetCancelled(bool cancelled) { m_cancelled = cancelled; }
    bool Cancelled() const { return m_cancelled; }

private:
    bool ReadConfigLines(std::vector<std::string> &lines);
    bool ShellOperation(UINT function, const std::string &source, const std::string &destination, WORD flags,
                        const char *title, size_t maxPattern);
    bool FailWith(DWORD error, const std::string &context);

    std::string m_lastErrorText;
    std::string m_errorContext;
    std::string m_programFolder;
    HMODULE m_networkLibrary = nullptr;
    FARPROC m_shareAdd = nullptr;
    FARPROC m_shareDelete = nullptr;
    bool m_cancelled = false;
    std::string m_deliveryFolder;
    int m_version = 0;
    int m_subVersion = 0;
    std::string m_releaseText;
    std::vector<std::string> m_countries;
    int m_kernelNumber = 0;
};
