#pragma once
// The scanner calibration file: a table of scan ranges with the X and Y
// sensitivity measured at each and the per-range non-linearity
// coefficients, and what follows from it for the current scan range (the X/Y
// factors, the linearisation handed to the scan thread, the largest
// calibrated range). Also the Z scale from the amplifier gains. No widgets;
// the scanner window shows and edits the cell texts kept here.

#include "scan/LineAcquisition.h"

#include <QString>
#include <QStringList>

#include <array>
#include <functional>
#include <optional>
#include <vector>

namespace qvt {

class TQVTIniFile;

constexpr int ScannerRowCount = 64;
inline const char* const SoftLinSection = "SoftLin";
inline const char* const ScannerFileDefectText = "Scanner File defect!\rSoftLin switched off!";

// Cell columns of a row, in the order the file is written.
enum ScannerColumn : int {
    ColRange,
    ColX,
    ColY,
    ColX2F,
    ColX2B,
    ColX3F,
    ColX3B,
    ColY2F,
    ColY2B,
    ColY3F,
    ColY3B,
    ScannerColumnCount
};
// Key stem of each column ("Range", "X", "Y", "X2F", ...).
QString ScannerKeyStem(int column);

// One calibrated range, parsed.
struct TCalibPoint {
    double Range = 0.0;
    double X = 0.0; // sensitivity, unit per digit
    double Y = 0.0;
    TLinCoefficients Lin;
};

// What a scan range comes to.
struct TRangeResult {
    bool SoftLin = false; // the table was used
    double XFactor = 0.0;
    double YFactor = 0.0;
    double MaxRange = 0.0;
    double MaxX = 0.0;
    double MaxY = 0.0;
};

// Factors for scan range `range` from the calibrated points (ascending
// ranges, every sensitivity above 0): straight line between the bracketing
// ranges, the first row's values below, the last row's above.
void InterpolateSensitivity(const std::vector<TCalibPoint>& points, double range, TRangeResult& result);
// The eight coefficients for `range`, interpolated the same way and kept
// within -1..1 (not-a-number counts as -1).
TLinCoefficients InterpolateLinCoeffs(const std::vector<TCalibPoint>& points, double range);

class TScannerTable {
public:
    using TRow = std::array<QString, ScannerColumnCount>;

    // Rows are 0-based here (file row n is index n - 1).
    const QString& Cell(int row, int column) const { return rows_[row][column]; }
    void SetCell(int row, int column, const QString& text) { rows_[row][column] = text; }
    int RangeCount() const { return rangeCount_; }

    // Fills the rows from [SoftLin]: Range, X, Y as stored, the coefficients
    // as numbers (0 when missing) with 5 significant digits; a row without a
    // range has no coefficients. Then sorts.
    void Load(const TQVTIniFile& ini);
    // Writes rows 1..RangeCount and deletes the keys of the rows after it.
    void Save(TQVTIniFile& ini) const;
    // Empties every cell ("File New").
    void Clear();

    // Counts the used rows (up to the last with a range), moves empty rows
    // inside that block to its end, converts "," to ".", sorts by range.
    // False (nothing reordered further) when a cell does not parse.
    bool Sort();

    // A cell that would be refused: not a number, or a sensitivity of 0 or
    // below, or a missing sensitivity in a used row.
    bool CellInvalid(int row, int column) const;
    // Some cell of the used rows is invalid.
    bool AnyInvalid() const;

    // The used rows as numbers; empty when a used row is invalid.
    std::vector<TCalibPoint> Points() const;

    // Adds a row for `range` unless one holds exactly that range. False when
    // it was already there or the table is full.
    bool AddRange(double range, double xFactor, double yFactor, const TLinCoefficients& lin);
    // Removes a row, the later rows move up.
    void DeleteRow(int row);
    // Writes the X (or Y) coefficients into the first row whose range equals
    // `range` to 0.01. The row index, or -1 when there is none.
    int Teach(double range, const TLinCoefficients& lin, bool xAxis);

private:
    void SwapRows(int a, int b);
    std::array<TRow, ScannerRowCount> rows_{};
    int rangeCount_ = 0;
};

// Which scanner file to open: `name` if it exists, else appDir + name +
// ".ini" (which `create` is set for when that does not exist either).
QString ChooseScannerFile(const QString& name, const QString& appDir, const std::function<bool(const QString&)>& exists,
                          bool& create);
// A new scanner file: one range of 50 with the current factors.
void CreateScannerFile(TQVTIniFile& ini, double xFactor, double yFactor);

// The Z scale from the amplifier gains.
struct TZScale {
    double ZFactor = 0.0;     // Z output, unit per digit
    double ZFastFactor = 0.0; // fast Z input
};
TZScale ComputeZScale(double daScale0, double gain0, double zGain, double gainzFast, double zFastGain);
// The last slot among the inputs whose read address is `address`; -1 if none.
constexpr int32_t SlowZInputAddress = 20;
constexpr int32_t FastZInputAddress = 22;

} // namespace qvt
