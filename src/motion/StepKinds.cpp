#include "motion/StepKinds.h"

#include "core/IniFile.h"
#include "core/NumberText.h"
#include "protocol/ControlCodes.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <span>

namespace qvt {

const std::array<TStepActionInfo, StepActionCount> StepActionTable = {{
    {StepAction::Right, "Right", 1},
    {StepAction::Left, "Left", 2},
    {StepAction::Forward, "Forward", 3},
    {StepAction::Backward, "Backward", 4},
    {StepAction::Up, "Up", 5},
    {StepAction::Down, "Down", 6},
    {StepAction::Off, "Off", 9},
    {StepAction::On, "On", 57},
    {StepAction::BU, "BU", 20},
    {StepAction::BD, "BD", 21},
    {StepAction::RULD, "RULD", 18},
    {StepAction::RDLU, "RDLU", 19},
}};

namespace {

// ---- settings read at every call ---------------------------------------------------

int ReadInt(const TStepEnv& env, const char* section, const QString& key, int def)
{
    return env.Ini ? env.Ini->ReadInteger(section, key, def) : def;
}

double ReadReal(const TStepEnv& env, const char* section, const QString& key, double def)
{
    return env.Ini ? env.Ini->ReadFloat(section, key, def) : def;
}

bool HighSpeed(const TStepEnv& env)
{
    return env.Ini && env.Ini->ReadBool("Coarse", "HighSpeed", false);
}

// The speed value of kinds 49..54 and 86..89: "slFast" at high speed, else
// "slSlow", each with the kind family's own default.
double SpeedSetting(const TStepEnv& env, double fastDefault, double slowDefault)
{
    return HighSpeed(env) ? ReadReal(env, "Stepper", "slFast", fastDefault)
                          : ReadReal(env, "Stepper", "slSlow", slowDefault);
}

int32_t ToInt32(double value)
{
    const double r = Round(value);
    if (!(r >= std::numeric_limits<int32_t>::min()))
        return std::numeric_limits<int32_t>::min();
    if (r > std::numeric_limits<int32_t>::max())
        return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(r);
}

uint16_t Low16(int32_t v)
{
    return static_cast<uint16_t>(static_cast<uint32_t>(v) & 0xFFFFu);
}

template <typename T, size_t N> const T* FindKind(const T (&table)[N], int kind)
{
    for (const T& entry : table)
        if (entry.Kind == kind)
            return &entry;
    return nullptr;
}

// ---- phase stepping ---------------------------------------------------------------------

constexpr int32_t kFullForward[] = {3, 11, 15, 7};
constexpr int32_t kFullReverse[] = {3, 7, 15, 11};
constexpr int32_t kHalfForward[] = {7, 5, 3, 2, 11, 9, 15, 14};
constexpr int32_t kHalfReverse[] = {7, 14, 15, 9, 11, 2, 3, 5};
constexpr int32_t kTripodForward[] = {3, 6, 12, 24, 17};
constexpr int32_t kTripodReverse[] = {3, 17, 24, 12, 6};

// The state after `value` on `cycle`; a value not on it restarts at `restart`.
int32_t Advance(std::span<const int32_t> cycle, int32_t value, int32_t restart)
{
    const auto it = std::find(cycle.begin(), cycle.end(), value);
    if (it == cycle.end())
        return restart;
    const auto next = it + 1;
    return next == cycle.end() ? cycle.front() : *next;
}

enum class Cycle { FullForward, FullReverse, HalfForward, HalfReverse };

struct PhaseKind {
    int Kind;
    int32_t TStepperState::*Phase;
    Cycle Steps;
};
constexpr PhaseKind kPhaseKinds[] = {
    {1, &TStepperState::PhaseX, Cycle::FullForward}, {2, &TStepperState::PhaseX, Cycle::FullReverse},
    {3, &TStepperState::PhaseY, Cycle::FullForward}, {4, &TStepperState::PhaseY, Cycle::FullReverse},
    {5, &TStepperState::PhaseZ, Cycle::FullForward}, {6, &TStepperState::PhaseZ, Cycle::FullReverse},
    {7, &TStepperState::PhaseX, Cycle::HalfForward}, {8, &TStepperState::PhaseX, Cycle::HalfReverse},
};

void RunPhase(const PhaseKind& k, TStepperState& s, TStepOps& ops)
{
    int32_t& phase = s.*k.Phase;
    switch (k.Steps) {
    case Cycle::FullForward:
        phase = Advance(kFullForward, phase | 3, 3);
        break;
    case Cycle::FullReverse:
        phase = Advance(kFullReverse, phase | 3, 3);
        break;
    case Cycle::HalfForward:
        phase = Advance(kHalfForward, phase, 7);
        break;
    case Cycle::HalfReverse:
        phase = Advance(kHalfReverse, phase, 7);
        break;
    }
    WriteOutputs(s, ops);
}

// ---- pulses ----------------------------------------------------------------------------------

struct PulseKind {
    int Kind;
    bool NibbleOnly; // replace bits 0..3 of OutBits, else all of it
    uint16_t First;
    uint16_t Second;
    bool FirstSlow;  // first state held slSlow, second slFast; else the other way round
    bool EndOnFirst; // the first state once more after the loop
};
constexpr PulseKind kPulseKinds[] = {
    {10, false, 0x100, 0x080, false, false}, {11, false, 0x180, 0x000, true, false},
    {12, false, 0x040, 0x020, false, false}, {13, false, 0x060, 0x000, true, false},
    {14, false, 0x400, 0x200, false, false}, {15, false, 0x600, 0x000, true, false},
    {33, true, 0x7, 0x5, false, false},      {34, true, 0x4, 0x6, false, true},
    {35, true, 0xB, 0x9, false, false},      {36, true, 0x8, 0xA, false, true},
    {37, true, 0xF, 0xD, false, false},      {38, true, 0xC, 0xE, false, true},
};

void PulseState(const PulseKind& k, TStepperState& s, uint16_t bits, int32_t wait, TStepOps& ops)
{
    s.OutBits = k.NibbleOnly ? static_cast<uint16_t>((s.OutBits & 0xFFF0u) | bits) : bits;
    WriteOutputs(s, ops);
    ops.push_back(TStepOp::Wait(wait));
}

void RunPulse(const PulseKind& k, TStepperState& s, const TStepEnv& env, TStepOps& ops)
{
    const int repeats = ReadInt(env, "Stepper", "slSteps", 1);
    const int32_t firstWait = k.FirstSlow ? s.slSlow : s.slFast;
    const int32_t secondWait = k.FirstSlow ? s.slFast : s.slSlow;
    for (int i = 0; i < repeats; ++i) {
        PulseState(k, s, k.First, firstWait, ops);
        PulseState(k, s, k.Second, secondWait, ops);
    }
    if (k.EndOnFirst)
        PulseState(k, s, k.First, s.slFast, ops);
}

// ---- levelling station (three five-phase motors on the high half) ----------------

struct TripodKind {
    int Kind;
    int A, B, C; // +1 forward, -1 reverse, 0 stays
};
constexpr TripodKind kTripodKinds[] = {
    {16, -1, -1, -1}, {17, 1, 1, 1}, {18, 1, -1, 0}, {19, -1, 1, 0}, {20, 0, 0, -1}, {21, 0, 0, 1},
};

void AdvanceTripod(int32_t& motor, int direction)
{
    if (direction > 0)
        motor = Advance(kTripodForward, motor, TripodStart);
    else if (direction < 0)
        motor = Advance(kTripodReverse, motor, TripodStart);
}

void RunTripod(const TripodKind& k, TStepperState& s, TStepOps& ops)
{
    AdvanceTripod(s.TripodA, k.A);
    AdvanceTripod(s.TripodB, k.B);
    AdvanceTripod(s.TripodC, k.C);
    const uint32_t word = static_cast<uint32_t>(s.TripodA) | static_cast<uint32_t>(s.TripodB) << 5 |
                          static_cast<uint32_t>(s.TripodC) << 10;
    WriteHighWord(s, static_cast<uint16_t>(word & 0xFFFFu), ops);
}

// ---- step and direction lines ---------------------------------------------------------

struct StepDirKind {
    int Kind;
    uint32_t Cleared;
    uint32_t Direction; // set before the wait
    uint32_t Step;      // set after it
};
constexpr StepDirKind kStepDirKinds[] = {
    {22, 0xD8C, 0x000, 0x508}, {23, 0xD8C, 0x884, 0x508}, {24, 0x18C, 0x004, 0x108}, {25, 0x18C, 0x080, 0x108},
    {26, 0xC00, 0x000, 0x400}, {27, 0xC00, 0x800, 0x400}, {65, 0xD8C, 0x000, 0x008}, {66, 0xD8C, 0x004, 0x008},
    {67, 0xD8C, 0x000, 0x100}, {68, 0xD8C, 0x080, 0x100},
};
constexpr uint32_t kStrobeBit = 0x2000;

void RunStepDir(const StepDirKind& k, TStepperState& s, TStepOps& ops)
{
    uint32_t word = static_cast<uint32_t>(s.StepDirWord);
    word = (word & ~k.Cleared) | k.Direction;
    s.StepDirWord = static_cast<int32_t>(word);
    WriteHighWord(s, Low16(s.StepDirWord), ops);
    ops.push_back(TStepOp::Wait(StepDirWait));
    s.StepDirWord = static_cast<int32_t>(word | k.Step);
    WriteHighWord(s, Low16(s.StepDirWord), ops);
}

// Kind 28: the strobe bit goes out once; the register keeps it until the next
// high-half write, the word in memory drops it at once.
void RunStrobe(TStepperState& s, TStepOps& ops)
{
    s.StepDirWord = static_cast<int32_t>(static_cast<uint32_t>(s.StepDirWord) | kStrobeBit);
    WriteHighWord(s, Low16(s.StepDirWord), ops);
    s.StepDirWord = static_cast<int32_t>(static_cast<uint32_t>(s.StepDirWord) & ~kStrobeBit);
}

// ---- scan piezo as stick-slip actuator -------------------------------------------------

struct StickSlipKind {
    int Kind;
    int32_t FirstSteps;
    bool AlongX; // the first move goes to (a, 0), else to (0, a)
    int32_t SecondSteps;
};
constexpr StickSlipKind kStickSlipKinds[] = {
    {29, 1, true, 2000},
    {30, 2000, true, 1},
    {31, 2000, false, 1},
    {32, 1, false, 2000},
};

void RunStickSlip(const StickSlipKind& k, const TStepEnv& env, TStepOps& ops)
{
    const int32_t a = ReadInt(env, "Coarse", "PIAmpl", 160000000);
    ops.push_back(TStepOp::Move(k.FirstSteps, k.AlongX ? a : 0, k.AlongX ? 0 : a));
    ops.push_back(TStepOp::Move(k.SecondSteps, 0, 0));
}

// ---- drive word on the high half ("Z825B" drivers, kinds 47 and 48) ------------

void RunDriveWord(int kind, TStepperState& s, const TStepEnv& env, TStepOps& ops)
{
    const bool fast = HighSpeed(env);
    const QString key = QString("Z825B_Speed%1").arg(kind) + (fast ? "_HighSpeed" : "");
    const int speed = std::clamp(ReadInt(env, "Coarse", key, kind == 48 && fast ? 200 : 100), 0, 255);
    const int time = std::clamp(ReadInt(env, "Coarse", "Z825B_Time", 63), 0, 63);
    uint32_t word = (~static_cast<uint32_t>(s.HighWord)) & 0x8000u;
    if (kind == 48)
        word |= 0x4000u;
    word |= static_cast<uint32_t>(speed) << 6 | static_cast<uint32_t>(time);
    s.HighWord = static_cast<uint16_t>(word);
    WriteOutputs(s, ops);
}

// ---- speed codes (kinds 49..54) ----------------------------------------------------------

struct SpeedCodeKind {
    int Kind;
    uint16_t Code;
};
constexpr SpeedCodeKind kSpeedCodeKinds[] = {
    {49, 0x222}, {50, 0x333}, {51, 0x888}, {52, 0xCCC}, {53, 0xFAE}, {54, 0xEFB},
};

void RunSpeedCode(const SpeedCodeKind& k, TStepperState& s, const TStepEnv& env, TStepOps& ops)
{
    const bool fast = HighSpeed(env);
    const int speed =
        std::clamp(fast ? ReadInt(env, "Stepper", "slFast", 0) : ReadInt(env, "Stepper", "slSlow", 10), 0, 15);
    s.SpeedToggle = s.SpeedToggle == 0 ? 0x4000 : 0;
    s.HighWord =
        static_cast<uint16_t>(static_cast<uint32_t>(speed) * 0x111u | 0x8000u | static_cast<uint32_t>(s.SpeedToggle));
    s.OutBits = k.Code;
    WriteOutputs(s, ops);
}

// ---- motor command registers -------------------------------------------------------------

// Bits 20..30 a signed 11-bit velocity, bits 16..17 the mode, bits 0..15 a count.
constexpr int32_t kCmdUp100 = 0x01030064;   // +16, mode 3, 100
constexpr int32_t kCmdDown100 = 0x7F030064; // -16, mode 3, 100
constexpr int32_t kCmdUp1000 = 0x010303E8;  // +16, mode 3, 1000
constexpr int32_t kCmdDown1000 = 0x7F0303E8;
constexpr int32_t kCmdHold = 1000; // velocity 0, mode 0

struct MotorKind {
    int Kind;
    int Count;
    std::array<int, 3> Channel;
    std::array<int32_t, 3> Command;
};
constexpr MotorKind kMotorKinds[] = {
    {58, 3, {4, 5, 6}, {kCmdUp100, kCmdUp100, kCmdUp100}},
    {59, 3, {4, 5, 6}, {kCmdDown100, kCmdDown100, kCmdDown100}},
    {60, 2, {4, 5, 0}, {kCmdDown1000, kCmdUp1000, 0}},
    {61, 2, {4, 5, 0}, {kCmdUp1000, kCmdDown1000, 0}},
    {62, 1, {6, 0, 0}, {kCmdUp1000, 0, 0}},
    {63, 1, {6, 0, 0}, {kCmdDown1000, 0, 0}},
    {64, 3, {4, 5, 6}, {kCmdHold, kCmdHold, kCmdHold}},
    {82, 1, {4, 0, 0}, {kCmdUp1000, 0, 0}},
    {83, 1, {4, 0, 0}, {kCmdDown1000, 0, 0}},
    {84, 1, {5, 0, 0}, {kCmdUp1000, 0, 0}},
    {85, 1, {5, 0, 0}, {kCmdDown1000, 0, 0}},
};

void RunMotor(const MotorKind& k, TStepperState& s, const TStepEnv& env, TStepOps& ops)
{
    // Kind 58 waits for the three motors to be ready, but sends either way.
    if (k.Kind == 58)
        ops.push_back(TStepOp::PollReady(env.AuxRegisterBase + RegMotorStatusOffset));
    for (int i = 0; i < k.Count; ++i)
        SendMotorCommand(s, k.Channel[static_cast<size_t>(i)], k.Command[static_cast<size_t>(i)], ops);
}

// Kinds 88 and 89: a speed-carrying command on channel 4.
void RunMotorSpeed(int kind, TStepperState& s, const TStepEnv& env, TStepOps& ops)
{
    const int32_t v = ToInt32(SpeedSetting(env, 4000.0, 400.0));
    uint32_t word = (static_cast<uint32_t>(v) & 0x1FFFu) << 16;
    word += kind == 88 ? 0x40007D00u : 0x7D00u;
    SendMotorCommand(s, 4, static_cast<int32_t>(word), ops);
}

// ---- drive registers (kinds 69..74) -----------------------------------------------------

struct DriveKind {
    int Kind;
    int Channel;
    int Dir;
};
constexpr DriveKind kDriveKinds[] = {
    {69, 0, 0}, {70, 0, 1}, {71, 1, 0}, {72, 1, 1}, {73, 2, 0}, {74, 2, 1},
};

// ---- DAC pulse (kinds 86, 87) ------------------------------------------------------------

void RunDacPulse(int kind, const TStepEnv& env, TStepOps& ops)
{
    const double v = SpeedSetting(env, 0.0, 10.0);
    ops.push_back(TStepOp::Dac(StepperDacChannel, kind == 86 ? v : -v));
    ops.push_back(TStepOp::Wait(ReadInt(env, "Stepper", "OnTime", 0)));
    ops.push_back(TStepOp::Dac(StepperDacChannel, 0.0));
}

int32_t SlowZ(const TStepEnv& env)
{
    return std::max(0, ReadInt(env, "Coarse", "SlowZ", 20));
}

} // namespace

// ---- kinds ---------------------------------------------------------------------------------

int NormalizeStepKind(int kind)
{
    return (kind >= 2 && kind <= 79) || (kind >= 82 && kind <= 89) ? kind : 1;
}

bool IsSerialStepKind(int kind)
{
    return (kind >= 40 && kind <= 46) || (kind >= 75 && kind <= 79);
}

bool IsStickSlipStepKind(int kind)
{
    return kind >= 29 && kind <= 32;
}

int32_t MotorRegBaseFor(const TControllerCaps& caps)
{
    if (caps.MotorsAtType24Registers())
        return MotorRegBaseType24;
    if (caps.Type29())
        return MotorRegBaseType29;
    return MotorRegBaseCard;
}

QString StepOpText(const TStepOp& op)
{
    const auto hex = [](int32_t v) {
        return "0x" + QString::number(static_cast<uint32_t>(v), 16).toUpper().rightJustified(8, '0');
    };
    switch (op.Code) {
    case StepOpCode::WriteReg:
        return QString("reg %1 := %2").arg(op.Reg).arg(hex(op.Value));
    case StepOpCode::Wait:
        return QString("wait %1").arg(op.Value);
    case StepOpCode::SleepMs:
        return QString("sleep %1 ms").arg(op.Value);
    case StepOpCode::SetDacPhys:
        return QString("DAC channel %1 := %2").arg(op.Reg).arg(op.Phys);
    case StepOpCode::PollMotorReady:
        return QString("poll reg %1 for %2").arg(op.Reg).arg(hex(op.Value));
    case StepOpCode::StickSlipMove:
        return QString("MoveSteps %1, move to (%2, %3)").arg(op.Reg).arg(op.Value).arg(op.Y);
    }
    return {};
}

// ---- output word and motor registers ---------------------------------------------------

uint16_t ComposeLowWord(const TStepperState& s)
{
    const uint32_t word = (static_cast<uint32_t>(s.PhaseZ) & 0xFu) | (static_cast<uint32_t>(s.PhaseY) & 0xFu) << 4 |
                          (static_cast<uint32_t>(s.PhaseX) & 0xFu) << 8 | s.OutBits;
    return static_cast<uint16_t>(word & 0xFFFFu);
}

void WriteOutputs(TStepperState& s, TStepOps& ops)
{
    s.LastLowWord = ComposeLowWord(s);
    const uint32_t word = static_cast<uint32_t>(s.HighWord) << 16 | s.LastLowWord;
    ops.push_back(TStepOp::Write(RegDigitalOut, static_cast<int32_t>(word)));
}

void WriteHighWord(TStepperState& s, uint16_t w, TStepOps& ops)
{
    s.HighWord = w;
    const uint32_t word = static_cast<uint32_t>(w) << 16 | s.LastLowWord;
    ops.push_back(TStepOp::Write(RegDigitalOut, static_cast<int32_t>(word)));
}

void SendMotorCommand(TStepperState& s, int ch, int32_t value, TStepOps& ops)
{
    if (ch < 0 || ch >= MotorChannels)
        return;
    int32_t& last = s.MotorCmd[static_cast<size_t>(ch)];
    const uint32_t bit31 = (static_cast<uint32_t>(last) ^ 0x80000000u) & 0x80000000u;
    const uint32_t word = (static_cast<uint32_t>(value) & 0x7FFFFFFFu) | bit31;
    last = static_cast<int32_t>(word);
    ops.push_back(TStepOp::Write(s.MotorRegBase + ch, last));
}

void WriteDriveRegister(int ch, int dir, int time, int speed, TStepOps& ops)
{
    if (ch < 0 || ch >= DriveChannels)
        return;
    const uint32_t word = (dir != 0 ? 1u : 0u) << 15 | static_cast<uint32_t>(std::clamp(speed, 0, 255)) << 7 |
                          static_cast<uint32_t>(std::clamp(time, 0, 127));
    ops.push_back(TStepOp::Write(RegDriveWord + ch, static_cast<int32_t>(word)));
}

void DriveByKey(const TStepEnv& env, const QString& suffix, int ch, int dir, TStepOps& ops)
{
    const int t0 = ReadInt(env, "Coarse", "Z825B_Time", 63);
    const QString tail = HighSpeed(env) ? "_HighSpeed" : "";
    const int speed = ReadInt(env, "Coarse", "Z825B_Speed" + suffix + tail, 100);
    const int time = ReadInt(env, "Coarse", "Z825B_Time" + suffix + tail, t0);
    WriteDriveRegister(ch, dir, time, speed, ops);
}

void SetLaserBit(TStepperState& s, bool on, TStepOps& ops)
{
    s.OutBits = on ? static_cast<uint16_t>(s.OutBits | OutBitLaser) : static_cast<uint16_t>(s.OutBits & ~OutBitLaser);
    WriteOutputs(s, ops);
}

// ---- the routines -------------------------------------------------------------------------

TStepOps RunStepKind(int kind, TStepperState& s, const TStepEnv& env)
{
    TStepOps ops;
    kind = NormalizeStepKind(kind);

    if (const PhaseKind* k = FindKind(kPhaseKinds, kind)) {
        RunPhase(*k, s, ops);
    } else if (const PulseKind* k = FindKind(kPulseKinds, kind)) {
        RunPulse(*k, s, env, ops);
    } else if (const TripodKind* k = FindKind(kTripodKinds, kind)) {
        RunTripod(*k, s, ops);
    } else if (const StepDirKind* k = FindKind(kStepDirKinds, kind)) {
        RunStepDir(*k, s, ops);
    } else if (const StickSlipKind* k = FindKind(kStickSlipKinds, kind)) {
        RunStickSlip(*k, env, ops);
    } else if (const SpeedCodeKind* k = FindKind(kSpeedCodeKinds, kind)) {
        RunSpeedCode(*k, s, env, ops);
    } else if (const MotorKind* k = FindKind(kMotorKinds, kind)) {
        RunMotor(*k, s, env, ops);
    } else if (const DriveKind* k = FindKind(kDriveKinds, kind)) {
        DriveByKey(env, QString::number(k->Kind), k->Channel, k->Dir, ops);
    } else {
        switch (kind) {
        case 9: // off: drop bits 0 and 1 of each phase, clear the high half
            s.PhaseX &= ~3;
            s.PhaseY &= ~3;
            s.PhaseZ &= ~3;
            WriteOutputs(s, ops);
            WriteHighWord(s, 0, ops);
            break;
        case 28:
            RunStrobe(s, ops);
            break;
        case 39:
            s.OutBits &= 0xFFF0u;
            WriteOutputs(s, ops);
            break;
        case 47:
        case 48:
            RunDriveWord(kind, s, env, ops);
            break;
        case 55: // stop
            s.HighWord &= 0x7FFFu;
            s.OutBits = 0;
            WriteOutputs(s, ops);
            break;
        case 56:
            s.HighWord |= 0x8000u;
            WriteOutputs(s, ops);
            ops.push_back(TStepOp::Sleep(SlowZ(env)));
            break;
        case 57: // on
            s.OutBits = static_cast<uint16_t>((s.OutBits & 0xFFF0u) | 0xCu);
            WriteOutputs(s, ops);
            ops.push_back(TStepOp::Sleep(SlowZ(env)));
            break;
        case 86:
        case 87:
            RunDacPulse(kind, env, ops);
            break;
        case 88:
        case 89:
            RunMotorSpeed(kind, s, env, ops);
            break;
        default:
            break; // the serial kinds: the stepper hands them to the serial link
        }
    }
    return ops;
}

// ---- z counter and click ---------------------------------------------------------------

int32_t CountZStep(int32_t pos, int delta)
{
    const int64_t next = static_cast<int64_t>(pos) + delta;
    return static_cast<int32_t>(std::clamp<int64_t>(next, -ZCoarsePosLimit, ZCoarsePosLimit));
}

QByteArray BuildClickSound()
{
    constexpr int kSamples = 8;
    constexpr uint32_t kRate = 22050;
    QByteArray wav;
    const auto put32 = [&wav](uint32_t v) {
        for (int i = 0; i < 4; ++i)
            wav.append(static_cast<char>((v >> (8 * i)) & 0xFFu));
    };
    const auto put16 = [&wav](uint16_t v) {
        wav.append(static_cast<char>(v & 0xFFu));
        wav.append(static_cast<char>(v >> 8));
    };
    wav.append("RIFF");
    put32(36 + kSamples);
    wav.append("WAVE");
    wav.append("fmt ");
    put32(16);
    put16(1); // PCM
    put16(1); // mono
    put32(kRate);
    put32(kRate); // bytes per second at one byte per sample
    put16(1);     // block align
    put16(8);     // bits per sample
    wav.append("data");
    put32(kSamples);
    for (int i = 0; i < kSamples; ++i)
        wav.append(static_cast<char>(static_cast<uint8_t>(Round(std::sin(static_cast<double>(i)) * 50.0 + 128.0))));
    return wav;
}

} // namespace qvt
