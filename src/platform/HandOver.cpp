#include "platform/HandOver.h"

#ifdef QVT_THREAD_SANITIZER

#include <QCoreApplication>
#include <QThreadPool>
#include <QtCore/qnamespace.h>

#include <atomic>
#include <latch>
#include <memory>


namespace qvt {

std::mutex& HandOverMutex()
{
    static std::mutex mutex;
    return mutex;
}

namespace {

// QImage and QPainter split big conversions and fills over Qt's global thread
// pool and wait for the parts on a QSemaphore. Those threads run only Qt's code
// (none of ours runs on a QThread), and they take and hand back their work
// through Qt's futex-based locks, which the sanitizer cannot see: every buffer
// crossing to them would read as a race. So each pool thread is kept for the
// program's life and records nothing until it ends; what the window thread
// does is still seen.
std::mutex poolGateMutex;
std::shared_ptr<std::latch> poolGate;

template <void (*Step)()>
void OnEveryPoolThread()
{
    QThreadPool* pool = QThreadPool::globalInstance();
    const int threads = pool->maxThreadCount();
    // Every task waits for all of them, so each lands on a thread of its own.
    // The gate is taken under a lock of ours, since the task itself reaches
    // the thread through Qt's queue.
    {
        const std::lock_guard lock(poolGateMutex);
        poolGate = std::make_shared<std::latch>(threads + 1);
    }
    for (int i = 0; i < threads; ++i)
        pool->start([] {
            std::shared_ptr<std::latch> gate;
            {
                const std::lock_guard lock(poolGateMutex);
                gate = poolGate;
            }
            Step();
            gate->arrive_and_wait();
        });
    std::shared_ptr<std::latch> gate;
    {
        const std::lock_guard lock(poolGateMutex);
        gate = poolGate;
    }
    gate->arrive_and_wait();
}

// Ends a pool thread's ignores as the thread ends, after Qt's own last
// bookkeeping on it: a thread must not finish while ignored.
struct EndIgnoresAtThreadExit {
    ~EndIgnoresAtThreadExit() { __tsan_ignore_thread_end(); }
};

void QuietThisPoolThread()
{
    // Once per thread: the ignores count, and the exit ends them once.
    static thread_local bool quiet = false;
    if (quiet)
        return;
    quiet = true;
    __tsan_ignore_thread_begin();
    static thread_local EndIgnoresAtThreadExit atExit;
    (void)atExit;
}

void QuietQtThreadPool()
{
    QThreadPool::globalInstance()->setExpiryTimeout(-1);
    OnEveryPoolThread<QuietThisPoolThread>();
}

// Runs at the start of every QCoreApplication::notify, before the application's
// event filters: waits for a post still inside Qt's queue call, and tells the
// sanitizer that everything posted so far happened before this delivery. The
// first event of an application also quiets the pool, before anything paints.
bool PassHandOver(void**)
{
    static std::atomic<const void*> quietFor{nullptr};
    const void* app = QCoreApplication::instance();
    if (app != nullptr && quietFor.exchange(app) != app)
        QuietQtThreadPool();
    const std::lock_guard lock(HandOverMutex());
    return false; // the event goes on as usual
}

const bool registered = QInternal::registerCallback(QInternal::EventNotifyCallback, PassHandOver);

} // namespace
} // namespace qvt

#endif
