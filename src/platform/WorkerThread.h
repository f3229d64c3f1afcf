#pragma once
// A long-lived worker thread that is created suspended, suspends itself when
// it has nothing to do and is resumed by others. A resume that arrives while
// the thread is still running is kept, so the thread's next self-suspend
// returns at once: a wake-up can never be lost.

#include "platform/ThreadPriority.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace qvt {

class WorkerThread {
public:
    // `body` is the thread's whole run; it loops until Terminated() and calls
    // SuspendSelf() where it waits for work. It starts only at the first Resume().
    explicit WorkerThread(std::function<void(WorkerThread&)> body, ThreadPriority priority = ThreadPriority::Normal);
    virtual ~WorkerThread(); // terminates and joins
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    void Resume();
    // Called by the thread itself: parks until resumed or terminated. Returns
    // false when the thread is to end.
    bool SuspendSelf();
    // True while the thread is parked (or has not yet been started).
    bool Suspended() const { return suspended_.load(); }
    bool Terminated() const { return terminated_.load(); }
    // Asks the thread to end and wakes it; Join() waits for it.
    void Terminate();
    void Join();
    // Waits until the thread is parked; false on time-out.
    bool WaitSuspended(int timeoutMs) const;
    // The priority asked for (taken by the thread when it starts), and the
    // nice value the thread runs at (the process's before it has started).
    ThreadPriority Priority() const { return priority_; }
    int Nice() const { return nice_.load(); }

private:
    void Run();

    std::function<void(WorkerThread&)> body_;
    const ThreadPriority priority_;
    std::atomic<int> nice_;
    mutable std::mutex mutex_;
    mutable std::condition_variable wake_;
    mutable std::condition_variable parked_;
    bool resumePending_ = false;
    bool started_ = false;
    std::atomic<bool> suspended_{true};
    std::atomic<bool> terminated_{false};
    std::thread thread_;
};

// The WorkerThread whose body runs on the calling thread, or null.
const WorkerThread* CurrentWorkerThread();

} // namespace qvt
