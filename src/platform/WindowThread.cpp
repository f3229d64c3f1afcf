#include "platform/WindowThread.h"

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
    QMetaObject::invokeMethod(app, std::move(fn), Qt::QueuedConnection);
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
    // The state outlives a sender that gave up: the queued call may still run later.
    struct State {
        std::promise<void> done;
        std::atomic<bool> abandoned{false};
        std::function<void()> fn;
    };
    auto state = std::make_shared<State>();
    state->fn = fn;
    auto future = state->done.get_future();
    QMetaObject::invokeMethod(
        app,
        [state] {
            if (!state->abandoned.load())
                state->fn();
            state->done.set_value();
        },
        Qt::QueuedConnection);
    // A worker that is being stopped gives up even when its caller gave no
    // predicate: the window thread may be the one waiting to join it.
    const WorkerThread* worker = CurrentWorkerThread();
    while (future.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
        if ((cancelled && cancelled()) || (worker != nullptr && worker->Terminated())) {
            state->abandoned = true;
            return false;
        }
    }
    return true;
}

} // namespace qvt
