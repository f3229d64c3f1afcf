#include "lockin/LockInOptions.h"

#include "core/NumberText.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace qvt {

const std::array<uint32_t, 16> DncFitColors = {0x000000, 0x000080, 0x008000, 0x008080, 0x800000, 0x800080,
                                               0x808000, 0x808080, 0xC0C0C0, 0x0000FF, 0x00FF00, 0x00FFFF,
                                               0xFF0000, 0xFF00FF, 0xFFFF00, 0xFFFFFF};

int ClampOptionAverage(int value)
{
    return std::clamp(value, 9, 3000);
}

int ClampOptionHistory(int value)
{
    return std::clamp(value, 0, 100);
}

int32_t QControlGainWord(int position)
{
    const double w = Round(static_cast<double>(position) / QTrackBarMax * 131071.0);
    return static_cast<int32_t>(std::clamp(w, 0.0, static_cast<double>(QGainWordMax)));
}

int QDelayAngle(int dx, int dy)
{
    const double r = Round(std::sqrt(static_cast<double>(dx) * dx + static_cast<double>(dy) * dy));
    if (r == 0.0)
        return 0;
    auto degrees = [r](int v) {
        return static_cast<int>(Round(std::asin(std::min(1.0, std::abs(v) / r)) * 180.0 / std::numbers::pi));
    };
    int a = degrees(dy);
    if (a > 45)
        a = 90 - degrees(dx);
    if (dx < 0 && dy > 0)
        a = 180 - a;
    else if (dx <= 0 && dy <= 0)
        a = 180 + a;
    else if (dx > 0 && dy < 0)
        a = 360 - a;
    return a % 360;
}

void QDelayRadius(int angle, int& dx, int& dy)
{
    const double t = angle * std::numbers::pi / 180.0;
    dx = static_cast<int>(Round(60.0 * std::cos(t)));
    dy = -static_cast<int>(Round(60.0 * std::sin(t)));
}

TQGainText QGainText(double fraction, double driveFactor, double amplitudeFactor, const QString& driveUnit,
                     const QString& amplitudeUnit)
{
    const double base = amplitudeFactor != 0.0 ? 8.0 * driveFactor / amplitudeFactor : 0.0;
    const double gain = fraction * base;
    TQGainText t;
    if (driveUnit != amplitudeUnit) {
        const QString unit = " " + amplitudeUnit + "/" + driveUnit;
        t.Gain = "Gain: " + GeneralText(gain, 4) + unit;
        t.Base = GeneralText(base, 4) + unit;
    } else {
        t.Gain = "Gain: " + GeneralText(gain, 4);
        t.Base = GeneralText(base, 4);
    }
    return t;
}

QString AutoTuneFrequencyText(double hz, int tag)
{
    switch (tag) {
    case -1:
        return FixedPointText(hz * 1000.0, 15, 0) + " mHz";
    case 1:
        return FixedPointText(hz / 1000.0, 15, std::fmod(hz, 1000.0) == 0.0 ? 0 : 3) + " kHz";
    case 2:
        return FixedPointText(hz / 1.0e6, 15, std::fmod(hz, 1.0e6) == 0.0 ? 0 : 6) + " MHz";
    default:
        return FixedPointText(hz, 15, 0) + " Hz";
    }
}

TOptionGates LockInOptionGates(const TControllerCaps& caps, bool syncFilterSetting)
{
    TOptionGates g;
    if (caps.LockInHarmonics()) {
        g.Harmonics = {"1", "2", "3"};
    } else if (caps.DigitalLockIn()) {
        g.Harmonics = {"1"};
        g.HarmonicEnabled = false;
        g.HarmonicHint = true;
    } else if (caps.Usb()) {
        g.Harmonics = {"1", "2", "3"};
    } else {
        for (int h = 1; h <= 15; ++h)
            g.Harmonics << QString::number(h);
    }
    g.AcVisible = caps.InputAcCoupling();
    g.SyncFilterVisible = caps.DigitalLockIn() && syncFilterSetting;
    g.QPageVisible = caps.DigitalLockIn();
    return g;
}

} // namespace qvt
