#pragma once
// The arithmetic of the lock-in option window, apart from its widgets: the
// limits of the typed values, the Q-control gain word and delay angle, the Q
// gain read-out, the auto-tune frequency texts and which options a
// controller offers.

#include "device/ControllerCaps.h"

#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>

namespace qvt {

constexpr int QTrackBarMax = 900;
constexpr int32_t QGainWordMax = 0x1FFFF;

// The fit colour box's items (0x00BBGGRR), black first.
extern const std::array<uint32_t, 16> DncFitColors;

int ClampOptionAverage(int value); // 9..3000
int ClampOptionHistory(int value); // 0..100
// round(position / 900 × 131071), at most 0x1FFFF.
int32_t QControlGainWord(int position);
// The angle (0..359°) of a point dx right and dy up from the circle's centre.
int QDelayAngle(int dx, int dy);
// End of the delay radius (60 pixels) for an angle, from the centre.
void QDelayRadius(int angle, int& dx, int& dy);

// "Gain: g unit/unit" and the base behind it (general, 4 digits).
struct TQGainText {
    QString Gain;
    QString Base;
};
TQGainText QGainText(double fraction, double driveFactor, double amplitudeFactor, const QString& driveUnit,
                     const QString& amplitudeUnit);

// A frequency in the unit of the auto-tune labels' Tag (−1 mHz, 0 Hz, 1 kHz, 2 MHz).
QString AutoTuneFrequencyText(double hz, int tag);

// What a controller offers on the option pages.
struct TOptionGates {
    QStringList Harmonics;
    bool HarmonicEnabled = true;
    bool HarmonicHint = false; // type 26 without the option
    bool AcVisible = true;
    bool SyncFilterVisible = false;
    bool QPageVisible = false;
};
TOptionGates LockInOptionGates(const TControllerCaps& caps, bool syncFilterSetting);

} // namespace qvt
