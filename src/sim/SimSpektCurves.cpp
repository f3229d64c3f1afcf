#include "sim/SimSpektCurves.h"

#include <algorithm>
#include <cmath>

namespace qvt::sim {

namespace {

constexpr double CurrentScale = 2000.0; // digits at 1 V over the start gap
constexpr double BarrierVolts = 0.5;    // where the curve turns from ohmic to exponential
constexpr double DecayPerNm = 10.0;     // 2κ of a 4.5 eV barrier, roughly
constexpr double ForceScale = 3000.0;   // digits of the attractive well
constexpr double ForceDecayPerNm = 4.0;
constexpr double ForceZeroNm = 0.3; // the repulsive and attractive parts balance here
constexpr double TickUs = 1.0e6 / 39062.5;
constexpr double WordMax = 2147483647.0;

int32_t ToWord(double v)
{
    return static_cast<int32_t>(std::clamp(std::round(v), -WordMax, WordMax));
}

} // namespace

double SimSpectroscopy::TunnelCurrent(double biasVolts, double gapNm)
{
    const double gap = std::max(gapNm, 0.0);
    return CurrentScale * BarrierVolts * std::sinh(biasVolts / BarrierVolts) *
           std::exp(-DecayPerNm * (gap - StartGapNm));
}

double SimSpectroscopy::Force(double gapNm)
{
    const double e = std::exp(-ForceDecayPerNm * (std::max(gapNm, 0.0) - ForceZeroNm));
    return ForceScale * (e * e - 2.0 * e);
}

void SimSpectroscopy::Start(const TSetSpektRecord& record, int64_t nowUs)
{
    record_ = record;
    startUs_ = nowUs;
    points_ = record.Kind == 2 ? 0 : std::clamp(record.DataPoints, 0, SpektPoints - 1);
}

int SimSpectroscopy::DoneAt(int64_t nowUs) const
{
    const double pointUs = std::max(record_.SampleTicks, 1) * TickUs;
    const double elapsed = double(nowUs - startUs_) - std::max(record_.Delay, 0);
    if (elapsed <= 0.0)
        return 0;
    return static_cast<int>(std::min<double>(points_, std::floor(elapsed / pointUs)));
}

int SimSpectroscopy::Read(int slot, int64_t nowUs, int32_t* out) const
{
    if (slot < 1 || slot > 6)
        return -1;
    const int done = DoneAt(nowUs);
    const bool differences = (record_.Kind & 0x10) != 0;
    int64_t z = 0;
    for (int i = 0; i < done; ++i) {
        z = differences ? (i == 0 ? 0 : z + z_.Values[i - 1]) : z_.Values[i];
        const double volts = bias_.Values[i] * BiasVoltsPerDigit;
        const double gap = StartGapNm + double(z) * GapNmPerDigit;
        switch (slot) {
        case 1:
            out[i] = ToWord(TunnelCurrent(volts, gap));
            break;
        case 2:
            out[i] = ToWord(Force(gap));
            break;
        case 3:
            out[i] = ToWord(double(z));
            break;
        case 4:
            out[i] = bias_.Values[i];
            break;
        default:
            out[i] = 0;
            break;
        }
    }
    return done;
}

} // namespace qvt::sim
