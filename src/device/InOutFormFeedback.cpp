// TInOutForm: the feedback record and the plane correction.

#include "core/IniFile.h"
#include "core/NumberText.h"
#include "core/SharedState.h"
#include "device/ChannelTable.h"
#include "device/FeedbackRecord.h"
#include "device/InOutForm.h"
#include "protocol/ControlCodes.h"

#include <QLatin1String>

#include <cmath>

namespace qvt {

namespace {

constexpr int32_t HighSpeedModeLocal = 2; // slopes stay in the high-speed settings
// The Kelvin reference word is the reference in input digits over this unit.
constexpr double KelvinReferenceUnit = 6.3e-8;
constexpr double KelvinWordLimit = 2147483647.0;

// On a fine input scale a Kelvin reference beyond what its word holds is kept
// as the largest the word holds, like the setpoint, so the edit, the settings
// and the files state the reference the loop runs.
float KeptKelvinReference(float reference, const TIOScale* input)
{
    if (input == nullptr || !std::isfinite(reference))
        return reference;
    double kept = reference;
    const double limit = KelvinWordLimit * KelvinReferenceUnit * std::fabs(double(input->Factor.load()));
    ClampDouble(kept, limit, -limit);
    return kept == reference ? reference : static_cast<float>(kept);
}

// The active mode and its input, as read from the shared state. Both come
// from settings, so they are made valid before they index anything.
struct ActiveFeedback {
    int Mode;
    TFeedbackSet& Set;
    int Input;
};

ActiveFeedback CurrentFeedback()
{
    const int mode = ValidFeedbackMode(MicroscopeState.FeedbackMode);
    TFeedbackSet& set = MicroscopeState.FeedbackSets[FeedbackSetIndex(mode)];
    return {mode, set, ValidFeedbackInput(mode, set.InputAddr)};
}

// Builds the record from the stored words and sends it; call with
// FeedbackState.Mutex held. Runs on the scan thread twice per lift-pass
// line: no settings reads and no allocations here.
TDriveChange SendLocked(TInOutForm& form)
{
    TFeedbackRecordState& state = form.FeedbackState;
    const ActiveFeedback active = CurrentFeedback();
    const TIOScale& input = ChannelTable[SlotOfChannelIndex(active.Input)];
    MicroscopeState.FeedbackChannel = active.Input;

    // Name and unit change only with the mode or the scales, both set in the
    // window thread; the lift-pass sends leave the texts alone.
    const QLatin1String name(FeedbackModeName(active.Mode));
    if (MicroscopeState.ModeName != name)
        MicroscopeState.ModeName = name;
    if (active.Mode != FeedbackNone) {
        const QString unit = FeedbackModeUnit(active.Mode, input.UnitName);
        if (MicroscopeState.ModeUnit != unit)
            MicroscopeState.ModeUnit = unit;
    }

    TFeedbackSendInput in;
    in.Mode = active.Mode;
    in.InputInvers = input.Invers;
    in.Bias = active.Set.Bias;
    in.KelvinOn = MicroscopeState.KelvinOn;
    in.Retract = form.RetractFlag;
    in.LiftPass = MicroscopeState.LiftPass;
    in.FastModule = (OsziRequest.HighSpeedControl & HscFeedbackOn) != 0;
    in.ScannerFastSwitch = state.ScannerFastSwitch;
    in.UsbBox = form.Caps.Usb();
    in.Type29 = form.Caps.Type29();
    in.LockInGain = LockInState.LockInGain;
    in.PreviousModeWord = state.LastModeWord;
    in.LockInOn = MicroscopeState.LockInOn;
    in.Mirror = state.Mirror;

    const TFeedbackSendResult out = BuildFeedbackSend(state.Words, in);
    state.LastModeWord = out.ModeWord;
    if (out.Drive == TDriveChange::Apply)
        MicroscopeState.LockInOn.fetch_or(1u);
    else if (out.Drive == TDriveChange::SwitchOff)
        MicroscopeState.LockInOn.fetch_and(~1u);

    state.Sent = out.Record;
    form.LastIoOk = form.Ioctl(IOCTL_SET_FEEDBACK, &state.Sent, sizeof state.Sent, nullptr, 0);
    for (int i = 0; i < out.MirrorWriteCount; ++i)
        form.WriteReg(out.MirrorWrites[i].Register, out.MirrorWrites[i].Value);
    if (out.MirrorWriteCount > 0)
        state.MirrorModeCode = out.MirrorModeCode;
    return out.Drive;
}

// Entering a dynamic mode drives the cantilever at "dnc"/"Ampl"; leaving it
// stops the drive (the record rule keeps it when the operator enabled the lock-in).
void ApplyDriveChange(TInOutForm& form, TDriveChange drive)
{
    if (drive == TDriveChange::Apply)
        form.SetDriveAmplitude(MainIni ? MainIni->ReadFloat("dnc", "Ampl", 0.0) : 0.0);
    else if (drive == TDriveChange::SwitchOff)
        form.SetDriveAmplitude(0.0);
}

} // namespace

void TInOutForm::UpdateFeedback()
{
    const bool dynamic = IsDynamicMode(ValidFeedbackMode(MicroscopeState.FeedbackMode));
    // Settings read before taking the lock: nothing else waits on them.
    int resonanceInput = DefaultResonanceSlot;
    int32_t kelvinChannel = 0;
    if (MainIni) {
        if (dynamic)
            resonanceInput = MainIni->ReadInteger("dnc", "channel", DefaultResonanceSlot);
        kelvinChannel = MainIni->ReadInteger("Microscope", "KelvinChannel", 0);
    }

    std::unique_lock lock(FeedbackState.Mutex);
    const ActiveFeedback active = CurrentFeedback();
    MicroscopeState.FeedbackChannel = active.Input;

    TFeedbackWordsInput in;
    in.Mode = active.Mode;
    in.Set = active.Set;
    in.Set.InputAddr = active.Input;
    in.Input = &ChannelTable[SlotOfChannelIndex(active.Input)];
    in.NC100ProcentAmpl = MicroscopeState.NC100ProcentAmpl;
    in.FreqSetpoint = MicroscopeState.FreqSetpoint;
    in.AmplSetpoint = MicroscopeState.AmplSetpoint;
    in.AmplKi = MicroscopeState.AmplKi;
    in.AmplKp = MicroscopeState.AmplKp;
    in.FreqKp = MicroscopeState.FreqKp;
    in.KelvinKi = MicroscopeState.KelvinKi;
    MicroscopeState.KelvinRef = KeptKelvinReference(MicroscopeState.KelvinRef, LockInState.DncInputScale);
    in.KelvinRef = MicroscopeState.KelvinRef;
    in.KelvinOn = MicroscopeState.KelvinOn;
    in.AmplitudeInput = &ChannelTable[ResonanceInputSlot(resonanceInput)];
    in.DncInputScale = LockInState.DncInputScale;
    in.KelvinChannel = kelvinChannel;
    in.ComputeMirror = Caps.FastScanPresent();

    const TFeedbackWordsResult out = BuildFeedbackWords(in, FeedbackState.Words);
    FeedbackState.Words = out.Words;
    active.Set.Setpoint = out.Setpoint;
    active.Set.Ki = out.Ki;
    active.Set.Kp = out.Kp;
    if (active.Mode == FeedbackNcAFMPLL) {
        MicroscopeState.AmplSetpoint = out.AmplSetpoint;
        MicroscopeState.AmplKi = out.AmplKi;
        MicroscopeState.AmplKp = out.AmplKp;
        MicroscopeState.FreqKp = out.FreqKp;
    }
    if (out.HasMirror)
        FeedbackState.Mirror = out.Mirror;

    const TDriveChange drive = SendLocked(*this);
    lock.unlock();
    ApplyDriveChange(*this, drive);
    // On a type-29 controller the scan parameter window sends its fast z loop after the record.
    if (FeedbackSent)
        FeedbackSent();
}

void TInOutForm::SendFeedbackRecord()
{
    std::unique_lock lock(FeedbackState.Mutex);
    const TDriveChange drive = SendLocked(*this);
    lock.unlock();
    ApplyDriveChange(*this, drive);
}

void TInOutForm::SetSlopeCompensation(bool on)
{
    double dx = ScanParams.LevelDxDz;
    double dy = ScanParams.LevelDyDz;
    const TSlopeRecord slope = BuildSlopeRecord(on, dx, dy);
    if (on) {
        ScanParams.LevelDxDz = dx;
        ScanParams.LevelDyDz = dy;
    }
    // In the scanner's high-speed mode the slopes stay with the high-speed
    // module's own settings: nothing is sent.
    if (FeedbackState.HighSpeedMode == HighSpeedModeLocal)
        return;
    LastIoOk = Ioctl(IOCTL_SET_SLOPE, &slope, sizeof slope, nullptr, 0);
}

} // namespace qvt
