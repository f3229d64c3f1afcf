#include "lockin/LockinWords.h"

#include "core/NumberText.h"
#include "device/LockInRequests.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace qvt {

TLockinFrequency LockinFrequencyWord(double hz)
{
    TLockinFrequency r;
    if (!LockInFrequencyFits(hz, false))
        return r;
    // Word 0 would stop the oscillator, and 0 Hz is never sent.
    const double w = Round(hz * FrequencyWordScale);
    if (w < 1.0)
        return r;
    r.Word = static_cast<uint32_t>(w);
    r.Hz = r.Word * 1.0e7 / 4294967296.0;
    r.Ok = true;
    return r;
}

TLockinAmplitude LockinAmplitudeWord(double volts, const TLockinRanges& ranges)
{
    TLockinAmplitude r;
    double a = std::isfinite(volts) ? volts : 0.0;
    a = std::max(std::min(a, ranges.Switch[0]), 0.0);
    r.Volts = a;
    if (a > ranges.Switch[1]) {
        r.Range = 0;
        r.RangeBits = 0x00;
    } else if (a > ranges.Switch[2]) {
        r.Range = 1;
        r.RangeBits = 0x20;
    } else if (a > ranges.Switch[3]) {
        r.Range = 2;
        r.RangeBits = 0x10;
    } else {
        r.Range = 3;
        r.RangeBits = 0x30;
    }
    const double w = Round(a * ranges.Scale[r.Range]);
    if (!(w <= 2047.0)) {
        r.Clipped = true;
        r.Word = 2047;
        r.Volts = 2047.0 / ranges.Scale[r.Range]; // what the word sends
    } else {
        r.Word = static_cast<int32_t>(std::max(w, 0.0));
    }
    return r;
}

bool LockinGainBits(int gain, int32_t& bits)
{
    switch (gain) {
    case 1:
        bits = 0x0E;
        return true;
    case 10:
        bits = 0x0C;
        return true;
    case 100:
        bits = 0x08;
        return true;
    default:
        bits = 0x0E;
        return false;
    }
}

int32_t LockinPhaseCode(double degrees)
{
    double p = std::isfinite(degrees) ? degrees : 0.0;
    if (p < 0.0)
        p += 360.0;
    if (p > 360.0)
        p -= 360.0;
    p = std::clamp(p, 0.0, 360.0);
    const auto a = static_cast<int32_t>(Round(p / 360.0 * 8192.0));
    int32_t code = a - 4096;
    if (code < 0)
        code = a + 4096;
    return std::clamp(code, 0, 8191);
}

double LockinPhaseDegrees(int32_t code)
{
    code = std::clamp(code, 0, 8191);
    return (code >= 4096 ? code - 4096 : code + 4096) * 360.0 / 8192.0;
}

uint32_t LockinHarmonicPhaseWord(int harmonic, bool pll, double degrees)
{
    const auto h = static_cast<uint32_t>(std::clamp(harmonic, 0, 15));
    return (h << 28) | (pll ? 1u << 16 : 0u) | static_cast<uint32_t>(LockinPhaseCode(degrees));
}

TLockinDisplayFormat LockinDisplayFormat(int item, const QString& fallbackUnit)
{
    switch (item) {
    case 0:
        return {" V", 1.0, 6, 4};
    case 1:
        return {"mV", 1000.0, 6, 2};
    case 2:
        return {"mV", 1000.0, 6, 3};
    case 3:
        return {"mV", 1000.0, 6, 4};
    case 4:
        return {"µV", 1.0e6, 6, 2};
    case 5:
        return {"µV", 1.0e6, 6, 3};
    case 6:
        return {"µV", 1.0e6, 5, 3};
    case 7:
        return {"nV", 1.0e9, 11, 0};
    default:
        return {fallbackUnit, 1.0, 11, 0};
    }
}

QString LockinDisplayFormatText(int item)
{
    static const char* texts[] = {"#.#### V",  "###.## mV", "##.### mV", "#.#### mV",
                                  "###.## µV", "##.### µV", "#.### µV",  "full"};
    return item >= 0 && item < 8 ? QString::fromUtf8(texts[item]) : QString();
}

// ---- filter tables -----------------------------------------------------------------------

namespace {

int32_t Q31(double fraction)
{
    return static_cast<int32_t>(std::clamp(Round(fraction * 2147483648.0), -2147483648.0, 2147483647.0));
}

struct Section {
    double A = 1, B = 0, C = 0; // {A, B, C, A}
};

// One pole pair of a Butterworth low pass at angle θ from the real axis:
// {√g, a1/2, a2/2, √g} with a1 = 2r cos φ, a2 = r², g = 1 − a1 + a2 (unit DC gain).
Section PolePair(double tau, double thetaDeg)
{
    const double wt = 2.0 * std::numbers::pi / tau / LockinFilterTickHz;
    const double theta = thetaDeg * std::numbers::pi / 180.0;
    const double r = std::exp(-wt * std::cos(theta));
    const double a1 = 2.0 * r * std::cos(wt * std::sin(theta));
    const double a2 = r * r;
    return {std::sqrt(std::max(1.0 - a1 + a2, 0.0)), a1 / 2.0, a2 / 2.0};
}

Section SinglePole(double tau)
{
    const double p = std::exp(-2.0 * std::numbers::pi / (LockinFilterTickHz * tau));
    return {std::sqrt(1.0 - p), p / 2.0, 0.0};
}

void Put(TSetFilterRecord& rec, const Section& first, const Section& second)
{
    const double v[8] = {first.A, first.B, first.C, first.A, second.A, second.B, second.C, second.A};
    for (int i = 0; i < 8; ++i)
        rec.Coefficients[i] = Q31(v[i]);
}

constexpr double TimeConstants[LockinFilterTimeConstants] = {0.0002, 0.0005, 0.001, 0.002, 0.005, 0.01, 0.02,
                                                             0.05,   0.1,    0.2,   0.5,   1.0,   2.0,  5.0};

} // namespace

double TLockinFilterTables::TimeConstantSeconds(int index)
{
    return TimeConstants[std::clamp(index, 0, LockinFilterTimeConstants - 1)];
}

TLockinFilterTables::TLockinFilterTables()
{
    Put(passThrough_, {}, {});
    for (int k = 0; k < LockinFilterTimeConstants; ++k) {
        const double tau = TimeConstants[k];
        Put(table_[k], {}, SinglePole(tau));
        Put(table_[LockinFilterSlots + k], {}, PolePair(tau, 45.0));
        Put(table_[2 * LockinFilterSlots + k], PolePair(tau, 22.5), PolePair(tau, 67.5));
    }
    // The measured rows at the ends of each table.
    Put(table_[0], {}, {0.743354, 0.223712, 0});
    Put(table_[13], {}, {0.005672, 0.499984, 0});
    Put(table_[LockinFilterSlots], {}, {0.593127, 0.489579, 0.165478});
    Put(table_[LockinFilterSlots + 13], {}, {0.000031, 0.999977, 0.499977});
    Put(table_[2 * LockinFilterSlots], {0.554426, 0.464362, 0.118056}, {0.660742, 0.556694, 0.274984});
    Put(table_[2 * LockinFilterSlots + 13], {0.000031, 0.999970, 0.499970}, {0.000031, 0.999988, 0.499988});
}

bool TLockinFilterTables::Record(int timeConstant, int slope, TSetFilterRecord& out) const
{
    if (slope < 0) {
        out = passThrough_;
        return true;
    }
    if (slope >= LockinFilterSlopes || timeConstant < 0 || timeConstant >= LockinFilterSlots)
        return false;
    out = table_[static_cast<size_t>(slope * LockinFilterSlots + timeConstant)];
    return true;
}

} // namespace qvt
