#include "scan/ShowThread.h"
#include "core/PerfCounter.h"
#include "core/SharedState.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QThread>
#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace qvt;

namespace {

constexpr int64_t Second = 1'000'000'000;

using qvt::test::PumpUntil;

// Lets the window thread run for a while, then reports what arrived.
void PumpFor(int ms)
{
    for (int i = 0; i < ms; ++i) {
        QCoreApplication::processEvents();
        QThread::msleep(1);
    }
}

// Scan parameters of its own, so the tests do not disturb the program-wide ones.
struct Fixture {
    TScanParams params;
    TShowThread thread{params};
    std::vector<bool> updates; // newLinesOnly of each updateDisplay
    int refreshes = 0;
    bool receivedInWindowThread = true;

    Fixture()
    {
        QObject::connect(&thread, &TShowThread::updateDisplay, [this](bool newLinesOnly) {
            updates.push_back(newLinesOnly);
            receivedInWindowThread = receivedInWindowThread && QThread::currentThread() == qApp->thread();
        });
        QObject::connect(&thread, &TShowThread::refreshAll, [this] { ++refreshes; });
    }
    void SetScan(int pixels, float speed, int line)
    {
        params.Pixels = static_cast<int16_t>(pixels);
        params.Speed = speed;
        params.LineTime = static_cast<int64_t>(PerfFrequency() / speed);
        thread.Line = line;
    }
    // One resume, then wait for the pass to end and its posts to arrive.
    void OnePass()
    {
        thread.Resume();
        ASSERT_TRUE(PumpUntil([this] { return thread.Suspended(); }));
        PumpFor(20);
    }
};

} // namespace

TEST(ShowThread, RepaintsOnlyWhenTheLinesSinceTheNearerEndTookATenthOfASecond)
{
    ASSERT_EQ(PerfFrequency(), Second);
    // 256 lines at 2 lines per second: the last line but one repaints, the last (k = 0) does not.
    EXPECT_TRUE(ShouldRepaint(256, 2.0, 255, Second / 2, Second));
    EXPECT_FALSE(ShouldRepaint(256, 2.0, 256, Second / 2, Second));
    EXPECT_FALSE(ShouldRepaint(256, 2.0, 0, Second / 2, Second));
    // 64 lines at 1000 lines per second: Pixels < Speed / 2, never.
    for (int line = 0; line <= 64; ++line)
        EXPECT_FALSE(ShouldRepaint(64, 1000.0, line, Second / 1000, Second));
    // 0.3 ms per line: the middle of a 256-line frame is only 38 ms away from an end.
    EXPECT_FALSE(ShouldRepaint(256, 3333.3, 128, 300'000, Second));
    EXPECT_FALSE(ShouldRepaint(2048, 3333.3, 300, 300'000, Second));
    EXPECT_TRUE(ShouldRepaint(2048, 3333.3, 334, 300'000, Second));
    // Exactly 0.1 s repaints.
    EXPECT_TRUE(ShouldRepaint(256, 1.0, 10, Second / 100, Second));
}

TEST(ShowThread, EachResumeMakesOnePassThatOnlyPosts)
{
    Fixture f;
    f.SetScan(256, 2.0f, 255);
    f.OnePass();
    EXPECT_EQ(f.updates, std::vector<bool>{true});
    EXPECT_TRUE(f.receivedInWindowThread);

    f.thread.Line = 256;
    f.OnePass();
    EXPECT_EQ(f.updates.size(), 1u);

    // Redraw-all: the windows refresh and redraw everything, whatever the line rule says.
    f.thread.RedrawAll = true;
    f.OnePass();
    EXPECT_EQ(f.refreshes, 1);
    EXPECT_EQ(f.updates, (std::vector<bool>{true, false}));
    EXPECT_FALSE(f.thread.RedrawAll.load());

    f.SetScan(64, 1000.0f, 32);
    f.OnePass();
    EXPECT_EQ(f.updates.size(), 2u);
}

TEST(ShowThread, AResumeDuringAPassIsNotLost)
{
    Fixture f;
    f.SetScan(256, 2.0f, 100);
    // The second resume arrives while the first pass is still sleeping after its post.
    f.thread.Resume();
    f.thread.Resume();
    ASSERT_TRUE(PumpUntil([&] { return f.updates.size() >= 2 && f.thread.Suspended(); }));
    PumpFor(50);
    EXPECT_EQ(f.updates.size(), 2u);
}

TEST(ShowThread, HoldParksTheThreadUntilReleased)
{
    Fixture f;
    f.SetScan(256, 2.0f, 100);
    f.thread.Resume(); // a pass is under way when the hold comes
    ASSERT_TRUE(f.thread.Hold());
    EXPECT_TRUE(f.thread.Suspended());
    PumpFor(30);
    const size_t before = f.updates.size();
    EXPECT_LE(before, 1u);

    // Resumed while held: no pass, the thread parks again at once.
    f.thread.Resume();
    f.thread.Resume();
    ASSERT_TRUE(PumpUntil([&] { return f.thread.Suspended(); }));
    PumpFor(40);
    EXPECT_EQ(f.updates.size(), before);

    // Held from another thread (no event pumping there).
    bool heldFromWorker = false;
    std::thread other([&] { heldFromWorker = f.thread.Hold(1000); });
    other.join();
    EXPECT_TRUE(heldFromWorker);

    f.thread.Release();
    f.OnePass();
    EXPECT_EQ(f.updates.size(), before + 1);
}

TEST(ShowThread, PendingPostsDieWithTheThreadObject)
{
    std::vector<bool> updates;
    {
        TScanParams params;
        params.Pixels = 256;
        params.Speed = 2.0f;
        params.LineTime = Second / 2;
        TShowThread thread(params);
        QObject::connect(&thread, &TShowThread::updateDisplay, [&](bool b) { updates.push_back(b); });
        thread.Line = 100;
        thread.Resume();
        // Waited for from another thread, so the window thread does not run the post.
        bool held = false;
        std::thread([&] { held = thread.Hold(); }).join();
        ASSERT_TRUE(held);
        // Its post is still queued when the object goes.
    }
    PumpFor(20);
    EXPECT_TRUE(updates.empty());
}
