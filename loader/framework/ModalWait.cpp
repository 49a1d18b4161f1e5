#include "framework/ModalWait.h"

int ModalWait::s_depth = 0;
HWND ModalWait::s_heldClose = nullptr;
bool ModalWait::s_closePending = false;
std::vector<MSG> ModalWait::s_held;

ModalWait::~ModalWait()
{
    if (--s_depth > 0) return;
    if (s_heldClose) PostMessageA(s_heldClose, WM_CLOSE, 0, 0);
    s_heldClose = nullptr;
    std::vector<MSG> held;
    held.swap(s_held);
    for (const MSG &msg : held) PostMessageA(msg.hwnd, msg.message, msg.wParam, msg.lParam);
}

void ModalWait::HoldMessage(HWND window, UINT message, WPARAM wp, LPARAM lp)
{
    MSG msg = {};
    msg.hwnd = window;
    msg.message = message;
    msg.wParam = wp;
    msg.lParam = lp;
    s_held.push_back(msg);
}

void ModalWait::HoldClose(HWND window)
{
    s_heldClose = window;
    s_closePending = true;
}

void ModalWait::CloseCarriedOut(HWND window)
{
    if (s_heldClose == window) s_heldClose = nullptr;
    s_closePending = false;
}
