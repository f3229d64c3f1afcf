#pragma once
// The raw X/Y geometry of a frame: where line 0, pixel 0 lies, how far the
// move generator advances per clock tick along a line and from line to line,
// how long the run-in is, and whether all of it stays inside the X and Y
// outputs. Pure arithmetic on a TScanSetup, so the scan parameter window, the
// image windows' zoom and the scan thread all judge an area the same way.

#include "protocol/ControlCodes.h"

#include <cstdint>

namespace qvt {

struct TScanParams;

// Pixel counts the scan takes: the line fit needs four points and the image
// buffers hold at most 2048 rows.
constexpr int ScanPixelsMin = 4;
constexpr int ScanPixelsMax = 2048;
constexpr double DefaultOverScan = 5.0; // percent, "ScanPara"/"OverScan"
// Clock ticks per pixel when the speed is 0 (one tick per second and pixel).
constexpr int32_t MoveStepsAtSpeedZero = 39062;

struct TXYLimits {
    int32_t XMin = 0;
    int32_t XMax = 0;
    int32_t YMin = 0;
    int32_t YMax = 0;
};

// A proposed scan area in physical X/Y units.
struct TScanArea {
    double Range = 0.0;
    double XCenter = 0.0;
    double YCenter = 0.0;
};

// Everything the geometry depends on.
struct TScanSetup {
    TScanArea Area;
    double Angle = 0.0; // radians
    int Pixels = 256;
    double Speed = 1.0;                // lines per second
    double OverScan = DefaultOverScan; // percent of the line
    double XSensitivity = 1.0;         // physical units per X digit for the centre
    double YSensitivity = 1.0;
    double FactorX = 1.0; // DAC3 Factor
    double FactorY = 1.0; // DAC4 Factor
    TXYLimits Limits;     // DAC3 and DAC4 MinRaw/MaxRaw
};

// The raw geometry the scan thread works with.
struct TScanGeometry {
    int32_t StartX = 0; // line 0, pixel 0
    int32_t StartY = 0;
    int32_t FastX = 0; // advance per clock tick along a line
    int32_t FastY = 0;
    int32_t SlowX = 0; // advance per clock tick from one line to the next
    int32_t SlowY = 0;
    int32_t OverX = 0; // run-in before the first pixel
    int32_t OverY = 0;
    int32_t MoveSteps = 1; // clock ticks per pixel
    int32_t MaxStep = 0;   // largest single step of a move, digits
    int32_t Pixels = 0;
};

// The start corner of an area (before rounding) and whether it lies outside
// the X/Y outputs.
struct TStartCorner {
    double X = 0.0;
    double Y = 0.0;
    bool Outside = false;
};
TStartCorner StartCorner(const TScanSetup& setup);

// What PrepareScan found. The geometry is complete unless the pixel count was
// refused or the start corner lies outside; the scan may only run when Ok().
struct TScanPlan {
    TScanGeometry Geometry;
    bool Refused = false;      // pixel count outside ScanPixelsMin..ScanPixelsMax
    bool StartOutside = false; // start corner outside: nothing else computed
    bool TooFine = false;      // fewer digits per pixel than clock ticks: the tip would stand still
    bool RangeFailed = false;  // the run-in or the frame leaves the outputs
    bool MaxStepSet = false;   // the plan gives a new MaxStep (else the old one stays)
    double OverScanPixels = 0.0;
    double Speed = 1.0; // the speed after planning (0 becomes 1)

    bool Complete() const { return !Refused && !StartOutside; }
    bool Ok() const { return Complete() && !TooFine && !RangeFailed; }
};

// The geometry of a frame. `maxStep` is the current MaxStep, kept when the
// range gives none.
TScanPlan PlanScan(const TScanSetup& setup, int32_t maxStep);

// The range tests alone, for a proposed area: true when any fails.
bool ScanPlanOutOfRange(const TScanSetup& setup);

// Start of the run-in of line `line` (0 when `lineScan`: every line at the
// same slow-axis position).
struct TRawPoint {
    int64_t X = 0;
    int64_t Y = 0;
};
TRawPoint LineRunInStart(const TScanGeometry& g, int line, bool lineScan);

// The plane correction after a finished frame. The slopes of the Z image
// (digits per pixel) are turned back by the scan angle and converted into
// the controller's slope words (2^24 per digit per digit).
struct TLevelInput {
    double SlopeX = 0.0;
    double SlopeY = 0.0;
    double Angle = 0.0;
    double Range = 0.0;
    double FactorX = 1.0;
    double FactorY = 1.0;
    int Pixels = 1;
};
struct TLevelCorrection {
    double DeltaDxDz = 0.0; // to add to LevelDxDz
    double DeltaDyDz = 0.0; // to add to LevelDyDz
};
TLevelCorrection AutoLevelCorrection(const TLevelInput& in);
// Auto-level only after a frame that ran (nearly) from one end to the other.
bool FrameCoversImage(int firstLine, int lastLine, int pixels);

// Where the next frame starts.
struct TFrameTurn {
    int CurrentLine = 1;
    int Direction = 1;
    bool ResetFirstLine = true; // the display thread's first line := 1
};
TFrameTurn NextFrame(int currentLine, int direction, bool contOnRestart);

// ---- the program's current state ---------------------------------------------------

// The setup from the scan parameters, the X/Y scales and "ScanPara"/"OverScan"
// of the settings file (read anew each time), with `area` in place of the
// current range and centre.
TScanSetup CurrentScanSetup(const TScanParams& params, const TScanArea& area);
TScanSetup CurrentScanSetup(const TScanParams& params);

// Start X/Y of `area` in raw digits; true when the start corner lies outside
// the X/Y outputs. Changes nothing.
bool ScanToDacCoords(const TScanArea& area, int32_t& startX, int32_t& startY);
// True when `area` fails any range test of the scan. Changes nothing.
bool ScanAreaOutOfRange(const TScanArea& area);

} // namespace qvt
