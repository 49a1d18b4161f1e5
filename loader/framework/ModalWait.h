// A wait during which the thread's messages run: a message box, a modal dialog, a local message loop. A
// close of the main window asked for during any wait is held back until the outermost one has ended, so
// no window, document or page goes away under a handler that is still waiting; until the close is carried
// out, a new wait (a message box) returns at once.
#pragma once

#include <windows.h>

#include <vector>

class ModalWait {
public:
    ModalWait() { ++s_depth; }
    ModalWait(const ModalWait &) = delete;
    ModalWait &operator=(const ModalWait &) = delete;
    // The outermost wait sends the held-back close again.
    ~ModalWait();

    static bool Active() { return s_depth > 0; }
    static void HoldClose(HWND window);
    // A close was asked for and not yet carried out: the program is ending, nobody should be asked more.
    static bool ClosePending() { return s_closePending; }
    // The window closes now (or is gone): nothing is held for it any more.
    static void CloseCarriedOut(HWND window);
    // A message that must not run inside a wait but must not be lost either: posted again once the
    // outermost wait is over.
    static void HoldMessage(HWND window, UINT message, WPARAM wp, LPARAM lp);

private:
    static int s_depth;
    static HWND s_heldClose;
    static bool s_closePending;
    static std::vector<MSG> s_held;
};
