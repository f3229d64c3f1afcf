#pragma once
// Scales of the controller's analogue channels: 26 outputs (DACs) and 33
// inputs (ADCs), each turning raw digits into physical values and back, with
// its label, unit, read address and output limits. Loaded from [Scale] of the
// main settings file at start and whenever the scale windows change it.

#include "protocol/ControlCodes.h"

#include <QString>
#include <QStringList>

#include <array>
#include <atomic>
#include <cstdint>

namespace qvt {

class TQVTIniFile;

// The numbers are atomics: the scan and script threads convert with them
// while the window thread may be reloading the table. Label and unit text
// belong to the window thread.
class TIOScale {
public:
    TIOScale() = default;
    TIOScale(const QString& label, const QString& unit);
    TIOScale(const TIOScale& other);
    TIOScale& operator=(const TIOScale& other);

    QString Label;                   // at most 12 characters
    std::atomic<int32_t> Address{0}; // read address (0 and below: output side of a DAC)
    std::atomic<int32_t> Offset{0};  // raw digits
    std::atomic<float> Factor{1.0f}; // physical units per digit; positive, never 0
    std::atomic<int32_t> MinRaw{0};
    std::atomic<int32_t> MaxRaw{0};
    std::atomic<bool> Invers{false};         // raw output value sent with its sign reversed
    std::atomic<bool> FactorNegative{false}; // physical axis reversed
    QString UnitName;                        // at most 4 characters
    std::atomic<bool> Listed{false};
    std::atomic<bool> Fast{false};

    // physical = (raw + Offset) * Factor
    double ToPhys(double raw) const;
    // raw = round(physical / Factor - Offset), not limited
    double ToRaw(double phys) const;
};

// DacCount and AdcCount come with the wire protocol.
constexpr int ChannelSlotCount = DacCount + AdcCount; // 59
constexpr int FirstAdcSlot = DacCount;                // ADC1
constexpr int ChannelIndexMin = -DacCount;            // DAC1
constexpr int ChannelIndexMax = AdcCount - 1;         // ADC33

using TChannelTable = std::array<TIOScale, ChannelSlotCount>;

// Slots 0..25 are DAC1..26, 26..58 ADC1..33. Program channel index i
// (-26..32) is slot i + 26.
extern TChannelTable ChannelTable;
extern TIOScale TimeScale;      // "Time", "s"
extern TIOScale FrequencyScale; // "Frequency", "Hz"
// X and Y per digit: Factor of DAC3 and DAC4 after every load (the scanner
// calibration writes them too).
extern std::atomic<double> XSensitivity;
extern std::atomic<double> YSensitivity;

constexpr int SlotZ = 0;    // DAC1
constexpr int SlotBias = 1; // DAC2
constexpr int SlotX = 2;    // DAC3
constexpr int SlotY = 3;    // DAC4

constexpr bool IsValidSlot(int slot)
{
    return slot >= 0 && slot < ChannelSlotCount;
}
constexpr bool IsValidChannelIndex(int index)
{
    return index >= ChannelIndexMin && index <= ChannelIndexMax;
}
constexpr int SlotOfChannelIndex(int index)
{
    return index + DacCount;
}

// The slot whose scale the resonance tool's amplitude ("dnc"/"channel")
// reads with: a slot 0..58, or a read address -1..-25 on the lock-in side,
// whose factor comes with the DAC slot of that number; anything else the
// default, DAC13.
constexpr int DefaultResonanceSlot = 12;
constexpr int ResonanceInputSlot(int value)
{
    if (IsValidSlot(value))
        return value;
    if (value < 0 && value > -DacCount)
        return -value;
    return DefaultResonanceSlot;
}

// "DAC1".."DAC26", "ADC1".."ADC33"; empty for a bad slot.
QString ChannelName(int slot);

// Loads one channel from [Scale]. Returns false when a value is no number
// or a rounded limit or offset does not fit 32 bits; the fields read before
// the failure are kept. An old "ShowInv" key is turned into a negative
// "Edit2" and removed from the file.
bool LoadChannelScale(TQVTIniFile& ini, int slot, TIOScale& scale);
// Loads every channel; returns the names of those that failed, in order.
QStringList LoadChannelTable(TQVTIniFile& ini, TChannelTable& table);
// "Error in ADC7-Scaling!\rUse Setup/Scale to correct the problem!"
QString ScaleErrorMessage(const QString& channelName);

// IOCTL_SET_Z_RANGE input: DAC1's limits; flag bit 0 when DAC1 is inverted,
// bit 1 when an ADC read at the Z-range flag address is.
TZRangeRecord BuildZRangeRecord(const TChannelTable& table);
// Demodulator mask of the feedback record: bit 0 always, bits 1..3 when an
// output of lock-in 1..3 (DAC15/16, 17/18, 19/20) is listed.
int32_t BuildDemodulatorMask(const TChannelTable& table);

// Setting a DAC to a physical value. DACn is written through register 31 + n.
// Beware: on controllers other than type 29, channels 8 and 10..15 land on
// registers 40..47 (stepper word, motors, LED power, ControlWord2).
constexpr int SetDacFirstChannel = 0;
constexpr int SetDacLastChannel = 15;

struct TDacWrite {
    bool Write = false; // false: bad channel or no number, nothing is written
    int32_t Register = 0;
    int32_t Value = 0;    // as sent, sign already reversed for an Invers channel
    bool InRange = false; // the value needed no limiting
};
TDacWrite BuildDacWrite(const TIOScale& scale, int channel, double value);

// The value with the unit of the channel in that slot (no unit for a bad slot).
QString FormatChannelValue(int slot, float value);

} // namespace qvt
