#pragma once

#include "core/NumberText.h"
// The arithmetic of the scan parameter window, apart from its controls: the
// texts the edits show, the rotation angle, the pixel count and what a new
// count does to the line counters, the step buttons and the mouse wheel.

#include <QString>

namespace qvt {

class TIOScale;
class TQVTIniFile;

// ---- texts ----------------------------------------------------------------------------

// The plain number text of the edits (15 significant digits).
inline QString FloatText(double value)
{
    return GeneralText(value, 15);
}
// Range and centres: fixed-point, 5 significant digits, 3 decimals.
QString RangeText(double value);
// Speed: general, 5 significant digits.
QString SpeedText(double value);
// Angle in degrees: fixed-point, 4 significant digits, no decimals.
QString AngleText(double degrees);

// ---- rotation -------------------------------------------------------------------------

constexpr double DefaultOffsAngle = 90.0;
// "Microscope"/"OffsAngle", read at each use (the default without a file).
double OffsAngle(const TQVTIniFile* ini);
// Beyond ±180° the angle is brought back by whole turns.
double FoldAngle(double degrees);
// ScanParams.Angle for a typed angle: folded, plus the instrument's offset, in radians.
double ScanAngleFromDegrees(double typed, double offsAngle);
// The angle the edit shows for ScanParams.Angle.
double ScanAngleToDegrees(double radians, double offsAngle);

// ---- pixels -----------------------------------------------------------------------------

struct TPixelEntry {
    enum Kind {
        NoNumber, // the text is no integer
        Refused,  // fewer than ScanPixelsMin or more than ScanPixelsMax
        Ok,
    };
    Kind Result = NoNumber;
    int Pixels = 0;
};
TPixelEntry ParsePixelEntry(const QString& text);

// A line counter after the pixel count went from `oldPixels` to `newPixels`:
// the same place in the frame, round(new / old × counter). Unchanged when
// the old count is not positive.
int RescaleLineCounter(int counter, int newPixels, int oldPixels);

// ---- step buttons and wheel -------------------------------------------------------------

enum class StepDirection { Down, Up };

constexpr double StepFactorFine = 0.01;
constexpr double StepFactorCoarse = 0.1;
// Step buttons and wheel: a tenth with Shift, a hundredth without.
constexpr double StepFactorFor(bool shift)
{
    return shift ? StepFactorCoarse : StepFactorFine;
}

// Setpoint: s ± |s·f|.
double StepSetpoint(double s, double f, StepDirection d);
// Ki and Kp: round(k ± |k·f| ± 1), so a gain of 0 moves too.
double StepGain(double k, double f, StepDirection d);
// Bias: b ± |b·f| ± quantum, so a bias of 0 moves too.
double StepBias(double b, double f, double quantum, StepDirection d);
// A 20000th of the bias output's span in its physical unit.
double BiasStepQuantum(const TIOScale& bias);

// Step buttons repeat at this interval while held down.
constexpr int StepRepeatMs = 1000;

// Relative step of a wheel event `dtDays` after the previous one: faster
// turning, larger steps.
double WheelRate(double dtDays);
// v ± |v·f| by the sign of the wheel delta (0 leaves v).
double WheelStep(double v, double f, int delta);

} // namespace qvt
