#pragma once
// Posted and sent messages from worker threads into the window thread: a
// posted message is a queued call that returns at once; a sent message blocks
// the sender until the window thread has run it (and runs it directly when the
// sender already is the window thread).

#include <functional>

namespace qvt {

// The message numbers the worker threads and a second instance use.
enum WindowMessage : int {
    WM_USER = 0x0400,
    WM_RESTORE_INSTANCE = WM_USER + 0,
    WM_RANGE_CLAMPED = WM_USER + 1,
    WM_SCAN_DONE = WM_USER + 2,
    WM_SCAN_STOPPED = WM_USER + 3,
    WM_UPDATE_DISPLAY = WM_USER + 4,
    WM_SET_PIXELS = WM_USER + 5,
    WM_FAST_SCAN_DONE = WM_USER + 6,
    WM_FAST_SCAN_FRAME = WM_USER + 7,
};

bool IsWindowThread();
// Queues `fn` to run in the window thread.
void PostToWindowThread(std::function<void()> fn);
// Runs `fn` in the window thread and waits for it to finish. Returns false
// without running it when `cancelled` turns true first (checked every 50 ms),
// so a worker being shut down cannot wait forever on a window thread that is
// itself waiting to join that worker. A WorkerThread that has been asked to
// terminate gives up the same way without a predicate.
bool SendToWindowThread(const std::function<void()>& fn, const std::function<bool()>& cancelled = {});

} // namespace qvt
