// tavi_probe: drives and reads the running Tavi.exe's wizard from outside, as a technician would, one
// command per run, for the road test. Prints what it reads; exits non-zero when it cannot.
//
//   tavi_probe wait                    the main window exists and its message loop runs
//   tavi_probe page                    the active page's dialog id (107, 139, 140, 141, 142, 144)
//   tavi_probe waitpage ID             waits until that page is active
//   tavi_probe set ID TEXT | select ID TEXT | click ID | activate INDEX
//   tavi_probe press next|back|cancel  presses a wizard button (without waiting for its handler)
//   tavi_probe answer BUTTON           waits for a message box, prints its text, presses the button
//   tavi_probe bar ID                  "low high position" of a progress bar of the active page
//   tavi_probe enabled ID              1 when the sheet's button is enabled
//   tavi_probe text ID                 the text of a control of the active page
//   tavi_probe boxes                   waits for a message box, then prints how many are open
//   tavi_probe screenshot PATH         a picture of the main window
#include "WindowProbe.h"

#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr DWORD kWaitMillis = 20000;
// A control only the page of that id has.
const std::pair<int, int> kPageMarks[] = {{1029, 107}, {1039, 139}, {1060, 140}, {1061, 141}, {1042, 142}, {1055, 144}};

HWND Main() { return inspector::WaitForWindow("TaviApp", nullptr, 0, kWaitMillis); }

HWND Sheet(HWND main)
{
    HWND view = GetDlgItem(main, 59648);
    return view ? GetWindow(view, GW_CHILD) : nullptr;
}

void Idle(HWND main)
{
    DWORD_PTR result = 0;
    SendMessageTimeoutA(main, WM_NULL, 0, 0, SMTO_NORMAL, kWaitMillis, &result);
}

int PageId(HWND sheet)
{
    HWND page = reinterpret_cast<HWND>(SendMessageA(sheet, PSM_GETCURRENTPAGEHWND, 0, 0));
    for (const auto &[control, id] : kPageMarks)
        if (page && GetDlgItem(page, control)) return id;
    return 0;
}

HWND Page(HWND sheet) { return reinterpret_cast<HWND>(SendMessageA(sheet, PSM_GETCURRENTPAGEHWND, 0, 0)); }

BOOL CALLBACK CountBox(HWND wnd, LPARAM lp)
{
    auto *count = reinterpret_cast<std::pair<DWORD, int> *>(lp);
    DWORD pid = 0;
    GetWindowThreadProcessId(wnd, &pid);
    char windowClass[16] = {};
    GetClassNameA(wnd, windowClass, sizeof windowClass);
    if (pid == count->first && IsWindowVisible(wnd) && lstrcmpA(windowClass, "#32770") == 0 && GetDlgItem(wnd, 0xFFFF))
        ++count->second;
    return TRUE;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) return 2;
    const std::string command = argv[1];
    const std::string a = argc > 2 ? argv[2] : "", b = argc > 3 ? argv[3] : "";
    HWND main = Main();
    if (!main) {
        std::fprintf(stderr, "tavi_probe: no main window\n");
        return 1;
    }
    Idle(main);
    HWND sheet = Sheet(main);
    if (command == "wait") return sheet ? 0 : 1;
    if (!sheet) return 1;
    if (command == "page") {
        std::printf("%d\n", PageId(sheet));
    } else if (command == "waitpage") {
        const DWORD start = GetTickCount();
        while (PageId(sheet) != std::atoi(a.c_str())) {
            if (GetTickCount() - start > kWaitMillis) {
                std::printf("%d\n", PageId(sheet));
                return 1;
            }
            Sleep(50);
        }
    } else if (command == "set") {
        SendMessageA(GetDlgItem(Page(sheet), std::atoi(a.c_str())), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(b.c_str()));
    } else if (command == "select") {
        SendMessageA(GetDlgItem(Page(sheet), std::atoi(a.c_str())), CB_SELECTSTRING, static_cast<WPARAM>(-1),
                     reinterpret_cast<LPARAM>(b.c_str()));
    } else if (command == "click") {
        SendMessageA(GetDlgItem(Page(sheet), std::atoi(a.c_str())), BM_CLICK, 0, 0);
    } else if (command == "activate") {
        SendMessageA(sheet, PSM_SETCURSEL, static_cast<WPARAM>(std::atoi(a.c_str())), 0);
    } else if (command == "press") {
        const int button = a == "back" ? PSBTN_BACK : a == "cancel" ? PSBTN_CANCEL : PSBTN_NEXT;
        PostMessageA(sheet, PSM_PRESSBUTTON, static_cast<WPARAM>(button), 0);
    } else if (command == "answer") {
        DWORD pid = 0;
        GetWindowThreadProcessId(main, &pid);
        HWND box = inspector::WaitForMessageBox(pid, kWaitMillis);
        if (!box) return 1;
        std::printf("%s\n", inspector::MessageBoxText(box).c_str());
        inspector::PressButton(box, std::atoi(a.c_str()));
        inspector::WaitForWindowGone(box, kWaitMillis);
    } else if (command == "bar") {
        const auto range = inspector::ProgressRange(Page(sheet), std::atoi(a.c_str()));
        std::printf("%d %d %d\n", range.first, range.second, inspector::ProgressPos(Page(sheet), std::atoi(a.c_str())));
    } else if (command == "enabled") {
        std::printf("%d\n", inspector::IsControlEnabled(sheet, std::atoi(a.c_str())) ? 1 : 0);
    } else if (command == "text") {
        std::printf("%s\n", inspector::ControlText(Page(sheet), std::atoi(a.c_str())).c_str());
    } else if (command == "boxes") {
        std::pair<DWORD, int> count{0, 0};
        GetWindowThreadProcessId(main, &count.first);
        if (!inspector::WaitForMessageBox(count.first, kWaitMillis)) return 1;
        EnumWindows(CountBox, reinterpret_cast<LPARAM>(&count));
        std::printf("%d\n", count.second);
    } else if (command == "screenshot") {
        return inspector::SaveScreenshot(a, main) ? 0 : 1;
    } else {
        return 2;
    }
    std::fflush(stdout);
    return 0;
}
