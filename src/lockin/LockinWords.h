#pragma once
// The words of the second lock-in device and the filter-coefficient tables
// every lock-in filter of the system is loaded from.

#include "protocol/ControlCodes.h"

#include <QString>

#include <array>
#include <cstdint>

namespace qvt {

struct TLockinFrequency {
    bool Ok = false;
    uint32_t Word = 0;
    double Hz = 0.0; // the frequency really set
};
// round(f × 2^32 / 10^7), only for a word from 1 to 2^32 − 1.
TLockinFrequency LockinFrequencyWord(double hz);

// Output-range choice of the second lock-in; the thresholds and scales are
// [Lockin] Switch0..3 and Scale0..3.
struct TLockinRanges {
    std::array<double, 4> Switch{10.0, 1.0, 0.1, 0.01};
    std::array<double, 4> Scale{1.0, 1.0, 1.0, 1.0};
};
struct TLockinAmplitude {
    double Volts = 0.0;
    int Range = 0;
    int32_t RangeBits = 0;
    int32_t Word = 0;
    bool Clipped = false; // the word was above 2047: Volts is what 2047 sends
};
TLockinAmplitude LockinAmplitudeWord(double volts, const TLockinRanges& ranges);
constexpr int32_t LockinRangeMask = 0x30;
constexpr int32_t LockinGainMask = 0x0E;
// 0x0E for gain 1, 0x0C for 10, 0x08 for 100; false (and gain-1 bits) otherwise.
bool LockinGainBits(int gain, int32_t& bits);

// Harmonic (0..15) shl 28 | PLL shl 16 | phase code.
int32_t LockinPhaseCode(double degrees);
// The phase (0..360 degrees) a code sends.
double LockinPhaseDegrees(int32_t code);
uint32_t LockinHarmonicPhaseWord(int harmonic, bool pll, double degrees);

// Display formats 0..7 of a value in volts.
struct TLockinDisplayFormat {
    QString Unit;
    double Multiplier = 1.0;
    int Precision = 11;
    int Digits = 0;
};
TLockinDisplayFormat LockinDisplayFormat(int item, const QString& fallbackUnit);
QString LockinDisplayFormatText(int item);

// ---- filter tables -----------------------------------------------------------------------

constexpr int LockinFilterSlopes = 3; // 6, 12, 24 dB/oct
constexpr int LockinFilterSlots = 21; // per slope; 0..13 used
constexpr int LockinFilterTimeConstants = 14;
constexpr double LockinFilterTickHz = 39062.5;

class TLockinFilterTables {
public:
    TLockinFilterTables();
    // slope < 0: the pass-through record; false for slope > 2 or a slot out of 0..20.
    bool Record(int timeConstant, int slope, TSetFilterRecord& out) const;
    static double TimeConstantSeconds(int index); // 0.2 ms .. 5 s

private:
    TSetFilterRecord passThrough_;
    std::array<TSetFilterRecord, LockinFilterSlopes * LockinFilterSlots> table_{};
};

} // namespace qvt
