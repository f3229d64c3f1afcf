#include "scan/ShowThread.h"

#include "core/PerfCounter.h"
#include "platform/HandOver.h"

#include <QMetaObject>

#include <algorithm>
#include <chrono>
#include <thread>

namespace qvt {

bool ShouldRepaint(int pixels, double speed, int line, int64_t lineTime, int64_t perfFrequency)
{
    if (pixels < speed / 2.0)
        return false;
    const int k = std::min(line, pixels - line);
    return static_cast<double>(lineTime) * k >= 0.1 * static_cast<double>(perfFrequency);
}

TShowThread::TShowThread(TScanParams& params, QObject* parent)
    : QObject(parent), params_(params), worker_([this](WorkerThread& thread) { Execute(thread); })
{
}

TShowThread::~TShowThread()
{
    Terminate();
}

void TShowThread::Resume()
{
    worker_.Resume();
}

void TShowThread::Terminate()
{
    worker_.Terminate();
    worker_.Join();
}

bool TShowThread::Hold(int timeoutMs)
{
    // A pass only posts and never waits for the window thread, so a plain
    // timed wait parks it from any thread without delivering events.
    HoldSuspended = true;
    return worker_.WaitSuspended(timeoutMs);
}

void TShowThread::Release()
{
    HoldSuspended = false;
}

void TShowThread::Execute(WorkerThread& thread)
{
    do {
        if (!HoldSuspended.load())
            Pass();
    } while (thread.SuspendSelf());
}

void TShowThread::Pass()
{
    if (RedrawAll.exchange(false)) {
        Post("DeliverRedrawAll");
        return;
    }
    if (ShouldRepaint(params_.Pixels.load(), params_.Speed.load(), Line.load(), params_.LineTime.load(),
                      PerfFrequency())) {
        Post("DeliverNewLines");
        // Leaves the window thread time to paint before the next pass can post again.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void TShowThread::Post(const char* slot)
{
    // By name and without arguments, so the window thread reads nothing the
    // worker wrote; queued to this object, so a call still pending when it is
    // destroyed is dropped with it.
    HandOverPost([&] { QMetaObject::invokeMethod(this, slot, Qt::QueuedConnection); });
}

void TShowThread::DeliverRedrawAll()
{
    emit refreshAll();
    emit updateDisplay(false);
}

void TShowThread::DeliverNewLines()
{
    emit updateDisplay(true);
}

} // namespace qvt
