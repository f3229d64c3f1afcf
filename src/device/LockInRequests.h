#pragma once
// The words of the lock-in requests, computed apart from the device window:
// frequency, drive amplitude and range, reference oscillator, phase, phase
// shifter (Q-control), filters and the multi lock-in channels. Each builder
// takes the values and the controller kind and returns what is to be sent.

#include "device/ControllerCaps.h"
#include "protocol/ControlCodes.h"

#include <cstdint>
#include <functional>

namespace qvt {

// NaN and infinities taken as 0, so a garbled setting sends nothing wild.
double FiniteOrZero(double v);

// Frequency words are f / 10^7 × 2^32.
constexpr double LockInClockHz = 1.0e7;
constexpr double FrequencyWordScale = 4294967296.0 / LockInClockHz;

// ---- frequency ------------------------------------------------------------------

struct TFrequencyWords {
    bool Send = false;
    bool HasCoarse = false; // type 29: a coarse word goes first
    int32_t CoarseWord = 0; // (c and 0xFFFF) or 0x80000000
    uint32_t FineWord = 0;  // the word sent after the coarse one
    int32_t KeptWord = 0;   // at most 2^31 − 1
};
TFrequencyWords BuildLockInFrequency(double hz, bool type29);
// The highest frequency the oscillator's words can hold (a type-29
// controller has the coarse word besides); a frequency must lie above 0 and
// not above it, else the words would be limited to another frequency (or,
// at 0 and below, nothing is sent).
double LockInFrequencyMax(bool type29);
bool LockInFrequencyFits(double hz, bool type29);

// ---- drive amplitude ----------------------------------------------------------------

constexpr int32_t ControlAmplitudeRangeMask = 0x30;
// Settings key ("dnc") of the scale of each range: 0 ±0.1 V, 1 ±1 V, 2 ±10 V.
const char* AmplitudeScaleKey(int range);
// The ControlWord bits 0x30 of each range.
int32_t AmplitudeRangeBits(int range);

struct TAmplitudeRange {
    bool Fits = true;
    bool Beep = false;     // the range was out of 0..2: full scale
    int Range = 0;         // as applied
    int32_t RangeBits = 0; // ControlWord bits 0x30
    double Volts = 0.0;    // as applied
    int32_t Word = 0;
};
// scale: the words per volt of `range` (the caller reads its settings key;
// ranges out of 0..2 pass the scale of range 2).
TAmplitudeRange BuildAmplitudeRange(int range, double volts, double scale, int32_t fullWord);

// The drive-amplitude register 10: (second word shl 16) or (word and 0xFFFF).
int32_t DriveAmplitudeRegister(int32_t secondWord, int32_t word);
// The DAC11 factor that shows the drive in volts for a range scale.
double DriveMonitorFactor(double scale);

// ---- reference oscillator, phase, Q-control ---------------------------------------------

struct TReferenceFrequency {
    int32_t Register3 = 0;
    int32_t Prescaler = 0; // 0..15
    double Hz = 0.0;       // the frequency the words stand for
};
TReferenceFrequency BuildReferenceFrequency(double hz);
// Register 16: gain or (prescaler shl 16).
int32_t LockInGainRegister(int32_t gain, int32_t prescaler);

struct TLockInPhase {
    uint32_t Word = 0;    // code or (harmonic shl 28)
    double Degrees = 0.0; // as applied
};
TLockInPhase BuildLockInPhase(int harmonic, double degrees);

struct TPhaseShifter {
    int32_t Register = RegQControl;
    int32_t Value = 0;
};
TPhaseShifter BuildPhaseShifter(int32_t gain, double phase, double hz, double lockInPhase, const TControllerCaps& caps);

// ---- filters and multi lock-in --------------------------------------------------------

constexpr int LockInFilterCount = 8;
constexpr int LockInTimeConstants = 14; // 0.2 ms .. 5 s
// `coefficients` is the table record for the choice; false for a filter out of 0..7.
bool BuildLockInFilter(int filter, const TSetFilterRecord& coefficients, int32_t lockInGain, TSetFilterRecord& out);

struct TMultiLockInChannel {
    int32_t Address = 0;
    int32_t Setpoint = 0;
    int32_t Ki = 0;
    bool On = false;
    int32_t AmplitudeWord = 0; // of lock-in 2 or 3
};
TSetMultiLiaRecord BuildMultiLockIn(int k, const TMultiLockInChannel& channel);

// ---- status ---------------------------------------------------------------------------------

struct TDncStatus {
    bool Overload = false;
    bool QClip = false;
    int32_t Kept = 0;        // word 3
    int32_t Results[4] = {}; // words 0, 1, 4, 5
};
TDncStatus DecodeDncStatus(const TDncStatusRecord& record, bool readOk);

// What the device window asks of windows made after it; each stays empty
// until its window exists, and the request that needs it is then not sent.
struct TLockInHooks {
    // The second lock-in window's filter tables: the record of a time
    // constant (0..13) and slope (0, 1, 2; other values: its current record).
    std::function<bool(int timeConstant, int slope, TSetFilterRecord& record)> FilterTable;
    // The resonance window's time-constant and slope choices.
    std::function<bool(int& timeConstant, int& slope)> ResonanceFilterChoice;
    // The resonance window's time constant in seconds (the automatic phase waits it out).
    std::function<double()> ResonanceTimeConstant;
    // Channel k (0..3) of the multi lock-in window.
    std::function<bool(int k, TMultiLockInChannel& channel)> MultiLockInChannel;
    // The scanner window's mono-Z switch (type-29 controllers).
    std::function<bool()> ScannerMonoZ;
};

} // namespace qvt
