// The technician of the installation demo: drives a running Tavi.exe through its windows, as a person at
// the PC would, while a simulated board installs itself. It picks the delivery folder, the country,
// chooses the installation, answers the loader's question, follows the Install page's log and copy bar
// to the board's end, goes back to the Main page and closes the program. It prints what it sees, keeps
// a picture of each page, and stops at the first step that does not come as it should (exit 1).
//
//   technician.exe DELIVERY_FOLDER SCREENSHOT_FOLDER [--country CODE] [--wait SECONDS]
#include "WindowProbe.h"
#include "res/resource.h"

#include <windows.h>

#include <commctrl.h>
#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kNextButton = 0x3024;
constexpr DWORD kPoll = 50;

DWORD g_pid = 0;
HWND g_main = nullptr;
HWND g_sheet = nullptr;
std::string g_shots;
int g_shotCount = 0;

double Elapsed()
{
    static const long long t0 = [] {
        const char *text = std::getenv("DEMO_T0");
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        const long long ms = static_cast<long long>((ULARGE_INTEGER{{now.dwLowDateTime, now.dwHighDateTime}}.QuadPart -
                                                     116444736000000000ULL) / 10000);
        return text && *text ? std::atoll(text) : ms;
    }();
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const long long ms = static_cast<long long>(
        (ULARGE_INTEGER{{now.dwLowDateTime, now.dwHighDateTime}}.QuadPart - 116444736000000000ULL) / 10000);
    return (ms - t0) / 1000.0;
}

void Say(const std::string &line)
{
    std::printf("[%6.1fs] technician %s\n", Elapsed(), line.c_str());
    std::fflush(stdout);
}

[[noreturn]] void Fail(const std::string &step, const std::string &why)
{
    Say("FAILED at \"" + step + "\": " + why);
    std::exit(1);
}

const char *PageName(UINT id)
{
    switch (id) {
    case IDD_MAIN_PAGE: return "Main";
    case IDD_INSTALLATION_TYPE: return "Installation type";
    case IDD_DATA_SAVING: return "Data saving";
    case IDD_SAVING_TELEPHONY: return "Saving Telephony";
    case IDD_SAVE_IA: return "Save Internet Access";
    case IDD_INSTALL: return "Install";
    default: return "?";
    }
}

HWND CurrentPage() { return reinterpret_cast<HWND>(SendMessageA(g_sheet, PSM_GETCURRENTPAGEHWND, 0, 0)); }

UINT CurrentPageId()
{
    const LRESULT index = SendMessageA(g_sheet, PSM_HWNDTOINDEX, reinterpret_cast<WPARAM>(CurrentPage()), 0);
    return index < 0 ? 0 : static_cast<UINT>(SendMessageA(g_sheet, PSM_INDEXTOID, static_cast<WPARAM>(index), 0));
}

BOOL CALLBACK FindSheet(HWND wnd, LPARAM found)
{
    char name[64] = {};
    GetClassNameA(wnd, name, sizeof name);
    if (lstrcmpA(name, "#32770") == 0 && GetDlgItem(wnd, kNextButton)) {
        *reinterpret_cast<HWND *>(found) = wnd;
        return FALSE;
    }
    return TRUE;
}

// A message box of the loader's that nobody expected ends the run with its text.
void NoMessageBox(const std::string &step)
{
    if (HWND box = inspector::WaitForMessageBox(g_pid, 0)) Fail(step, "the loader says \"" + inspector::MessageBoxText(box) + "\"");
}

template <typename Condition>
bool WaitFor(DWORD timeoutMs, const std::string &step, Condition condition)
{
    const DWORD start = GetTickCount();
    while (!condition()) {
        NoMessageBox(step);
        if (GetTickCount() - start >= timeoutMs) return false;
        Sleep(kPoll);
    }
    return true;
}

void Picture(const std::string &name)
{
    // The program paints what is pending before the picture is taken.
    RedrawWindow(g_main, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    DWORD_PTR ignored = 0;
    SendMessageTimeoutA(g_main, WM_NULL, 0, 0, SMTO_BLOCK, 5000, &ignored);
    char file[32];
    std::snprintf(file, sizeof file, "%d-", ++g_shotCount);
    const std::string path = g_shots + "\\" + file + name + ".bmp";
    if (!inspector::SaveScreenshot(path)) Fail("picture", "cannot write " + path);
}

void ExpectPage(UINT id, DWORD timeoutMs, const std::string &step)
{
    if (!WaitFor(timeoutMs, step, [&] { return CurrentPageId() == id; }))
        Fail(step, std::string("the wizard shows the ") + PageName(CurrentPageId()) + " page, not the " + PageName(id) +
                       " page");
    Say(std::string("sees the ") + PageName(id) + " page");
}

void PressNext(const std::string &step)
{
    if (!WaitFor(10000, step, [] { return IsWindowEnabled(GetDlgItem(g_sheet, kNextButton)) != FALSE; }))
        Fail(step, "Next stays disabled");
    Say("presses Next");
    PostMessageA(g_sheet, PSM_PRESSBUTTON, PSBTN_NEXT, 0);
}

// Answers the next message box with `button`, returning its text.
std::string Answer(int button, DWORD timeoutMs, const std::string &step)
{
    HWND box = inspector::WaitForMessageBox(g_pid, timeoutMs);
    if (!box) Fail(step, "no question came");
    const std::string text = inspector::MessageBoxText(box);
    std::string shown = text;
    for (char &c : shown)
        if (c == '\r' || c == '\n') c = ' ';
    Say("is asked \"" + shown + "\" and answers " + (button == IDYES ? "Yes" : button == IDNO ? "No" : "OK"));
    inspector::PressButton(box, button);
    inspector::WaitForWindowGone(box, timeoutMs);
    return text;
}

// The folder browser, set on the delivery as a click in its tree would, then OK. False when the page
// did not take the folder.
bool Browse(HWND page, const std::string &folder)
{
    inspector::PressButton(page, IDC_DELIVERY_BROWSE);
    HWND browser = inspector::WaitForDialog(g_pid, 10000);
    if (!browser) return false;
    Say("opens \"" + inspector::Text(browser) + "\" and picks " + folder);
    // The path goes into the loader's memory, where the browser reads it.
    bool set = false;
    if (HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_WRITE, FALSE, g_pid)) {
        const std::wstring wide(folder.begin(), folder.end());
        const SIZE_T bytes = (wide.size() + 1) * sizeof(wchar_t);
        void *remote = VirtualAllocEx(process, nullptr, bytes, MEM_COMMIT, PAGE_READWRITE);
        if (remote && WriteProcessMemory(process, remote, wide.c_str(), bytes, nullptr)) {
            SendMessageW(browser, BFFM_SETSELECTIONW, TRUE, reinterpret_cast<LPARAM>(remote));
            set = true;
        }
        if (remote) VirtualFreeEx(process, remote, 0, MEM_RELEASE);
        CloseHandle(process);
    }
    inspector::PressButton(browser, set ? IDOK : IDCANCEL);
    inspector::WaitForWindowGone(browser, 10000);
    if (!set) return false;
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < 5000) {
        if (!inspector::ControlText(page, IDC_RELEASE).empty()) return true;
        // A folder the browser did not reach comes back as "Failed to get directory".
        if (HWND box = inspector::WaitForMessageBox(g_pid, 0)) {
            Say("is told \"" + inspector::MessageBoxText(box) + "\"");
            inspector::PressButton(box, IDOK);
            inspector::WaitForWindowGone(box, 10000);
            return false;
        }
        Sleep(kPoll);
    }
    return false;
}

bool SelectCountry(HWND page, const std::string &country)
{
    HWND list = GetDlgItem(page, IDC_COUNTRY);
    const int count = static_cast<int>(SendMessageA(list, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
        // Asked across processes, the list answers in UTF-16 whatever the call's character set.
        wchar_t text[64] = {};
        if (SendMessageW(list, CB_GETLBTEXTLEN, i, 0) >= 64) continue;
        SendMessageW(list, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
        if (std::wstring(country.begin(), country.end()) == text) {
            SendMessageA(list, CB_SETCURSEL, i, 0);
            return true;
        }
    }
    return false;
}

// New complete lines of the Install page's log, without the board's waiting dots.
void ShowNewLog(HWND page, size_t &shown)
{
    const std::string log = inspector::ControlText(page, IDC_INSTALL_LOG);
    std::vector<std::string> lines;
    for (size_t start = 0, end; (end = log.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(log.substr(start, end - start));
    for (; shown < lines.size(); ++shown) {
        std::string line = lines[shown];
        const size_t dots = line.find(".....");
        if (dots != std::string::npos) line = line.substr(0, dots);
        while (!line.empty() && line.back() == ' ') line.pop_back();
        if (line.find_first_not_of("0123456789: ") != std::string::npos) Say("reads in the log: " + line);
    }
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: technician.exe DELIVERY_FOLDER SCREENSHOT_FOLDER [--country CODE] [--wait SECONDS]\n");
        return 2;
    }
    const std::string delivery = argv[1];
    g_shots = argv[2];
    std::string country = "fr";
    DWORD boardWaitMs = 300000;
    for (int i = 3; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--country") == 0) country = argv[i + 1];
        if (std::strcmp(argv[i], "--wait") == 0) boardWaitMs = static_cast<DWORD>(std::atoi(argv[i + 1])) * 1000;
    }

    // The program window, its splash gone, with the wizard in it.
    g_main = inspector::WaitForWindow("TaviApp", nullptr, 0, 60000);
    if (!g_main) Fail("start", "no Tavi.exe window");
    GetWindowThreadProcessId(g_main, &g_pid);
    if (!WaitFor(30000, "start", [] {
            EnumChildWindows(g_main, FindSheet, reinterpret_cast<LPARAM>(&g_sheet));
            // The splash is a dialog of its own: it has gone when no dialog of the program is up.
            return g_sheet != nullptr && CurrentPage() != nullptr && !inspector::WaitForDialog(g_pid, 0);
        }))
        Fail("start", "no wizard in the main window");
    Say("sees \"" + inspector::Text(g_main) + "\"");
    ExpectPage(IDD_MAIN_PAGE, 30000, "Main page");
    HWND page = CurrentPage();
    Picture("main");

    // The delivery: picked in the folder browser, or typed into its box when the browser does not reach
    // it (Wine's browser misses a folder whose access time changes while it walks its tree to it).
    if (!Browse(page, delivery)) {
        Say("types the delivery folder " + delivery + " instead");
        SendMessageA(GetDlgItem(page, IDC_DELIVERY_FOLDER), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(delivery.c_str()));
        // Shown again, the page reads what was typed, as its activation does.
        SendMessageA(g_sheet, PSM_SETCURSEL, 0, 0);
    }
    if (!WaitFor(20000, "delivery", [&] { return !inspector::ControlText(page, IDC_RELEASE).empty(); }))
        Fail("delivery", "the Main page shows no release");
    Say("reads the release \"" + inspector::ControlText(page, IDC_RELEASE) + "\"");
    if (!SelectCountry(page, country)) Fail("country", "the country list has no \"" + country + "\"");
    Say("chooses the country " + country);
    Picture("main-delivery");
    PressNext("Main page Next");

    ExpectPage(IDD_INSTALLATION_TYPE, 30000, "Installation-type page");
    page = CurrentPage();
    SendMessageA(GetDlgItem(page, IDC_TYPE_INSTALL), BM_CLICK, 0, 0);
    Say("chooses \"" + inspector::ControlText(page, IDC_TYPE_INSTALL) + "\"");
    Picture("installation-type");
    PressNext("Installation-type page Next");
    Answer(IDYES, 30000, "the board's switch and link");
    Say("waits while the loader prepares the boot folder, serves the delivery and starts the services");
    const double asked = Elapsed();

    ExpectPage(IDD_INSTALL, 120000, "Install page");
    char prepared[96];
    std::snprintf(prepared, sizeof prepared, "sees that the loader prepared the board's road in %.1f s", Elapsed() - asked);
    Say(prepared);
    page = CurrentPage();
    Picture("install");

    // The board's installation, as the page shows it, to its end.
    size_t shownLines = 0;
    int lastQuarter = -1;
    bool copyPictured = false;
    const bool finished = WaitFor(boardWaitMs, "installation", [&] {
        ShowNewLog(page, shownLines);
        const std::pair<int, int> range = inspector::ProgressRange(page, IDC_COPY_BAR);
        const int position = inspector::ProgressPos(page, IDC_COPY_BAR);
        if (range.second > range.first) {
            const int quarter = (position - range.first) * 4 / (range.second - range.first);
            if (quarter != lastQuarter && position > range.first) {
                lastQuarter = quarter;
                char text[96];
                std::snprintf(text, sizeof text, "sees the copy bar at %d of %d", position, range.second);
                Say(text);
                if (!copyPictured) {
                    copyPictured = true;
                    Picture("install-copying");
                }
            }
        }
        return inspector::IsControlVisible(page, IDC_INSTALL_END) &&
               IsWindowEnabled(GetDlgItem(g_sheet, kNextButton)) != FALSE;
    });
    ShowNewLog(page, shownLines);
    if (!finished) Fail("installation", "the board did not finish within the wait");
    Say("reads \"" + inspector::ControlText(page, IDC_INSTALL_END) + "\"");
    Picture("install-done");
    PressNext("Install page Next");
    ExpectPage(IDD_MAIN_PAGE, 30000, "back to the Main page");
    Picture("main-next-board");

    Say("closes Tavi.exe");
    PostMessageA(g_main, WM_CLOSE, 0, 0);
    const DWORD start = GetTickCount();
    while (IsWindow(g_main) && GetTickCount() - start < 30000) {
        if (HWND box = inspector::WaitForMessageBox(g_pid, 0)) {
            Say("is asked \"" + inspector::MessageBoxText(box) + "\" and answers No");
            inspector::PressButton(box, IDNO);
            inspector::WaitForWindowGone(box, 5000);
        }
        Sleep(kPoll);
    }
    if (IsWindow(g_main)) Fail("close", "Tavi.exe did not close");
    return 0;
}
