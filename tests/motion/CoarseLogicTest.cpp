#include "motion/CoarseLogic.h"

#include <gtest/gtest.h>

using namespace qvt;

TEST(CoarseRepeat, DeflectionSetsTheDelayBetweenSlowAndFast)
{
    // Out-of-range deflections are held at the ends.
    EXPECT_EQ(RepeatIntervalFromDeflection(-5, 20, 200), 200);
    EXPECT_EQ(RepeatIntervalFromDeflection(0, 20, 200), 200);
    EXPECT_EQ(RepeatIntervalFromDeflection(127, 20, 200), 20);
    EXPECT_EQ(RepeatIntervalFromDeflection(200, 20, 200), 20);
    EXPECT_EQ(RepeatIntervalFromDeflection(64, 20, 200), 109); // 20 + 63 * 180 / 127 = 109.3
}

TEST(CoarseRepeat, RepeatsOneIntervalAfterThePressAndAfterEachBurst)
{
    TRepeatController r;
    EXPECT_EQ(r.MsUntilDue(0), -1);
    r.Press(1000, 200, true);
    EXPECT_FALSE(r.Due(1199));
    EXPECT_EQ(r.MsUntilDue(1150), 50);
    EXPECT_TRUE(r.Due(1200));
    // A burst of 30 ms: the next one is an interval after it ended.
    r.BurstDone(1230);
    EXPECT_FALSE(r.Due(1429));
    EXPECT_TRUE(r.Due(1430));

    // The release gives the click's burst once, and only on the button.
    EXPECT_TRUE(r.Release(true));
    EXPECT_FALSE(r.Release(true));
    EXPECT_FALSE(r.Due(5000));
    r.Press(0, 20, true);
    EXPECT_FALSE(r.Release(false));

    // A hold cut off gives nothing more.
    r.Press(0, 20, true);
    EXPECT_TRUE(r.MouseStarted());
    r.Cancel();
    EXPECT_FALSE(r.Release(true));
    EXPECT_FALSE(r.Due(100));

    // The joystick's press is not the mouse's.
    r.Press(0, 20, false);
    EXPECT_TRUE(r.Active());
    EXPECT_FALSE(r.MouseStarted());
    r.SetInterval(0);
    EXPECT_EQ(r.Interval(), 1);
}
