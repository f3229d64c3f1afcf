#include "lockin/DncControls.h"

#include "core/NumberText.h"

#include <algorithm>
#include <cmath>

namespace qvt {

int32_t InputGainBits(int gain, const TControllerCaps& caps)
{
    if (gain == 100)
        return 8;
    if (gain == 10)
        return caps.InputGain100() ? 12 : 8;
    return 14;
}

TInputGainChoice LoadInputGainChoice(bool radio1, bool radio10, bool radio100, const TControllerCaps& caps)
{
    TInputGainChoice c;
    if (radio100) {
        if (!caps.InputGain100()) {
            c.Rewrite100To10 = true;
            radio10 = true;
        } else {
            c.Gain = 100;
        }
    }
    // The later checks win, as the radios are applied in this order.
    if (radio10)
        c.Gain = 10;
    if (radio1)
        c.Gain = 1;
    return c;
}

void UpdateDncChannelScales(TChannelTable& table, double inputScale, int amplitudeSlot, bool syncFilterOn,
                            bool multiLockInPresent)
{
    const double a = inputScale * DncDigitVolts;
    for (int slot = multiLockInPresent ? 14 : 20; slot <= 21; ++slot)
        table[static_cast<size_t>(slot)].Factor = static_cast<float>(a);
    for (int slot = 22; slot <= 24; ++slot)
        table[static_cast<size_t>(slot)].Factor = static_cast<float>(a / DncCordicGain);
    if (IsValidSlot(amplitudeSlot) && (multiLockInPresent || amplitudeSlot < 14 || amplitudeSlot > 19))
        table[static_cast<size_t>(amplitudeSlot)].Factor = static_cast<float>(a / DncCordicGain);
    for (int slot = FirstAdcSlot; slot < ChannelSlotCount; ++slot) {
        TIOScale& s = table[static_cast<size_t>(slot)];
        if (s.Address == 11)
            s.Factor = static_cast<float>(a / DncCordicGain / (syncFilterOn ? DncSyncFilterGain : 1.0));
        else if (s.Address == 8)
            s.Factor = static_cast<float>(inputScale / 32768.0);
    }
}

float RescaleNC100(float nc100, double oldVolts, double newVolts)
{
    if (!(oldVolts > 0.0001))
        return nc100;
    return static_cast<float>(nc100 / oldVolts * newVolts);
}

QStringList DncRangeItems(int lowestRange)
{
    QStringList items;
    if (lowestRange == 0)
        items << QString::fromUtf8("±0.1");
    if (lowestRange < 2)
        items << QString::fromUtf8("±1");
    items << QString::fromUtf8("±10");
    return items;
}

const std::array<const char*, DncTimeConstantCount> DncTimeConstantTexts = {
    "0.2 ms", "0.5 ms", "1 ms",   "2 ms",   "5 ms", "10 ms", "20 ms",
    "50 ms",  "100ms",  "200 ms", "500 ms", "1 s",  "2 s",   "5 s"};
const std::array<double, DncTimeConstantCount> DncTimeConstantSeconds = {
    0.0002, 0.0005, 0.001, 0.002, 0.005, 0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1.0, 2.0, 5.0};
const std::array<const char*, 3> DncRollOffTexts = {"6 db/oct", "12 db/oct", "24 db/oct"};

bool DncTimeConstantOf(int item, double& seconds)
{
    if (item < 0 || item >= DncTimeConstantCount) {
        seconds = DncFallbackTimeConstant;
        return false;
    }
    seconds = DncTimeConstantSeconds[static_cast<size_t>(item)];
    return true;
}

int32_t DncSyncPeriod(bool syncFilter, int32_t storedPeriod, bool hasStored, double driveFrequency)
{
    if (!syncFilter)
        return 0;
    if (hasStored)
        return storedPeriod;
    return static_cast<int32_t>(std::clamp(Round(driveFrequency / 1.0e6 + 1.0), 0.0, 255.0));
}

TDncChannelRef ResolveDncChannel(int value, int defaultSlot, const TChannelTable& table)
{
    TDncChannelRef r;
    // A read address on the lock-in side takes its factor from the DAC slot of that number.
    const bool byAddress = value < 0 && value > -DacCount;
    const int slot = IsValidSlot(value) || byAddress ? ResonanceInputSlot(value) : defaultSlot;
    const int32_t address = byAddress ? value : 0;
    const TIOScale& s = table[static_cast<size_t>(slot)];
    r.Slot = slot;
    r.Address = byAddress ? address : s.Address.load();
    r.Factor = s.Factor.load();
    return r;
}

} // namespace qvt
