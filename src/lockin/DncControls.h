#pragma once
// The front panel of the main lock-in, apart from its widgets: input gain
// words and the scales of the lock-in channels, the drive's output ranges,
// the demodulation time constants, the sync period, and which channel the
// resonance window reads.

#include "device/ChannelTable.h"
#include "device/ControllerCaps.h"

#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>

namespace qvt {

class TQVTIniFile;

// ---- input gain ---------------------------------------------------------------------

constexpr int32_t InputGainMask = 14;
// SetControlBits value of gain 1, 10 or 100 (type 29 takes 8 for gain 10).
int32_t InputGainBits(int gain, const TControllerCaps& caps);

// What LoadInputGain applies at start: 1, 10 or 100 (0: none stored). On a
// type-29 controller a stored gain 100 becomes gain 10 (`rewrite` tells the
// settings to change).
struct TInputGainChoice {
    int Gain = 0;
    bool Rewrite100To10 = false;
};
TInputGainChoice LoadInputGainChoice(bool radio1, bool radio10, bool radio100, const TControllerCaps& caps);

// Demodulator volts per digit at gain 1 (Input1Scale 1.0).
constexpr double DncDigitVolts = 6.3e-8;
constexpr double DncCordicGain = 1.6467602581;
constexpr double DncSyncFilterGain = 1.408;

// The lock-in slots of the channel table from the input scale:
// slots 14..21 (X/Y of the lock-ins) a, slots 22..24 and the amplitude slot
// a / 1.6467602581, ADCs read at address 11 a / 1.6467602581 (and / 1.408
// with the sync filter), ADCs read at address 8 inputScale / 32768. Slots
// 14..19 belong to the multi lock-in: without it the second lock-in window
// owns 14/15 and they are left alone.
void UpdateDncChannelScales(TChannelTable& table, double inputScale, int amplitudeSlot, bool syncFilterOn,
                            bool multiLockInPresent);

// ---- drive --------------------------------------------------------------------------

// The free amplitude follows the drive: NC100 × new / old when old > 0.0001 V.
float RescaleNC100(float nc100, double oldVolts, double newVolts);

// The output-range items: "±0.1" only when the lowest usable range is 0,
// "±1" when it is below 2, "±10" always.
QStringList DncRangeItems(int lowestRange);
// Range of an item: ItemIndex − count + 3 (0, 1, 2 always ±0.1, ±1, ±10 V).
inline int DncRangeOfItem(int itemIndex, int itemCount)
{
    return itemIndex - itemCount + 3;
}

// ---- time constant -------------------------------------------------------------------

constexpr int DncTimeConstantCount = 14;
extern const std::array<const char*, DncTimeConstantCount> DncTimeConstantTexts;
extern const std::array<double, DncTimeConstantCount> DncTimeConstantSeconds;
extern const std::array<const char*, 3> DncRollOffTexts;
constexpr double DncFallbackTimeConstant = 0.001;
// Seconds of an item; false (and 1 ms) for an item outside 0..13.
bool DncTimeConstantOf(int item, double& seconds);

// The sync filter's period: SyncPeriode (default round(f / 10^6 + 1)) when on, else 0.
int32_t DncSyncPeriod(bool syncFilter, int32_t storedPeriod, bool hasStored, double driveFrequency);

// ---- channels --------------------------------------------------------------------------

// A [dnc] channel key: v ≥ 0 is a channel-table slot, v < 0 a read address
// (its factor that of the DAC slot −v). Out of range: the default slot.
struct TDncChannelRef {
    int Slot = 12;
    int32_t Address = -12;
    double Factor = 1.0;
};
TDncChannelRef ResolveDncChannel(int value, int defaultSlot, const TChannelTable& table);

} // namespace qvt
