#pragma once
// The high-speed module's scan filters: per axis two cascaded biquads
// H(z) = (a0 + a1 z^-1 + a2 z^-2) / (1 + b0 z^-1 + b1 z^-2), their register
// image in Q31, the DC-gain check, and the text files of a frequency
// response, a fit result and a filter coefficient file. No widgets, no link.

#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace qvt {

class TQVTIniFile;

enum FilterAxis : int { FilterAxisX = 0, FilterAxisY = 1 };
constexpr int FilterCoefficients = 10; // filter 1 a0 a1 a2 b0 b1, filter 2 a0 .. b1
using TAxisFilter = std::array<double, FilterCoefficients>;
using TScanFilterTable = std::array<TAxisFilter, 2>;

// Filter k: 0 X, 1 X2, 2 Y, 3 Y2.
QString FilterSection(int k); // "FilterX", "FilterX2", "FilterY", "FilterY2"
TAxisFilter PassThroughAxis();
void ResetFilter(TScanFilterTable& table, int k);
TScanFilterTable LoadFilterTable(const TQVTIniFile& scannerIni);
void SaveFilterAxis(TQVTIniFile& scannerIni, const TScanFilterTable& table, int axis);

// DC gain (a0 + a1 + a2) / (1 + b0 + b1) of filter k.
double FilterDcGain(const TScanFilterTable& table, int k);
// The last filter (X, X2, Y, Y2 order) whose DC gain is off by more than
// 10 %, or -1.
int FilterWithBadGain(const TScanFilterTable& table);
// "Filter x has dcGain<>1 !" and the like.
QString BadGainText(int k);

// The register image: 21 Q31 slots.
constexpr int FilterSlotCount = 21;
inline const char* const ScanFilterWrongText = "Scan filter settings are wrong!";
struct TFilterRegisterImage {
    std::array<int32_t, FilterSlotCount> Register{};
    std::array<int32_t, FilterSlotCount> Value{};
};
// Register of slot i (1..21) for the module revision.
int32_t FilterRegister(int revision, int slot);
// The value of slot i before Q31 conversion.
double FilterSlotValue(const TScanFilterTable& table, int slot);
// Q31 word of a value; nothing when out of range.
std::optional<int32_t> ToQ31(double value);
// The whole image, or nothing when some slot is out of range (then no slot
// may be written: a half-written image is an unknown filter on the drive).
std::optional<TFilterRegisterImage> BuildFilterImage(const TScanFilterTable& table, int revision);
// Back from a register image (the simulated module decodes what it got).
TScanFilterTable DecodeFilterImage(const std::array<int32_t, FilterSlotCount>& value);

// A frequency response file.
struct TResponsePoint {
    double Frequency = 0.0;
    double Amplitude = 0.0;
    double MinMax = 0.0;
};
struct TFrequencyResponse {
    TAxisFilter Coefficients{}; // line 1
    std::vector<TResponsePoint> Points;
    QString Error; // "1st line wrong!", "Error in line 3"; empty when read
};
TFrequencyResponse ParseFrequencyResponse(const QString& text);

// "a_out.txt": up to ten numbers for one axis. Fewer than ten leave filter 2
// at pass-through; a line that is no number fails the whole file.
struct TFitOutcome {
    bool Ok = false;
    TAxisFilter Coefficients{};
};
TFitOutcome ParseFitResult(const QString& text);

// A filter coefficient file: a0 a1 a2 b0 b1 on lines 1..5.
std::optional<std::array<double, 5>> ParseFilterFile(const QString& text);

// The transfer function shown for filter k: numerator and denominator.
QStringList FilterFormula(const TScanFilterTable& table, int k);

} // namespace qvt
