#pragma once
// Plane levelling: the slopes the controller subtracts while it scans, shown
// as angles when the Z and X units are of the same kind, typed or dragged by
// the operator, and the record they are sent in.

#include "protocol/ControlCodes.h"

#include <QString>

namespace qvt {

constexpr double LevelAngleLimit = 10.0;  // degrees
constexpr double LevelLimitSlope = 0.176; // tan of about 10°
constexpr double LevelSlopeLimit = 1.0e9; // raw slope sent at most
constexpr double LevelDragCentre = 72.0;  // knob position of "unchanged"
constexpr double LevelDragPixelsPerBase = 20.0;
constexpr double LevelDefaultDragBase = 1000.0;

enum LevelMode : int { LevelOff = 0, LevelFixed = 1, LevelAuto = 2 };

// Factor of a unit's first character in "Mk mµnpf"; false when it is none of them.
bool LevelPrefixFactor(const QString& unit, double& factor);

// Digits-to-angle factor (z physical per x physical / 2^24), or false when
// the units differ in their first character or carry an unknown prefix.
bool LevelAngleFactor(const QString& zUnit, double zFactor, const QString& xUnit, double xFactor, double& angleFactor);

struct TLevelShown {
    QString Text;     // "dz/dx=..." with "°" in degrees
    double Slope = 0; // the slope after the limit
    bool Limited = false;
};
// `axis` is "x" or "y". In degrees the angle is held within ±10°, and a slope
// beyond keeps its sign at the limit.
TLevelShown ShowLevelSlope(const QString& axis, double slope, bool inDegrees, double angleFactor);

// The slope typed as `value` (degrees in degree display, raw otherwise).
double TypedLevelSlope(double value, bool inDegrees, double angleFactor);

// The slope at mouse position x of a drag that began with `base`.
double DraggedLevelSlope(double x, double base);
// The drag base: the active slope, or `dxdz` (default 1000) when that is 0.
double LevelDragBaseFor(double activeSlope, double storedDxDz);

} // namespace qvt
