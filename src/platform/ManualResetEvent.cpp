#include "platform/ManualResetEvent.h"

#include <chrono>

namespace qvt {

void ManualResetEvent::Set()
{
    {
        std::lock_guard lock(mutex_);
        set_ = true;
    }
    changed_.notify_all();
}

void ManualResetEvent::Reset()
{
    std::lock_guard lock(mutex_);
    set_ = false;
}

bool ManualResetEvent::IsSet() const
{
    std::lock_guard lock(mutex_);
    return set_;
}

bool ManualResetEvent::Wait(int timeoutMs) const
{
    std::unique_lock lock(mutex_);
    if (timeoutMs < 0) {
        changed_.wait(lock, [this] { return set_; });
        return true;
    }
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return set_; });
}

} // namespace qvt
