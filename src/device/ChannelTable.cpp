#include "device/ChannelTable.h"

#include "core/IniFile.h"
#include "core/NumberText.h"

#include <cmath>

namespace qvt {

TChannelTable ChannelTable;
TIOScale TimeScale("Time", "s");
TIOScale FrequencyScale("Frequency", "Hz");
std::atomic<double> XSensitivity{1.0};
std::atomic<double> YSensitivity{1.0};

namespace {

const QString ScaleSection = QStringLiteral("Scale");
constexpr int LabelLength = 12;
constexpr int UnitLength = 4;
constexpr int32_t DefaultMinRaw = -32000;
constexpr int32_t DefaultMaxRaw = 32000;
constexpr int32_t DefaultAdcAddress = 2;

constexpr double Int32Low = -2147483648.0;
constexpr double Int32High = 2147483647.0;

bool FitsInt32(double value)
{
    return value >= Int32Low && value <= Int32High;
}

// A float key: absent gives the default, present it must be a number.
bool ReadNumberKey(const TQVTIniFile& ini, const QString& key, double def, double& out)
{
    if (!ini.ValueExists(ScaleSection, key)) {
        out = def;
        return true;
    }
    return ParseNumber(ini.ReadString(ScaleSection, key, QString()), out);
}

} // namespace

TIOScale::TIOScale(const QString& label, const QString& unit) : Label(label), UnitName(unit) {}

TIOScale::TIOScale(const TIOScale& other)
{
    *this = other;
}

TIOScale& TIOScale::operator=(const TIOScale& other)
{
    if (this == &other)
        return *this;
    Label = other.Label;
    Address = other.Address.load();
    Offset = other.Offset.load();
    Factor = other.Factor.load();
    MinRaw = other.MinRaw.load();
    MaxRaw = other.MaxRaw.load();
    Invers = other.Invers.load();
    FactorNegative = other.FactorNegative.load();
    UnitName = other.UnitName;
    Listed = other.Listed.load();
    Fast = other.Fast.load();
    return *this;
}

double TIOScale::ToPhys(double raw) const
{
    return (raw + Offset.load()) * double(Factor.load());
}

double TIOScale::ToRaw(double phys) const
{
    return Round(phys / double(Factor.load()) - Offset.load());
}

QString ChannelName(int slot)
{
    if (!IsValidSlot(slot))
        return QString();
    if (slot < FirstAdcSlot)
        return QStringLiteral("DAC%1").arg(slot + 1);
    return QStringLiteral("ADC%1").arg(slot - FirstAdcSlot + 1);
}

bool LoadChannelScale(TQVTIniFile& ini, int slot, TIOScale& scale)
{
    const QString name = ChannelName(slot);
    if (name.isEmpty())
        return false;
    const bool isDac = slot < FirstAdcSlot;
    auto key = [&name](const char* suffix) { return name + QLatin1String(suffix); };

    scale.Label = ini.ReadString(ScaleSection, key("Label2"), QStringLiteral("unknown")).left(LabelLength);
    // An address that is no 32-bit integer is an error, never the default: the
    // channel would quietly read another input.
    // An empty cell means the default. (Two readings with different defaults
    // differ only when a text is there that is no integer.)
    const QString addressKey = key("Edit0");
    const int address = ini.ReadInteger(ScaleSection, addressKey, isDac ? -slot : DefaultAdcAddress);
    if (!ini.ReadString(ScaleSection, addressKey, QString()).trimmed().isEmpty() &&
        address != ini.ReadInteger(ScaleSection, addressKey, address ^ 1))
        return false;
    scale.Address = address;
    scale.Fast = ini.ReadBool(ScaleSection, key("CheckBoxFast"), false);

    double factorText = 0.0;
    if (!ReadNumberKey(ini, key("Edit2"), 0.0, factorText))
        return false;
    // The factor is single precision: the 0-to-1 rule applies to the narrowed
    // value, so a tiny factor cannot turn into a division by zero.
    float factor = static_cast<float>(factorText);
    const bool replaced = factor == 0.0f || !std::isfinite(factor);
    if (replaced)
        factor = 1.0f;
    scale.FactorNegative = factor < 0.0f;
    scale.Factor = std::fabs(factor);

    double value = 0.0;
    if (!ReadNumberKey(ini, key("Edit3"), DefaultMinRaw, value))
        return false;
    value = Round(value);
    if (value == Int32Low)
        value = -Int32High; // keeps the limit negatable for an inverted output
    if (!FitsInt32(value))
        return false;
    scale.MinRaw = static_cast<int32_t>(value);

    if (!ReadNumberKey(ini, key("Edit4"), DefaultMaxRaw, value))
        return false;
    value = Round(value);
    if (!FitsInt32(value))
        return false;
    scale.MaxRaw = static_cast<int32_t>(value);

    if (!ReadNumberKey(ini, key("Edit5"), 0.0, value))
        return false;
    value = Round(value / double(scale.Factor.load()));
    if (!FitsInt32(value))
        return false;
    scale.Offset = static_cast<int32_t>(value);

    scale.Invers = ini.ReadBool(ScaleSection, key("CheckBox2"), false);

    // Older files marked a reversed axis with "ShowInv"; today a negative factor says it.
    if (ini.ReadBool(ScaleSection, key("ShowInv"), false)) {
        scale.FactorNegative = true;
        ini.WriteFloat(ScaleSection, key("Edit2"), replaced ? -1.0 : -std::fabs(factorText));
        ini.DeleteKey(ScaleSection, key("ShowInv"));
    }

    scale.UnitName = ini.ReadString(ScaleSection, key("Edit1"), name).left(UnitLength);
    scale.Listed = ini.ReadBool(ScaleSection, key("CheckBox1"), false);
    return true;
}

QStringList LoadChannelTable(TQVTIniFile& ini, TChannelTable& table)
{
    QStringList failed;
    for (int slot = 0; slot < ChannelSlotCount; ++slot) {
        if (!LoadChannelScale(ini, slot, table[slot]))
            failed << ChannelName(slot);
    }
    return failed;
}

QString ScaleErrorMessage(const QString& channelName)
{
    return "Error in " + channelName + "-Scaling!" + "\r" + "Use Setup/Scale to correct the problem!";
}

TZRangeRecord BuildZRangeRecord(const TChannelTable& table)
{
    const TIOScale& z = table[SlotZ];
    TZRangeRecord record;
    record.MinRaw = z.MinRaw;
    record.MaxRaw = z.MaxRaw;
    if (z.Invers)
        record.Flags |= ZRangeFlagZInvers;
    for (int slot = FirstAdcSlot; slot < ChannelSlotCount; ++slot) {
        if (table[slot].Address == ReadAddrZRangeFlag && table[slot].Invers)
            record.Flags |= ZRangeFlagInput22Invers;
    }
    return record;
}

int32_t BuildDemodulatorMask(const TChannelTable& table)
{
    int32_t mask = 1;
    // DAC15/16, DAC17/18, DAC19/20: X and Y of lock-in 1..3.
    for (int demod = 0; demod < 3; ++demod) {
        const int slot = 14 + 2 * demod;
        if (table[slot].Listed || table[slot + 1].Listed)
            mask |= 1 << (demod + 1);
    }
    return mask;
}

TDacWrite BuildDacWrite(const TIOScale& scale, int channel, double value)
{
    TDacWrite out;
    if (channel < SetDacFirstChannel || channel > SetDacLastChannel)
        return out;
    const double raw = scale.ToRaw(value);
    if (std::isnan(raw))
        return out;
    const int32_t minRaw = scale.MinRaw;
    const int32_t maxRaw = scale.MaxRaw;
    int32_t sent;
    if (raw > maxRaw) {
        sent = maxRaw;
    } else if (raw < minRaw) {
        sent = minRaw;
    } else {
        sent = static_cast<int32_t>(raw);
        out.InRange = true;
    }
    // A limit is an output value like any other: an inverted channel gets it
    // with its sign reversed, or the output would go to the opposite extreme.
    if (scale.Invers)
        sent = sent == INT32_MIN ? INT32_MAX : -sent;
    out.Write = true;
    out.Register = RegDacBase + channel;
    out.Value = sent;
    return out;
}

QString FormatChannelValue(int slot, float value)
{
    if (!IsValidSlot(slot))
        return FormatChannelValueWithUnit(QString(), value);
    return FormatChannelValueWithUnit(ChannelTable[slot].UnitName, value);
}

} // namespace qvt
