#pragma once
// The spectroscopy requests of the device window, computed apart from it:
// settle delay and sample time as the controller takes them, the bias and Z
// ramp tables, the stop record, the poll interval and the running mean the
// results are averaged with.

#include "protocol/ControlCodes.h"

#include <cstddef>
#include <cstdint>

namespace qvt {

// The controller's spectroscopy clock; one tick is 25.6 µs.
constexpr double SpektClockHz = 39062.5;
constexpr int32_t SpektDelayMaxUs = 2000000;
constexpr int32_t SpektTicksMax = 2000000;
// Result slots 1..6 of IOCTL_READ_SPEKT; input slots 0..3 of the record.
constexpr int SpektResultSlots = 6;
constexpr int SpektInputSlots = 4;
// Points of a run: the ramp's last word repeats the last point.
constexpr int SpektMaxPoints = SpektPoints - 1;
constexpr int32_t SpektKindStop = 2;
// The Z ramp goes as differences from point to point.
constexpr int32_t SpektKindZDifferences = 0x10;
inline constexpr const char* SpektTooFastMessage = "QVT is too fast - a few datapoints are wrong!";

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

} // namespace qvt
