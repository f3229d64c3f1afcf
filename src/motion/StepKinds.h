#pragma once
// The coarse positioners' step routines ("kinds" 0..89) as plain functions of
// the stepper's state. Each routine updates the state and returns what the
// instrument must be told, in order: register writes, hardware-timed waits,
// sleeps, DAC pulses, the motor-ready poll and scan-piezo moves. The stepper
// carries them out on the device window; tests compare the lists directly.
//
// The words written are fixed by the motor electronics in the field; the
// meaning of single bits belongs to those boxes, not to this program.

#include "device/ControllerCaps.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>
#include <vector>

namespace qvt {

class TQVTIniFile;

// ---- actions and their kinds ---------------------------------------------------

constexpr int StepKindCount = 90; // kinds 0..89

enum class StepAction { Right, Left, Forward, Backward, Up, Down, Off, On, BU, BD, RULD, RDLU };
constexpr int StepActionCount = 12;

struct TStepActionInfo {
    StepAction Action;
    const char* Key; // [Stepper] key naming the kind
    int DefaultKind;
};
// In binding order.
extern const std::array<TStepActionInfo, StepActionCount> StepActionTable;

// Kinds without a routine of their own (0, 1, 80, 81, negative, above 89) act as kind 1.
int NormalizeStepKind(int kind);
// Kinds 40..46 and 75..79 talk to a serial positioner or the serial laser box.
bool IsSerialStepKind(int kind);
// Kinds 29..32 shake the scan piezo (stick-slip).
bool IsStickSlipStepKind(int kind);

// ---- registers and words -----------------------------------------------------------

constexpr int32_t StepDirWordStart = 0x1250;
constexpr int32_t TripodStart = 3;
constexpr int32_t MotorRegBaseCard = 42;
constexpr int32_t MotorRegBaseType24 = 48; // types 24 and 26
constexpr int32_t MotorRegBaseType29 = 272;
constexpr int32_t RegDriveWord = 272; // drive register of channel 0 (channels 0..2)
constexpr int MotorChannels = 8;
constexpr int DriveChannels = 3;
constexpr uint16_t OutBitLaser = 0x10;
constexpr uint16_t OutBitHighSpeed = 0x20;
constexpr int32_t MotorReadyMask = 0x70; // bits 4..6 of the motor status register
constexpr int MotorReadyPolls = 1001;
constexpr int32_t MotorReadyWait = 100;
constexpr int StepperDacChannel = 4; // DAC5, register 36
constexpr int32_t StepDirWait = 77;

// The register of motor channel 0 on a controller of this type.
int32_t MotorRegBaseFor(const TControllerCaps& caps);

// ---- the state ---------------------------------------------------------------------------

// What the routines work on. The stepper object is this state plus its link.
struct TStepperState {
    int32_t PhaseZ = 0;
    int32_t PhaseX = 0;
    int32_t PhaseY = 0;
    int32_t TripodA = TripodStart;
    int32_t TripodB = TripodStart;
    int32_t TripodC = TripodStart;
    int32_t StepDirWord = StepDirWordStart;
    int32_t slSlow = 70; // hold times of the pulse kinds, in delay units
    int32_t slFast = 30;
    uint16_t OutBits = 0;
    uint16_t LastLowWord = 0;
    uint16_t HighWord = 0;
    int32_t SpeedToggle = 0; // 0x4000 or 0
    int32_t MotorRegBase = MotorRegBaseCard;
    std::array<int32_t, MotorChannels> MotorCmd{};
};

// ---- what a routine asks for ------------------------------------------------------

enum class StepOpCode {
    WriteReg,       // Reg := Value
    Wait,           // hardware-timed wait of Value delay units
    SleepMs,        // the calling thread sleeps Value milliseconds
    SetDacPhys,     // DAC channel Reg := Phys, in the channel's physical unit
    PollMotorReady, // read register Reg until (word & Value) == Value: at most
                    // MotorReadyPolls reads with a MotorReadyWait after each miss
    StickSlipMove,  // scan piezo: MoveSteps := Reg, move to (Value, Y)
};

struct TStepOp {
    StepOpCode Code = StepOpCode::WriteReg;
    int32_t Reg = 0;
    int32_t Value = 0;
    int32_t Y = 0;
    double Phys = 0.0;

    static TStepOp Write(int32_t reg, int32_t value) { return {StepOpCode::WriteReg, reg, value, 0, 0.0}; }
    static TStepOp Wait(int32_t units) { return {StepOpCode::Wait, 0, units, 0, 0.0}; }
    static TStepOp Sleep(int32_t ms) { return {StepOpCode::SleepMs, 0, ms, 0, 0.0}; }
    static TStepOp Dac(int channel, double value) { return {StepOpCode::SetDacPhys, channel, 0, 0, value}; }
    static TStepOp PollReady(int32_t reg) { return {StepOpCode::PollMotorReady, reg, MotorReadyMask, 0, 0.0}; }
    static TStepOp Move(int32_t moveSteps, int32_t x, int32_t y)
    {
        return {StepOpCode::StickSlipMove, moveSteps, x, y, 0.0};
    }
    bool operator==(const TStepOp&) const = default;
};
using TStepOps = std::vector<TStepOp>;

// Readable form for test failures.
QString StepOpText(const TStepOp& op);

// What the routines read besides the state.
struct TStepEnv {
    const TQVTIniFile* Ini = nullptr; // main settings, read at every call; none: the defaults
    int32_t AuxRegisterBase = 32;
};

// ---- the output word and the motor registers ------------------------------------

// Low half of register 40: the three phase nibbles ORed with OutBits.
uint16_t ComposeLowWord(const TStepperState& s);
// Register 40 := low half | HighWord << 16; the low half is remembered.
void WriteOutputs(TStepperState& s, TStepOps& ops);
// HighWord := w; register 40 := w << 16 | the low half last written.
void WriteHighWord(TStepperState& s, uint16_t w, TStepOps& ops);
// Channel 0..7: bit 31 of the channel's last command flips, so the controller
// sees a new command even when the value repeats. Other channels: nothing.
void SendMotorCommand(TStepperState& s, int ch, int32_t value, TStepOps& ops);
// Channel 0..2: register 272 + ch := dir << 15 | speed (0..255) << 7 | time (0..127).
void WriteDriveRegister(int ch, int dir, int time, int speed, TStepOps& ops);
// The drive register from the "Z825B" speed and time keys of `suffix`.
void DriveByKey(const TStepEnv& env, const QString& suffix, int ch, int dir, TStepOps& ops);
// The laser bit of OutBits, then the output word.
void SetLaserBit(TStepperState& s, bool on, TStepOps& ops);

// ---- the routines ---------------------------------------------------------------------

// Runs routine `kind` (normalised first). Serial kinds yield nothing here; the
// stick-slip kinds yield their moves and leave the scan check to the caller.
TStepOps RunStepKind(int kind, TStepperState& s, const TStepEnv& env);

// ---- z counter and click -------------------------------------------------------------

constexpr int32_t ZCoarsePosLimit = 1000000;
// One z step counted: +1 (away from the sample) or -1, held within ±1e6.
int32_t CountZStep(int32_t pos, int delta);

// The 52-byte WAVE file of the step click: eight 8-bit samples at 22050 Hz.
QByteArray BuildClickSound();

} // namespace qvt
