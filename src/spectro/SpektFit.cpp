#include "spectro/SpektFit.h"

#include "core/NumberText.h"
#include "core/SharedState.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace qvt {

namespace {
constexpr double MinFitPixels = 10.0;
constexpr double FallbackFraction = 0.3;
constexpr int MaxFileNumber = 9999;

int LineEndY(const TSpektPlot& plot, const TSpektFit& fit, double pixel)
{
    const double x = plot.XScale != 0.0 ? plot.XMin + pixel / plot.XScale : plot.XMin;
    return static_cast<int>(Round((plot.YMax - x * fit.Slope - fit.Intercept) * plot.YScale));
}
} // namespace

TSpektFit FitSpektLine(const TSpektData& data, const TSpektPlot& plot, int xColumn, int yColumn, double startFit,
                       double stopFit)
{
    TSpektFit fit;
    double a = startFit, b = stopFit;
    if (b < a)
        std::swap(a, b);
    a = std::max(a, 0.0) * SpektPlotWidth;
    b = std::min(b, 1.0) * SpektPlotWidth;
    if (!(a + MinFitPixels <= b)) {
        a = 0.0;
        b = FallbackFraction * SpektPlotWidth;
    }
    fit.A = a;
    fit.B = b;
    const auto& xs = data.Col[static_cast<size_t>(std::clamp(xColumn, 0, 7))];
    const auto& ys = data.Col[static_cast<size_t>(std::clamp(yColumn, 0, 7))];
    double sx = 0, sxx = 0, sy = 0, sxy = 0;
    const int first = std::max(plot.First, 0);
    const int last = std::min(plot.Last, TSpektData::Rows - 1);
    for (int i = first; i <= last; ++i) {
        const double px = (xs[static_cast<size_t>(i)] - plot.XMin) * plot.XScale;
        if (px < a || px > b)
            continue;
        ++fit.N;
        sx += xs[static_cast<size_t>(i)];
        sxx += xs[static_cast<size_t>(i)] * xs[static_cast<size_t>(i)];
        sy += ys[static_cast<size_t>(i)];
        sxy += xs[static_cast<size_t>(i)] * ys[static_cast<size_t>(i)];
    }
    if (fit.N <= 1)
        return fit;
    const double n = fit.N;
    const double denominator = n * sxx - sx * sx;
    // Equal x values leave no slope; such a fit must never become a sensitivity.
    if (!(std::abs(denominator) > 0.0) || !std::isfinite(denominator))
        return fit;
    fit.Slope = (n * sxy - sx * sy) / denominator;
    fit.Intercept = (sy - sx * fit.Slope) / n;
    if (!std::isfinite(fit.Slope) || !std::isfinite(fit.Intercept)) {
        fit.Slope = fit.Intercept = 0.0;
        return fit;
    }
    fit.Valid = true;
    fit.Start = QPoint(static_cast<int>(Round(a)), LineEndY(plot, fit, a));
    fit.End = QPoint(static_cast<int>(Round(b)), LineEndY(plot, fit, b));
    return fit;
}

std::optional<double> DraggedSlope(const TSpektPlot& plot, QPoint start, QPoint end)
{
    if (start.x() == end.x() || plot.YScale == 0.0)
        return std::nullopt;
    const double slope = (plot.XScale / plot.YScale) * (start.y() - end.y()) / (end.x() - start.x());
    if (!std::isfinite(slope))
        return std::nullopt;
    return slope;
}

std::optional<double> SensitivityFromSlope(double slope, const QString& yUnit, const QString& xUnit)
{
    if (slope == 0.0 || !std::isfinite(slope))
        return std::nullopt;
    const double value = slope * SIPrefixFactor(yUnit) / SIPrefixFactor(xUnit);
    if (value == 0.0 || !std::isfinite(value))
        return std::nullopt;
    return value;
}

TSensitivityStore SensitivityToStore(int feedbackMode, double value)
{
    TSensitivityStore s;
    if (feedbackMode == FeedbackCmAFM) {
        s.ContactMode = true;
        s.Value = value;
    } else if (feedbackMode >= FeedbackNcAFMR) {
        s.Dynamic = true;
        s.Value = std::abs(value);
    }
    return s;
}

TSpektFileName SpektFileName(const QString& base, const QString& ext, bool numbered, int nextNumber)
{
    TSpektFileName f;
    f.NextNumber = nextNumber;
    if (!numbered) {
        f.Name = base + "." + ext;
        return f;
    }
    const int k = std::min(nextNumber, MaxFileNumber);
    f.NextNumber = nextNumber < MaxFileNumber + 1 ? nextNumber + 1 : nextNumber;
    f.Name = base + QString("%1").arg(std::max(k, 0), 4, 10, QChar('0')) + "." + ext;
    return f;
}

QString FormatE15(double value)
{
    if (std::isnan(value))
        return QString("NAN").rightJustified(15);
    if (std::isinf(value))
        return QString(value > 0 ? "INF" : "-INF").rightJustified(15);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.6E", std::abs(value));
    // "d.ddddddE+xx": the exponent gets four digits.
    const QString text = QString::fromLatin1(buf);
    const auto e = text.indexOf('E');
    const QString mantissa = text.left(e);
    const int exponent = text.mid(e + 1).toInt();
    return QString(value < 0 ? "-" : " ") + mantissa + "E" + (exponent < 0 ? "-" : "+") +
           QString("%1").arg(std::abs(exponent), 4, 10, QChar('0'));
}


QString SpektFileText(const TSpektData& data, const TSpektFileSpec& fileFormat)
{
    const QString d = fileFormat.Delimiter;
    const QString eol = "\r\n";
    QString text;
    if (fileFormat.Comment)
        text += fileFormat.CommentText + eol;
    auto col = [&data](int c, int i) { return data.Col[static_cast<size_t>(c)][static_cast<size_t>(i)]; };
    const int countCh = std::clamp(fileFormat.CountCh, 1, 4);
    const int points = std::clamp(fileFormat.Points, 0, TSpektData::Rows);
    if (fileFormat.AllData) {
        if (fileFormat.Header) {
            if (fileFormat.XAxis)
                text += "time" + d + "dz" + d + "Bias" + d;
            QStringList labels;
            for (int c = 0; c < countCh; ++c)
                labels << fileFormat.ChannelLabels[static_cast<size_t>(c)];
            text += labels.join(d) + eol;
        }
        const int xCol = fileFormat.ZNoise ? TSpektData::Frequency : TSpektData::Time;
        for (int i = 0; i < points; ++i) {
            if (fileFormat.XAxis)
                text += FormatE15(col(xCol, i)) + d + FormatE15(col(1, i)) + d + FormatE15(col(2, i)) + d;
            QStringList values;
            for (int c = 0; c < countCh; ++c)
                values << FormatE15(col(TSpektData::Ch0 + c, i));
            text += values.join(d) + eol;
        }
        return text;
    }
    if (fileFormat.Header)
        text += (fileFormat.XAxis ? fileFormat.XLabel + d : QString()) + fileFormat.YLabel + eol;
    const int xCol = std::clamp(fileFormat.XColumn, 0, 7), yCol = std::clamp(fileFormat.YColumn, 0, 7);
    for (int i = std::max(fileFormat.First, 0); i <= std::min(fileFormat.Last, points - 1); ++i)
        text += (fileFormat.XAxis ? FormatE15(col(xCol, i)) + d : QString()) + FormatE15(col(yCol, i)) + eol;
    return text;
}

QString SpektClipboardText(const TSpektData& data, int points, int countCh, bool zNoise, const QString& delimiter)
{
    QStringList lines;
    const int n = std::clamp(points, 0, TSpektData::Rows);
    const int last = std::clamp(countCh, 1, 4) + 2;
    for (int i = 0; i < n; ++i) {
        QString line =
            GeneralText(data.Col[zNoise ? TSpektData::Frequency : TSpektData::Time][static_cast<size_t>(i)], 8);
        for (int c = 1; c <= last; ++c)
            line += delimiter + GeneralText(data.Col[static_cast<size_t>(c)][static_cast<size_t>(i)], 8);
        lines << line;
    }
    return lines.join("\r\n");
}

} // namespace qvt
