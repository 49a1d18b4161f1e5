#include "WindowProbe.h"

#include <commctrl.h>

#include <vector>

namespace inspector {
namespace {

constexpr DWORD kPollMillis = 20;
constexpr int kMessageBoxTextId = 0xFFFF;

struct Search {
    const char *windowClass;
    const char *title;
    DWORD pid;
    HWND except;
    HWND found;
    bool messageBox;
};

BOOL CALLBACK MatchWindow(HWND wnd, LPARAM lp)
{
    auto *search = reinterpret_cast<Search *>(lp);
    if (!IsWindowVisible(wnd) || wnd == search->except) return TRUE;
    DWORD pid = 0;
    GetWindowThreadProcessId(wnd, &pid);
    if (search->pid && pid != search->pid) return TRUE;
    char text[512];
    if (search->windowClass) {
        GetClassNameA(wnd, text, sizeof text);
        if (lstrcmpA(text, search->windowClass) != 0) return TRUE;
    }
    if (search->title) {
        GetWindowTextA(wnd, text, sizeof text);
        if (lstrcmpA(text, search->title) != 0) return TRUE;
    }
    if (search->messageBox && !GetDlgItem(wnd, kMessageBoxTextId)) return TRUE;
    search->found = wnd;
    return FALSE;
}

HWND Poll(Search search, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    do {
        search.found = nullptr;
        EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
        if (search.found) return search.found;
        Sleep(kPollMillis);
    } while (GetTickCount() - start < timeoutMs);
    return nullptr;
}

}  // namespace

HWND WaitForWindow(const char *windowClass, const char *title, DWORD pid, DWORD timeoutMs)
{
    return Poll({windowClass, title, pid, nullptr, nullptr, false}, timeoutMs);
}

HWND WaitForDialog(DWORD pid, DWORD timeoutMs, HWND except)
{
    return Poll({"#32770", nullptr, pid, except, nullptr, false}, timeoutMs);
}

HWND WaitForMessageBox(DWORD pid, DWORD timeoutMs) { return Poll({"#32770", nullptr, pid, nullptr, nullptr, true}, timeoutMs); }

bool WaitForWindowGone(HWND wnd, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    while (IsWindow(wnd)) {
        if (GetTickCount() - start >= timeoutMs) return false;
        Sleep(kPollMillis);
    }
    return true;
}

std::string Text(HWND wnd)
{
    const LRESULT length = SendMessageA(wnd, WM_GETTEXTLENGTH, 0, 0);
    std::string text(static_cast<size_t>(length) + 1, '\0');
    SendMessageA(wnd, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]));
    return text.c_str();
}

std::string ControlText(HWND parent, int id) { return Text(GetDlgItem(parent, id)); }

std::string MessageBoxText(HWND box) { return ControlText(box, kMessageBoxTextId); }

bool IsControlEnabled(HWND parent, int id) { return IsWindowEnabled(GetDlgItem(parent, id)) != FALSE; }

bool IsControlVisible(HWND parent, int id) { return IsWindowVisible(GetDlgItem(parent, id)) != FALSE; }

std::pair<int, int> ProgressRange(HWND parent, int id)
{
    HWND bar = GetDlgItem(parent, id);
    return {static_cast<int>(SendMessageA(bar, PBM_GETRANGE, TRUE, 0)),
            static_cast<int>(SendMessageA(bar, PBM_GETRANGE, FALSE, 0))};
}

int ProgressPos(HWND parent, int id) { return static_cast<int>(SendMessageA(GetDlgItem(parent, id), PBM_GETPOS, 0, 0)); }

void PressButton(HWND dialog, int id)
{
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

bool SaveScreenshot(const std::string &path, HWND window)
{
    RECT area = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    if (window && !GetWindowRect(window, &area)) return false;
    const int width = area.right - area.left;
    const int height = area.bottom - area.top;
    // A window's own device context holds that window's pixels only, whatever lies over it on the display.
    HDC screen = window ? GetWindowDC(window) : GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY);
    SelectObject(memory, old);

    BITMAPINFOHEADER info = {};
    info.biSize = sizeof info;
    info.biWidth = width;
    info.biHeight = height;
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    const DWORD rowBytes = ((static_cast<DWORD>(width) * 3 + 3) & ~3u);
    std::vector<char> pixels(rowBytes * static_cast<DWORD>(height));
    GetDIBits(memory, bitmap, 0, static_cast<UINT>(height), pixels.data(), reinterpret_cast<BITMAPINFO *>(&info),
              DIB_RGB_COLORS);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(window, screen);

    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info;
    file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
    HANDLE out = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = WriteFile(out, &file, sizeof file, &written, nullptr) && WriteFile(out, &info, sizeof info, &written, nullptr) &&
              WriteFile(out, pixels.data(), static_cast<DWORD>(pixels.size()), &written, nullptr);
    CloseHandle(out);
    return ok;
}

}  // namespace inspector
