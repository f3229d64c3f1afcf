// The device window's lock-in setters: they build the words with the
// builders of LockInRequests.h and send them.

#include "device/InOutForm.h"

#include "core/IniFile.h"
#include "core/NumberText.h"
#include "core/SharedState.h"
#include "device/ChannelTable.h"
#include "platform/MessageBoxes.h"

#include <algorithm>
#include <cmath>

namespace qvt {

namespace {

constexpr int DefaultPhaseSlot = 13; // "dnc"/"channelPhi"
constexpr int AutoPhaseReads = 20;
constexpr int32_t LockInGainMax = 255;
constexpr int SlotDac11 = 10;
constexpr int32_t AverageReads = 1024;
constexpr int32_t AverageReadDelayUs = 30;

} // namespace

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
        const double second =
            std::clamp(Round(FiniteOrZero(MultiLockInParams.Amplitude[0]) * scale), 0.0, double(full));
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
    volts = std::max(0.0, FiniteOrZero(volts));
    const int32_t full = Caps.AmplitudeFullWord();
    // With reference A both oscillators share the output range.
    const double needed =
        volts + (MultiLockInParams.ReferenceMode > 0 ? FiniteOrZero(MultiLockInParams.Amplitude[0]) : 0.0);
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
    emit referenceFrequencySet(r.Hz);
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
    double phase = SetLockInPhase(harmonic, FiniteOrZero(stored));
    const bool mode6 = MicroscopeState.FeedbackMode == FeedbackNcAFMPLL;
    const float freqKp = MicroscopeState.FreqKp;
    if (mode6) {
        // The frequency loop would chase the phase being measured.
        MicroscopeState.FreqKp = 0.0f;
        UpdateFeedback();
    }
    const double tau = LockInHooks.ResonanceTimeConstant ? FiniteOrZero(LockInHooks.ResonanceTimeConstant()) : 0.0;
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
