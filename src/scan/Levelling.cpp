#include "scan/Levelling.h"

#include "core/NumberText.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace qvt {

bool LevelPrefixFactor(const QString& unit, double& factor)
{
    static const QString prefixes = QString::fromUtf8("Mk mµnpf");
    if (unit.isEmpty())
        return false;
    const int i = prefixes.indexOf(unit.at(0));
    if (i < 0)
        return false;
    factor = std::pow(10.0, 6 - 3 * i);
    return true;
}

bool LevelAngleFactor(const QString& zUnit, double zFactor, const QString& xUnit, double xFactor, double& angleFactor)
{
    if (zUnit.isEmpty() || xUnit.isEmpty() || zUnit.at(0) != xUnit.at(0))
        return false;
    double pz = 0, px = 0;
    if (!LevelPrefixFactor(zUnit, pz) || !LevelPrefixFactor(xUnit, px))
        return false;
    const double fz = pz * zFactor, fx = px * xFactor;
    if (fx == 0.0)
        return false;
    angleFactor = fz / fx / 16777216.0;
    return angleFactor != 0.0 && std::isfinite(angleFactor);
}

TLevelShown ShowLevelSlope(const QString& axis, double slope, bool inDegrees, double angleFactor)
{
    TLevelShown s;
    s.Slope = slope;
    const QString head = "dz/d" + axis + "=";
    if (inDegrees && angleFactor != 0.0) {
        double angle = std::atan(slope * angleFactor) * 180.0 / std::numbers::pi;
        angle = std::clamp(angle, -LevelAngleLimit, LevelAngleLimit);
        s.Text = head + FixedPointText(angle, 6, 3) + QString::fromUtf8("°");
        if (std::abs(angle) == LevelAngleLimit) {
            // The tilt keeps its direction at the limit.
            s.Slope = std::copysign(LevelLimitSlope, angle) / angleFactor;
            s.Limited = true;
        }
    } else {
        s.Text = head + FixedPointText(slope, 6, 0);
    }
    return s;
}

double TypedLevelSlope(double value, bool inDegrees, double angleFactor)
{
    if (inDegrees && angleFactor != 0.0)
        return std::tan(value * std::numbers::pi / 180.0) / angleFactor;
    return value;
}

double DraggedLevelSlope(double x, double base)
{
    return ((x - LevelDragCentre) / LevelDragPixelsPerBase + 1.0) * base;
}

double LevelDragBaseFor(double activeSlope, double storedDxDz)
{
    return activeSlope != 0.0 ? activeSlope : storedDxDz;
}

} // namespace qvt
