// CTimer: a periodic timer whose ticks run a handler on the program's one thread.
#pragma once

#include "framework/MessageWindow.h"

#include <functional>

class CTimer {
public:
    bool Start(unsigned milliseconds, std::function<void()> onTick);
    void Stop();

private:
    CMessageWindow window_;
    std::function<void()> onTick_;
};
