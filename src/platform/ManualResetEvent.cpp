#include "platform/ManualResetEvent.h"

namespace qvt {

void ManualResetEvent::SettleLocked(Clock::time_point now) const
{
    if (due_ && *due_ <= now) {
        set_ = true;
        due_.reset();
    }
}

void ManualResetEvent::Set()
{
    {
        std::lock_guard lock(mutex_);
        set_ = true;
        due_.reset();
    }
    changed_.notify_all();
}

void ManualResetEvent::Reset()
{
    std::lock_guard lock(mutex_);
    SettleLocked(Clock::now());
    set_ = false;
}

// A due time of Clock::time_point::max() never comes: it withdraws a set still due.
void ManualResetEvent::SetAt(Clock::time_point when)
{
    {
        std::lock_guard lock(mutex_);
        const auto now = Clock::now();
        SettleLocked(now); // a set that came already stays
        due_ = when;
        SettleLocked(now);
    }
    // A waiter already asleep takes the new time into account.
    changed_.notify_all();
}

bool ManualResetEvent::IsSet() const
{
    std::lock_guard lock(mutex_);
    SettleLocked(Clock::now());
    return set_;
}

bool ManualResetEvent::Wait(int timeoutMs) const
{
    std::unique_lock lock(mutex_);
    const auto deadline = timeoutMs < 0 ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto now = Clock::now();
        SettleLocked(now);
        if (set_)
            return true;
        if (now >= deadline)
            return false;
        const auto until = due_ ? std::min(*due_, deadline) : deadline;
        if (until == Clock::time_point::max())
            changed_.wait(lock);
        else
            changed_.wait_until(lock, until);
    }
}

} // namespace qvt
