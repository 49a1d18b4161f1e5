#include "LocalLoop.h"

LocalLoop::~LocalLoop()
{
    if (m_quitSeen) PostQuitMessage(static_cast<int>(m_exitCode));
}

bool LocalLoop::Pump(const std::function<bool(const MSG &)> &take)
{
    MSG msg;
    bool quit = false;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            m_quitSeen = quit = true;
            m_exitCode = msg.wParam;
            break;
        }
        if (take && take(msg)) break;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return !quit;
}
