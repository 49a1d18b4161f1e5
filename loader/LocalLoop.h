// A local message loop step: dispatches the thread's waiting messages. A quit message ends the wait; it is
// posted again when the loop object goes, so the program still ends once the waiting caller returns. The
// loop is a wait like a message box: a close asked for meanwhile is held back (see ModalWait).
#pragma once

#include "framework/ModalWait.h"

#include <windows.h>

#include <functional>

class LocalLoop {
public:
    LocalLoop() = default;
    LocalLoop(const LocalLoop &) = delete;
    LocalLoop &operator=(const LocalLoop &) = delete;
    ~LocalLoop();

    // Dispatches every waiting message; false when a quit message was taken from the queue. A message that
    // `take` accepts is not dispatched, and the round ends with it.
    bool Pump(const std::function<bool(const MSG &)> &take = {});

private:
    ModalWait m_wait;
    bool m_quitSeen = false;
    WPARAM m_exitCode = 0;
};
