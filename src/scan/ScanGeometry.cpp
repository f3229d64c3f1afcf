#include "scan/ScanGeometry.h"

#include "core/IniFile.h"
#include "core/NumberText.h"
#include "core/SharedState.h"
#include "device/ChannelTable.h"

#include <algorithm>
#include <cmath>

namespace qvt {

namespace {

constexpr double LevelThreshold = 1677.7216;  // digits per pixel below which a slope word means nothing
constexpr double SlopeWordScale = 16777216.0; // 2^24

bool InX(const TXYLimits& l, double x)
{
    return x >= l.XMin && x <= l.XMax;
}
bool InY(const TXYLimits& l, double y)
{
    return y >= l.YMin && y <= l.YMax;
}

int32_t Trunc32(double v)
{
    return static_cast<int32_t>(std::clamp(std::trunc(v), -2147483648.0, 2147483647.0));
}
int32_t Round32(double v)
{
    return static_cast<int32_t>(std::clamp(Round(v), -2147483648.0, 2147483647.0));
}

// The run-in and both ends of the frame, along each pixel vector, stay
// inside the outputs (a = o + P + 1 pixels ahead, a = −(o + 1) behind).
bool RangeTestsFail(const TScanGeometry& g, double cx, double cy, double o, const TXYLimits& l)
{
    bool fail = !InX(l, cx - g.OverX) || !InY(l, cy - g.OverY);
    for (const double a : {o + g.Pixels + 1.0, -(o + 1.0)}) {
        const double ticks = a * g.MoveSteps;
        fail = fail || !InX(l, cx + g.SlowX * ticks) || !InX(l, cx + g.FastX * ticks);
        fail = fail || !InY(l, cy + g.SlowY * ticks) || !InY(l, cy + g.FastY * ticks);
    }
    return fail;
}

} // namespace

TStartCorner StartCorner(const TScanSetup& s)
{
    const double half = s.Area.Range / 2.0;
    const double sn = std::sin(s.Angle);
    const double cs = std::cos(s.Angle);
    TStartCorner c;
    c.X = s.Area.XCenter / s.XSensitivity - (sn + cs) * half / s.FactorX;
    c.Y = s.Area.YCenter / s.YSensitivity - (sn - cs) * half / s.FactorY;
    c.Outside = !InX(s.Limits, c.X) || !InY(s.Limits, c.Y);
    return c;
}

TScanPlan PlanScan(const TScanSetup& s, int32_t maxStep)
{
    TScanPlan plan;
    plan.Speed = s.Speed;
    if (s.Pixels < ScanPixelsMin || s.Pixels > ScanPixelsMax) {
        plan.Refused = true;
        return plan;
    }
    const TStartCorner corner = StartCorner(s);
    if (corner.Outside) {
        plan.StartOutside = true;
        return plan;
    }

    TScanGeometry& g = plan.Geometry;
    const double r = s.Area.Range;
    const int p = s.Pixels;
    g.Pixels = p;
    g.StartX = Round32(corner.X);
    g.StartY = Round32(corner.Y);

    const double cs = std::cos(s.Angle);
    const double sn = std::sin(s.Angle);
    g.FastX = Trunc32(cs * r / s.FactorX / p);
    g.FastY = Trunc32(sn * r / s.FactorY / p);
    g.SlowX = Trunc32(sn * r / s.FactorX / p);
    g.SlowY = -Trunc32(cs * r / s.FactorY / p);
    g.MaxStep = maxStep;
    if (r > 0) {
        g.MaxStep = Trunc32(r / s.FactorX / p);
        plan.MaxStepSet = true;
    }

    if (p * s.Speed > 0) {
        g.MoveSteps = std::max<int32_t>(1, Round32(ControllerClockHz / (p * s.Speed * 2.0)));
        if (r > 0) {
            g.FastX /= g.MoveSteps;
            g.FastY /= g.MoveSteps;
            g.SlowX /= g.MoveSteps;
            g.SlowY /= g.MoveSteps;
            g.MaxStep /= g.MoveSteps;
        }
        // Fewer digits per pixel than clock ticks truncate the steps to 0:
        // the scan would stand in place and a checked move divide by 0.
        plan.TooFine = r <= 0 || g.MaxStep <= 0 || (g.FastX == 0 && g.FastY == 0) || (g.SlowX == 0 && g.SlowY == 0);
    } else {
        g.FastX = g.FastY = g.SlowX = g.SlowY = 1;
        g.MoveSteps = MoveStepsAtSpeedZero;
        g.MaxStep = 1;
        plan.MaxStepSet = true;
    }

    plan.OverScanPixels = s.OverScan * p / 100.0;
    g.OverX = Round32(g.MoveSteps * plan.OverScanPixels * g.FastX);
    g.OverY = Round32(g.MoveSteps * plan.OverScanPixels * g.FastY);

    plan.RangeFailed = RangeTestsFail(g, corner.X, corner.Y, plan.OverScanPixels, s.Limits);
    if (plan.Speed == 0)
        plan.Speed = 1;
    return plan;
}

bool ScanPlanOutOfRange(const TScanSetup& setup)
{
    const TScanPlan plan = PlanScan(setup, 0);
    return plan.Refused || plan.StartOutside || plan.RangeFailed;
}

TRawPoint LineRunInStart(const TScanGeometry& g, int line, bool lineScan)
{
    double ox = 0;
    double oy = 0;
    if (!lineScan) {
        ox = Round(static_cast<double>(line) * g.MoveSteps * g.SlowX);
        oy = Round(static_cast<double>(line) * g.MoveSteps * g.SlowY);
    }
    return {static_cast<int64_t>(g.StartX + ox - g.OverX), static_cast<int64_t>(g.StartY + oy - g.OverY)};
}

TLevelCorrection AutoLevelCorrection(const TLevelInput& in)
{
    const double a = -in.Angle;
    const double sx = std::cos(a) * in.SlopeX - std::sin(a) * in.SlopeY;
    const double sy = std::sin(a) * in.SlopeX + std::cos(a) * in.SlopeY;
    const double ex = in.Range / in.FactorX / in.Pixels;
    const double ey = in.Range / in.FactorY / in.Pixels;
    TLevelCorrection out;
    if (std::fabs(ex) > LevelThreshold)
        out.DeltaDxDz = sx / ex * SlopeWordScale;
    if (std::fabs(ey) > LevelThreshold)
        out.DeltaDyDz = -(sy / ey * SlopeWordScale);
    return out;
}

bool FrameCoversImage(int firstLine, int lastLine, int pixels)
{
    return std::abs(lastLine - firstLine) >= pixels - 2;
}

TFrameTurn NextFrame(int currentLine, int direction, bool contOnRestart)
{
    TFrameTurn t;
    if (contOnRestart) {
        t.CurrentLine = currentLine - direction;
        t.Direction = -direction;
        t.ResetFirstLine = false;
    }
    return t;
}

// ---- the program's current state ---------------------------------------------------

TScanSetup CurrentScanSetup(const TScanParams& params, const TScanArea& area)
{
    TScanSetup s;
    s.Area = area;
    s.Angle = params.Angle.load();
    s.Pixels = params.Pixels.load();
    s.Speed = params.Speed.load();
    s.OverScan = MainIni ? MainIni->ReadFloat("ScanPara", "OverScan", DefaultOverScan) : params.OverScan.load();
    s.XSensitivity = XSensitivity.load();
    s.YSensitivity = YSensitivity.load();
    const TIOScale& x = ChannelTable[SlotX];
    const TIOScale& y = ChannelTable[SlotY];
    s.FactorX = x.Factor.load();
    s.FactorY = y.Factor.load();
    s.Limits = {x.MinRaw.load(), x.MaxRaw.load(), y.MinRaw.load(), y.MaxRaw.load()};
    return s;
}

TScanSetup CurrentScanSetup(const TScanParams& params)
{
    return CurrentScanSetup(params, {params.Range.load(), params.XCenter.load(), params.YCenter.load()});
}

bool ScanToDacCoords(const TScanArea& area, int32_t& startX, int32_t& startY)
{
    const TStartCorner c = StartCorner(CurrentScanSetup(ScanParams, area));
    startX = Round32(c.X);
    startY = Round32(c.Y);
    return c.Outside;
}

bool ScanAreaOutOfRange(const TScanArea& area)
{
    return ScanPlanOutOfRange(CurrentScanSetup(ScanParams, area));
}

} // namespace qvt
