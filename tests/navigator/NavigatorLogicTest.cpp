// The navigator's arithmetic: pixel and position conversions, captions,
// the zoom square, the joystick's rotation and the Run/Stop decisions.

#include "navigator/NavigatorLogic.h"

#include "device/ChannelTable.h"
#include "support/TestSupport.h"

#include <QDir>

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

using namespace qvt;
using namespace qvt::test;

TEST(NavigatorConversion, PixelToPositionAndBackRoundTripsForAnyAngle)
{
    for (int step = -36; step <= 36; ++step) {
        const TImageFrame f{750.0, 120.0, -340.0, step * std::numbers::pi / 18.0 + 0.013};
        for (const auto& [px, py] : {std::pair{0, 0}, {255, 0}, {17, 200}, {128, 128}, {255, 255}, {3, 254}}) {
            const TPosition p = PixelToPosition(f, px, py);
            int bx = -1;
            int by = -1;
            ASSERT_TRUE(PositionToPixel(f, p.X, p.Y, bx, by));
            EXPECT_EQ(bx, px) << step;
            EXPECT_EQ(by, py) << step;
        }
    }
}

TEST(NavigatorConversion, TheImageCentreIsTheFrameCentreAndYGrowsUpward)
{
    const TImageFrame f{1000.0, 50.0, 20.0, 0.0};
    const TPosition centre = PixelToPosition(f, 128, 128);
    EXPECT_DOUBLE_EQ(centre.X, 50.0);
    EXPECT_DOUBLE_EQ(centre.Y, 20.0);
    const TPosition topLeft = PixelToPosition(f, 0, 0);
    EXPECT_DOUBLE_EQ(topLeft.X, -450.0);
    EXPECT_DOUBLE_EQ(topLeft.Y, 520.0); // the top row is the largest Y
    // Fractions go through the nearest pixel.
    const TPosition half = FractionToPosition(f, 0.5, 0.5);
    EXPECT_DOUBLE_EQ(half.X, 50.0);
    const TPosition edge = FractionToPosition(f, 1.0, 0.0);
    EXPECT_DOUBLE_EQ(edge.X, 550.0);

    // A frame without a range gives no pixel.
    int px = 7;
    int py = 7;
    EXPECT_FALSE(PositionToPixel(TImageFrame{0.0, 0.0, 0.0, 0.0}, 1.0, 1.0, px, py));
    EXPECT_EQ(px, 0);
    EXPECT_EQ(py, 0);
    // A broken frame gives (0, 0) instead of garbage.
    const TPosition bad = PixelToPosition(TImageFrame{NAN, 0, 0, 0}, 5, 5);
    EXPECT_EQ(bad.X, 0.0);
    EXPECT_EQ(bad.Y, 0.0);
}

TEST(NavigatorConversion, TheScannerFieldIsCentredBetweenTheOutputLimits)
{
    TIOScale x;
    x.MinRaw = -32000;
    x.MaxRaw = 32000;
    x.Factor = 0.5f;
    TIOScale y;
    y.MinRaw = 0;
    y.MaxRaw = 60000;
    y.Factor = 0.25f;
    const TImageFrame f = ScannerFieldFrame(32000.0, x, y);
    EXPECT_EQ(f.Range, 32000.0);
    EXPECT_EQ(f.XCenter, 0.0);
    EXPECT_EQ(f.YCenter, 7500.0); // the middle of 0..60000 digits, not their sum
    EXPECT_EQ(f.Angle, 0.0);
}

TEST(NavigatorCaptions, RangesValuesAndZoom)
{
    EXPECT_EQ(FullZoomCaption(1000.0), "Zoom 100 % | 1000.000");
    EXPECT_EQ(ZoomCaption(0, 1000.0), "Zoom ?");
    EXPECT_EQ(ZoomCaption(64, 1000.0), "Zoom 200 % | 500.000");
    EXPECT_EQ(ZoomCaption(128, 1000.0), "Zoom 100 % | 1000.000");
    EXPECT_EQ(ZoomCaption(3, 1000.0), "Zoom 4267 % | 23.438");
    EXPECT_EQ(NavigatorValueText(-12.3456), "-12.346");
    EXPECT_DOUBLE_EQ(ZoomRange(32, 800.0), 200.0);

    const TZoomSquare q = ZoomSquare(100, 100, 90, 130);
    EXPECT_EQ(q.HalfSide, 30);
    EXPECT_EQ(q.X0, 70);
    EXPECT_EQ(q.Y0, 70);
    EXPECT_EQ(q.X1, 130);
    EXPECT_EQ(q.Y1, 130);
}

TEST(NavigatorJoystick, IsATrueRotationThatFollowsTheImage)
{
    EXPECT_EQ(RotateJoystick(0.0, 100, -50).X, 100);
    EXPECT_EQ(RotateJoystick(0.0, 100, -50).Y, -50);
    for (int step = 0; step < 24; ++step) {
        const double a = step * std::numbers::pi / 12.0;
        // Length is kept, whatever the angle.
        const TJoyVector v = RotateJoystick(a, 120, 50);
        EXPECT_NEAR(std::hypot(v.X, v.Y), 130.0, 1.0) << step;
        // Pushing right moves as a step to the right on the image does;
        // pushing up as a step up (toward smaller pixel rows).
        const TImageFrame f{256.0, 0.0, 0.0, a};
        const TPosition o = PixelToPosition(f, 128, 128);
        const TPosition r = PixelToPosition(f, 228, 128);
        const TPosition u = PixelToPosition(f, 128, 28);
        const TJoyVector right = RotateJoystick(a, 100, 0);
        const TJoyVector up = RotateJoystick(a, 0, 100);
        EXPECT_NEAR(right.X, r.X - o.X, 0.5) << step;
        EXPECT_NEAR(right.Y, r.Y - o.Y, 0.5) << step;
        EXPECT_NEAR(up.X, u.X - o.X, 0.5) << step;
        EXPECT_NEAR(up.Y, u.Y - o.Y, 0.5) << step;
    }
}

TEST(NavigatorMemo, TheRecordedLine)
{
    const double aux = 0.25;
    EXPECT_EQ(RecordedPositionLine(QTime(9, 5, 7), 1.5, -2, 30, 2, nullptr), "09:05:07\t1.500\t-2.000\t30.000\t2");
    EXPECT_EQ(RecordedPositionLine(QTime(23, 0, 0), 0, 0, 0, 4, &aux), "23:00:00\t0.000\t0.000\t0.000\t4\t0.25");
}

TEST(NavigatorScripts, RunStopDecisionsAndStartChecks)
{
    EXPECT_EQ(RunStopAction(true, true), TRunStopAction::Stop);
    EXPECT_EQ(RunStopAction(true, false), TRunStopAction::Hanging);
    EXPECT_EQ(RunStopAction(false, false), TRunStopAction::Start);
    EXPECT_EQ(RunStopAction(false, true), TRunStopAction::AlreadyWorking);

    TempDir dir;
    const QString app = dir.Path();
    dir.WriteFile("scripts/a.scr", "BEGIN END.");
    EXPECT_EQ(StartScriptProblem("", "", app), "No Script defined!");
    EXPECT_EQ(StartScriptProblem(app + "scripts/", "b.scr", app), "Script not found!");
    EXPECT_EQ(StartScriptProblem(app + "scripts/", "", app), "Script not found!");
    EXPECT_EQ(StartScriptProblem(app + "scripts/", "a.scr", app), "Directory \"./Data\" not found!");
    ASSERT_TRUE(QDir(app).mkdir("data"));
    EXPECT_EQ(StartScriptProblem(app + "scripts/", "a.scr", app), "");
}
