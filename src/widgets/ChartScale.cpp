#include "widgets/ChartScale.h"

#include "core/NumberText.h"

#include <QStringList>

#include <algorithm>
#include <cmath>

namespace qvt {

namespace {

// Far outside any screen, yet safe to convert to int.
constexpr double PixelLimit = 1.0e7;

int ToPixel(double value)
{
    ClampDouble(value, PixelLimit, -PixelLimit);
    return static_cast<int>(Round(value));
}

double Ratio(const TChartAxis& axis, double v)
{
    return (v - axis.Min) / (axis.Max - axis.Min);
}

double FromAxisValue(const TChartAxis& axis, double v)
{
    return axis.LinLog == atLog ? std::pow(10.0, v) : v;
}

void LowHigh(const TChartAxis& axis, double& low, double& high)
{
    low = std::min(axis.Min, axis.Max);
    high = std::max(axis.Min, axis.Max);
}

// Trims the parameter interval [t0, t1] of p + t*d to low <= coordinate <= high.
bool ClipParameter(double p, double d, double low, double high, double& t0, double& t1)
{
    const double bounds[2][2] = {{-d, p - low}, {d, high - p}};
    for (const auto& b : bounds) {
        const double q = b[0];
        const double r = b[1];
        if (q == 0.0) {
            if (r < 0.0)
                return false;
            continue;
        }
        const double t = r / q;
        if (q < 0.0) {
            if (t > t1)
                return false;
            t0 = std::max(t0, t);
        } else {
            if (t < t0)
                return false;
            t1 = std::min(t1, t);
        }
    }
    return true;
}

QString SIText(double v, int digitsFrom10, int digitsFrom100, int digitsBelow10, bool prefix = true)
{
    if (v == 0.0)
        return "0";
    static const QString prefixes = QString::fromUtf8("GMk mµnpfa");
    const int e = static_cast<int>(std::floor(std::log10(std::fabs(v))));
    int k = prefix ? std::clamp(static_cast<int>(std::floor(e / 3.0)), -6, 3) : 0;
    const auto numberText = [&](int prefix) {
        const double scaled = v / std::pow(10.0, 3 * prefix);
        const double magnitude = std::fabs(scaled);
        if (magnitude >= 100000.0) {
            QString number = QString::number(scaled, 'E', 4);
            // "1.2346E+05" -> "1.2346E5", as in the general form.
            const int pos = number.indexOf('E');
            return number.left(pos + 1) + QString::number(number.mid(pos + 1).toInt());
        }
        if (magnitude >= 1000.0)
            return GeneralFloatText(scaled, 5);
        if (magnitude >= 100.0)
            return GeneralFloatText(scaled, digitsFrom100);
        if (magnitude >= 10.0)
            return GeneralFloatText(scaled, digitsFrom10);
        return GeneralFloatText(scaled, digitsBelow10);
    };
    QString number = numberText(k);
    // 0.99999999 rounds up to "1000" of the smaller prefix: it reads 1 of the next.
    if (prefix && k < 3 && std::fabs(v / std::pow(10.0, 3 * k)) < 1000.0 && std::fabs(number.toDouble()) >= 1000.0)
        number = numberText(++k);
    return number + prefixes.at(3 - k);
}

} // namespace

bool CompareChartPoints(const TChartPoint& a, const TChartPoint& b)
{
    return a.x < b.x;
}

double TChartAxis::AxisValue(double value) const
{
    return LinLog == atLog ? std::log10(value) : value;
}

void TChartSeries::AddXY(double x, double y)
{
    points_.push_back({x, y});
    if (SortByX)
        std::stable_sort(points_.begin(), points_.end(), CompareChartPoints);
}

void TChartSeries::Clear()
{
    points_.clear();
}

int TChartSeries::Count() const
{
    return static_cast<int>(points_.size());
}

const TChartPoint& TChartSeries::Points(int i) const
{
    return points_.at(static_cast<size_t>(i));
}

int ReferenceSeries(const TChartSeriesList& list)
{
    for (int i = 0; i < list.size(); ++i)
        if (list[i]->Visible && list[i]->Count() > 0)
            return i;
    return -1;
}

bool VisibleSeriesHaveNonPositiveX(const TChartSeriesList& list)
{
    for (const TChartSeries* s : list)
        if (s->Visible)
            for (int i = 0; i < s->Count(); ++i)
                if (!(s->Points(i).x > 0.0))
                    return true;
    return false;
}

bool VisibleSeriesHaveNonPositiveY(const TChartSeriesList& list)
{
    for (const TChartSeries* s : list)
        if (s->Visible)
            for (int i = 0; i < s->Count(); ++i)
                if (!(s->Points(i).y > 0.0))
                    return true;
    return false;
}

void AutoScaleAxes(TChartAxis& xAxis, TChartAxis& yAxis, const TChartSeriesList& list)
{
    const int ref = ReferenceSeries(list);
    if (ref < 0)
        return;
    const TChartPoint start = list[ref]->Points(0);
    if (xAxis.AutoScale) {
        double mn = start.x;
        double mx = start.x;
        for (const TChartSeries* s : list)
            for (int i = 0; i < s->Count(); ++i) {
                mn = std::min(mn, s->Points(i).x);
                mx = std::max(mx, s->Points(i).x);
            }
        if (xAxis.LinLog == atLin) {
            const double margin = 0.05 * (mx - mn);
            xAxis.Min = mn - margin;
            xAxis.Max = mx + margin;
        } else {
            double hi = 2.0 * mx;
            if (hi <= 0.0)
                hi = 1.0;
            double lo = mn / 2.0;
            if (lo <= 0.0)
                lo = hi / 100.0;
            // floor, not trunc: below 1 a truncated exponent would leave the
            // smallest values left of the axis.
            xAxis.Min = std::floor(std::log10(lo));
            xAxis.Max = std::trunc(std::log10(hi)) + 1.0;
        }
    }
    if (yAxis.AutoScale) {
        double mn = start.y;
        double mx = start.y;
        for (const TChartSeries* s : list)
            if (s->Visible)
                for (int i = 0; i < s->Count(); ++i) {
                    mn = std::min(mn, s->Points(i).y);
                    mx = std::max(mx, s->Points(i).y);
                }
        if (yAxis.LinLog == atLin) {
            const double margin = 0.05 * (mx - mn);
            yAxis.Min = mn - margin;
            yAxis.Max = mx + margin;
        } else {
            yAxis.Min = std::floor(std::log10(mn / 2.0));
            yAxis.Max = std::trunc(std::log10(2.0 * mx)) + 1.0;
        }
    }
}

TPlotRect CalcPlotRect(const TPlotRect& client, int labelW, int labelH, bool titleVisible, int titleH, bool xVisible,
                       int xTextH, bool yVisible, int yTextH)
{
    TPlotRect r;
    r.Right = client.Right - (labelW / 2 + 3);
    r.Left = client.Left + labelW + 6;
    if (yVisible)
        r.Left += yTextH + 3;
    r.Bottom = client.Bottom - (labelH + 6);
    if (xVisible)
        r.Bottom -= xTextH + 3;
    r.Top = client.Top + (titleVisible ? titleH + 20 : labelH + 3);
    return r;
}

int XToPixel(const TChartAxis& axis, const TPlotRect& plot, double x)
{
    if (axis.Min == axis.Max)
        return plot.Left;
    return ToPixel((plot.Right - plot.Left) * Ratio(axis, axis.AxisValue(x)) + plot.Left);
}

int YToPixel(const TChartAxis& axis, const TPlotRect& plot, double y)
{
    if (axis.Min == axis.Max)
        return plot.Bottom;
    const double h = plot.Bottom - plot.Top;
    return ToPixel(h - h * Ratio(axis, axis.AxisValue(y)) + plot.Top);
}

double PixelToX(const TChartAxis& axis, const TPlotRect& plot, int px)
{
    if (plot.Right == plot.Left)
        return FromAxisValue(axis, axis.Min);
    const double v = double(px - plot.Left) * (axis.Max - axis.Min) / (plot.Right - plot.Left) + axis.Min;
    return FromAxisValue(axis, v);
}

double PixelToY(const TChartAxis& axis, const TPlotRect& plot, int py)
{
    if (plot.Bottom == plot.Top)
        return FromAxisValue(axis, axis.Min);
    const double v = double(plot.Bottom - py) * (axis.Max - axis.Min) / (plot.Bottom - plot.Top) + axis.Min;
    return FromAxisValue(axis, v);
}

TTickStep CalcTickStep(double min, double max)
{
    TTickStep t;
    const double d = std::fabs(max - min); // a reversed fixed range must not loop forever
    if (d == 0.0 || !std::isfinite(d)) {
        t.First = min;
        t.Last = max;
        return t;
    }
    // A power of ten from its exponent, so repeated steps do not pile up error.
    int exponent = 0;
    if (d > 2.0) {
        while (d >= 20.0 * std::pow(10.0, exponent))
            ++exponent;
    } else {
        while (d <= 2.0 * std::pow(10.0, exponent))
            --exponent;
    }
    t.Step = std::pow(10.0, exponent);
    t.Last = std::trunc(max / t.Step) * t.Step;
    const double q = min / t.Step;
    t.First = std::fabs(q - std::nearbyint(q)) < 1e-9 ? min : std::ceil(q) * t.Step;
    return t;
}

std::vector<double> TickValues(const TTickStep& ticks)
{
    if (ticks.Step == 0.0)
        return {ticks.First, ticks.Last};
    std::vector<double> values;
    const double tolerance = ticks.Step * 1e-9;
    for (int i = 0; i < 1000; ++i) {
        double v = ticks.First + i * ticks.Step;
        if (v > ticks.Last + tolerance)
            break;
        // 0.1 + 0.2 style residue would label zero as "27a".
        if (std::fabs(v) < ticks.Step * 1e-6)
            v = 0.0;
        values.push_back(v);
    }
    return values;
}

int LabelDigits(const TTickStep& ticks)
{
    static const double rows[][2] = {{1e-14, 2e-13}, {1e-11, 2e-10}, {1e-8, 2e-7},       {1e-5, 2e-4},
                                     {0.01, 0.2},    {1.0, 200.0},   {10000.0, 200000.0}};
    const double span = ticks.Last - ticks.First;
    for (const auto& row : rows) {
        if (span > row[0] && ticks.Step <= row[1]) {
            for (int n = 1; n <= 3; ++n)
                if (n * 10.0 * ticks.Step > row[1])
                    return 3 + n;
            return 6;
        }
    }
    return 0;
}

int LabelEvery(double pixelsPerStep, int labelExtent)
{
    const double need = labelExtent + 6.0; // a gap between neighbours
    for (const int n : {1, 2, 5, 10, 20, 50})
        if (n * std::fabs(pixelsPerStep) >= need)
            return n;
    return 100;
}

bool TickLabelled(const TTickStep& ticks, double value, int every)
{
    if (every <= 1 || ticks.Step == 0.0)
        return true;
    const long long index = std::llround(value / ticks.Step);
    return index % every == 0;
}

QString TickLabel(const TTickStep& ticks, double value, bool siPrefix)
{
    const int r = LabelDigits(ticks);
    if (!siPrefix)
        return r > 0 ? SIText(value, r + 2, r + 3, r + 1, false).trimmed() : SIText(value, 4, 4, 4, false).trimmed();
    return r > 0 ? FormatSIValueDigits(r, value) : FormatSIValue(value);
}

bool UnitHasPrefix(const QString& unit)
{
    static const QString prefixes = QString::fromUtf8("GMkmµunpfa");
    static const QStringList bases = {"m", "V", "A", "s", "Hz", "N", "W", "F", "Pa", "g", "Ohm", "deg"};
    return unit.size() >= 2 && prefixes.contains(unit.at(0)) && bases.contains(unit.mid(1));
}

QString DecadeLabel(double exponent)
{
    double rounded = Round(exponent * 100.0) / 100.0;
    if (rounded == 0.0)
        rounded = 0.0; // no "-0"
    return "10^" + FloatToText(rounded);
}

QString FormatSIValue(double v)
{
    return SIText(v, 4, 4, 4);
}

QString FormatSIValueDigits(int digits, double v)
{
    return SIText(v, digits + 2, digits + 3, digits + 1);
}

bool PointInRange(const TChartAxis& xAxis, const TChartAxis& yAxis, const TChartPoint& p)
{
    const auto inside = [](const TChartAxis& axis, double value) {
        if (axis.AutoScale)
            return true;
        double low, high;
        LowHigh(axis, low, high);
        const double v = axis.AxisValue(value);
        return v >= low && v <= high;
    };
    return inside(xAxis, p.x) && inside(yAxis, p.y);
}

bool ClipSegment(const TChartAxis& xAxis, const TChartAxis& yAxis, TChartPoint& a, TChartPoint& b)
{
    const double ax = xAxis.AxisValue(a.x), ay = yAxis.AxisValue(a.y);
    const double bx = xAxis.AxisValue(b.x), by = yAxis.AxisValue(b.y);
    if (!std::isfinite(ax) || !std::isfinite(ay) || !std::isfinite(bx) || !std::isfinite(by))
        return false;
    const double dx = bx - ax, dy = by - ay;
    double t0 = 0.0, t1 = 1.0;
    double low, high;
    if (!xAxis.AutoScale) {
        LowHigh(xAxis, low, high);
        if (!ClipParameter(ax, dx, low, high, t0, t1))
            return false;
    }
    if (!yAxis.AutoScale) {
        LowHigh(yAxis, low, high);
        if (!ClipParameter(ay, dy, low, high, t0, t1))
            return false;
    }
    const TChartPoint na{FromAxisValue(xAxis, ax + t0 * dx), FromAxisValue(yAxis, ay + t0 * dy)};
    const TChartPoint nb{FromAxisValue(xAxis, ax + t1 * dx), FromAxisValue(yAxis, ay + t1 * dy)};
    a = na;
    b = nb;
    return true;
}

QString GeneralFloatText(double v, int significant)
{
    if (v == 0.0)
        return "0";
    QString text = QString::number(v, 'g', significant);
    const int pos = text.indexOf('e');
    if (pos >= 0)
        text = text.left(pos) + "E" + QString::number(text.mid(pos + 1).toInt());
    return text;
}

QString ChartDataText(const TChartSeriesList& list, const QString& separator, const QString& header, bool withX)
{
    if (list.isEmpty())
        return {};
    QStringList lines;
    if (!header.isEmpty())
        lines << header;

    bool sharedX = true;
    const TChartSeries* first = list[0];
    for (int s = 1; s < list.size() && sharedX; ++s) {
        if (list[s]->Count() != first->Count()) {
            sharedX = false;
            break;
        }
        for (int i = 0; i < first->Count(); ++i)
            if (list[s]->Points(i).x != first->Points(i).x) {
                sharedX = false;
                break;
            }
    }

    if (sharedX) {
        for (int i = 0; i < first->Count(); ++i) {
            QString line;
            if (withX)
                line += GeneralFloatText(first->Points(i).x, 15) + separator;
            line += GeneralFloatText(first->Points(i).y, 15);
            for (int s = 1; s < list.size(); ++s)
                line += separator + GeneralFloatText(list[s]->Points(i).y, 9);
            lines << line;
        }
        return lines.join("\r\n");
    }

    int n = 0;
    for (const TChartSeries* s : list)
        n = std::max(n, s->Count());
    for (int i = 0; i < n; ++i) {
        QString line;
        if (i < first->Count()) {
            line += withX ? GeneralFloatText(first->Points(i).x, 15) + separator : separator;
            line += GeneralFloatText(first->Points(i).y, 15);
        } else {
            line += (withX ? QString("0") : QString()) + separator + "0";
        }
        for (int s = 1; s < list.size(); ++s) {
            const TChartSeries* series = list[s];
            if (i < series->Count()) {
                if (withX)
                    line += separator + GeneralFloatText(series->Points(i).x, 15);
                line += separator + GeneralFloatText(series->Points(i).y, 9);
            } else {
                if (withX)
                    line += separator + "0";
                line += separator + "0";
            }
        }
        lines << line;
    }
    return lines.join("\r\n");
}

} // namespace qvt
