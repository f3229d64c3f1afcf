#pragma once
// The coarse positioners: the x/y translator, the z approach motor and the
// levelling station, whatever electronics drive them. Twelve fixed actions are
// bound once, at creation, to the step routines ("kinds") named in [Stepper];
// the routines themselves are in StepKinds and this object carries out what
// they ask for on the device window.
//
// One program-wide instance, `Stepper`, made by the device window once the
// controller type is known. Called from the window thread only (the script
// thread comes in through it); every routine blocks its caller for its waits.

#include "motion/SerialPositioner.h"
#include "motion/StepKinds.h"
#include "platform/SerialPort.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>
#include <memory>

namespace qvt {

class TInOutForm;
class TQVTIniFile;

// The coarse window's status bar, told the z position after every step.
class ICoarseStatus {
public:
    virtual ~ICoarseStatus() = default;
    virtual void SetStatusText(const QString& text) = 0;
};

// The scan piezo as a stick-slip actuator. It may only be shaken while
// neither the XY scan thread nor the fast-scan thread runs.
class IStickSlipDrive {
public:
    virtual ~IStickSlipDrive() = default;
    virtual bool XYScanSuspended() const = 0;
    virtual bool FastScanSuspended() const = 0;
    // The scan thread's MoveSteps := moveSteps, then its checked move to (x, y).
    virtual void MoveStickSlip(int32_t moveSteps, int32_t x, int32_t y) = 0;
};

class TStepper : public TStepperState {
public:
    // Reads [Stepper] of `ini` (none: all defaults) and binds the actions.
    TStepper(TInOutForm& link, TQVTIniFile* ini);
    // Stores zCoarsePos in [Stepper].
    ~TStepper();
    TStepper(const TStepper&) = delete;
    TStepper& operator=(const TStepper&) = delete;

    // ---- single steps: routine, then AfterStep ---------------------------------------
    void StepRight() { Step(StepAction::Right); }
    void StepLeft() { Step(StepAction::Left); }
    void StepForward() { Step(StepAction::Forward); }
    void StepBackward() { Step(StepAction::Backward); }
    void StepBU() { Step(StepAction::BU); }
    void StepBD() { Step(StepAction::BD); }
    void StepRULD() { Step(StepAction::RULD); }
    void StepRDLU() { Step(StepAction::RDLU); }
    // Away from the sample; counts zCoarsePos up.
    void StepUp();
    // Toward the sample; counts zCoarsePos down.
    void StepDown();

    // ---- n single steps (nothing for n <= 0) ------------------------------------------
    void StepsRight(int n) { Steps(StepAction::Right, n); }
    void StepsLeft(int n) { Steps(StepAction::Left, n); }
    void StepsForward(int n) { Steps(StepAction::Forward, n); }
    void StepsBackward(int n) { Steps(StepAction::Backward, n); }
    void StepsUp(int n) { Steps(StepAction::Up, n); }
    void StepsDown(int n) { Steps(StepAction::Down, n); }
    void StepsBU(int n) { Steps(StepAction::BU, n); }
    void StepsBD(int n) { Steps(StepAction::BD, n); }
    void StepsRULD(int n) { Steps(StepAction::RULD, n); }
    void StepsRDLU(int n) { Steps(StepAction::RDLU, n); }

    // The Off and On routines, without AfterStep and without counting.
    void PowerOff();
    void PowerOn();

    void SetLaser(bool on);
    bool GetLaserOn() const { return LaserOn; }
    // Bit 0x20 of OutBits; the next write of register 40 carries it.
    void SetHighSpeed(bool on);

    void WriteOutputs();
    void WriteHighWord(uint16_t w);
    // Hardware-timed wait, in delay units.
    void Wait(int32_t n);
    void SendMotorCommand(int ch, int32_t value);
    void WriteDriveRegister(int ch, int dir, int time, int speed);
    void DriveByKey(const QString& suffix, int ch, int dir);

    // The encoder register when one is set, else the step counter, times the scale.
    double GetZPosition();
    // 6 significant digits and 3 decimals with a scale, else a whole number.
    QString FormatZPosition();
    // Click (when Sound) and the coarse window's status bar.
    void AfterStep();

    // The kind bound to an action (already normalised).
    int BoundKind(StepAction action) const { return bound_[static_cast<size_t>(action)]; }
    // Carries out routine `kind` once; false when it could not be sent
    // (a serial device whose port is not open or took no bytes).
    bool RunKind(int kind);

    // ---- state -----------------------------------------------------------------------------
    bool LaserOn = false;
    QByteArray ClickSound;
    int32_t zCoarsePos = 0;
    double zCoarsePosScale = 1.0;
    int32_t zCoarseEncoderChannel = 0;
    bool Sound = false;
    // ---- the serial port (positioner and laser box share it) ----------------------
    // The port opens lazily on the first command; whichever device opens it
    // first fixes the line settings for both.
    void OpenAgilisPort();
    bool AgilisSend(const QByteArray& text);
    void AgilisReset();
    void OpenSerialBox();
    bool SerialBoxSend(const QByteArray& text);

    bool PortOpen = false;
    TSerialSettings PortSettings;
    int32_t PortErrorCount = 0;
    // Counts the writes that found the port's device gone or deaf (each one
    // told to the operator): a run of steps that sees it change ends.
    int32_t LinkLosses = 0;
    bool SerialBoxPresent = false;

    // Set by the windows that exist: the coarse window, the scan-piezo adapter.
    ICoarseStatus* CoarseStatus = nullptr;
    IStickSlipDrive* StickSlip = nullptr;

private:
    void Step(StepAction action);
    void Steps(StepAction action, int n);
    void Execute(const TStepOps& ops);
    void PollMotorReady(int32_t reg, int32_t mask);
    bool StickSlipAllowed() const;
    // Opens COM n with the framing of `settingsText`; counts and reports a failure.
    bool OpenCommPort(const char* settingsText);
    void ClosePort();
    // Writes all of `text`; a failed write closes the port so the next command reopens it.
    bool PortWrite(const QByteArray& text);
    bool RunAgilisKind(int kind);
    TStepEnv Env() const;

    TInOutForm& link_;
    TQVTIniFile* ini_;
    std::array<int, StepActionCount> bound_{};
    std::unique_ptr<TSerialPort> port_;
    bool resetting_ = false;
};

// The program-wide instance; made and freed by the device window.
extern TStepper* Stepper;

} // namespace qvt
