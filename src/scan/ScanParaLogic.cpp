#include "scan/ScanParaLogic.h"

#include "core/IniFile.h"
#include "core/NumberText.h"
#include "device/ChannelTable.h"
#include "scan/ScanGeometry.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <numbers>

namespace qvt {

// ---- texts ----------------------------------------------------------------------------

QString RangeText(double value)
{
    return FixedPointText(value, 5, 3);
}

QString SpeedText(double value)
{
    return GeneralText(value, 5);
}

QString AngleText(double degrees)
{
    return FixedPointText(degrees, 4, 0);
}

// ---- rotation -------------------------------------------------------------------------

double OffsAngle(const TQVTIniFile* ini)
{
    return ini ? ini->ReadFloat("Microscope", "OffsAngle", DefaultOffsAngle) : DefaultOffsAngle;
}

double FoldAngle(double degrees)
{
    if (std::fabs(degrees) > 180.0)
        degrees -= 360.0 * Round(degrees / 360.0);
    return degrees;
}

double ScanAngleFromDegrees(double typed, double offsAngle)
{
    return (FoldAngle(typed) + offsAngle) / 180.0 * std::numbers::pi;
}

double ScanAngleToDegrees(double radians, double offsAngle)
{
    return radians * 180.0 / std::numbers::pi - offsAngle;
}

// ---- pixels -----------------------------------------------------------------------------

TPixelEntry ParsePixelEntry(const QString& text)
{
    TPixelEntry entry;
    bool ok = false;
    const int n = text.trimmed().toInt(&ok, 10);
    if (!ok)
        return entry;
    // Fewer than four points leave the line fit without a solution, and
    // nothing of a scan is left at zero or below.
    if (n < ScanPixelsMin) {
        entry.Result = TPixelEntry::Refused;
        entry.Pixels = n;
        return entry;
    }
    entry.Result = TPixelEntry::Ok;
    entry.Pixels = std::min(n, ScanPixelsMax);
    return entry;
}

int RescaleLineCounter(int counter, int newPixels, int oldPixels)
{
    if (oldPixels <= 0)
        return counter;
    return static_cast<int>(Round(static_cast<double>(newPixels) / oldPixels * counter));
}

// ---- step buttons and wheel -------------------------------------------------------------

double StepSetpoint(double s, double f, StepDirection d)
{
    return d == StepDirection::Up ? s + std::fabs(s * f) : s - std::fabs(s * f);
}

double StepGain(double k, double f, StepDirection d)
{
    return d == StepDirection::Up ? Round(k + std::fabs(k * f) + 1.0) : Round(k - std::fabs(k * f) - 1.0);
}

double StepBias(double b, double f, double quantum, StepDirection d)
{
    return d == StepDirection::Up ? b + std::fabs(b * f) + quantum : b - std::fabs(b * f) - quantum;
}

double BiasStepQuantum(const TIOScale& bias)
{
    const double span = static_cast<double>(bias.MaxRaw.load()) - static_cast<double>(bias.MinRaw.load());
    return span * bias.Factor.load() / 20000.0;
}

double WheelRate(double dtDays)
{
    if (dtDays < 5e-7) // about 0.04 s
        return 0.1;
    if (dtDays < 2e-6) // about 0.17 s
        return 0.05;
    return 0.01;
}

double WheelStep(double v, double f, int delta)
{
    if (delta > 0)
        return v + std::fabs(v * f);
    if (delta < 0)
        return v - std::fabs(v * f);
    return v;
}

} // namespace qvt
