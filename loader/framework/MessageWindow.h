// A hidden message-only window whose messages go to a handler: the socket's receive notifications and
// the timer's ticks arrive on the program's one thread through it.
#pragma once

#include <windows.h>

#include <functional>

class CMessageWindow {
public:
    using Handler = std::function<void(UINT message, WPARAM wParam, LPARAM lParam)>;

    CMessageWindow() = default;
    ~CMessageWindow();
    CMessageWindow(const CMessageWindow &) = delete;
    CMessageWindow &operator=(const CMessageWindow &) = delete;

    bool Create(Handler handler);
    void Destroy();
    HWND Handle() const { return window_; }

private:
    HWND window_ = nullptr;
    Handler handler_;

    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
};
