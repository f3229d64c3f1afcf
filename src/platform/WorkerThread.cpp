#include "platform/WorkerThread.h"

#include <chrono>

namespace qvt {

namespace {
thread_local const WorkerThread* currentWorker = nullptr;
}

const WorkerThread* CurrentWorkerThread() { return currentWorker; }

WorkerThread::WorkerThread(std::function<void(WorkerThread&)> body, ThreadPriority priority)
    : body_(std::move(body)), priority_(priority), nice_(ProcessNice())
{
}

WorkerThread::~WorkerThread()
{
    Terminate();
    Join();
}

void WorkerThread::Resume()
{
    std::lock_guard lock(mutex_);
    if (terminated_.load())
        return;
    if (!started_) {
        started_ = true;
        suspended_ = false;
        thread_ = std::thread([this] { Run(); });
        return;
    }
    resumePending_ = true;
    suspended_ = false; // from now until the thread parks again
    wake_.notify_all();
}

bool WorkerThread::SuspendSelf()
{
    std::unique_lock lock(mutex_);
    if (!resumePending_ && !terminated_.load()) {
        suspended_ = true;
        parked_.notify_all();
    }
    wake_.wait(lock, [this] { return resumePending_ || terminated_.load(); });
    resumePending_ = false;
    suspended_ = false;
    return !terminated_.load();
}

void WorkerThread::Terminate()
{
    std::lock_guard lock(mutex_);
    terminated_ = true;
    wake_.notify_all();
}

void WorkerThread::Join()
{
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id())
        thread_.join();
}

bool WorkerThread::WaitSuspended(int timeoutMs) const
{
    std::unique_lock lock(mutex_);
    return parked_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return suspended_.load(); });
}

void WorkerThread::Run()
{
    currentWorker = this;
    SetCurrentThreadPriority(priority_);
    nice_ = CurrentThreadNice();
    if (!terminated_.load())
        body_(*this);
    std::lock_guard lock(mutex_);
    suspended_ = true;
    parked_.notify_all();
}

} // namespace qvt
