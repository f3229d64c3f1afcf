#include "device/FeedbackRecord.h"

#include "core/NumberText.h"
#include "device/ChannelTable.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace qvt {

namespace {

constexpr double DdsScale = 4294967296.0 / 1e7; // DDS word per Hz
constexpr double DdsTopHz = 4294967295.0 / DdsScale;
constexpr double KelvinReferenceUnit = 6.3e-8;
constexpr double KelvinFactorMin = 1e-31;
constexpr int64_t MirrorLimit = 2147483647;
constexpr int64_t MirrorRetractK0 = -100000;
constexpr int64_t MirrorRetractReference = -100000000;
constexpr double MirrorReferenceGain = 1.4; // amplitude modes with the sync filter on
constexpr int32_t MirrorCodeAmplitudeR = 3;
constexpr int32_t MirrorCodeAmplitudeX = 1;

// Saturating conversion of a rounded value; NaN gives 0.
int32_t ToInt32(double value)
{
    if (std::isnan(value))
        return 0;
    if (value >= 2147483647.0)
        return INT32_MAX;
    if (value <= -2147483648.0)
        return INT32_MIN;
    return static_cast<int32_t>(value);
}

int32_t LimitToInt32(int64_t value)
{
    return static_cast<int32_t>(std::clamp<int64_t>(value, -MirrorLimit, MirrorLimit));
}

double Limited(double value, double limit)
{
    ClampDouble(value, limit, -limit);
    return value;
}

// A DDS word runs 0..2^32-1 and travels as the bit pattern of a 32-bit word.
int32_t DdsWord(double hz)
{
    double word = Round(hz * DdsScale);
    if (std::isnan(word))
        return 0;
    word = std::clamp(word, -2147483648.0, 4294967295.0);
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<int64_t>(word)));
}

} // namespace

int DefaultFeedbackInput(int mode)
{
    switch (mode) {
    case FeedbackNcAFMR:
        return -14;
    case FeedbackNcAFMX:
        return -6;
    case FeedbackNcAFMPLL:
        return -17;
    default:
        return 0;
    }
}

int ValidFeedbackInput(int mode, int channelIndex)
{
    return IsValidChannelIndex(channelIndex) ? channelIndex : DefaultFeedbackInput(mode);
}

TFeedbackWordsResult BuildFeedbackWords(const TFeedbackWordsInput& in, const TFeedbackRecord& previous)
{
    TFeedbackWordsResult out;
    out.Words = previous;
    out.Setpoint = in.Set.Setpoint;
    out.Ki = in.Set.Ki;
    out.Kp = in.Set.Kp;
    out.AmplSetpoint = in.AmplSetpoint;
    out.AmplKi = in.AmplKi;
    out.AmplKp = in.AmplKp;
    out.FreqKp = in.FreqKp;
    TFeedbackRecord& w = out.Words;

    const TIOScale& ch = *in.Input;
    const double factor = ch.Factor;
    const double offset = ch.Offset;
    const double minRaw = ch.MinRaw;
    const double maxRaw = ch.MaxRaw;
    auto limitRaw = [&](double raw) {
        ClampDouble(raw, maxRaw, minRaw);
        return raw;
    };
    w.InputAddress = ch.Address;
    // A setpoint beyond the input's range is kept as the limit the
    // controller got, so no window or file states one it never ran.
    // Returns the raw setpoint limited; `unit` turns the input's unit into the set's.
    auto keepLimited = [&](double wantedRaw, double unit) {
        const double r = limitRaw(wantedRaw);
        if (!std::isnan(wantedRaw) && r != wantedRaw)
            out.Setpoint = static_cast<float>((r + offset) * factor * unit);
        return r;
    };

    // r: the raw setpoint; word: what the controller gets.
    const double s = in.Set.Setpoint;
    double r = 0.0;
    int64_t word = 0;
    switch (in.Mode) {
    case FeedbackSTM:
    case FeedbackSTM1:
    case FeedbackSTM2:
        // A negative tunnelling setpoint is taken with the offset reversed.
        if (s > 0) {
            r = limitRaw(Round(s / factor - offset));
            out.Setpoint = static_cast<float>((r + offset) * factor);
        } else {
            r = limitRaw(Round(s / factor + offset));
            out.Setpoint = static_cast<float>((r - offset) * factor);
        }
        word = static_cast<int64_t>(r) / 4;
        break;
    case FeedbackNcAFMR:
        // percent of the free oscillation amplitude
        if (in.NC100ProcentAmpl != 0.0f)
            r = keepLimited(Round(s / 100.0 * in.NC100ProcentAmpl / factor - offset), 100.0 / in.NC100ProcentAmpl);
        else
            r = limitRaw(Round(-offset));
        word = static_cast<int64_t>(r);
        break;
    case FeedbackNcAFMX:
        r = keepLimited(Round(s / factor - offset), 1.0);
        word = static_cast<int64_t>(r);
        break;
    case FeedbackNcAFMPLL: {
        // The shift is kept to what the DDS can add to the centre frequency.
        const double centre = in.FreqSetpoint;
        double shift = s;
        ClampDouble(shift, DdsTopHz - centre, -centre);
        if (std::isfinite(s) && shift != s)
            out.Setpoint = static_cast<float>(shift);
        word = DdsWord(shift + centre);
        r = Round(shift * DdsScale);
        break;
    }
    default: // contact, and none where the loop is held anyway
        r = keepLimited(Round(s / factor - offset), 1.0);
        word = static_cast<int64_t>(r) / 4;
        break;
    }
    w.Setpoint = static_cast<int32_t>(word);
    // With no setpoint (a scale not yet set, or none typed) the scaled Ki
    // means nothing the operator chose: it is limited but not kept so.
    const bool hasSetpoint = r != 0 && !std::isnan(r);
    if (!hasSetpoint)
        r = 1; // the integral gain is scaled by 1/|r|

    // Ki is scaled by the setpoint in every mode but contact. A gain beyond
    // the controller's limit is kept as the limit it runs, like the setpoint.
    const double kiPerScaled = in.Mode == FeedbackCmAFM ? 1.0 : std::fabs(r) / 1e7;
    const double kiScaled = in.Set.Ki / kiPerScaled;
    const int64_t ki = ToInt32(Round(Limited(kiScaled, FbGainLimit)));
    const int64_t kp = ToInt32(Round(Limited(in.Set.Kp, FbGainLimit)));
    if (std::fabs(kiScaled) > FbGainLimit && (hasSetpoint || in.Mode == FeedbackCmAFM))
        out.Ki = static_cast<float>(std::copysign(FbGainLimit, kiScaled) * kiPerScaled);
    if (std::fabs(in.Set.Kp) > FbGainLimit)
        out.Kp = static_cast<float>(std::copysign(FbGainLimit, in.Set.Kp));
    w.IntegralGain = static_cast<int32_t>(-kp - ki);
    w.ProportionalGain = static_cast<int32_t>(kp);

    if (in.ComputeMirror) {
        out.HasMirror = true;
        out.Mirror.K0 = LimitToInt32(12500 * kp + 500 * ki);
        out.Mirror.K1 = LimitToInt32(-12500 * kp);
        out.Mirror.Reference = w.Setpoint;
        out.Mirror.Mode = in.Mode;
    }

    if (in.Mode == FeedbackNcAFMPLL) {
        // The amplitude loop's setpoint and gains, like the Z loop's, are kept
        // as the limits the controller runs: the input's range, 1e9 a gain.
        if (const TIOScale* a = in.AmplitudeInput) {
            const double f = a->Factor.load();
            const double wanted = Round(in.AmplSetpoint / f);
            double raw = wanted;
            ClampDouble(raw, double(a->MaxRaw.load()), double(a->MinRaw.load()));
            w.AmplitudeSetpoint = ToInt32(raw);
            if (!std::isnan(wanted) && raw != wanted)
                out.AmplSetpoint = static_cast<float>(raw * f);
        }
        out.AmplKi = static_cast<float>(Round(Limited(in.AmplKi, FbGainLimit)));
        out.AmplKp = static_cast<float>(Round(Limited(in.AmplKp, FbGainLimit)));
        w.AmplitudeSum = ToInt32(double(out.AmplKp) + double(out.AmplKi));
        w.AmplitudeKp = ToInt32(-double(out.AmplKp));
        w.PllFrequency = DdsWord(in.FreqSetpoint);
        out.FreqKp = static_cast<float>(Round(Limited(in.FreqKp, FbPllKpLimit)));
        w.PllKp = ToInt32(out.FreqKp);
    }

    w.KelvinKi = in.KelvinOn == 1 ? ToInt32(Round(in.KelvinKi)) : 0;
    if (in.DncInputScale) {
        const double f = in.DncInputScale->Factor;
        if (std::fabs(f) > KelvinFactorMin)
            w.KelvinReference = ToInt32(Round(in.KelvinRef / f / KelvinReferenceUnit));
        w.KelvinChannel = in.KelvinChannel;
    }
    return out;
}

int32_t FeedbackModeWord(int mode, bool inputInvers, float bias, int32_t setpointWord)
{
    // Tunnelling modes reverse the loop when exactly one of the input's
    // inversion and the bias polarity holds.
    const bool invertNeg = inputInvers != (bias < 0);
    const bool invertPos = inputInvers != (bias >= 0);
    switch (mode) {
    case FeedbackNone:
        return FbWordHold;
    case FeedbackSTM:
        return invertNeg ? FbWordStm | FbBitInvert : FbWordStm;
    case FeedbackSTM1:
        return invertPos ? FbWordStm1 | FbBitInvert : FbWordStm1;
    case FeedbackSTM2: {
        // Adaptive gain: one step per e-fold of the setpoint above 1023.
        const int64_t magnitude = std::llabs(static_cast<int64_t>(setpointWord));
        int32_t k = 0;
        if (magnitude > 1023)
            k = std::min(static_cast<int32_t>(std::trunc(std::log(double(magnitude)))) - 5, 10);
        return FbWordStm2 + k + (invertPos ? FbBitInvert : 0);
    }
    case FeedbackCmAFM:
        return inputInvers ? FbWordContact | FbBitInvert : FbWordContact;
    case FeedbackNcAFMR:
        return FbWordNcAmplitude;
    case FeedbackNcAFMX:
        return FbWordNcX;
    case FeedbackNcAFMPLL:
        return FbWordNcPll;
    default:
        return FbWordStm;
    }
}

const char* FeedbackModeName(int mode)
{
    if (mode == FeedbackNone)
        return "none";
    for (const TFeedbackModeInfo& info : FeedbackModeTable) {
        if (info.Mode == mode)
            return info.ModeName;
    }
    return "default";
}

QString FeedbackModeUnit(int mode, const QString& inputUnit)
{
    if (mode == FeedbackNcAFMR)
        return QStringLiteral("%");
    if (mode >= FeedbackSTM && mode <= FeedbackNcAFMPLL)
        return inputUnit;
    return QString();
}

TFeedbackSendResult BuildFeedbackSend(const TFeedbackRecord& words, const TFeedbackSendInput& in)
{
    TFeedbackSendResult out;
    out.Record = words;
    TFeedbackRecord& rec = out.Record;
    const int32_t w = FeedbackModeWord(in.Mode, in.InputInvers, in.Bias, words.Setpoint);
    out.ModeWord = w;

    // Entering and leaving the dynamic modes is judged by the modes' own
    // words: the retract and lift-pass overrides must not look like a mode change.
    out.LockInOn = in.LockInOn;
    if (in.PreviousModeWord < FbWordNonContact && w >= FbWordNonContact) {
        out.LockInOn |= 1u;
        out.Drive = TDriveChange::Apply;
    } else if (in.PreviousModeWord >= FbWordNonContact && w > 0 && w < FbWordNonContact && in.LockInOn < 2) {
        out.LockInOn &= ~1u;
        out.Drive = TDriveChange::SwitchOff;
    }

    int32_t control = w;
    if (in.KelvinOn > 0)
        control |= FbBitKelvin;
    if (in.Retract) {
        control = FbWordRetract;
        rec.Setpoint = FbRetractSetpoint;
        rec.IntegralGain = FbRetractIntegralGain;
        rec.ProportionalGain = 0;
    }
    if (in.LiftPass)
        control = FbWordHold;
    if (in.FastModule) {
        if (in.ScannerFastSwitch) {
            control = FbWordHold;
        } else if (!in.Retract) {
            control = FbWordFastModule;
            rec.Setpoint = 0;
            rec.InputAddress = FbFastModuleInput;
        }
    }
    rec.ControlWord = control;
    rec.Spare = 0;

    if (in.UsbBox) {
        int64_t k0 = in.Mirror.K0;
        int64_t k1 = in.Mirror.K1;
        int64_t ref = in.Mirror.Reference;
        int32_t mode = in.Mirror.Mode;
        if (mode < FeedbackNcAFMR) {
            k0 = -k0;
            k1 = -k1;
        }
        if (w & FbBitInvert) {
            ref = -ref;
            k0 = -k0;
            k1 = -k1;
        }
        if (in.Retract) {
            if (in.Type29) {
                mode = FeedbackNcAFMR;
                k0 = MirrorRetractK0;
                k1 = 0;
                ref = MirrorRetractReference;
            } else {
                k0 = -k0;
            }
        }
        if ((mode == FeedbackNcAFMR || mode == FeedbackNcAFMX) && in.LockInGain > 0)
            ref = static_cast<int64_t>(Round(double(ref) * MirrorReferenceGain));
        out.MirrorModeCode = mode == FeedbackNcAFMR   ? MirrorCodeAmplitudeR
                             : mode == FeedbackNcAFMX ? MirrorCodeAmplitudeX
                                                      : 0;
        out.MirrorWrites = {{{RegFastFeedbackK0, LimitToInt32(k0)},
                             {RegFastFeedbackK1, LimitToInt32(k1)},
                             {RegFastFeedbackRef, LimitToInt32(ref)},
                             {RegFastFeedbackMode, out.MirrorModeCode}}};
        out.MirrorWriteCount = 4;
    }
    return out;
}

TSlopeRecord BuildSlopeRecord(bool on, double& dxDz, double& dyDz)
{
    if (!on)
        return {};
    dxDz = Limited(dxDz, FbGainLimit);
    dyDz = Limited(dyDz, FbGainLimit);
    return {ToInt32(Round(dxDz)), ToInt32(Round(dyDz))};
}

} // namespace qvt
