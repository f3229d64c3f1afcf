#pragma once
// A manual-reset event: once set it stays set (every waiter passes) until reset.
// Stands in for the named kernel events the controller driver and the worker
// threads share; usable from any thread.
//
// The driver side may also set the event at a time it already knows (the end
// of a move it has planned): the event then sets itself when that time comes,
// and a waiter sleeps until then, so no thread has to wake just to set it.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

namespace qvt {

class ManualResetEvent {
public:
    using Clock = std::chrono::steady_clock;

    explicit ManualResetEvent(bool initiallySet = false) : set_(initiallySet) {}
    ManualResetEvent(const ManualResetEvent&) = delete;
    ManualResetEvent& operator=(const ManualResetEvent&) = delete;

    // Sets the event now; a set still due later is dropped (this one stands for it).
    void Set();
    // Clears the event. A set due later still comes, as a signal already on
    // its way does: only the state up to now is cleared.
    void Reset();
    // The event sets itself at `when` (at once when that has passed). A later
    // call replaces a set still due; Set() drops it.
    void SetAt(Clock::time_point when);
    bool IsSet() const;
    // Waits until the event is set; a negative time-out waits forever.
    // Returns true when the event was set, false on time-out.
    bool Wait(int timeoutMs = -1) const;

private:
    // Turns a set that has come due into the set state.
    void SettleLocked(Clock::time_point now) const;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    mutable bool set_;
    mutable std::optional<Clock::time_point> due_;
};

} // namespace qvt
