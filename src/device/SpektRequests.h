#pragma once
// The spectroscopy requests of the device window, computed apart from it:
// settle delay and sample time as the controller takes them, the bias and Z
// ramp tables, the stop record, the poll interval and the running mean the
// results are averaged with.

#include "protocol/ControlCodes.h"

#include <cstddef>
#include <cstdint>
#include <limits>

namespace qvt {

// Limits a value to lo..hi before it becomes a word; NaN gives lo.
int32_t ClampWord(double v, double lo, double hi);

// The controller's spectroscopy clock; one tick is 25.6 µs.
constexpr double SpektClockHz = 39062.5;
constexpr int32_t SpektDelayMaxUs = 2000000;
constexpr int32_t SpektTicksMax = 2000000;
// Result slots 1..6 of IOCTL_READ_SPEKT; input slots 0..3 of the record.
constexpr int SpektResultSlots = 6;
constexpr int SpektInputSlots = 4;
// Points of a run: the ramp's last word repeats the last point.
constexpr int SpektMaxPoints = SpektPoints - 1;
constexpr int SpektDefaultPoints = 64;
constexpr int32_t SpektKindStop = 2;
// The Z ramp goes as differences from point to point.
constexpr int32_t SpektKindZDifferences = 0x10;
inline constexpr const char* SpektTooFastMessage = "QVT is too fast - a few datapoints are wrong!";
// Kinds the acquisition treats apart: the constant-height curve runs in
// contact mode, the z-noise readings become an amplitude spectrum.
inline constexpr const char* SpektKindConstantHeight = "cmAFM X(U)";
inline constexpr const char* SpektKindZNoise = "X(t) z-noise";

// DataPoints as every table takes it: 1..1023.
int32_t SpektClampPoints(int64_t points);

// Settle delay in whole microseconds, 1..2000000.
int32_t SpektDelayUs(double us);
// Sample time in clock ticks, 1..2000000, and back to microseconds.
int32_t SpektSampleTicks(double us);
double SpektTicksToUs(int32_t ticks);
// Interval of the poll timer: the run's length with a tenth to spare, plus 20 ms.
int SpektPollIntervalMs(int32_t ticks, int32_t points);
// Input slot as the record takes it: negative → 0, above 2 → 3.
int SpektInputSlot(int slot);

// The raw conversion of a ramp's output channel.
struct TRampScale {
    double Factor = 1.0; // physical units per digit
    double Offset = 0.0; // raw digits
    bool Negative = false;
    int32_t MinRaw = 0;
    int32_t MaxRaw = 0;
};
// `n` points (limited to 0..1023) of bias values to raw, limited to the channel.
TRampRecord BuildBiasRamp(const double* values, int n, const TRampScale& scale);
// `n` points of Z to raw, limited to ±(MaxRaw − MinRaw); as differences
// from one point to the next when `differences`.
TRampRecord BuildZRamp(const double* values, int n, const TRampScale& scale, bool differences);

// A Z value (physical) on the Z channel's digit grid.
double QuantizeZValue(double z, double factor);
// A bias (physical) on the bias channel's digit grid (through its raw
// conversion and back). Not limited: a bias beyond the output is kept as
// asked, so that a run can refuse it rather than ramp to the rail.
double QuantizeBiasValue(double u, const TRampScale& scale);

// Where a run's tables would take the outputs. Z is reckoned from `zNow`,
// the Z output's digits where it holds the tip now: a table word w puts Z at
// zNow − w (dz > 0 retracts, towards the Z minimum). Bias words are the bias
// output's own. The ranges say what the outputs can do, in physical units.
struct TSpektReach {
    bool ZInRange = true;
    bool BiasInRange = true;
    double DzLow = 0.0, DzHigh = 0.0;     // excursions Z can make from zNow
    double BiasLow = 0.0, BiasHigh = 0.0; // the bias output's range
    bool DzReachable(double dz) const { return dz >= DzLow && dz <= DzHigh; }
    bool BiasReachable(double u) const { return u >= BiasLow && u <= BiasHigh; }
};
// `n` points of bias and Z (the window's columns) against the outputs; a
// dz below −`pressMax` (physical Z, toward the sample) presses the tip
// further than it bears and is out of reach too.
TSpektReach SpektRampReach(const double* bias, const double* z, int n, const TRampScale& biasScale,
                           const TRampScale& zScale, double zNow,
                           double pressMax = std::numeric_limits<double>::infinity());
// The press toward the sample a Z ramp may make ("Spekt"/"ZPressMax" of the
// main settings, physical Z units); none named or not above 0: no bound.
double SpektPressMax(double setting);

// The record that stops a run: Kind 2, no points, the rest kept.
TSetSpektRecord BuildSpektStop(const TSetSpektRecord& record);
// The controller gave fewer (or more) readings than the run has points.
bool SpektReplyShort(size_t replyBytes, int32_t points);

// The running mean of a result slot over AverageCount runs.
struct TSpektAverage {
    double Factor = 1.0; // of the slot's scale
    double Offset = 0.0;
    bool Negate = false;  // the scale's FactorNegative (not for spectra)
    int AverageCount = 1; // 0 is taken as 1
};
// column[i] := column[i] × h + (reading[i] + Offset) × w for i < n.
void AverageSpektReadings(const int32_t* readings, int n, const TSpektAverage& average, double* column);
void AverageSpektReadings(const double* readings, int n, const TSpektAverage& average, double* column);

// The z-noise readings as an amplitude spectrum: N = the largest power of two
// not above `points`; a radix-2 transform of the first N readings; magnitude j
// = |X_j| / N / 2.83 for j < N/2 (kept fractional: a noise floor of a few
// digits would round to zeros). With points = N each magnitude fills outputs
// 2j and 2j+1, otherwise output i takes magnitude round(i (N/2 − 1) / (points − 1)).
// Fewer than 2 points: all outputs 0. `out` holds `points` values.
void SpektAmplitudeSpectrum(const int32_t* readings, int points, double* out);
// The largest power of two not above n (n ≥ 1), else 0.
int SpektSpectrumLength(int n);

} // namespace qvt
