#include "framework/Timer.h"

namespace {

constexpr UINT_PTR kTimerId = 1;

}  // namespace

bool CTimer::Start(unsigned milliseconds, std::function<void()> onTick)
{
    Stop();
    onTick_ = std::move(onTick);
    if (!window_.Create([this](UINT message, WPARAM, LPARAM) {
            if (message == WM_TIMER && onTick_) onTick_();
        }))
        return false;
    if (SetTimer(window_.Handle(), kTimerId, milliseconds, nullptr) == 0) {
        window_.Destroy();
        return false;
    }
    return true;
}

void CTimer::Stop()
{
    if (window_.Handle() != nullptr) KillTimer(window_.Handle(), kTimerId);
    window_.Destroy();
}
