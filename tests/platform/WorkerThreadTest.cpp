#include "platform/WorkerThread.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

using qvt::WorkerThread;

TEST(WorkerThread, StartsSuspendedAndRunsOnePassPerResume)
{
    std::atomic<int> passes{0};
    WorkerThread worker([&](WorkerThread& self) {
        do {
            ++passes;
        } while (self.SuspendSelf());
    });
    EXPECT_TRUE(worker.Suspended());
    EXPECT_EQ(passes.load(), 0);

    worker.Resume();
    ASSERT_TRUE(worker.WaitSuspended(2000));
    EXPECT_EQ(passes.load(), 1);
    worker.Resume();
    ASSERT_TRUE(worker.WaitSuspended(2000));
    EXPECT_EQ(passes.load(), 2);
}

TEST(WorkerThread, ResumeWhileRunningIsNotLost)
{
    std::atomic<bool> release{false};
    std::atomic<int> passes{0};
    WorkerThread worker([&](WorkerThread& self) {
        do {
            ++passes;
            while (!release.load() && passes.load() == 1)
                std::this_thread::yield();
        } while (self.SuspendSelf());
    });
    worker.Resume();
    while (passes.load() == 0)
        std::this_thread::yield();
    worker.Resume(); // arrives while the first pass still runs
    release = true;
    for (int i = 0; i < 2000 && passes.load() < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(passes.load(), 2);
}

TEST(WorkerThread, TerminateWakesAParkedThreadAndJoins)
{
    std::atomic<bool> ended{false};
    {
        WorkerThread worker([&](WorkerThread& self) {
            while (self.SuspendSelf()) {
            }
            ended = true;
        });
        worker.Resume();
        ASSERT_TRUE(worker.WaitSuspended(2000));
        const qvt::test::HangWatch watch("ending a parked worker", 5000);
        worker.Terminate();
        worker.Join();
    }
    EXPECT_TRUE(ended.load());

    // A thread that was never started ends without running its body.
    std::atomic<bool> ran{false};
    {
        WorkerThread idle([&](WorkerThread&) { ran = true; });
    }
    EXPECT_FALSE(ran.load());
}

#include "platform/MessageBoxes.h"
#include "platform/WindowThread.h"

TEST(WorkerThread, AWaitForTheThreadToParkEndsWhenItParksNotAtItsTimeOut)
{
    constexpr int Forever = 600000;
    WorkerThread worker([](WorkerThread& self) {
        while (self.SuspendSelf()) {
        }
    });
    {
        const qvt::test::HangWatch watch("a wait for a worker to park", 5000);
        worker.Resume();
        EXPECT_TRUE(worker.WaitSuspended(Forever));
        worker.Resume();
        EXPECT_TRUE(worker.WaitSuspended(Forever));
    }
    // A body that returns parks the thread for good.
    WorkerThread once([](WorkerThread&) {});
    const qvt::test::HangWatch watch("a wait for a worker whose body ended", 5000);
    once.Resume();
    EXPECT_TRUE(once.WaitSuspended(Forever));
}

TEST(WorkerThread, AWorkerAskingTheWindowThreadGivesUpWhenTerminated)
{
    // The window thread is busy joining the worker, as at shutdown; the
    // worker's sent call must not wait for it forever.
    std::atomic<bool> asking{false};
    std::atomic<bool> delivered{true};
    WorkerThread worker([&](WorkerThread&) {
        asking = true;
        delivered = qvt::SendToWindowThread([] {});
    });
    worker.Resume();
    while (!asking.load())
        std::this_thread::yield();
    worker.Terminate();
    worker.Join(); // no event processing here
    EXPECT_FALSE(delivered.load());
}

TEST(WorkerThread, RunsAtThePriorityAskedAsFarAsTheProcessMayGiveIt)
{
    using qvt::ThreadPriority;
    const int process = qvt::ProcessNice();
    auto run = [](ThreadPriority priority) {
        WorkerThread worker([](WorkerThread& self) { self.SuspendSelf(); }, priority);
        worker.Resume();
        EXPECT_TRUE(worker.WaitSuspended(2000));
        return worker.Nice();
    };
    // Lowered below the process, never beyond the weakest nice.
    EXPECT_EQ(run(ThreadPriority::Lower), std::min(process + qvt::LowerNiceSteps, 19));
    // The others are never lowered; raising needs privileges.
    for (ThreadPriority p : {ThreadPriority::Normal, ThreadPriority::Higher, ThreadPriority::TimeCritical})
        EXPECT_LE(run(p), process);
    // The window thread keeps its own.
    EXPECT_EQ(qvt::CurrentThreadNice(), process);
}
