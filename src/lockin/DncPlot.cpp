#include "lockin/DncPlot.h"

#include "core/NumberText.h"
#include "device/LockInRequests.h"
#include "lockin/DncSweep.h"

#include <QPainter>
#include <QPolygon>

#include <algorithm>
#include <cmath>

namespace qvt {

TDncScale DncDisplayScale(const std::vector<double>& newest, int dataPoints, bool showX)
{
    TDncScale s;
    const int n = std::min<int>(dataPoints, static_cast<int>(newest.size()) - 1);
    if (n < 0)
        return s;
    const auto [lo, hi] = std::minmax_element(newest.begin(), newest.begin() + n + 1);
    const double min = showX ? *lo : 0.0;
    const double scale = 255.0 / (*hi - min);
    s.Scale = (std::isfinite(scale) && *hi != min) ? scale : 1.0;
    s.Offset = min;
    return s;
}

int DncRow(double value, const TDncScale& scale)
{
    const double row = 255.0 - Round((value - scale.Offset) * scale.Scale);
    return static_cast<int>(std::clamp(row, -1.0e6, 1.0e6));
}

double DncValueAtRow(int row, const TDncScale& scale)
{
    return (256 - row) / scale.Scale + scale.Offset;
}

int DncPhaseRow(double milliDeg)
{
    return 128 - static_cast<int>(Round(milliDeg * 127.5 / 180000.0));
}

double DncFrequencyAtColumn(int x, int pointShift, double step, double start)
{
    return static_cast<double>(x) * (1 << pointShift) * step + start;
}

TDncPeak FindPeakIndex(const std::vector<double>& c, int n)
{
    TDncPeak p;
    n = std::min<int>(n, static_cast<int>(c.size()) - 1);
    if (n < 2)
        return p;
    double best = c[0];
    for (int i = 1; i < n; ++i) {
        if (c[i] > best) {
            p.Index = i;
            best = c[i];
        }
    }
    if (p.Index != 1)
        return p;
    // The maximum sits at the start: look behind the first deep fall.
    const double x = c[1];
    p.EdgeValue = x / 10.0;
    bool found = false;
    for (int j = 1; j <= 10 && !found; ++j) {
        double running = 0.0;
        for (int k = 2; k < n; ++k) {
            if (!found) {
                if (c[k] < x / (10.0 * j)) {
                    found = true;
                    running = c[k];
                    p.EdgeValue = c[k];
                    p.EdgeIndex = k;
                }
            } else if (c[k] > running) {
                running = c[k];
                p.Index = k;
            }
        }
    }
    return p;
}

TDncHalfPower DncHalfPower(const std::vector<double>& c, int n, int peak, double peakFrequency, double step)
{
    TDncHalfPower h;
    n = std::min<int>(n, static_cast<int>(c.size()) - 1);
    if (peak < 0 || peak > n)
        return h;
    const double half = c[static_cast<size_t>(peak)] / std::sqrt(2.0);
    int l = peak;
    while (l >= 2 && c[static_cast<size_t>(l - 1)] > half)
        --l;
    int r = peak;
    while (r < n - 1 && c[static_cast<size_t>(r + 1)] > half)
        ++r;
    h.Left = l;
    h.Right = r;
    if (r != l && step != 0.0) {
        const double q = peakFrequency / (r - l) / step;
        if (std::isfinite(q))
            h.Q = q;
    }
    return h;
}

TDncRange DncDragRange(int pressX, int releaseX, int pointShift, double step, double start)
{
    TDncRange r{DncFrequencyAtColumn(pressX, pointShift, step, start),
                DncFrequencyAtColumn(releaseX, pointShift, step, start)};
    if (r.Start > r.Stop)
        std::swap(r.Start, r.Stop);
    return r;
}

QString DncMouseStatus(const TDncStatusInput& in)
{
    if (in.Scale.Scale == 0.0 || in.Step == 0.0)
        return {};
    const double f = DncFrequencyAtColumn(in.X, in.PointShift, in.Step, in.Start);
    const double v = (256 - in.Y) / in.Scale.Scale + in.Scale.Offset;
    if (!std::isfinite(f) || !std::isfinite(v))
        return {};
    QString text = "f: " + QString::number(static_cast<qint64>(Round(f))) + "  " + FormatWithSIPrefix(in.Unit, v);
    if (in.ScaleY != 0.0)
        text += " ~ " + FormatWithSIPrefix(in.ZUnit, (256 - in.Y) / in.Scale.Scale / in.ScaleY + in.Scale.Offset);
    if (in.ShowPhase)
        text += "  " + FixedPointText((128 - in.Y) / 255.0 * 360.0, 15, 1) + QString::fromUtf8("°");
    return text;
}

// ---- frequency texts --------------------------------------------------------------

double DncUnitFactor(int tag)
{
    switch (tag) {
    case -1:
        return 0.001;
    case 1:
        return 1000.0;
    case 2:
        return 1.0e6;
    default:
        return 1.0;
    }
}

QString DncUnitLabel(int tag)
{
    switch (tag) {
    case -1:
        return "mHz";
    case 1:
        return "kHz";
    case 2:
        return "MHz";
    default:
        return "Hz";
    }
}

int DncNextUnitTag(int tag)
{
    return tag >= 2 ? -1 : tag + 1;
}

QString DncFrequencyText(double hz, int tag)
{
    const double wholeHz = Round(hz);
    switch (tag) {
    case -1:
        return FixedPointText(hz * 1000.0, 15, 0);
    case 1:
        return FixedPointText(hz / 1000.0, 15, std::fmod(wholeHz, 1000.0) == 0.0 ? 0 : 3);
    case 2:
        return FixedPointText(hz / 1.0e6, 15, std::fmod(wholeHz, 1.0e6) == 0.0 ? 0 : 6);
    default:
        return FixedPointText(hz, 15, 0);
    }
}

bool ParseDncFrequency(const QString& text, int& tag, double& hz)
{
    QString rest = text;
    if (rest.contains('k')) {
        tag = 1;
        rest.remove('k');
    }
    if (rest.contains('m')) {
        tag = -1;
        rest.remove('m');
    }
    if (rest.contains('M')) {
        tag = 2;
        rest.remove('M');
    }
    double value = 0.0;
    if (!ParseNumber(rest, value))
        return false;
    hz = value * DncUnitFactor(tag);
    return true;
}

QString DncFrequencyRangeText(bool type29)
{
    const double mhz = std::ceil(LockInFrequencyMax(type29)) / 1.0e6;
    return QString("Sweep frequencies must lie above 0 Hz and below %1 MHz!").arg(GeneralText(mhz, 7));
}

// ---- range menu ------------------------------------------------------------------------

QString DncRangeText(double start, double stop)
{
    return GeneralText(start, 4) + "-" + GeneralText(stop, 4);
}

QString TDncRecentRanges::Plain(const QString& caption)
{
    QString s = caption;
    s.remove('&');
    return s;
}

void TDncRecentRanges::Add(const QString& range)
{
    for (int i = 1; i <= 3; ++i) {
        if (Plain(Items[static_cast<size_t>(i)]) != range)
            continue;
        // Listed: it becomes the newest, the ones behind it move up.
        const QString found = Items[static_cast<size_t>(i)];
        for (int k = i; k < 3; ++k)
            Items[static_cast<size_t>(k)] = Items[static_cast<size_t>(k + 1)];
        Items[3] = found;
        return;
    }
    Items[1] = Items[2];
    Items[2] = Items[3];
    Items[3] = range;
}

bool SplitDncRange(const QString& caption, QString& start, QString& stop)
{
    const QString plain = TDncRecentRanges::Plain(caption);
    const int dash = plain.indexOf('-');
    if (dash < 0)
        return false;
    start = plain.left(dash);
    stop = plain.mid(dash + 1);
    return true;
}

// ---- colours and drawing -------------------------------------------------------------

const std::array<uint32_t, DncColorCount> DncDefaultColors = {0x000000, 0x000080, 0x008000, 0x008080, 0x800000,
                                                              0x800080, 0x808000, 0x808080, 0xC0C0C0, 0x0000FF,
                                                              0x00FF00, 0x00FFFF, 0xFF0000, 0xFF00FF, 0xFFFF00};

QColor DncColorFromBgr(uint32_t bgr)
{
    return QColor(static_cast<int>(bgr & 0xFF), static_cast<int>((bgr >> 8) & 0xFF),
                  static_cast<int>((bgr >> 16) & 0xFF));
}

namespace {

// Columns of points 1..n with their rows: one polyline per curve.
QPolygon CurvePolygon(const std::vector<double>& values, int n, int shift, const auto& rowOf)
{
    QPolygon poly;
    poly.reserve(n);
    for (int i = 1; i <= n && i < static_cast<int>(values.size()); ++i)
        poly.append(QPoint(DncColumn(i, shift), rowOf(values[static_cast<size_t>(i)])));
    return poly;
}

} // namespace

std::vector<QPolygon> DncPhasePieces(const std::vector<double>& phase, int n, int shift)
{
    std::vector<QPolygon> pieces(1);
    for (int i = 1; i <= n && i < static_cast<int>(phase.size()); ++i) {
        const double v = phase[static_cast<size_t>(i)];
        if (i > 1 && std::fabs(v - phase[static_cast<size_t>(i - 1)]) > DncPhaseWrapMilliDeg)
            pieces.emplace_back();
        pieces.back().append(QPoint(DncColumn(i, shift), DncPhaseRow(v)));
    }
    return pieces;
}

std::optional<TDncScale> DrawDncSpectrum(QImage& image, const TDncCurves& curves, const TDncDrawOptions& o)
{
    const int n = curves.DataPoints();
    if (curves.Empty() || n < 2)
        return std::nullopt;
    const TDncScale scale = DncDisplayScale(curves.Newest(), n, o.ShowX);
    const int newest = o.Measured >= 0 ? std::min(n, o.Measured) : n;
    image.fill(Qt::white);
    QPainter p(&image);
    if (o.ShowPhaseTrace) {
        p.setPen(QColor(0xC0, 0xC0, 0xC0));
        for (const QPolygon& piece : DncPhasePieces(curves.Phase, newest, o.PointShift))
            p.drawPolyline(piece);
    }
    if (o.ShowX) {
        const int zero = DncRow(0.0, scale);
        if (zero >= 1 && zero <= image.height() - 1) {
            p.setPen(QColor(0x80, 0x80, 0x80));
            p.drawLine(1, zero, image.width(), zero);
        }
    }
    auto rowOf = [&scale](double v) { return DncRow(v, scale); };
    if (o.FitCurve && !o.FitCurve->empty()) {
        const std::vector<double>& fit = *o.FitCurve;
        QPen pen(o.FitColor);
        pen.setWidth(o.FitWidth);
        p.setPen(pen);
        QPolygon poly;
        poly << QPoint(1, rowOf(fit[0]));
        const int last = std::min(n, static_cast<int>(fit.size()));
        for (int i = 1; i <= last; ++i)
            poly << QPoint(DncColumn(i, o.PointShift), rowOf(fit[static_cast<size_t>(i - 1)]));
        p.drawPolyline(poly);
    }
    for (int k = curves.HistoryDepth(); k >= 0; --k) {
        p.setPen(o.Colors[static_cast<size_t>(DncColorIndex(k))]);
        const QPolygon poly = CurvePolygon(curves.Curve(k), k == 0 ? newest : n, o.PointShift, rowOf);
        if (o.Vector)
            p.drawPolyline(poly);
        else
            p.drawPoints(poly);
    }
    return scale;
}

TDncHalfPower DrawDncStrip(QImage& strip, const TDncCurves& curves, const TDncMarks& m)
{
    strip.fill(Qt::white);
    TDncHalfPower h;
    if (m.Step == 0.0 || curves.Empty())
        return h;
    QPainter p(&strip);
    QPen pen(Qt::red);
    pen.setWidth(2);
    p.setPen(pen);
    const double op = Round((m.OperatingFrequency - m.SweepStart) / m.Step);
    if (op >= 1 && op <= static_cast<double>(DncMinDataPoints << m.PointShift)) {
        const int c = DncColumn(static_cast<int>(op), m.PointShift);
        p.drawLine(c, 0, c, DncStripHeight);
    }
    const TDncPeak peak = FindPeakIndex(curves.Newest(), m.DataPoints);
    const double peakFrequency = peak.Index * m.Step + m.SweepStart;
    h = DncHalfPower(curves.Newest(), m.DataPoints, peak.Index, peakFrequency, m.Step);
    pen.setColor(Qt::black);
    p.setPen(pen);
    p.drawLine(DncColumn(h.Left, m.PointShift), 0, DncColumn(h.Right, m.PointShift), 0);
    return h;
}

void DrawDncSetpointCross(QImage& image, const TDncMarks& m)
{
    if (m.Step == 0.0 || !m.SetpointRow)
        return;
    const double op = Round((m.OperatingFrequency - m.SweepStart) / m.Step);
    if (!(std::abs(op) < 1.0e9))
        return;
    const int c = DncColumn(static_cast<int>(op), m.PointShift);
    const int u = *m.SetpointRow;
    if (c < 1 || c >= image.width() || u < 1 || u >= image.height())
        return;
    QPainter p(&image);
    p.setPen(QColor(0xC0, 0xC0, 0xC0));
    p.drawLine(c, image.height() - 1, c, 0);
    p.setPen(Qt::red);
    p.drawLine(c - 3, u, c + 4, u);
    p.drawLine(c, u - 3, c, u + 4);
}

} // namespace qvt
