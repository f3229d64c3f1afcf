#include "scan/ScanGeometry.h"
#include "core/SharedState.h"
#include "device/ChannelTable.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

using namespace qvt;

namespace {

// 1000 nm over 10^6 digits on both axes, outputs far wider than any frame here.
TScanSetup WideSetup(int pixels, double speed)
{
    TScanSetup s;
    s.Area = {1000.0, 0.0, 0.0};
    s.Pixels = pixels;
    s.Speed = speed;
    s.FactorX = s.FactorY = 1e-3;
    s.XSensitivity = s.YSensitivity = 1e-3;
    s.Limits = {-2000000000, 2000000000, -2000000000, 2000000000};
    return s;
}

} // namespace

TEST(ScanGeometry, TicksPerPixelFollowThePixelCountAndSpeed)
{
    // 256 px at 1 line/s: round(39062.5 / 512) = 76; 10^6 / 256 digits per pixel = 3906, / 76 per tick.
    TScanPlan plan = PlanScan(WideSetup(256, 1.0), 0);
    ASSERT_TRUE(plan.Ok());
    EXPECT_EQ(plan.Geometry.MoveSteps, 76);
    EXPECT_EQ(plan.Geometry.FastX, 3906 / 76);
    EXPECT_EQ(plan.Geometry.FastY, 0);
    EXPECT_EQ(plan.Geometry.SlowX, 0);
    EXPECT_EQ(plan.Geometry.SlowY, -(3906 / 76));
    EXPECT_EQ(plan.Geometry.MaxStep, 3906 / 76);
    EXPECT_EQ(plan.Geometry.StartX, -500000);
    EXPECT_EQ(plan.Geometry.StartY, 500000);
    // 5 % overscan: 12.8 pixels of 76 ticks of 51 digits.
    EXPECT_EQ(plan.Geometry.OverX, 49613);
    EXPECT_EQ(plan.Geometry.OverY, 0);

    // 512 px at 100 lines/s: 39062.5 / 102400 rounds to 0, at least 1 tick.
    plan = PlanScan(WideSetup(512, 100.0), 0);
    EXPECT_EQ(plan.Geometry.MoveSteps, 1);
    EXPECT_EQ(plan.Geometry.FastX, 1953);

    // Speed 0: one tick per second, unit vectors, MaxStep 1, and the speed becomes 1.
    plan = PlanScan(WideSetup(256, 0.0), 0);
    EXPECT_EQ(plan.Geometry.MoveSteps, 39062);
    EXPECT_EQ(plan.Geometry.FastX, 1);
    EXPECT_EQ(plan.Geometry.FastY, 1);
    EXPECT_EQ(plan.Geometry.SlowX, 1);
    EXPECT_EQ(plan.Geometry.SlowY, 1);
    EXPECT_EQ(plan.Geometry.MaxStep, 1);
    EXPECT_DOUBLE_EQ(plan.Speed, 1.0);
}

TEST(ScanGeometry, RefusesWhatCannotBeScanned)
{
    // Fewer than four pixels: the line fit is singular; more than the buffers hold.
    EXPECT_TRUE(PlanScan(WideSetup(3, 1.0), 0).Refused);
    EXPECT_TRUE(PlanScan(WideSetup(0, 1.0), 0).Refused);
    EXPECT_TRUE(PlanScan(WideSetup(2049, 1.0), 0).Refused);
    EXPECT_TRUE(PlanScan(WideSetup(4, 1.0), 0).Ok());

    // 1 nm over 256 px is 3 digits per pixel, fewer than the 76 ticks: the tip would stand still.
    TScanSetup fine = WideSetup(256, 1.0);
    fine.Area.Range = 1.0;
    TScanPlan plan = PlanScan(fine, 0);
    EXPECT_TRUE(plan.Complete());
    EXPECT_TRUE(plan.TooFine);
    EXPECT_FALSE(plan.Ok());
    fine.Area.Range = 0.0;
    EXPECT_TRUE(PlanScan(fine, 7).TooFine);

    // Start corner outside: stop at once, nothing computed.
    TScanSetup far = WideSetup(256, 1.0);
    far.Area.XCenter = 2.5e6; // 2.5e9 digits
    plan = PlanScan(far, 0);
    EXPECT_TRUE(plan.StartOutside);
    EXPECT_FALSE(plan.Complete());

    // Only the run-in leaves the X output: the geometry is complete, the range test fails.
    TScanSetup edge = WideSetup(256, 1.0);
    edge.Limits.XMin = -510000;
    plan = PlanScan(edge, 0);
    EXPECT_TRUE(plan.Complete());
    EXPECT_FALSE(plan.StartOutside);
    EXPECT_TRUE(plan.RangeFailed);
    EXPECT_EQ(plan.Geometry.OverX, 49613);
    EXPECT_TRUE(ScanPlanOutOfRange(edge));
    EXPECT_FALSE(ScanPlanOutOfRange(WideSetup(256, 1.0)));
    // The far end of the frame leaves it too.
    TScanSetup farEnd = WideSetup(256, 1.0);
    farEnd.Limits.XMax = 520000;
    EXPECT_TRUE(PlanScan(farEnd, 0).RangeFailed);
}

TEST(ScanGeometry, RotationTurnsTheStartCornerAndThePixelVectors)
{
    TScanSetup s = WideSetup(256, 1.0);
    s.Angle = std::numbers::pi / 2;
    const TScanPlan plan = PlanScan(s, 0);
    ASSERT_TRUE(plan.Ok());
    EXPECT_EQ(plan.Geometry.FastX, 0);
    EXPECT_EQ(plan.Geometry.FastY, 51);
    EXPECT_EQ(plan.Geometry.SlowX, 51);
    EXPECT_EQ(plan.Geometry.SlowY, 0);
    EXPECT_EQ(plan.Geometry.StartX, -500000);
    EXPECT_EQ(plan.Geometry.StartY, -500000);
    EXPECT_EQ(plan.Geometry.OverY, 49613);

    s.Angle = std::numbers::pi / 4;
    s.Area.XCenter = 100.0; // 10^5 digits
    const TStartCorner c = StartCorner(s);
    EXPECT_NEAR(c.X, 100000 - std::sqrt(2.0) * 500000, 1e-6);
    EXPECT_NEAR(c.Y, 0.0, 1e-6);
}

TEST(ScanGeometry, ProgramStateGivesTheSameAnswers)
{
    const TChannelTable savedTable = ChannelTable;
    const double savedXs = XSensitivity.load();
    const double savedYs = YSensitivity.load();
    const float savedAngle = ScanParams.Angle.load();
    const int16_t savedPixels = ScanParams.Pixels.load();
    const float savedSpeed = ScanParams.Speed.load();
    TQVTIniFile* savedIni = MainIni;
    MainIni = nullptr; // the overscan then comes from the scan parameters

    for (int slot : {SlotX, SlotY}) {
        ChannelTable[slot].Factor = 1e-3f;
        ChannelTable[slot].MinRaw = -600000;
        ChannelTable[slot].MaxRaw = 600000;
    }
    XSensitivity = 1e-3;
    YSensitivity = 1e-3;
    ScanParams.Pixels = 256;
    ScanParams.Speed = 1.0f;
    ScanParams.Angle = static_cast<float>(std::numbers::pi / 2);

    int32_t x = 0;
    int32_t y = 0;
    // The centre comes in as a struct, x and y in their own fields.
    EXPECT_FALSE(ScanToDacCoords({1000.0, 20.0, -30.0}, x, y));
    EXPECT_NEAR(x, 20000 - 500000, 1);
    EXPECT_NEAR(y, -30000 - 500000, 1);
    EXPECT_TRUE(ScanToDacCoords({1000.0, 200.0, -300.0}, x, y)); // Y start at -800000
    // Rotated by 90°, the run-in runs along Y and leaves the output beyond 600000 digits.
    EXPECT_TRUE(ScanAreaOutOfRange({1000.0, 0.0, -70.0}));
    EXPECT_FALSE(ScanAreaOutOfRange({1000.0, 0.0, 0.0}));

    ChannelTable = savedTable;
    XSensitivity = savedXs;
    YSensitivity = savedYs;
    ScanParams.Angle = savedAngle;
    ScanParams.Pixels = savedPixels;
    ScanParams.Speed = savedSpeed;
    MainIni = savedIni;
}

TEST(ScanGeometry, LinesStartAlongTheSlowAxisUnlessOneLineRepeats)
{
    const TScanGeometry g = PlanScan(WideSetup(256, 1.0), 0).Geometry;
    const TRawPoint p = LineRunInStart(g, 10, false);
    EXPECT_EQ(p.X, g.StartX - g.OverX);
    EXPECT_EQ(p.Y, g.StartY + 10 * 76 * g.SlowY);
    const TRawPoint same = LineRunInStart(g, 10, true);
    EXPECT_EQ(same.X, g.StartX - g.OverX);
    EXPECT_EQ(same.Y, g.StartY);
}

TEST(ScanGeometry, FrameEndLevelsThePlaneAndTurnsTheDirection)
{
    // 10 digits per pixel along X over 3906.25 digits per pixel: 10 / 3906.25 · 2^24.
    TLevelInput in{10.0, 0.0, 0.0, 1000.0, 1e-3, 1e-3, 256};
    TLevelCorrection d = AutoLevelCorrection(in);
    EXPECT_NEAR(d.DeltaDxDz, 10.0 / 3906.25 * 16777216.0, 1e-6);
    EXPECT_NEAR(d.DeltaDyDz, 0.0, 1e-9);
    // Rotated by 90°, an X slope of the image is a slope along the scanner's −Y.
    in.Angle = std::numbers::pi / 2;
    d = AutoLevelCorrection(in);
    EXPECT_NEAR(d.DeltaDxDz, 0.0, 1e-6);
    EXPECT_NEAR(d.DeltaDyDz, 10.0 / 3906.25 * 16777216.0, 1e-6);
    // Too few digits per pixel for a slope word: nothing changes.
    in.Range = 100.0;
    d = AutoLevelCorrection(in);
    EXPECT_EQ(d.DeltaDxDz, 0.0);
    EXPECT_EQ(d.DeltaDyDz, 0.0);

    EXPECT_TRUE(FrameCoversImage(1, 257, 256));
    EXPECT_TRUE(FrameCoversImage(256, 0, 256));
    EXPECT_FALSE(FrameCoversImage(100, 257, 256)); // resumed part-way

    TFrameTurn t = NextFrame(257, 1, true);
    EXPECT_EQ(t.CurrentLine, 256);
    EXPECT_EQ(t.Direction, -1);
    EXPECT_FALSE(t.ResetFirstLine);
    t = NextFrame(0, -1, true);
    EXPECT_EQ(t.CurrentLine, 1);
    EXPECT_EQ(t.Direction, 1);
    t = NextFrame(257, 1, false);
    EXPECT_EQ(t.CurrentLine, 1);
    EXPECT_EQ(t.Direction, 1);
    EXPECT_TRUE(t.ResetFirstLine);
}
