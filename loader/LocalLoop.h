// A local message loop step: dispatches the thread's waiting messages. A quit message ends the wait; it is
// posted again when the loop object goes, so the program still ends once the waiting caller returns. A
// close of the main window asked for while any local loop runs waits until the outermost one has ended, so
// no window, document or page goes away under a caller that is still waiting.
#pragma once

#include <windows.h>

#include <functional>

class LocalLoop {
public:
    LocalLoop() { ++s_depth; }
    LocalLoop(const LocalLoop &) = delete;
    LocalLoop &operator=(const LocalLoop &) = delete;
    ~LocalLoop();

    // Dispatches every waiting message; false when a quit message was taken from the queue. A message that
    // `take` accepts is not dispatched, and the round ends with it.
    bool Pump(const std::function<bool(const MSG &)> &take = {});

    // Whether a local loop runs now.
    static bool Active() { return s_depth > 0; }
    // The window is sent WM_CLOSE again once the outermost loop has ended.
    static void DeferClose(HWND window) { s_deferredClose = window; }

private:
    static int s_depth;
    static HWND s_deferredClose;
    bool m_quitSeen = false;
    WPARAM m_exitCode = 0;
};
