#pragma once
// A manual-reset event: once set it stays set (every waiter passes) until reset.
// Stands in for the named kernel events the controller driver and the worker
// threads share; usable from any thread.

#include <condition_variable>
#include <mutex>

namespace qvt {

class ManualResetEvent {
public:
    explicit ManualResetEvent(bool initiallySet = false) : set_(initiallySet) {}
    ManualResetEvent(const ManualResetEvent&) = delete;
    ManualResetEvent& operator=(const ManualResetEvent&) = delete;

    void Set();
    void Reset();
    bool IsSet() const;
    // Waits until the event is set; a negative time-out waits forever.
    // Returns true when the event was set, false on time-out.
    bool Wait(int timeoutMs = -1) const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool set_;
};

} // namespace qvt
