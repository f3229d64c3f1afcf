#include "spectro/SpektExcitation.h"

#include "core/NumberText.h"
#include "device/SpektRequests.h"
#include "spectro/SpektKinds.h"

#include <algorithm>
#include <cmath>

namespace qvt {

namespace {

constexpr double CyclesLeft = 0.1;     // a cycle count above this still has work
constexpr double HalfCycleLeft = 0.49; // ... and at least this one more half cycle
constexpr double FarStepRows = 1024.0; // a step this many times shorter than the way goes in one row

// Rows of a table being written: never past N.
class TRowWriter {
public:
    TRowWriter(TSpektData& data, int column, int n) : data_(data), column_(column), n_(n) {}
    void Put(double v, uint32_t color)
    {
        if (k_ < n_) {
            data_.Col[column_][k_] = v;
            data_.Color[k_] = color;
        }
        ++k_;
    }
    int K() const { return k_; }
    int N() const { return n_; }

private:
    TSpektData& data_;
    int column_;
    int n_;
    int k_ = 0;
};

// n rows from v towards `target`, the way split into equal steps.
void Segment(TRowWriter& w, double& v, double target, double step, uint32_t color)
{
    const double way = std::abs(v - target);
    int n = 0;
    if (step * FarStepRows <= way)
        n = 1;
    else if (step > 0.0)
        n = static_cast<int>(Round(way / step));
    const double delta = n < 1 ? 0.0 : way / n;
    const int dir = RampDirection(target, v);
    for (int i = 0; i < n; ++i) {
        v += dir * delta;
        w.Put(v, color);
    }
}

void TimeColumn(TSpektData& data, int n, double dt)
{
    for (int i = 0; i < n; ++i)
        data.Col[TSpektData::Time][i] = i * dt;
}

int Points(const TExcitationShape& shape)
{
    return std::clamp(shape.Points, 2, SpektMaxPoints);
}

} // namespace

int RampDirection(double target, double current)
{
    return target >= current ? 1 : -1;
}

void BuildRamp(TSpektData& data, int column, const TExcitationShape& shape, double s, double a, double b,
               const std::function<void(const QString&)>& message)
{
    const int n = Points(shape);
    double cycle = shape.Cycle;
    double leadIn = 0.0;
    double leadOut = 0.0;
    double v = b;
    if (shape.LeadInOut) {
        leadIn = std::abs(b - s);
        leadOut = (cycle - std::floor(cycle)) >= 0.25 ? std::abs(a - s) : std::abs(b - s);
        v = s;
    }
    TRowWriter w(data, column, n);
    w.Put(v, shape.Colors[0]);
    if (shape.LeadInOut) {
        const double path = std::abs(b - a) * cycle * 2.0 + leadIn + leadOut;
        const double step = path / (n - 1);
        const double way = std::abs(b - v);
        int rows = (step * FarStepRows <= way) ? 1 : (step > 0.0 ? static_cast<int>(Round(way / step)) : 1);
        double delta = 0.0;
        if (rows < 1) {
            rows = 1;
            delta = way;
        } else {
            delta = way / rows;
        }
        const int dir = RampDirection(b, v);
        for (int i = 0; i < rows; ++i) {
            v += dir * delta;
            w.Put(v, shape.Colors[0]);
        }
    }
    data.LeadInEnd = w.K();
    // The steps of each half cycle share the rows that are left.
    const auto halfCycle = [&](double target, uint32_t color) {
        const int left = n - w.K();
        if (left <= 0)
            return;
        const double step = (std::abs(b - a) * cycle * 2.0 + leadOut) / left;
        Segment(w, v, target, step, color);
    };
    while (cycle > CyclesLeft) {
        if (cycle < HalfCycleLeft)
            break; // less than half a cycle left: no half cycle to run
        halfCycle(a, shape.Colors[1]);
        cycle -= 0.5;
        if (cycle >= HalfCycleLeft) {
            halfCycle(b, shape.Colors[2]);
            cycle -= 0.5;
        }
    }
    data.LeadOutStart = std::min(w.K(), n) - 1;
    const int left = n - w.K();
    if (left > 0) {
        const double delta = leadOut / left;
        const int dir = RampDirection(s, v);
        for (int i = 0; i < left; ++i) {
            v += dir * delta;
            w.Put(v, shape.Colors[3]);
        }
    }
    if (w.K() != n && message)
        message(SpektMismatchMessage);
    TimeColumn(data, n, shape.Dt);
}

void BuildStep(TSpektData& data, int column, const TExcitationShape& shape, double a, double b)
{
    const int n = Points(shape);
    double cycle = shape.Cycle;
    data.LeadInEnd = 0;
    const int m = cycle <= CyclesLeft ? n : static_cast<int>(Round(n / cycle / 2.0));
    TRowWriter w(data, column, n);
    const auto halfCycle = [&](double first, double second, uint32_t color) {
        for (int j = 1; j <= m && w.K() < n; ++j)
            w.Put(j < m / 4 ? first : second, color);
    };
    while (cycle > CyclesLeft && w.K() < n) {
        if (cycle < HalfCycleLeft)
            break;
        halfCycle(a, b, shape.Colors[1]);
        cycle -= 0.5;
        if (cycle >= HalfCycleLeft) {
            halfCycle(b, a, shape.Colors[2]);
            cycle -= 0.5;
        }
    }
    data.LeadOutStart = w.K() - 1;
    while (w.K() < n)
        w.Put(0.0, shape.Colors[3]);
    TimeColumn(data, n, shape.Dt);
}

void PrepareExcitation(TSpektData& data, const QString& kindName, int32_t kind, const TExcitationShape& shape,
                       const TExcitationParams& p, const std::function<double()>& random,
                       const std::function<void(const QString&)>& message)
{
    const int n = Points(shape);
    const uint32_t bits = static_cast<uint32_t>(kind);
    if (bits & SpektBitBiasExcited) {
        if (kindName == "X(t) U-Step" || kindName == "X(t) U-Step CL")
            BuildStep(data, TSpektData::Bias, shape, p.U2, p.U1);
        else
            BuildRamp(data, TSpektData::Bias, shape, p.B0, p.U2, p.U1, message);
        const double dz = (kindName == "X(U)" || kindName == "X(t) U-Step") ? p.Dz1 : 0.0;
        std::fill_n(data.Col[TSpektData::Dz].begin(), n, dz);
    }
    if (bits & SpektBitZExcited) {
        if (kindName == "X(t) z-Step" || kindName == "X(t) z-step CL")
            BuildStep(data, TSpektData::Dz, shape, 0.0, p.Dz1);
        else
            BuildRamp(data, TSpektData::Dz, shape, 0.0, p.Dz2, p.Dz1, message);
        std::fill_n(data.Col[TSpektData::Bias].begin(), n, p.B0);
        if (kindName == SpektZNoiseName) {
            for (int k = 0; k < n; ++k) {
                data.Col[TSpektData::Dz][k] = p.Dz1 * ((random ? random() : 0.5) - 0.5);
                data.Col[TSpektData::Frequency][k] = shape.Dt > 0.0 ? k / (2.0 * n * shape.Dt) : 0.0;
            }
            data.LeadOutStart = n - 1;
        }
    }
}

TRampFile ParseRampFile(const QStringList& lines, TSpektData& data)
{
    static const QString numberChars = "01234567890+-E.,";
    TRampFile result;
    const int count = std::min<int>(lines.size(), SpektMaxPoints);
    result.Cut = lines.size() > SpektMaxPoints;
    const auto leadingNumber = [](const QString& text, int from) {
        int end = from;
        while (end < text.size() && numberChars.contains(text[end]))
            ++end;
        return end;
    };
    for (int i = 0; i < count; ++i) {
        QString line = lines[i];
        int first = 0;
        while (first < line.size() && (line[first] == ' ' || line[first] == '\t'))
            ++first;
        line = line.mid(first);
        line.remove('\r');
        if (line.isEmpty()) {
            result.Error = QString("Epmty line %1").arg(i + 1);
            result.ErrorLine = i + 1;
            return result;
        }
        const int end = leadingNumber(line, 0);
        double dz = 0.0;
        if (!ParseNumber(line.left(end), dz)) {
            result.Error = QString("'%1' is not a valid floating point value").arg(line.left(end));
            result.ErrorLine = i + 1;
            return result;
        }
        // After one separator, the bias starts at its first digit, sign or exponent.
        double bias = 0.0;
        int from = end + 1;
        while (from < line.size() &&
               !(line[from].isDigit() || line[from] == '+' || line[from] == '-' || line[from] == 'E'))
            ++from;
        if (from < line.size()) {
            const int stop = leadingNumber(line, from);
            if (!ParseNumber(line.mid(from, stop - from), bias)) {
                result.Error = QString("'%1' is not a valid floating point value").arg(line.mid(from, stop - from));
                result.ErrorLine = i + 1;
                return result;
            }
        }
        data.Col[TSpektData::Dz][i] = dz;
        data.Col[TSpektData::Bias][i] = bias;
        result.Rows = i + 1;
    }
    return result;
}

QString RampFileErrorMessage(const QString& name, int line)
{
    return QString("Error in file %1 at line %2!").arg(name).arg(line);
}

QString SpektReachMessage(const TSpektReach& reach, const QString& zUnit, const QString& biasUnit)
{
    const auto number = [](double v) { return QString::number(v, 'g', 5); };
    QStringList lines;
    if (!reach.ZInRange) {
        if (std::isnan(reach.DzLow))
            lines << "Z stands beyond its output's range: no excursion is possible from here.";
        else
            lines << QString("The excursion leaves Z's output range: from where Z stands now, dz can go from %1 to %2 %3.")
                         .arg(number(reach.DzLow), number(reach.DzHigh), zUnit);
    }
    if (!reach.BiasInRange)
        lines << QString("The bias leaves its output's range: it can go from %1 to %2 %3.")
                     .arg(number(reach.BiasLow), number(reach.BiasHigh), biasUnit);
    return lines.join('\r');
}

} // namespace qvt
