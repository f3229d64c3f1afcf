#pragma once
// The process-wide records the windows and worker threads share: scan geometry
// and progress, the feedback loop state, lock-in values, oscilloscope requests
// and the single values. One instance of each lives from start-up to exit.
//
// Fields a worker thread reads while the window thread writes them (or the
// other way round) are atomics; everything else belongs to the window thread.

#include <QString>

#include <array>
#include <atomic>
#include <cstdint>

namespace qvt {

class TQVTIniFile;
class TIOScale;

// ---- program-wide names -------------------------------------------------

extern QString AppDir;           // executable's directory with a trailing "/"
extern QString DeviceDriverName; // [Main] DeviceDriverName of the settings in use
extern TQVTIniFile* MainIni;     // machine settings, owned by the main window
extern TQVTIniFile* UserIni;     // operator's choices, owned by the main window

// ---- scan geometry and progress -----------------------------------------

struct TScanParams {
    std::atomic<int16_t> Pixels{256};
    std::atomic<float> Range{1000.0f};  // nm
    std::atomic<float> Speed{1.0f};     // lines per second
    std::atomic<float> XCenter{0.0f};   // nm
    std::atomic<float> YCenter{0.0f};   // nm
    std::atomic<float> Angle{0.0f};     // radians
    std::atomic<int16_t> CurrentLine{1};
    std::atomic<bool> LineScan{false};
    std::atomic<double> LevelDxDz{0.0};
    std::atomic<double> LevelDyDz{0.0};
    std::atomic<int64_t> LineTime{0}; // PerfFrequency ticks
    std::atomic<int32_t> LinesLeft{0};
    std::atomic<double> OverScan{5.0}; // percent of the range
};

// ---- feedback loop -------------------------------------------------------

// The feedback modes by the numbers the settings, the scripts, the parameter
// file and the controller's record use; the names are the ones the mode
// shows (`ModeName`).
enum TFeedbackMode : int32_t {
    FeedbackNone = -1,    // "none": the loop holds
    FeedbackSTM = 0,      // "STM"
    FeedbackSTM1 = 1,     // "STM1": current suppressed when the gap closes
    FeedbackSTM2 = 2,     // "STM2": Ki and Kp adapted to the setpoint
    FeedbackCmAFM = 3,    // "cmAFM": contact
    FeedbackNcAFMR = 4,   // "ncAFM R": amplitude
    FeedbackNcAFMX = 5,   // "ncAFM X": in-phase part
    FeedbackNcAFMPLL = 6, // "ncAFM+PLL": frequency shift
};

constexpr int FeedbackModeMin = FeedbackNone;
constexpr int FeedbackModeMax = FeedbackNcAFMPLL;
constexpr int FeedbackModeCount = FeedbackModeMax - FeedbackModeMin + 1;

struct TFeedbackSet {
    float Setpoint = 0.0f;
    float Bias = 0.0f; // V
    float Ki = 0.0f;
    float Kp = 0.0f;
    // Program channel index of the feedback input: slot = InputAddr + 26.
    int32_t InputAddr = 0;
};

enum ZStateValue : int32_t {
    ZApproached = -1,
    ZPiezoRetracted = 1,
    ZCoarseRetracted = 2,
    ZPoweredDown = 4,
};

struct TMicroscopeState {
    // Index with FeedbackSetIndex(mode): the set of mode m is element m + 1.
    std::array<TFeedbackSet, FeedbackModeCount> FeedbackSets{};
    float FreqKp = 0.0f; // limited to -10000..10000
    std::atomic<int32_t> FeedbackChannel{0};
    std::atomic<int32_t> FeedbackMode{0};
    QString ModeName;  // up to 32 characters, window thread only
    QString ModeUnit;  // up to 6 characters, window thread only
    float FreqSetpoint = 0.0f; // Hz
    float AmplSetpoint = 0.0f;
    float AmplKi = 0.0f;
    float AmplKp = 0.0f;
    float KelvinKi = 0.0f;
    float KelvinRef = 0.0f; // V
    int32_t KelvinOn = 0;
    float NC100ProcentAmpl = 1.0f;
    std::atomic<int32_t> ZState{ZCoarseRetracted};
    std::atomic<uint32_t> LockInOn{0}; // bit 0 drive applied, bit 1 operator enabled
    std::atomic<bool> LiftPass{false};
};

// Mode m (-1..6) → element of FeedbackSets. Out-of-range modes are the
// caller's fault; ValidFeedbackMode() maps them before they index anything.
constexpr int FeedbackSetIndex(int mode) { return mode + 1; }
// A mode read from settings or a script: -1..6 stays, anything else is contact AFM.
constexpr int ValidFeedbackMode(int mode)
{
    return (mode >= FeedbackModeMin && mode <= FeedbackModeMax) ? mode : FeedbackCmAFM;
}

struct TFeedbackModeInfo {
    int Mode;
    const char* ListText;
    const char* ModeName;
};
// The feedback modes in list order (list index = mode + 1).
extern const std::array<TFeedbackModeInfo, FeedbackModeCount> FeedbackModeTable;
inline bool IsDynamicMode(int mode) { return mode >= FeedbackNcAFMR && mode <= FeedbackNcAFMPLL; }
inline bool IsTunnellingMode(int mode) { return mode >= FeedbackSTM && mode <= FeedbackSTM2; }

// ---- lock-in ------------------------------------------------------------

struct TLockInState {
    double DriveFrequency = 0.0; // Hz
    QString FrequencyUnit = "Hz";
    double DriveAmplitude = 0.0; // V
    int32_t DriveAmplitudeWord = 0;
    QString AmplitudeUnit = "V";
    double LockInPhase = 0.0; // degrees
    TIOScale* DncInputScale = nullptr;
    int32_t LockInGain = 0;     // 0..255
    int32_t QControlGain = 0;   // 0..0x1FFFF
    int32_t QControlDelay = 0;  // 0..359 degrees
    int32_t AmplitudeRange = 0; // 0 ±0.1 V, 1 ±1 V, 2 ±10 V
    int32_t GainCopy = 0;
};

struct TMultiLockInParams {
    std::array<double, 3> Amplitude{};
    std::array<int32_t, 3> AmplitudeWord{};
    std::array<double, 3> Frequency{}; // Hz, always FrequencyFromWord of the word sent
    std::array<double, 3> Phase{};     // degrees, always PhaseFromWord of the word sent
    int32_t ResonanceWord = 0;
    std::array<int32_t, 3> FrequencyWord{};
    int32_t ReferenceMode = 0; // 0 reference B (Kelvin), 1 reference A (bimodal)

    static double FrequencyFromWord(int32_t word) { return word / 429.4967296; }
    static double PhaseFromWord(int32_t word) { return word / 2047.0 * 360.0; }
};

// ---- oscilloscope wire records --------------------------------------------

enum HighSpeedControlBits : int32_t {
    HscDmaOn = 0x1,
    HscFeedbackOn = 0x2,
    HscScanOn = 0x4,
    HscApplyRequest = 0x80, // sent once, then cleared
    HscMonoZ = 0x100,
};

constexpr int OsziMaxChannelIds = 15;

// Written by the window thread and the fast scan, read by the feedback
// record on any thread: every word is atomic. Words() is the wire record.
struct TOsziRequest {
    std::atomic<int32_t> HighSpeedControl{0};
    std::atomic<int32_t> Count{0}; // at most OsziMaxChannelIds
    std::array<std::atomic<int32_t>, OsziMaxChannelIds> Ids{};

    TOsziRequest() = default;
    TOsziRequest(const TOsziRequest& other) { *this = other; }
    TOsziRequest& operator=(const TOsziRequest& other)
    {
        HighSpeedControl = other.HighSpeedControl.load();
        Count = other.Count.load();
        for (size_t i = 0; i < Ids.size(); ++i)
            Ids[i] = other.Ids[i].load();
        return *this;
    }
    std::array<int32_t, 2 + OsziMaxChannelIds> Words() const
    {
        std::array<int32_t, 2 + OsziMaxChannelIds> w{};
        w[0] = HighSpeedControl.load();
        w[1] = Count.load();
        for (size_t i = 0; i < Ids.size(); ++i)
            w[2 + i] = Ids[i].load();
        return w;
    }
};
static_assert(sizeof(TOsziRequest) == 68, "oscilloscope request is 17 words");
static_assert(std::atomic<int32_t>::is_always_lock_free);

constexpr int OsziBufferSamples = 512;
struct TOsziBuffer {
    int32_t Count = 0;
    int32_t Samples[OsziBufferSamples] = {};
};
static_assert(sizeof(TOsziBuffer) == 2052, "oscilloscope buffer is 2052 bytes");

enum OsziFlagBits : int32_t {
    OsziThreeTrace = 0x1,
    OsziNoiseMeasurement = 0x2,
};

struct TCantileverParams {
    double SpringConstant = 1.0; // N/m
    double CantileverScaleNCAFM = 1.0;
    double CantileverScaleCMAFM = 1.0;
};

struct TMaxScanRange {
    double Range = 0.0; // nm
    double XSensitivity = 0.0;
    double YSensitivity = 0.0;
};

// ---- the instances ---------------------------------------------------------

extern TScanParams ScanParams;
extern TMicroscopeState MicroscopeState;
extern TLockInState LockInState;
extern TMultiLockInParams MultiLockInParams;
extern TOsziRequest OsziRequest;
extern std::array<TOsziBuffer, 4> OsziBuffers; // 0 time stamps, 1..3 traces
extern std::atomic<bool> AbortFlag;
extern std::atomic<int32_t> AverageCount;
extern std::atomic<bool> MultiLockInPresent;
extern QString SpektModeName;
extern TCantileverParams CantileverParams;
extern TMaxScanRange MaxScanRange;
extern std::atomic<int32_t> OsziFlags;
extern float OsziSampleTime; // s
extern std::array<int32_t, 4> OsziChannels;
extern int32_t DncScopePeriod;
extern std::array<int32_t, 4> DncScopeChannels;

// Running mean at repetition n = AverageCount (0 counts as 1): the first value
// replaces the old mean, later ones are weighted in.
double RunningMean(double oldMean, double value, int32_t n);

// Reads the settings-backed single values ([ScanPara] OverScan, the cantilever
// values of [Microscope]) from the main settings file.
void LoadSharedStateSettings(const TQVTIniFile& mainIni);

} // namespace qvt
