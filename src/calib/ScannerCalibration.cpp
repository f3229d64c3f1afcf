#include "calib/ScannerCalibration.h"

#include "core/IniFile.h"
#include "core/NumberText.h"

#include <cmath>

namespace qvt {

namespace {

const std::array<const char*, ScannerColumnCount> KeyStems = {"Range", "X",   "Y",   "X2F", "X2B", "X3F",
                                                              "X3B",   "Y2F", "Y2B", "Y3F", "Y3B"};

bool IsCoefficient(int column)
{
    return column >= ColX2F;
}

// The column's coefficient in the scan thread's record.
double& CoefficientOf(TLinCoefficients& k, int column)
{
    switch (column) {
    case ColX2F:
        return k.X2F;
    case ColX2B:
        return k.X2B;
    case ColX3F:
        return k.X3F;
    case ColX3B:
        return k.X3B;
    case ColY2F:
        return k.Y2F;
    case ColY2B:
        return k.Y2B;
    case ColY3F:
        return k.Y3F;
    default:
        return k.Y3B;
    }
}

double ClampCoefficient(double c)
{
    if (c > 1.0)
        return 1.0;
    if (!(c >= -1.0)) // not-a-number too
        return -1.0;
    return c;
}

// Index of the last point whose range lies below `range`; -1 for none.
int LowerPoint(const std::vector<TCalibPoint>& points, double range)
{
    int lower = -1;
    for (size_t n = 0; n < points.size(); ++n)
        if (points[n].Range < range)
            lower = static_cast<int>(n);
    return lower;
}

} // namespace

QString ScannerKeyStem(int column)
{
    return KeyStems.at(static_cast<size_t>(column));
}

void InterpolateSensitivity(const std::vector<TCalibPoint>& points, double range, TRangeResult& result)
{
    if (points.size() <= 1) {
        result.SoftLin = false;
        return;
    }
    result.SoftLin = true;
    const int lower = LowerPoint(points, range);
    if (lower >= 0) {
        const int last = static_cast<int>(points.size()) - 1;
        const TCalibPoint& l = points[static_cast<size_t>(lower)];
        // Above the last range the factors stay at its values.
        const TCalibPoint& u = points[static_cast<size_t>(lower + 1 > last ? lower : lower + 1)];
        if (u.Range != l.Range) {
            const double t = (range - l.Range) / (u.Range - l.Range);
            result.XFactor = l.X + (u.X - l.X) * t;
            result.YFactor = l.Y + (u.Y - l.Y) * t;
        } else {
            result.XFactor = l.X;
            result.YFactor = l.Y;
        }
    } else {
        result.XFactor = points.front().X;
        result.YFactor = points.front().Y;
    }
    result.MaxRange = points.back().Range;
    result.MaxX = points.back().X;
    result.MaxY = points.back().Y;
}

TLinCoefficients InterpolateLinCoeffs(const std::vector<TCalibPoint>& points, double range)
{
    TLinCoefficients k;
    if (points.empty())
        return k;
    const int last = static_cast<int>(points.size()) - 1;
    int lower = LowerPoint(points, range);
    int upper = 0;
    if (lower < 0)
        lower = upper = 0;
    else
        upper = lower == last ? last : lower + 1;
    const TCalibPoint& l = points[static_cast<size_t>(lower)];
    const TCalibPoint& u = points[static_cast<size_t>(upper)];
    const double t = u.Range != l.Range ? (range - l.Range) / (u.Range - l.Range) : 0.0;
    TLinCoefficients cl = l.Lin;
    TLinCoefficients cu = u.Lin;
    for (int column = ColX2F; column < ScannerColumnCount; ++column) {
        const double lo = CoefficientOf(cl, column);
        const double hi = CoefficientOf(cu, column);
        CoefficientOf(k, column) = ClampCoefficient(lo + (hi - lo) * t);
    }
    return k;
}

// ---- the table -----------------------------------------------------------------------

void TScannerTable::Clear()
{
    for (TRow& row : rows_)
        for (QString& cell : row)
            cell.clear();
    rangeCount_ = 0;
}

void TScannerTable::Load(const TQVTIniFile& ini)
{
    Clear();
    for (int n = 1; n <= ScannerRowCount; ++n) {
        TRow& row = rows_[static_cast<size_t>(n - 1)];
        const QString suffix = QString::number(n);
        for (int column = ColRange; column <= ColY; ++column)
            row[column] = ini.ReadString(SoftLinSection, ScannerKeyStem(column) + suffix, "");
        if (row[ColRange].trimmed().isEmpty())
            continue;
        for (int column = ColX2F; column < ScannerColumnCount; ++column)
            row[column] = GeneralText(ini.ReadFloat(SoftLinSection, ScannerKeyStem(column) + suffix, 0.0), 5);
    }
    Sort();
}

void TScannerTable::Save(TQVTIniFile& ini) const
{
    for (int n = 1; n <= rangeCount_; ++n) {
        const TRow& row = rows_[static_cast<size_t>(n - 1)];
        for (int column = 0; column < ScannerColumnCount; ++column)
            ini.WriteString(SoftLinSection, ScannerKeyStem(column) + QString::number(n), row[column]);
    }
    // Rows that went away must not come back on the next load.
    for (int n = rangeCount_ + 1; n <= ScannerRowCount; ++n)
        for (int column = 0; column < ScannerColumnCount; ++column)
            ini.DeleteKey(SoftLinSection, ScannerKeyStem(column) + QString::number(n));
}

void TScannerTable::SwapRows(int a, int b)
{
    std::swap(rows_[static_cast<size_t>(a)], rows_[static_cast<size_t>(b)]);
}

bool TScannerTable::Sort()
{
    rangeCount_ = 0;
    for (int r = ScannerRowCount - 1; r >= 0; --r)
        if (!rows_[static_cast<size_t>(r)][ColRange].trimmed().isEmpty()) {
            rangeCount_ = r + 1;
            break;
        }
    // Gaps go to the end of the block.
    for (int r = rangeCount_ - 1; r >= 0; --r)
        if (rows_[static_cast<size_t>(r)][ColRange].trimmed().isEmpty()) {
            SwapRows(r, rangeCount_ - 1);
            // The moved-away gap row keeps no stale cells.
            for (QString& cell : rows_[static_cast<size_t>(rangeCount_ - 1)])
                cell.clear();
            --rangeCount_;
        }
    for (int r = 0; r < rangeCount_; ++r)
        for (QString& cell : rows_[static_cast<size_t>(r)])
            cell.replace(',', '.');
    std::array<double, ScannerRowCount> range{};
    for (int r = 0; r < rangeCount_; ++r)
        if (!ParseNumber(rows_[static_cast<size_t>(r)][ColRange], range[static_cast<size_t>(r)]))
            return false;
    for (int i = 0; i < rangeCount_ - 1; ++i) {
        int smallest = i;
        for (int j = i + 1; j < rangeCount_; ++j)
            if (range[static_cast<size_t>(j)] < range[static_cast<size_t>(smallest)])
                smallest = j;
        if (smallest != i) {
            SwapRows(i, smallest);
            std::swap(range[static_cast<size_t>(i)], range[static_cast<size_t>(smallest)]);
        }
    }
    return true;
}

bool TScannerTable::CellInvalid(int row, int column) const
{
    const QString& text = rows_[static_cast<size_t>(row)][column];
    const bool used = !rows_[static_cast<size_t>(row)][ColRange].trimmed().isEmpty();
    if (!used)
        return false;
    double v = 0.0;
    if (!ParseNumber(text, v))
        return !(IsCoefficient(column) && text.trimmed().isEmpty());
    if (column == ColRange)
        return v < 0.0;
    // A sensitivity of 0 or below would divide by zero or mirror the scan.
    if (column == ColX || column == ColY)
        return v <= 0.0;
    return false;
}

bool TScannerTable::AnyInvalid() const
{
    for (int r = 0; r < ScannerRowCount; ++r)
        for (int c = 0; c < ScannerColumnCount; ++c)
            if (CellInvalid(r, c))
                return true;
    return false;
}

std::vector<TCalibPoint> TScannerTable::Points() const
{
    std::vector<TCalibPoint> points;
    for (int r = 0; r < rangeCount_; ++r) {
        const TRow& row = rows_[static_cast<size_t>(r)];
        if (row[ColRange].trimmed().isEmpty())
            break;
        for (int c = 0; c < ScannerColumnCount; ++c)
            if (CellInvalid(r, c))
                return {};
        TCalibPoint p;
        ParseNumber(row[ColRange], p.Range);
        ParseNumber(row[ColX], p.X);
        ParseNumber(row[ColY], p.Y);
        for (int c = ColX2F; c < ScannerColumnCount; ++c) {
            double v = 0.0;
            ParseNumber(row[c], v);
            CoefficientOf(p.Lin, c) = v;
        }
        points.push_back(p);
    }
    return points;
}

bool TScannerTable::AddRange(double range, double xFactor, double yFactor, const TLinCoefficients& lin)
{
    for (int r = 0; r < rangeCount_; ++r) {
        double v = 0.0;
        if (ParseNumber(rows_[static_cast<size_t>(r)][ColRange], v) && v == range)
            return false;
    }
    if (rangeCount_ >= ScannerRowCount)
        return false;
    TRow& row = rows_[static_cast<size_t>(rangeCount_)];
    row[ColRange] = GeneralText(range, 6);
    row[ColX] = GeneralText(xFactor, 4);
    row[ColY] = GeneralText(yFactor, 4);
    TLinCoefficients k = lin;
    for (int c = ColX2F; c < ScannerColumnCount; ++c)
        row[c] = GeneralText(CoefficientOf(k, c), 5);
    ++rangeCount_;
    Sort();
    return true;
}

void TScannerTable::DeleteRow(int row)
{
    if (row < 0 || row >= ScannerRowCount)
        return;
    for (int r = row; r < ScannerRowCount - 1; ++r)
        rows_[static_cast<size_t>(r)] = rows_[static_cast<size_t>(r + 1)];
    for (QString& cell : rows_.back())
        cell.clear();
    Sort();
}

int TScannerTable::Teach(double range, const TLinCoefficients& lin, bool xAxis)
{
    const long long wanted = std::llround(range * 100.0);
    for (int r = 0; r < ScannerRowCount; ++r) {
        double v = 0.0;
        if (!ParseNumber(rows_[static_cast<size_t>(r)][ColRange], v) || std::llround(v * 100.0) != wanted)
            continue;
        TLinCoefficients k = lin;
        const int first = xAxis ? ColX2F : ColY2F;
        for (int c = first; c < first + 4; ++c)
            rows_[static_cast<size_t>(r)][c] = GeneralText(CoefficientOf(k, c), 5);
        return r;
    }
    return -1;
}

// ---- the file and the Z scale -----------------------------------------------------------

QString ChooseScannerFile(const QString& name, const QString& appDir, const std::function<bool(const QString&)>& exists,
                          bool& create)
{
    create = false;
    if (!name.isEmpty() && exists(name))
        return name;
    const QString local = appDir + name + ".ini";
    create = !exists(local);
    return local;
}

void CreateScannerFile(TQVTIniFile& ini, double xFactor, double yFactor)
{
    ini.WriteString(SoftLinSection, "Range1", "50");
    ini.WriteString(SoftLinSection, "X1", FloatToText(xFactor));
    ini.WriteString(SoftLinSection, "Y1", FloatToText(yFactor));
}

TZScale ComputeZScale(double daScale0, double gain0, double zGain, double gainzFast, double zFastGain)
{
    return {daScale0 * gain0 * zGain, daScale0 * gainzFast * zFastGain};
}

} // namespace qvt
