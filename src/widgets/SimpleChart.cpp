#include "widgets/SimpleChart.h"

#include "core/NumberText.h"
#include "platform/CheckedWrite.h"
#include "platform/MessageBoxes.h"

#include <QClipboard>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QPainter>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace qvt {

namespace {

const QColor Silver(0xC0, 0xC0, 0xC0);
const char* const WidestLabel = "-8.888m";

void DrawTextAt(QPainter& p, const QFont& font, int x, int top, const QString& text)
{
    p.setFont(font);
    p.drawText(x, top + QFontMetrics(font).ascent(), text);
}

QByteArray FileBytes(const QString& text)
{
    // Latin-1 keeps "µ" one byte, as for the program's other text files.
    for (const QChar c : text)
        if (c.unicode() > 0xFF)
            return text.toUtf8();
    return text.toLatin1();
}

} // namespace

TSimpleChart::TSimpleChart(QWidget* parent) : QWidget(parent)
{
    resize(300, 200);
    Color = palette().color(QPalette::Window);
    Title.Text = "TSimpleChart";
    Title.Font = font();
    XAxis.Text = "X-Axis";
    XAxis.Font = font();
    YAxis.Text = "Y-Axis";
    YAxis.Font = font();
}

void TSimpleChart::AddSeries(TChartSeries* series)
{
    SeriesList.append(series);
    update();
}

int TSimpleChart::XToPixel(double x) const
{
    return qvt::XToPixel(XAxis, plot_, x);
}

int TSimpleChart::YToPixel(double y) const
{
    return qvt::YToPixel(YAxis, plot_, y);
}

double TSimpleChart::PixelToX(int px) const
{
    return qvt::PixelToX(XAxis, plot_, px);
}

double TSimpleChart::PixelToY(int py) const
{
    return qvt::PixelToY(YAxis, plot_, py);
}

void TSimpleChart::CopyToClipboard()
{
    if (picture_.isNull())
        RenderPicture();
    QGuiApplication::clipboard()->setImage(picture_);
}

void TSimpleChart::CopyDataToClipboard(const QString& separator, const QString& header, bool withX)
{
    if (SeriesList.isEmpty())
        return;
    QGuiApplication::clipboard()->setText(ChartDataText(SeriesList, separator, header, withX));
}

bool TSimpleChart::SaveDataToFile(const QString& fileName, const QString& separator, bool withX, const QString& header)
{
    if (SeriesList.isEmpty())
        return false;
    return WriteFileWhole(fileName, FileBytes(ChartDataText(SeriesList, separator, header, withX))).isEmpty();
}

void TSimpleChart::CalcPlotRect()
{
    const QFontMetrics fm(font());
    const QRect label = fm.boundingRect(WidestLabel);
    const int labelW = fm.horizontalAdvance(WidestLabel);
    plot_ = qvt::CalcPlotRect({0, 0, width(), height()}, labelW, label.height(), Title.Visible,
                              QFontMetrics(Title.Font).height(), XAxis.Visible, QFontMetrics(XAxis.Font).height(),
                              YAxis.Visible, QFontMetrics(YAxis.Font).height());
}

void TSimpleChart::ShowLater(const QString& text)
{
    // Not from inside a paint: a modal box there would paint again beneath it.
    QTimer::singleShot(0, this, [text] { ShowMessage(MsgKind::Information, text); });
}

const QImage& TSimpleChart::RenderPicture()
{
    picture_ = QImage(std::max(1, width()), std::max(1, height()), QImage::Format_ARGB32_Premultiplied);
    xLabels_.clear();
    yLabels_.clear();
    QPainter p(&picture_);
    p.fillRect(QRect(0, 0, width(), height()), Color);
    CalcPlotRect();

    if (Title.Visible) {
        const QFontMetrics fm(Title.Font);
        const int x = static_cast<int>(Round(width() / 2.0 - fm.horizontalAdvance(Title.Text) / 2.0));
        const int y = static_cast<int>(Round(plot_.Top / 2.0 - fm.height() / 2.0));
        DrawTextAt(p, Title.Font, x, y, Title.Text);
    }
    if (XAxis.Visible) {
        const QFontMetrics fm(XAxis.Font);
        const int x =
            static_cast<int>(Round((plot_.Left + plot_.Right) / 2.0 - fm.horizontalAdvance(XAxis.Text) / 2.0));
        DrawTextAt(p, XAxis.Font, x, height() - fm.height() - 3, XAxis.Text);
    }
    if (YAxis.Visible) {
        const QFontMetrics fm(YAxis.Font);
        const int y =
            static_cast<int>(Round(fm.horizontalAdvance(YAxis.Text) / 2.0 + (plot_.Top + plot_.Bottom) / 2.0));
        p.save();
        p.translate(3, y);
        p.rotate(-90.1);
        DrawTextAt(p, YAxis.Font, 0, 0, YAxis.Text);
        p.restore();
    }
    const QRect plotRect(QPoint(plot_.Left, plot_.Top), QPoint(plot_.Right, plot_.Bottom));
    p.fillRect(plotRect, BackColor);
    p.setPen(Qt::black);
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRect(plot_.Left, plot_.Top, plot_.Right - plot_.Left, plot_.Bottom - plot_.Top));

    refSeries_ = ReferenceSeries(SeriesList);
    if (refSeries_ < 0)
        return picture_;

    if (XAxis.LinLog == atLog && VisibleSeriesHaveNonPositiveX(SeriesList)) {
        if (!xLogWarningShown_)
            ShowLater("Please make shure all x-values are strictly positive\rfor logarithmic scale!");
        xLogWarningShown_ = true;
        return picture_;
    }
    xLogWarningShown_ = false;
    if (YAxis.LinLog == atLog && VisibleSeriesHaveNonPositiveY(SeriesList)) {
        ShowLater("Please make shure all y-values are strictly positive\rfor logarithmic scale!");
        YAxis.LinLog = atLin;
    }

    AutoScaleAxes(XAxis, YAxis, SeriesList);
    DrawAxes(p);
    DrawSeries(p);
    return picture_;
}

void TSimpleChart::paintEvent(QPaintEvent*)
{
    RenderPicture();
    QPainter p(this);
    p.drawImage(0, 0, picture_);
}

void TSimpleChart::DrawAxes(QPainter& p)
{
    p.setFont(font());
    DrawXAxis(p);
    DrawYAxis(p);
}

void TSimpleChart::DrawXAxis(QPainter& p)
{
    const QFontMetrics fm(font());
    const QPen grid(Silver, 1, Qt::DotLine);
    const auto mark = [&](int px, const QString& label, bool withGrid) {
        if (withGrid && px != plot_.Left && px != plot_.Right) {
            p.setPen(grid);
            p.drawLine(px, plot_.Top + 1, px, plot_.Bottom - 1);
        }
        p.setPen(Qt::black);
        p.drawLine(px, plot_.Bottom - 2, px, plot_.Bottom + 3);
        if (!label.isEmpty()) {
            const QRect r(px - fm.horizontalAdvance(label) / 2, plot_.Bottom + 3, fm.horizontalAdvance(label),
                          fm.height());
            p.drawText(r.left(), r.top() + fm.ascent(), label);
            xLabels_.push_back({r, label});
        }
    };

    if (XAxis.LinLog == atLin) {
        const TTickStep ticks = CalcTickStep(XAxis.Min, XAxis.Max);
        if (ticks.Step == 0.0) {
            mark(plot_.Left, TickLabel(ticks, ticks.First, XAxis.SIPrefix), false);
            mark(plot_.Right, TickLabel(ticks, ticks.Last, XAxis.SIPrefix), false);
            return;
        }
        const std::vector<double> values = TickValues(ticks);
        int widest = 0;
        for (const double v : values)
            widest = std::max(widest, fm.horizontalAdvance(TickLabel(ticks, v, XAxis.SIPrefix)));
        const int every = LabelEvery(XToPixel(ticks.First + ticks.Step) - XToPixel(ticks.First), widest);
        for (const double v : values) {
            const int px = XToPixel(v);
            if (px >= plot_.Left && px <= plot_.Right)
                mark(px, TickLabelled(ticks, v, every) ? TickLabel(ticks, v, XAxis.SIPrefix) : QString(), true);
        }
        return;
    }
    for (double k = XAxis.Min; k <= XAxis.Max + 1e-9; k += 1.0) {
        mark(XToPixel(std::pow(10.0, k)), DecadeLabel(k), true);
        if (k <= XAxis.Min)
            continue;
        for (int i = 1; i <= 9; ++i) {
            const double v = (k - 1.0) + std::log10(double(i));
            if (v >= XAxis.Min && v <= XAxis.Max)
                mark(XToPixel(std::pow(10.0, v)), QString(), false);
        }
    }
}

void TSimpleChart::DrawYAxis(QPainter& p)
{
    const QFontMetrics fm(font());
    const QPen grid(Silver, 1, Qt::DotLine);
    const auto mark = [&](int py, const QString& label, bool withGrid) {
        if (withGrid && py != plot_.Top && py != plot_.Bottom) {
            p.setPen(grid);
            p.drawLine(plot_.Left + 1, py, plot_.Right - 1, py);
        }
        p.setPen(Qt::black);
        p.drawLine(plot_.Left - 2, py, plot_.Left + 3, py);
        if (!label.isEmpty()) {
            const QRect r(plot_.Left - 3 - fm.horizontalAdvance(label), py - fm.height() / 2,
                          fm.horizontalAdvance(label), fm.height());
            p.drawText(r.left(), r.top() + fm.ascent(), label);
            yLabels_.push_back({r, label});
        }
    };

    if (YAxis.LinLog == atLin) {
        const TTickStep ticks = CalcTickStep(YAxis.Min, YAxis.Max);
        if (ticks.Step == 0.0) {
            mark(plot_.Bottom, TickLabel(ticks, ticks.First, YAxis.SIPrefix), false);
            mark(plot_.Top, TickLabel(ticks, ticks.Last, YAxis.SIPrefix), false);
            return;
        }
        const int every = LabelEvery(YToPixel(ticks.First) - YToPixel(ticks.First + ticks.Step), fm.height());
        for (const double v : TickValues(ticks)) {
            const int py = YToPixel(v);
            if (py >= plot_.Top && py <= plot_.Bottom)
                mark(py, TickLabelled(ticks, v, every) ? TickLabel(ticks, v, YAxis.SIPrefix) : QString(), true);
        }
        const int zero = YToPixel(0.0);
        if (zero > plot_.Top && zero < plot_.Bottom) {
            p.setPen(QPen(Silver, 1, Qt::SolidLine));
            p.drawLine(plot_.Left + 1, zero, plot_.Right - 1, zero);
        }
        return;
    }
    for (double k = YAxis.Min; k <= YAxis.Max + 1e-9; k += 1.0) {
        mark(YToPixel(std::pow(10.0, k)), DecadeLabel(k), true);
        if (k <= YAxis.Min)
            continue;
        for (int i = 1; i <= 9; ++i) {
            const double v = (k - 1.0) + std::log10(double(i));
            if (v >= YAxis.Min && v <= YAxis.Max)
                mark(YToPixel(std::pow(10.0, v)), QString(), false);
        }
    }
}

void TSimpleChart::DrawSeries(QPainter& p)
{
    for (const TChartSeries* s : SeriesList) {
        if (!s->Visible)
            continue;
        const auto pixel = [this](const TChartPoint& pt) { return QPoint(XToPixel(pt.x), YToPixel(pt.y)); };
        switch (s->Style) {
        case ssLine: {
            p.setPen(QPen(s->Color, s->Width));
            for (int i = 1; i < s->Count(); ++i) {
                TChartPoint a = s->Points(i - 1);
                TChartPoint b = s->Points(i);
                if (PointInRange(XAxis, YAxis, a) && PointInRange(XAxis, YAxis, b))
                    p.drawLine(pixel(a), pixel(b));
                else if (ClipSegment(XAxis, YAxis, a, b))
                    p.drawLine(pixel(a), pixel(b));
            }
            p.setPen(QPen(s->Color, 1));
            break;
        }
        case ssCross:
            p.setPen(QPen(s->Color, 1));
            for (int i = 0; i < s->Count(); ++i) {
                if (!PointInRange(XAxis, YAxis, s->Points(i)))
                    continue;
                const QPoint c = pixel(s->Points(i));
                p.drawLine(c.x() - 4, c.y() - 4, c.x() + 4, c.y() + 4);
                p.drawLine(c.x() - 4, c.y() + 4, c.x() + 4, c.y() - 4);
            }
            break;
        case ssPoint:
            p.setPen(Qt::NoPen);
            p.setBrush(s->Color);
            for (int i = 0; i < s->Count(); ++i) {
                if (!PointInRange(XAxis, YAxis, s->Points(i)))
                    continue;
                p.drawEllipse(pixel(s->Points(i)), s->Width, s->Width);
            }
            p.setBrush(Qt::NoBrush);
            break;
        }
    }
}

} // namespace qvt
