#include "platform/ManualResetEvent.h"

#include <gtest/gtest.h>

#include <thread>

using qvt::ManualResetEvent;

TEST(ManualResetEvent, StaysSetUntilResetAndWakesWaiters)
{
    ManualResetEvent ev;
    EXPECT_FALSE(ev.Wait(5));
    std::thread setter([&] { ev.Set(); });
    EXPECT_TRUE(ev.Wait(2000));
    setter.join();
    EXPECT_TRUE(ev.Wait(0)); // manual reset: a second waiter passes too
    ev.Reset();
    EXPECT_FALSE(ev.IsSet());
    EXPECT_FALSE(ev.Wait(1));
}
