#include "motion/Stepper.h"

#include "core/NumberText.h"

#include "core/IniFile.h"
#include "device/InOutForm.h"
#include "motion/SerialPositioner.h"
#include "platform/MessageBoxes.h"
#include "platform/Sound.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <thread>

namespace qvt {

TStepper* Stepper = nullptr;

TStepper::TStepper(TInOutForm& link, TQVTIniFile* ini) : link_(link), ini_(ini)
{
    if (ini_) {
        slSlow = ini_->ReadInteger("Stepper", "slSlow", slSlow);
        slFast = ini_->ReadInteger("Stepper", "slFast", slFast);
    }
    MotorRegBase = MotorRegBaseFor(link_.Caps);

    for (const TStepActionInfo& info : StepActionTable) {
        const int kind = ini_ ? ini_->ReadInteger("Stepper", info.Key, info.DefaultKind) : info.DefaultKind;
        bound_[static_cast<size_t>(info.Action)] = NormalizeStepKind(kind);
    }

    if (ini_) {
        // A counter beyond the limit (an edited file) starts at the limit.
        zCoarsePos = std::clamp(ini_->ReadInteger("Stepper", "zCoarsePos", 0), -ZCoarsePosLimit, ZCoarsePosLimit);
        zCoarsePosScale = ini_->ReadFloat("Stepper", "zCoarsePosScale", 1.0);
        zCoarseEncoderChannel = ini_->ReadInteger("Stepper", "zCoarseEncoderChannel", 0);
    }
    ClickSound = BuildClickSound();

    const int up = ini_ ? ini_->ReadInteger("Stepper", "Up", 5) : 5;
    if (up == 88 || up == 89) {
        // The box's start-up command; the laser then stays on the output bit
        // until a box kind opens the port again.
        SerialBoxSend(SerialBoxStartText);
        ClosePort();
        SerialBoxPresent = false;
    }
}

TStepper::~TStepper()
{
    if (ini_)
        ini_->WriteInteger("Stepper", "zCoarsePos", zCoarsePos);
    ClosePort();
}

TStepEnv TStepper::Env() const
{
    return TStepEnv{ini_, AuxRegisterBase};
}

// ---- steps -----------------------------------------------------------------------------

void TStepper::Step(StepAction action)
{
    RunKind(BoundKind(action));
    AfterStep();
}

void TStepper::Steps(StepAction action, int n)
{
    const int32_t lost = LinkLosses;
    for (int i = 0; i < n && LinkLosses == lost; ++i) {
        if (action == StepAction::Up)
            StepUp();
        else if (action == StepAction::Down)
            StepDown();
        else
            Step(action);
    }
}

void TStepper::StepUp()
{
    // Only a step that went out moves the counter.
    if (RunKind(BoundKind(StepAction::Up)))
        zCoarsePos = CountZStep(zCoarsePos, +1);
    AfterStep();
}

void TStepper::StepDown()
{
    if (RunKind(BoundKind(StepAction::Down)))
        zCoarsePos = CountZStep(zCoarsePos, -1);
    AfterStep();
}

void TStepper::PowerOff()
{
    RunKind(BoundKind(StepAction::Off));
}

void TStepper::PowerOn()
{
    RunKind(BoundKind(StepAction::On));
}

bool TStepper::RunKind(int kind)
{
    kind = NormalizeStepKind(kind);
    if (IsAgilisStepKind(kind))
        return RunAgilisKind(kind);
    if (IsSerialBoxStepKind(kind))
        return SerialBoxSend(SerialBoxText(kind));
    if (IsStickSlipStepKind(kind) && !StickSlipAllowed())
        return false;
    Execute(RunStepKind(kind, *this, Env()));
    return true;
}

bool TStepper::StickSlipAllowed() const
{
    // The fast scan parks the XY scan thread while it drives the same piezo,
    // so both threads must be idle before the piezo is shaken.
    return StickSlip != nullptr && StickSlip->XYScanSuspended() && StickSlip->FastScanSuspended();
}

// ---- serial port ---------------------------------------------------------------------------

namespace {

void SleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

} // namespace

bool TStepper::OpenCommPort(const char* settingsText)
{
    const int n = CommPortNumber(ini_);
    TSerialSettings settings;
    ParseSerialSettingsText(settingsText, settings);
    settings.Device = CommPortDevice(ini_, n);
    auto port = std::make_unique<TSerialPort>();
    if (!port->Open(settings)) {
        // Once per run: a held button or an approach would otherwise stack boxes.
        if (PortErrorCount++ == 0) {
            Beep();
            const int running = port->RunningBaud();
            ShowMessage(MsgKind::Information,
                        running > 0 ? CommPortSpeedText(n, settings.Baud, running) : CommPortFailureText(n),
                        MsgButtons::Ok);
        }
        return false;
    }
    port_ = std::move(port);
    PortSettings = settings;
    // Open before anything is sent, so the reset below does not reopen the port.
    PortOpen = true;
    return true;
}

void TStepper::ClosePort()
{
    if (port_)
        port_->Close();
    port_.reset();
    PortOpen = false;
}

bool TStepper::PortWrite(const QByteArray& text)
{
    if (port_ && port_->Write(text))
        return true;
    // A device that stopped reading cost one bounded wait, an unplugged
    // adapter fails at once; either is told now, once, and the run of steps
    // that met it ends (LinkLosses), not at a later click. Closed, the next
    // command tries to open the port again.
    const bool stalled = port_ && port_->Stalled();
    const bool lost = port_ != nullptr;
    ClosePort();
    if (lost) {
        ++LinkLosses;
        Beep();
        const int n = CommPortNumber(ini_);
        ShowMessage(MsgKind::Information, stalled ? CommPortStallText(n) : CommPortLostText(n), MsgButtons::Ok);
    }
    return false;
}

void TStepper::OpenAgilisPort()
{
    if (!OpenCommPort(AgilisPortSettingsText))
        return;
    SleepMs(AgilisOpenSleepMs);
    // A port that opens but takes no bytes must not reopen from inside its own reset.
    resetting_ = true;
    AgilisReset();
    resetting_ = false;
}

bool TStepper::AgilisSend(const QByteArray& text)
{
    if (!PortOpen && !resetting_)
        OpenAgilisPort();
    if (!PortOpen)
        return false;
    if (!PortWrite(text))
        return false;
    SleepMs(AgilisSendSleepMs);
    return true;
}

void TStepper::AgilisReset()
{
    AgilisSend("RS\r\n");
    SleepMs(AgilisResetSleepMs);
    AgilisSend("MR\r\n");
    SleepMs(AgilisMotorOnSleepMs);
}

bool TStepper::RunAgilisKind(int kind)
{
    for (const TAgilisOp& op : AgilisCommands(kind, ini_)) {
        switch (op.What) {
        case TAgilisOp::Code::Send:
            // The rest of a command whose line did not go out would make no
            // sense to the device: it waits for the next command's open.
            if (!AgilisSend(op.Text))
                return false;
            break;
        case TAgilisOp::Code::SleepMs:
            SleepMs(op.Ms);
            break;
        case TAgilisOp::Code::Reset:
            AgilisReset();
            break;
        }
    }
    return true;
}

void TStepper::OpenSerialBox()
{
    if (!OpenCommPort(SerialBoxSettingsText))
        return;
    SleepMs(SerialBoxOpenSleepMs);
    SerialBoxPresent = true;
}

bool TStepper::SerialBoxSend(const QByteArray& text)
{
    if (!PortOpen)
        OpenSerialBox();
    return PortOpen && PortWrite(text);
}

void TStepper::Execute(const TStepOps& ops)
{
    for (const TStepOp& op : ops) {
        switch (op.Code) {
        case StepOpCode::WriteReg:
            link_.WriteReg(op.Reg, op.Value);
            break;
        case StepOpCode::Wait:
            Wait(op.Value);
            break;
        case StepOpCode::SleepMs:
            std::this_thread::sleep_for(std::chrono::milliseconds(op.Value));
            break;
        case StepOpCode::SetDacPhys:
            link_.SetDacPhys(op.Reg, op.Phys);
            break;
        case StepOpCode::PollMotorReady:
            PollMotorReady(op.Reg, op.Value);
            break;
        case StepOpCode::StickSlipMove:
            if (StickSlip)
                StickSlip->MoveStickSlip(op.Reg, op.Value, op.Y);
            break;
        }
    }
}

void TStepper::PollMotorReady(int32_t reg, int32_t mask)
{
    // Gives up silently: the commands go out whether or not the motors answered.
    const auto want = static_cast<uint32_t>(mask);
    for (int i = 0; i < MotorReadyPolls; ++i) {
        if ((static_cast<uint32_t>(link_.ReadReg(reg)) & want) == want)
            return;
        Wait(MotorReadyWait);
    }
}

// ---- output word, motors, laser ------------------------------------------------------

void TStepper::WriteOutputs()
{
    TStepOps ops;
    qvt::WriteOutputs(*this, ops);
    Execute(ops);
}

void TStepper::WriteHighWord(uint16_t w)
{
    TStepOps ops;
    qvt::WriteHighWord(*this, w, ops);
    Execute(ops);
}

void TStepper::Wait(int32_t n)
{
    link_.DelayUs(n);
}

void TStepper::SendMotorCommand(int ch, int32_t value)
{
    TStepOps ops;
    qvt::SendMotorCommand(*this, ch, value, ops);
    Execute(ops);
}

void TStepper::WriteDriveRegister(int ch, int dir, int time, int speed)
{
    TStepOps ops;
    qvt::WriteDriveRegister(ch, dir, time, speed, ops);
    Execute(ops);
}

void TStepper::DriveByKey(const QString& suffix, int ch, int dir)
{
    TStepOps ops;
    qvt::DriveByKey(Env(), suffix, ch, dir, ops);
    Execute(ops);
}

void TStepper::SetLaser(bool on)
{
    LaserOn = on;
    if (SerialBoxPresent) {
        SerialBoxSend(on ? "L" : "l");
        return;
    }
    TStepOps ops;
    SetLaserBit(*this, on, ops);
    Execute(ops);
}

void TStepper::SetHighSpeed(bool on)
{
    OutBits = on ? static_cast<uint16_t>(OutBits | OutBitHighSpeed) : static_cast<uint16_t>(OutBits & ~OutBitHighSpeed);
}

// ---- z position ---------------------------------------------------------------------------

double TStepper::GetZPosition()
{
    const double raw = zCoarseEncoderChannel != 0 ? link_.ReadReg(zCoarseEncoderChannel) : zCoarsePos;
    return raw * zCoarsePosScale;
}

QString TStepper::FormatZPosition()
{
    return zCoarsePosScale != 1.0 ? FixedPointText(GetZPosition(), 6, 3) : FixedPointText(GetZPosition(), 9, 0);
}

void TStepper::AfterStep()
{
    if (Sound)
        PlayWavFromMemory(ClickSound);
    if (CoarseStatus)
        CoarseStatus->SetStatusText("z: " + FormatZPosition()); // the same text as the window's own steps
}

} // namespace qvt
