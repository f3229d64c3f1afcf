#include "platform/ManualResetEvent.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <thread>

using qvt::ManualResetEvent;

TEST(ManualResetEvent, StaysSetUntilResetAndWakesWaiters)
{
    ManualResetEvent ev;
    EXPECT_FALSE(ev.Wait(5));
    {
        // The waiter is asleep when the event is set: only the set wakes it.
        const qvt::test::HangWatch watch("a wait for an event that was set", 5000);
        std::thread setter([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            ev.Set();
        });
        EXPECT_TRUE(ev.Wait());
        setter.join();
    }
    EXPECT_TRUE(ev.Wait(0)); // manual reset: a second waiter passes too
    ev.Reset();
    EXPECT_FALSE(ev.IsSet());
    EXPECT_FALSE(ev.Wait(1));
}

TEST(ManualResetEvent, SetsItselfWhenADueSetComes)
{
    using Clock = ManualResetEvent::Clock;
    using std::chrono::milliseconds;
    ManualResetEvent ev;

    // A waiter sleeps until the due time and passes then, not before.
    const auto due = Clock::now() + milliseconds(30);
    ev.SetAt(due);
    EXPECT_TRUE(ev.Wait(5000));
    EXPECT_GE(Clock::now(), due);
    EXPECT_TRUE(ev.IsSet());

    // Not set before its time; a later due replaces the earlier one.
    ev.Reset();
    ev.SetAt(Clock::now() + std::chrono::hours(1));
    EXPECT_FALSE(ev.IsSet());
    EXPECT_FALSE(ev.Wait(1));
    const auto later = Clock::now() + milliseconds(20);
    ev.SetAt(later);
    EXPECT_TRUE(ev.Wait(5000));
    EXPECT_GE(Clock::now(), later);

    // A due time already past sets at once.
    ev.Reset();
    ev.SetAt(Clock::now() - milliseconds(1));
    EXPECT_TRUE(ev.IsSet());

    // Set stands for a due set: after Set and Reset nothing comes any more.
    ev.Reset();
    ev.SetAt(Clock::now() + milliseconds(10));
    ev.Set();
    ev.Reset();
    EXPECT_FALSE(ev.Wait(100));

    // The end of time never comes: it withdraws a set still due, but a set
    // that has come already stays.
    ev.Reset();
    const auto withdrawn = Clock::now() + milliseconds(50);
    ev.SetAt(withdrawn);
    ev.SetAt(Clock::time_point::max());
    if (Clock::now() < withdrawn) {
        EXPECT_FALSE(ev.Wait(200));
    }
    ev.Reset();
    ev.SetAt(Clock::now() - milliseconds(1));
    ev.SetAt(Clock::time_point::max());
    EXPECT_TRUE(ev.IsSet());

    // A reset made before the due time clears only what was set up to then.
    const auto pending = Clock::now() + milliseconds(300);
    ev.SetAt(pending);
    ev.Reset();
    const bool resetInTime = Clock::now() < pending;
    if (resetInTime) {
        EXPECT_TRUE(ev.Wait(5000));
    }

    // A waiter already asleep wakes for a due time given after it went to sleep.
    ev.Reset();
    const qvt::test::HangWatch watch("a wait for a set due at once", 5000);
    std::thread teller([&] {
        std::this_thread::sleep_for(milliseconds(20));
        ev.SetAt(Clock::now());
    });
    EXPECT_TRUE(ev.Wait());
    teller.join();
}
