#pragma once
// The controller's Z feedback loop is configured by one 60-byte record. The
// record is built in two steps: the words that follow from the active
// parameter set and the scales (UpdateFeedback), then the mode's control word
// and the states that override it (retract, lift pass, fast feedback module)
// just before it is sent (SendFeedbackRecord). Both steps are pure functions
// here; TInOutForm feeds them the shared state and sends what they return.

#include "core/SharedState.h"
#include "protocol/ControlCodes.h"

#include <QString>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace qvt {

class TIOScale;

// IOCTL_SET_FEEDBACK input, 15 words: ControlWord, Setpoint, IntegralGain
// (-Kp - Ki'), ProportionalGain (Kp), PllKp, PllFrequency (DDS word),
// AmplitudeSetpoint, AmplitudeSum (AmplKp + AmplKi), AmplitudeKp (-AmplKp),
// KelvinKi, KelvinChannel, KelvinReference, DemodulatorMask, InputAddress, Spare.
using TFeedbackRecord = TSetFeedbackRecord;
static_assert(sizeof(TFeedbackRecord) == 60, "feedback record is 15 words");
static_assert(offsetof(TFeedbackRecord, PllKp) == 16);
static_assert(offsetof(TFeedbackRecord, KelvinKi) == 36);
static_assert(offsetof(TFeedbackRecord, DemodulatorMask) == 48);
static_assert(offsetof(TFeedbackRecord, InputAddress) == 52);

// IOCTL_SET_SLOPE input: plane correction.
using TSlopeRecord = TSetSlopeRecord;

// Control words.
constexpr int32_t FbWordHold = 0;
constexpr int32_t FbWordStm = 0x1000;
constexpr int32_t FbWordStm1 = 0x1100;
constexpr int32_t FbWordStm2 = 0x1400;
constexpr int32_t FbWordContact = 0x2000;
constexpr int32_t FbWordNcAmplitude = 0x4000;
constexpr int32_t FbWordNcX = 0x4100;
constexpr int32_t FbWordNcPll = 0x4080;
constexpr int32_t FbWordRetract = ControlFeedbackRetract;
constexpr int32_t FbBitInvert = 0x200;
constexpr int32_t FbBitKelvin = 0x10000;
constexpr int32_t FbWordFastModule = FbWordContact | FbBitInvert; // 0x2200
constexpr int32_t FbWordNonContact = 0x4000;                      // words from here up are dynamic modes

constexpr int32_t FbRetractSetpoint = -1000000000;
constexpr int32_t FbRetractIntegralGain = 30;
constexpr int32_t FbFastModuleInput = ReadAddrFastFeedbackInput;
constexpr double FbGainLimit = 1e9;
constexpr double FbPllKpLimit = 10000.0;

// Default feedback input (program channel index) of each mode.
int DefaultFeedbackInput(int mode);
// A channel index read from settings: -26..32 stays, anything else is the mode's default.
int ValidFeedbackInput(int mode, int channelIndex);

// Gains of the fast feedback module (type 29 controller or USB box).
struct TFeedbackMirror {
    int32_t K0 = 0;
    int32_t K1 = 0;
    int32_t Reference = 0;
    int32_t Mode = 0;
};

struct TRegisterWrite {
    int32_t Register = 0;
    int32_t Value = 0;
};

// ---- words from the parameter set (UpdateFeedback) ----------------------

struct TFeedbackWordsInput {
    int Mode = FeedbackCmAFM;        // validated, -1..6
    TFeedbackSet Set;                // the mode's set, InputAddr validated
    const TIOScale* Input = nullptr; // scale of Set.InputAddr; required
    float NC100ProcentAmpl = 1.0f;
    float FreqSetpoint = 0.0f;
    float AmplSetpoint = 0.0f;
    float AmplKi = 0.0f;
    float AmplKp = 0.0f;
    float FreqKp = 0.0f;
    float KelvinKi = 0.0f;
    float KelvinRef = 0.0f;
    int32_t KelvinOn = 0;
    const TIOScale* AmplitudeInput = nullptr; // resonance tool's input, mode 6 only
    const TIOScale* DncInputScale = nullptr;  // may be absent
    int32_t KelvinChannel = 0;
    bool ComputeMirror = false; // type 29 controller or USB box
};

struct TFeedbackWordsResult {
    TFeedbackRecord Words; // ControlWord and DemodulatorMask carried over from before
    float Setpoint = 0.0f; // the set's setpoint as the controller now holds it
    float Ki = 0.0f;       // the set's gains, limited to what the controller runs
    float Kp = 0.0f;
    float AmplSetpoint = 0.0f; // limited to the amplitude input's range (mode 6)
    float AmplKi = 0.0f;       // limited and rounded in place (mode 6)
    float AmplKp = 0.0f;
    float FreqKp = 0.0f; // limited and rounded in place (mode 6)
    bool HasMirror = false;
    TFeedbackMirror Mirror;
};

// `previous` supplies the words this mode leaves alone.
TFeedbackWordsResult BuildFeedbackWords(const TFeedbackWordsInput& in, const TFeedbackRecord& previous);

// ---- mode word, overrides and mirror (SendFeedbackRecord) -----------------

// The mode's own control word, before the Kelvin bit and the overrides.
int32_t FeedbackModeWord(int mode, bool inputInvers, float bias, int32_t setpointWord);
// Name shown for the mode ("none" for -1, "default" for an unknown one).
const char* FeedbackModeName(int mode);
// Unit of the mode's setpoint; empty for -1 and unknown modes, which leave the unit as it was.
QString FeedbackModeUnit(int mode, const QString& inputUnit);

enum class TDriveChange { None, Apply, SwitchOff };

struct TFeedbackSendInput {
    int Mode = FeedbackCmAFM; // validated
    bool InputInvers = false;
    float Bias = 0.0f;
    int32_t KelvinOn = 0;
    bool Retract = false;
    bool LiftPass = false;
    bool FastModule = false;        // OsziRequest feedback bit
    bool ScannerFastSwitch = false; // scanner window's fast-mode switch
    bool UsbBox = false;
    bool Type29 = false;
    int32_t LockInGain = 0;
    int32_t PreviousModeWord = 0; // mode word of the previous send
    uint32_t LockInOn = 0;
    TFeedbackMirror Mirror;
};

struct TFeedbackSendResult {
    TFeedbackRecord Record;
    int32_t ModeWord = 0;
    TDriveChange Drive = TDriveChange::None;
    uint32_t LockInOn = 0;
    std::array<TRegisterWrite, 4> MirrorWrites{};
    int MirrorWriteCount = 0; // 0 unless USB box
    int32_t MirrorModeCode = 0;
};

TFeedbackSendResult BuildFeedbackSend(const TFeedbackRecord& words, const TFeedbackSendInput& in);

// Plane correction: [0, 0] when off, otherwise the slopes limited to ±1e9
// (written back through the references) and rounded.
TSlopeRecord BuildSlopeRecord(bool on, double& dxDz, double& dyDz);

// ---- state kept by the device window --------------------------------------

// The scan thread, the script thread and the window thread all send the
// record; Mutex guards every field below it while a record is built and sent.
struct TFeedbackRecordState {
    std::mutex Mutex;
    TFeedbackRecord Words;      // from the last UpdateFeedback (no mode word, no overrides)
    TFeedbackRecord Sent;       // as last sent
    int32_t LastModeWord = 0;   // mode word of the last send, before the Kelvin bit and overrides
    TFeedbackMirror Mirror;     // computed on a type 29 controller or a USB box
    int32_t MirrorModeCode = 0; // last value written to the mode register of the mirror

    // Set by the windows that own them; read by whichever thread sends.
    std::atomic<bool> ScannerFastSwitch{false}; // scanner window's fast-mode switch
    std::atomic<int32_t> HighSpeedMode{0};      // scanner window's mode; 2 keeps slopes local
};

} // namespace qvt
