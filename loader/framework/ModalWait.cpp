#include "framework/ModalWait.h"

int ModalWait::s_depth = 0;
HWND ModalWait::s_heldClose = nullptr;
bool ModalWait::s_closePending = false;

ModalWait::~ModalWait()
{
    if (--s_depth > 0 || !s_heldClose) return;
    PostMessageA(s_heldClose, WM_CLOSE, 0, 0);
    s_heldClose = nullptr;
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
