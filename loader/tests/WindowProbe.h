// A small inspector for GUI tests: finds the loader's windows and message boxes (in this process or
// another), reads their texts and control states, presses buttons and takes screenshots.
#pragma once

#include <windows.h>

#include <string>
#include <utility>

namespace inspector {

// A visible top-level window of the class and/or title (null: any) in process `pid` (0: any), waited for.
HWND WaitForWindow(const char *windowClass, const char *title, DWORD pid, DWORD timeoutMs);
// A visible dialog box (message boxes included) of process `pid`, other than `except`, waited for.
HWND WaitForDialog(DWORD pid, DWORD timeoutMs, HWND except = nullptr);
// A visible message box of process `pid`, waited for.
HWND WaitForMessageBox(DWORD pid, DWORD timeoutMs);
// Waits until the window is gone.
bool WaitForWindowGone(HWND wnd, DWORD timeoutMs);

std::string Text(HWND wnd);
std::string ControlText(HWND parent, int id);
// The message of a message box.
std::string MessageBoxText(HWND box);
bool IsControlEnabled(HWND parent, int id);
bool IsControlVisible(HWND parent, int id);
// A progress bar's range (low, high) and position.
std::pair<int, int> ProgressRange(HWND parent, int id);
int ProgressPos(HWND parent, int id);
// Presses a button as a click would, without waiting for the handler.
void PressButton(HWND dialog, int id);

// Writes a picture of the window (null: the whole screen) to a 24-bit BMP file.
bool SaveScreenshot(const std::string &path, HWND window = nullptr);

}  // namespace inspector
