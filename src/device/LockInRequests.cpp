// The lock-in request words.

#include "device/LockInRequests.h"

#include "core/IniFile.h"
#include "core/NumberText.h"
#include "core/SharedState.h"
#include "device/ChannelTable.h"
#include "platform/MessageBoxes.h"

#include <algorithm>
#include <cmath>

namespace qvt {

namespace {

constexpr double TwoPow31 = 2147483648.0;
constexpr double TwoPow32 = 4294967296.0;
constexpr int32_t WordMax31 = 2147483647;
constexpr double DefaultReferenceHz = 20000.0;
constexpr double PrescalerClockHz = 5.0e6;
constexpr double PrescalerSlowBelowHz = 30.0;
constexpr int32_t PrescalerMax = 15;
constexpr int PhaseSteps = 8192;
constexpr double DegreesPerPhaseStep = 360.0 / PhaseSteps;
constexpr double ShifterClockType29 = 1.6e8;
constexpr double ShifterDelayMax = 1023.0;
constexpr int32_t ShifterGainMax = 0x1FFFF;

} // namespace

double FiniteOrZero(double v)
{
    return std::isfinite(v) ? v : 0.0;
}

// ---- pure builders -----------------------------------------------------------------

TFrequencyWords BuildLockInFrequency(double hz, bool type29)
{
    TFrequencyWords w;
    if (!(hz > 0.0) || !std::isfinite(hz))
        return w;
    w.Send = true;
    double x = hz * FrequencyWordScale;
    if (type29) {
        const double coarse = std::trunc(x / TwoPow31);
        w.HasCoarse = true;
        const uint32_t c = static_cast<uint32_t>(std::min(coarse, 65535.0)) & 0xFFFFu;
        w.CoarseWord = static_cast<int32_t>(c | 0x80000000u);
        x = std::clamp(x - coarse * TwoPow31, 0.0, TwoPow31 - 1.0);
    } else {
        x = std::clamp(x, 0.0, TwoPow32 - 1.0);
    }
    w.FineWord = static_cast<uint32_t>(Round(x));
    w.KeptWord = static_cast<int32_t>(std::min<uint32_t>(w.FineWord, WordMax31));
    return w;
}

double LockInFrequencyMax(bool type29)
{
    // The largest word that rounds inside the limits of BuildLockInFrequency.
    const double words = type29 ? 65536.0 * TwoPow31 - 1.0 : TwoPow32 - 1.0;
    return words / FrequencyWordScale;
}

bool LockInFrequencyFits(double hz, bool type29)
{
    return hz > 0.0 && hz <= LockInFrequencyMax(type29);
}

const char* AmplitudeScaleKey(int range)
{
    switch (range) {
    case 0:
        return "Scale3";
    case 1:
        return "Scale2";
    default:
        return "Scale0";
    }
}

int32_t AmplitudeRangeBits(int range)
{
    switch (range) {
    case 0:
        return 0x30;
    case 1:
        return 0x10;
    default:
        return 0;
    }
}

TAmplitudeRange BuildAmplitudeRange(int range, double volts, double scale, int32_t fullWord)
{
    TAmplitudeRange r;
    // A scale of 0 (a cleared settings key) would divide by zero below.
    if (!(scale > 0.0) || !std::isfinite(scale))
        scale = 1.0;
    volts = std::max(0.0, FiniteOrZero(volts));
    if (range < 0 || range > 2) {
        range = 2;
        r.Beep = true;
        volts = fullWord / scale;
    }
    r.Range = range;
    r.RangeBits = AmplitudeRangeBits(range);
    r.Volts = volts;
    const double word = Round(volts * scale);
    if (word > fullWord) {
        r.Fits = false;
        return r;
    }
    r.Word = static_cast<int32_t>(word);
    return r;
}

int32_t DriveAmplitudeRegister(int32_t secondWord, int32_t word)
{
    return static_cast<int32_t>((static_cast<uint32_t>(secondWord) << 16) | (static_cast<uint32_t>(word) & 0xFFFFu));
}

double DriveMonitorFactor(double scale)
{
    return 1.0 / scale / 65536.0 * 32.0;
}

TReferenceFrequency BuildReferenceFrequency(double hz)
{
    if (!(hz > 0.0) || !std::isfinite(hz))
        hz = DefaultReferenceHz;
    TReferenceFrequency r;
    r.Hz = hz;
    r.Register3 = static_cast<int32_t>(std::min(Round(hz * FrequencyWordScale / 16.0), double(WordMax31)));
    if (hz < PrescalerSlowBelowHz) {
        r.Prescaler = PrescalerMax;
    } else {
        const double ratio = std::trunc(PrescalerClockHz / hz);
        int32_t d = 0;
        while (d < PrescalerMax && std::ldexp(1.0, d) < ratio)
            ++d;
        r.Prescaler = d;
    }
    return r;
}

int32_t LockInGainRegister(int32_t gain, int32_t prescaler)
{
    return static_cast<int32_t>(static_cast<uint32_t>(gain) | (static_cast<uint32_t>(prescaler) << 16));
}

TLockInPhase BuildLockInPhase(int harmonic, double degrees)
{
    harmonic = std::clamp(harmonic, 1, 15);
    double phase = std::fmod(FiniteOrZero(degrees), 360.0);
    if (phase < 0.0)
        phase += 360.0;
    const auto code = static_cast<int32_t>(std::clamp(Round(phase / DegreesPerPhaseStep), 0.0, PhaseSteps - 1.0));
    TLockInPhase p;
    p.Degrees = code * DegreesPerPhaseStep;
    p.Word = static_cast<uint32_t>(code) | (static_cast<uint32_t>(harmonic) << 28);
    return p;
}

TPhaseShifter BuildPhaseShifter(int32_t gain, double phase, double hz, double lockInPhase, const TControllerCaps& caps)
{
    int32_t n = 0;
    double e = 0.0;
    const bool validHz = hz > 0.0 && std::isfinite(hz);
    if (caps.Type29() && validHz) {
        n = 7;
        for (int i = 0; i <= 7; ++i) {
            if (ShifterClockType29 / hz / std::ldexp(1.0, i) <= ShifterDelayMax) {
                n = i;
                break;
            }
        }
        e = ShifterClockType29 / hz / std::ldexp(1.0, n);
    } else if (caps.Type26() && validHz) {
        e = LockInClockHz / hz;
    }
    const auto g = static_cast<uint32_t>(std::clamp(gain, 0, ShifterGainMax));
    const double delayValue = Round(FiniteOrZero((phase + lockInPhase) * e / 360.0));
    const auto delay = static_cast<uint32_t>(static_cast<int64_t>(std::clamp(delayValue, -1.0e9, 1.0e9))) & 0x3FFu;
    const auto nBits = static_cast<uint32_t>(n) << 10;
    TPhaseShifter s;
    if (caps.ShifterInGainRegister()) {
        s.Register = RegLiaGain;
        s.Value = static_cast<int32_t>((g << 14) | nBits | delay);
    } else {
        s.Register = RegQControl;
        s.Value = static_cast<int32_t>((g << 15) | nBits | delay);
    }
    return s;
}

bool BuildLockInFilter(int filter, const TSetFilterRecord& coefficients, int32_t lockInGain, TSetFilterRecord& out)
{
    if (filter < 0 || filter >= LockInFilterCount)
        return false;
    out = coefficients;
    out.Filter = filter;
    // With the sync filter on, the last two filters see a larger signal.
    if (filter >= 6 && lockInGain > 0)
        out.Coefficients[7] = static_cast<int32_t>(Round(out.Coefficients[7] / 1024.0 * 729.0));
    return true;
}

TSetMultiLiaRecord BuildMultiLockIn(int k, const TMultiLockInChannel& channel)
{
    TSetMultiLiaRecord r;
    r.Index = k;
    r.InputAddress = channel.Address;
    r.Setpoint = channel.Setpoint;
    r.Ki = channel.On ? channel.Ki : 0;
    if (k == 2 || k == 3)
        r.AmplitudeWord = static_cast<int32_t>(static_cast<uint32_t>(channel.AmplitudeWord) << 15);
    return r;
}

TDncStatus DecodeDncStatus(const TDncStatusRecord& record, bool readOk)
{
    TDncStatus s;
    if (!readOk)
        return s;
    s.Overload = (record.Words[2] & DncStatusOverload) != 0;
    s.QClip = (record.Words[2] & DncStatusQClip) != 0;
    s.Kept = record.Words[3];
    s.Results[0] = record.Words[0];
    s.Results[1] = record.Words[1];
    s.Results[2] = record.Words[4];
    s.Results[3] = record.Words[5];
    return s;
}

} // namespace qvt
