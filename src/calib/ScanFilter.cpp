#include "calib/ScanFilter.h"

#include "core/IniFile.h"
#include "core/NumberText.h"

#include <cmath>

namespace qvt {

namespace {

constexpr double Q31Scale = 2147483647.0;
const std::array<const char*, 5> CoefficientKeys = {"a0", "a1", "a2", "b0", "b1"};

// Slot scaling within a block of five: value = sign * coefficient / divisor.
struct TSlotMap {
    int Coefficient; // 0..4 within the filter
    double Factor;
};
constexpr std::array<TSlotMap, 5> Filter1Map = {{{0, 1.0 / 128}, {1, 1.0 / 256}, {2, 1.0 / 128}, {3, -0.5}, {4, -1.0}}};
constexpr std::array<TSlotMap, 5> Filter2Map = {{{0, 1.0}, {1, 0.5}, {2, 1.0}, {3, -0.5}, {4, -1.0}}};

// Axis, filter (0/1) and place in the five of slot i; false for slot 11.
bool SlotPlace(int slot, int& axis, int& filter, int& place)
{
    if (slot == 11)
        return false;
    const int j = slot <= 10 ? slot - 1 : slot - 12;
    axis = slot <= 10 ? FilterAxisX : FilterAxisY;
    filter = j / 5;
    place = j % 5;
    return true;
}

QString Signed(double v)
{
    return (v < 0 ? "- " : "+ ") + GeneralText(std::fabs(v), 4);
}

} // namespace

QString FilterSection(int k)
{
    static const std::array<const char*, 4> names = {"FilterX", "FilterX2", "FilterY", "FilterY2"};
    return names.at(static_cast<size_t>(k));
}

TAxisFilter PassThroughAxis()
{
    return {1, 0, 0, 0, 0, 1, 0, 0, 0, 0};
}

void ResetFilter(TScanFilterTable& table, int k)
{
    if (k < 0 || k > 3)
        return;
    TAxisFilter& axis = table[static_cast<size_t>(k / 2)];
    const size_t first = static_cast<size_t>(k % 2) * 5;
    for (size_t i = 0; i < 5; ++i)
        axis[first + i] = i == 0 ? 1.0 : 0.0;
}

TScanFilterTable LoadFilterTable(const TQVTIniFile& scannerIni)
{
    TScanFilterTable table{};
    for (int k = 0; k < 4; ++k)
        for (size_t i = 0; i < 5; ++i)
            table[static_cast<size_t>(k / 2)][static_cast<size_t>(k % 2) * 5 + i] =
                scannerIni.ReadFloat(FilterSection(k), CoefficientKeys[i], i == 0 ? 1.0 : 0.0);
    return table;
}

void SaveFilterAxis(TQVTIniFile& scannerIni, const TScanFilterTable& table, int axis)
{
    for (int k = axis * 2; k < axis * 2 + 2; ++k)
        for (size_t i = 0; i < 5; ++i)
            scannerIni.WriteFloat(FilterSection(k), CoefficientKeys[i],
                                  table[static_cast<size_t>(axis)][static_cast<size_t>(k % 2) * 5 + i]);
}

double FilterDcGain(const TScanFilterTable& table, int k)
{
    const TAxisFilter& a = table[static_cast<size_t>(k / 2)];
    const size_t f = static_cast<size_t>(k % 2) * 5;
    return (a[f] + a[f + 1] + a[f + 2]) / (1.0 + a[f + 3] + a[f + 4]);
}

int FilterWithBadGain(const TScanFilterTable& table)
{
    int marked = -1;
    for (int k = 0; k < 4; ++k)
        if (!(std::fabs(FilterDcGain(table, k) - 1.0) <= 0.1))
            marked = k;
    return marked;
}

QString BadGainText(int k)
{
    static const std::array<const char*, 4> names = {"x", "x2", "y", "y2"};
    return QString("Filter %1 has dcGain<>1 !").arg(names.at(static_cast<size_t>(k)));
}

int32_t FilterRegister(int revision, int slot)
{
    if (revision == 1)
        return 192 + slot;
    return slot <= 10 ? 400 + slot : 416 + (slot - 11);
}

double FilterSlotValue(const TScanFilterTable& table, int slot)
{
    int axis = 0, filter = 0, place = 0;
    if (!SlotPlace(slot, axis, filter, place))
        return 0.0;
    const TSlotMap m = (filter == 0 ? Filter1Map : Filter2Map)[static_cast<size_t>(place)];
    return table[static_cast<size_t>(axis)][static_cast<size_t>(filter * 5 + m.Coefficient)] * m.Factor;
}

std::optional<int32_t> ToQ31(double value)
{
    const double product = value * Q31Scale;
    if (!(product < 2147483648.0 && product >= -2147483647.0))
        return std::nullopt;
    return static_cast<int32_t>(std::llround(product));
}

std::optional<TFilterRegisterImage> BuildFilterImage(const TScanFilterTable& table, int revision)
{
    TFilterRegisterImage image;
    for (int i = 1; i <= FilterSlotCount; ++i) {
        const std::optional<int32_t> word = ToQ31(FilterSlotValue(table, i));
        if (!word)
            return std::nullopt;
        image.Register[static_cast<size_t>(i - 1)] = FilterRegister(revision, i);
        image.Value[static_cast<size_t>(i - 1)] = *word;
    }
    return image;
}

TScanFilterTable DecodeFilterImage(const std::array<int32_t, FilterSlotCount>& value)
{
    TScanFilterTable table{};
    for (int i = 1; i <= FilterSlotCount; ++i) {
        int axis = 0, filter = 0, place = 0;
        if (!SlotPlace(i, axis, filter, place))
            continue;
        const TSlotMap m = (filter == 0 ? Filter1Map : Filter2Map)[static_cast<size_t>(place)];
        table[static_cast<size_t>(axis)][static_cast<size_t>(filter * 5 + m.Coefficient)] =
            value[static_cast<size_t>(i - 1)] / Q31Scale / m.Factor;
    }
    return table;
}

// ---- files --------------------------------------------------------------------------

TFrequencyResponse ParseFrequencyResponse(const QString& text)
{
    TFrequencyResponse r;
    const QStringList lines = text.split('\n');
    const QStringList first = lines.value(0).trimmed().split('\t');
    // Exactly the ten coefficients of the axis: more or fewer is some other file.
    if (first.size() != FilterCoefficients) {
        r.Error = "1st line wrong!";
        return r;
    }
    for (int i = 0; i < FilterCoefficients; ++i)
        if (!ParseNumber(first[i], r.Coefficients[static_cast<size_t>(i)])) {
            r.Error = "1st line wrong!";
            return r;
        }
    for (int k = 1; k < lines.size(); ++k) {
        const QString line = lines[k].trimmed();
        if (line.isEmpty())
            continue;
        const QStringList cols = line.split('\t');
        std::array<double, 4> v{};
        bool ok = cols.size() >= 4;
        for (int c = 0; ok && c < 4; ++c)
            ok = ParseNumber(cols[c], v[static_cast<size_t>(c)]);
        if (!ok) {
            r.Error = QString("Error in line %1").arg(k);
            r.Points.clear();
            return r;
        }
        r.Points.push_back({v[0], std::hypot(v[1], v[2]), v[3]});
    }
    return r;
}

TFitOutcome ParseFitResult(const QString& text)
{
    TFitOutcome out;
    out.Coefficients = PassThroughAxis();
    const QStringList lines = text.split('\n', Qt::SkipEmptyParts);
    for (int k = 0; k < lines.size() && k < FilterCoefficients; ++k) {
        if (lines[k].trimmed().isEmpty())
            continue;
        if (!ParseNumber(lines[k], out.Coefficients[static_cast<size_t>(k)])) {
            out.Coefficients = PassThroughAxis();
            return out;
        }
    }
    out.Ok = true;
    return out;
}

std::optional<std::array<double, 5>> ParseFilterFile(const QString& text)
{
    const QStringList lines = text.split('\n');
    if (lines.size() < 5)
        return std::nullopt;
    std::array<double, 5> v{};
    for (size_t i = 0; i < 5; ++i)
        if (!ParseNumber(lines[static_cast<int>(i)], v[i]))
            return std::nullopt;
    return v;
}

QStringList FilterFormula(const TScanFilterTable& table, int k)
{
    const TAxisFilter& a = table[static_cast<size_t>(k / 2)];
    const size_t f = static_cast<size_t>(k % 2) * 5;
    const QString zm2 = QString::fromUtf8("z\u207B\u00B2");
    const QString zm1 = QString::fromUtf8("z\u207B\u00B9");
    const QString num = GeneralText(a[f + 2], 4) + zm2 + " " + Signed(a[f + 1]) + zm1 + " " + Signed(a[f]);
    const QString den = GeneralText(a[f + 4], 4) + zm2 + " " + Signed(a[f + 3]) + zm1 + " + 1";
    return {num, den};
}

} // namespace qvt
