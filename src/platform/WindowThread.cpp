#include "platform/WindowThread.h"

#include "platform/HandOver.h"
#include "platform/WorkerThread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <future>
#include <memory>

namespace qvt {

bool IsWindowThread()
{
    auto* app = QCoreApplication::instance();
    return app != nullptr && QThread::currentThread() == app->thread();
}

void PostToWindowThread(std::function<void()> fn)
{
    auto* app = QCoreApplication::instance();
    if (app == nullptr)
        return;
    HandOverPost([&] { QMetaObject::invokeMethod(app, std::move(fn), Qt::QueuedConnection); });
}

bool SendToWindowThread(const std::function<void()>& fn, const std::function<bool()>& cancelled)
{
    if (IsWindowThread()) {
        fn();
        return true;
    }
    auto* app = QCoreApplication::instance();
    if (app == nullptr)
        return false;
    // The state outlives a sender that gave up: the queued call may still run
    // later. A call the window thread has begun is waited for, since it may
    // use what the sender's stack holds; only one not yet begun is given up.
    enum : int { Pending, Running, Abandoned };
    struct State {
        std::promise<void> done;
        std::atomic<int> phase{Pending};
        std::function<void()> fn;
    };
    auto state = std::make_shared<State>();
    state->fn = fn;
    auto future = state->done.get_future();
    HandOverPost([&] {
        QMetaObject::invokeMethod(
            app,
            [state] {
                int expected = Pending;
                if (state->phase.compare_exchange_strong(expected, Running))
                    state->fn();
                state->done.set_value();
            },
            Qt::QueuedConnection);
    });
    // A worker that is being stopped gives up even when its caller gave no
    // predicate: the window thread may be the one waiting to join it.
    const WorkerThread* worker = CurrentWorkerThread();
    while (future.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
        if ((cancelled && cancelled()) || (worker != nullptr && worker->Terminated())) {
            int expected = Pending;
            if (state->phase.compare_exchange_strong(expected, Abandoned))
                return false;
        }
    }
    return true;
}

} // namespace qvt
