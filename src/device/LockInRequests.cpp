// The lock-in request words, and the device window's lock-in setters that send them.

#include "device/LockInRequests.h"

#include "core/IniFile.h"
#include "core/NumberText.h"
#include "core/SharedState.h"
#include "device/ChannelTable.h"
#include "device/InOutForm.h"
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
constexpr int DefaultPhaseSlot = 13; // "dnc"/"channelPhi"
constexpr int AutoPhaseReads = 20;
constexpr int32_t ShifterGainMax = 0x1FFFF;
constexpr int32_t LockInGainMax = 255;
constexpr int SlotDac11 = 10;
constexpr int32_t AverageReads = 1024;
constexpr int32_t AverageReadDelayUs = 30;

double Finite(double v)
{
    return std::isfinite(v) ? v : 0.0;
}

} // namespace

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
    volts = std::max(0.0, Finite(volts));
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
    double phase = std::fmod(Finite(degrees), 360.0);
    if (phase < 0.0)
        phase += 360.0;
    const auto code = static_cast<int32_t>(std::clamp(Round(phase / DegreesPerPhaseStep), 0.0, PhaseSteps - 1.0));
    TLockInPhase p;
    p.Degrees = code * DegreesPerPhaseStep;
    p.Word = static_cast<uint32_t>(code) | (static_cast<uint32_t>(harmonic) << 28);
    return p;
}

TPhaseShifter BuildPhaseShifter(int32_t gain, double phase, double hz, double lockInPhase,
                                const TControllerCaps& caps)
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
    const double delayValue = Round(Finite((phase + lockInPhase) * e / 360.0));
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

// ---- the device window's lock-in setters -------------------------------------------------

void TInOutForm::SetLockInFrequency(double hz)
{
    const TFrequencyWords w = BuildLockInFrequency(hz, Caps.Type29());
    if (!w.Send)
        return;
    if (w.HasCoarse)
        Ioctl(IOCTL_SET_FREQUENCY, &w.CoarseWord, sizeof w.CoarseWord, nullptr, 0);
    LastIoOk = Ioctl(IOCTL_SET_FREQUENCY, &w.FineWord, sizeof w.FineWord, nullptr, 0);
    MultiLockInParams.ResonanceWord = w.KeptWord;
    emit multiLockInChanged();
}

double TInOutForm::AmplitudeScale(int range) const
{
    return MainIni ? MainIni->ReadFloat("dnc", AmplitudeScaleKey(range), 1.0) : 1.0;
}

bool TInOutForm::SetAmplitudeRange(int range, double volts)
{
    const int32_t full = Caps.AmplitudeFullWord();
    double scale = AmplitudeScale(range);
    if (!(scale > 0.0) || !std::isfinite(scale))
        scale = 1.0;
    const TAmplitudeRange r = BuildAmplitudeRange(range, volts, scale, full);
    if (r.Beep)
        Beep();
    if (!r.Fits)
        return true;

    SetControlBits(ControlAmplitudeRangeMask, r.RangeBits);
    LockInState.DriveAmplitudeWord = r.Word;
    SendAmplitudeScale(scale);
    if (MultiLockInParams.ReferenceMode > 0) {
        const double second = std::clamp(Round(Finite(MultiLockInParams.Amplitude[0]) * scale), 0.0, double(full));
        MultiLockInParams.AmplitudeWord[0] = static_cast<int32_t>(second);
        MultiLockInParams.Amplitude[0] = second / scale;
    }
    WriteReg(RegLiaAmplitude, DriveAmplitudeRegister(MultiLockInParams.AmplitudeWord[0], r.Word));
    LockInState.DriveAmplitude = r.Volts;
    LockInState.AmplitudeRange = r.Range;
    return false;
}

double TInOutForm::SetDriveAmplitude(double volts)
{
    volts = std::max(0.0, Finite(volts));
    const int32_t full = Caps.AmplitudeFullWord();
    // With reference A both oscillators share the output range.
    const double needed = volts + (MultiLockInParams.ReferenceMode > 0 ? Finite(MultiLockInParams.Amplitude[0]) : 0.0);
    int range = 3;
    for (int candidate = 0; candidate <= 2; ++candidate) {
        if (!BuildAmplitudeRange(candidate, needed, AmplitudeScale(candidate), full).Fits)
            continue;
        range = candidate;
        break;
    }
    if (SetAmplitudeRange(range, volts))
        SetAmplitudeRange(3, volts);
    return LockInState.DriveAmplitude;
}

void TInOutForm::SendAmplitudeScale(double scale)
{
    const int32_t word = LockInState.DriveAmplitudeWord;
    LastIoOk = Ioctl(IOCTL_SET_AMPLITUDE, &word, sizeof word, nullptr, 0);
    const auto factor = static_cast<float>(DriveMonitorFactor(scale));
    TIOScale& monitor = ChannelTable[SlotDac11];
    if (factor == monitor.Factor.load())
        return;
    monitor.Factor = factor;
    monitor.UnitName = QStringLiteral("V");
    if (MainIni) {
        MainIni->WriteString("Scale", "DAC11Edit1", QStringLiteral("V"));
        MainIni->WriteFloat("Scale", "DAC11Edit2", factor);
    }
    emit driveMonitorRescaled();
}

void TInOutForm::SetLockInGain(int32_t gain)
{
    gain = std::clamp(gain, 0, LockInGainMax);
    LockInState.GainCopy = gain;
    WriteReg(RegLiaGain, LockInGainRegister(gain, LockInPrescaler));
    LockInState.LockInGain = gain;
    int timeConstant = 0;
    int slope = 0;
    if (LockInHooks.ResonanceFilterChoice && LockInHooks.ResonanceFilterChoice(timeConstant, slope)) {
        SetLockInFilter(6, timeConstant, slope);
        SetLockInFilter(7, timeConstant, slope);
    }
}

void TInOutForm::SetReferenceFrequency(double hz)
{
    const TReferenceFrequency r = BuildReferenceFrequency(hz);
    WriteReg(RegRefFreq, r.Register3);
    LockInPrescaler = r.Prescaler;
    WriteReg(RegLiaGain, LockInGainRegister(LockInState.LockInGain, r.Prescaler));
}

double TInOutForm::SetLockInPhase(int harmonic, double degrees)
{
    const TLockInPhase p = BuildLockInPhase(harmonic, degrees);
    LastIoOk = Ioctl(IOCTL_SET_PHASE, &p.Word, sizeof p.Word, nullptr, 0);
    LockInState.LockInPhase = p.Degrees;
    return p.Degrees;
}

void TInOutForm::SetPhaseShifter(int32_t gain, double phase, double hz)
{
    const TPhaseShifter s = BuildPhaseShifter(gain, phase, hz, LockInState.LockInPhase, Caps);
    WriteReg(s.Register, s.Value);
}

void TInOutForm::SetLockInFilter(int filter, int timeConstant, int slope)
{
    if (filter < 0 || filter >= LockInFilterCount || !LockInHooks.FilterTable)
        return;
    timeConstant = std::clamp(timeConstant, 0, LockInTimeConstants - 1);
    TSetFilterRecord table;
    if (!LockInHooks.FilterTable(timeConstant, slope, table))
        return;
    TSetFilterRecord record;
    BuildLockInFilter(filter, table, LockInState.LockInGain, record);
    LastIoOk = Ioctl(IOCTL_SET_FILTER, &record, sizeof record, nullptr, 0);
}

void TInOutForm::SendMultiLockInChannel(int k)
{
    if (k < 0 || k > 3 || !LockInHooks.MultiLockInChannel)
        return;
    TMultiLockInChannel channel;
    if (!LockInHooks.MultiLockInChannel(k, channel))
        return;
    const TSetMultiLiaRecord record = BuildMultiLockIn(k, channel);
    LastIoOk = Ioctl(IOCTL_SET_MULTI_LIA, &record, sizeof record, nullptr, 0);
}

TDncStatus TInOutForm::ReadDncStatus()
{
    TDncStatusRecord record;
    const bool ok = Ioctl(IOCTL_READ_DNC_STATUS, nullptr, 0, &record, sizeof record);
    LastIoOk = ok;
    const TDncStatus s = DecodeDncStatus(record, ok);
    DncStatusWord = s.Kept;
    const bool changed = s.Overload != dncOverload_ || s.QClip != dncQClip_;
    dncOverload_ = s.Overload;
    dncQClip_ = s.QClip;
    const bool beepOnOverload = MainIni ? MainIni->ReadBool("dncopt", "BeepOnOverload", true) : true;
    const bool beepOnQClip = MainIni ? MainIni->ReadBool("dncopt", "BeepOnQClip", false) : false;
    if ((s.Overload && beepOnOverload) || (s.QClip && beepOnOverload && beepOnQClip))
        Beep();
    if (changed) {
        const bool showOnError = MainIni ? MainIni->ReadBool("dncopt", "ShowOnError", false) : false;
        emit dncStatusChanged(s.Overload, s.QClip, showOnError);
    }
    return s;
}

int32_t TInOutForm::AverageChannel()
{
    const int index = MicroscopeState.FeedbackChannel;
    const int32_t address = IsValidChannelIndex(index) ? ChannelTable[SlotOfChannelIndex(index)].Address.load() : 0;
    int64_t sum = 0;
    for (int32_t i = 0; i < AverageReads; ++i) {
        sum += ReadReg(address);
        DelayUs(AverageReadDelayUs);
    }
    return static_cast<int32_t>(sum / AverageReads);
}

void TInOutForm::DncAutoPhase()
{
    const double stored = MainIni ? MainIni->ReadFloat("dncopt", "phase", 0.0) : 0.0;
    const int harmonic = MainIni ? MainIni->ReadInteger("dncopt", "harmonic", 1) : 1;
    double phase = SetLockInPhase(harmonic, Finite(stored));
    const bool mode6 = MicroscopeState.FeedbackMode == FeedbackNcAFMPLL;
    const float freqKp = MicroscopeState.FreqKp;
    if (mode6) {
        // The frequency loop would chase the phase being measured.
        MicroscopeState.FreqKp = 0.0f;
        UpdateFeedback();
    }
    const double tau = LockInHooks.ResonanceTimeConstant ? Finite(LockInHooks.ResonanceTimeConstant()) : 0.0;
    const double waitUs = std::clamp(tau * 1.0e6, 0.0, 1.0e7);
    DelayUs(static_cast<int32_t>(Round(waitUs)));
    int slot = MainIni ? MainIni->ReadInteger("dnc", "channelPhi", DefaultPhaseSlot) : DefaultPhaseSlot;
    if (!IsValidSlot(slot))
        slot = DefaultPhaseSlot;
    const int32_t address = ChannelTable[static_cast<size_t>(slot)].Address;
    const double factor = ChannelTable[static_cast<size_t>(slot)].Factor;
    double sum = 0.0;
    for (int i = 0; i < AutoPhaseReads; ++i) {
        sum += ReadReg(address);
        DelayUs(static_cast<int32_t>(Round(waitUs / 10.0)));
    }
    phase = SetLockInPhase(harmonic, -(sum * factor) / AutoPhaseReads + phase);
    if (MainIni)
        MainIni->WriteString("dncopt", "phase", FixedPointText(phase, 4, 1));
    if (mode6) {
        MicroscopeState.FreqKp = freqKp;
        UpdateFeedback();
    }
}

} // namespace qvt
