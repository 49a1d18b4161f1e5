#include "framework/MessageWindow.h"

namespace {

constexpr const char *kClassName = "TaviMessageWindow";

bool RegisterOnce(WNDPROC procedure)
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = procedure;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = kClassName;
    return RegisterClassA(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

}  // namespace

CMessageWindow::~CMessageWindow()
{
    Destroy();
}

bool CMessageWindow::Create(Handler handler)
{
    Destroy();
    static const bool registered = RegisterOnce(&CMessageWindow::WindowProc);
    if (!registered) return false;
    handler_ = std::move(handler);
    window_ = CreateWindowExA(0, kClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, GetModuleHandleA(nullptr), this);
    return window_ != nullptr;
}

void CMessageWindow::Destroy()
{
    if (window_ == nullptr) return;
    SetWindowLongPtrA(window_, GWLP_USERDATA, 0);
    DestroyWindow(window_);
    window_ = nullptr;
}

LRESULT CALLBACK CMessageWindow::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        auto *create = reinterpret_cast<CREATESTRUCTA *>(lParam);
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto *self = reinterpret_cast<CMessageWindow *>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (self != nullptr && (message == WM_TIMER || message >= WM_USER) && self->handler_) {
        self->handler_(message, wParam, lParam);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}
