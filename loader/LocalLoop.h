// A local message loop step: dispatches the thread's waiting messages. A quit message ends the wait; it is
// posted again when the loop object goes, so the program still ends once the waiting caller returns.
#pragma once

#include <windows.h>

class LocalLoop {
public:
    LocalLoop() = default;
    LocalLoop(const LocalLoop &) = delete;
    LocalLoop &operator=(const LocalLoop &) = delete;
    ~LocalLoop();

    // Dispatches every waiting message; false when a quit message was taken from the queue.
    bool Pump();

private:
    bool m_quitSeen = false;
    WPARAM m_exitCode = 0;
};
