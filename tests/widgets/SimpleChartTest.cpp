#include "widgets/SimpleChart.h"
#include "core/IniFile.h"
#include "platform/MessageBoxes.h"
#include "support/FullDisk.h"
#include "support/TestSupport.h"
#include "widgets/ChartScale.h"
#include "widgets/OnScreen.h"

#include <QApplication>
#include <QClipboard>
#include <QScreen>
#include <QWidget>

#include <gtest/gtest.h>

using namespace qvt;

namespace {

TChartSeries Series(std::initializer_list<TChartPoint> points, bool visible = true)
{
    TChartSeries s;
    for (const TChartPoint& p : points)
        s.AddXY(p.x, p.y);
    s.Visible = visible;
    return s;
}

} // namespace

TEST(ChartScale, TickStepFollowsTheSpan)
{
    EXPECT_DOUBLE_EQ(CalcTickStep(0.0, 0.37).Step, 0.1);
    EXPECT_DOUBLE_EQ(CalcTickStep(0.0, 37.0).Step, 10.0);
    EXPECT_DOUBLE_EQ(CalcTickStep(0.0, 2.0).Step, 0.1);
    EXPECT_DOUBLE_EQ(CalcTickStep(0.0, 2000.0).Step, 1000.0);
    EXPECT_DOUBLE_EQ(CalcTickStep(0.0, 1999.0).Step, 100.0);

    const TTickStep shifted = CalcTickStep(0.03, 0.4);
    EXPECT_DOUBLE_EQ(shifted.First, 0.1);
    EXPECT_DOUBLE_EQ(shifted.Last, 0.4);
    EXPECT_EQ(TickValues(shifted).size(), 4u);

    const std::vector<double> ticks = TickValues(CalcTickStep(-0.5, 0.5));
    ASSERT_EQ(ticks.size(), 11u);
    EXPECT_DOUBLE_EQ(ticks.front(), -0.5);
    EXPECT_EQ(ticks[5], 0.0); // exactly zero, not a rounding residue
    EXPECT_NEAR(ticks.back(), 0.5, 1e-12);

    const TTickStep flat = CalcTickStep(3.0, 3.0);
    EXPECT_EQ(flat.Step, 0.0);
    EXPECT_EQ(TickValues(flat), (std::vector<double>{3.0, 3.0}));

    // A reversed fixed range still ends.
    EXPECT_DOUBLE_EQ(CalcTickStep(1.0, -1.0).Step, 0.1);
}

TEST(ChartScale, LabelsUseSIPrefixesAndDigitRows)
{
    EXPECT_EQ(FormatSIValue(0.00123), QString::fromUtf8("1.23m"));
    EXPECT_EQ(FormatSIValue(1234567), "1.235M");
    EXPECT_EQ(FormatSIValue(5), "5 ");
    EXPECT_EQ(FormatSIValue(0.5), "500m");
    EXPECT_EQ(FormatSIValue(0), "0");
    EXPECT_EQ(FormatSIValue(-2500), "-2.5k");
    EXPECT_EQ(FormatSIValue(12340), "12.34k");
    EXPECT_EQ(FormatSIValue(2345678000.0), "2.346G");
    EXPECT_EQ(FormatSIValue(2345.678e9), "2345.7G");
    EXPECT_EQ(FormatSIValue(2.5e-6), QString::fromUtf8("2.5µ"));
    EXPECT_EQ(FormatSIValue(1e15), "1.0000E6G");
    EXPECT_EQ(FormatSIValueDigits(4, 12.3456789), "12.3457 ");
    EXPECT_EQ(FormatSIValueDigits(4, 123.456789), "123.4568 ");
    EXPECT_EQ(FormatSIValueDigits(4, 1.23456789), "1.2346 ");

    EXPECT_EQ(LabelDigits({0.0, 1.0, 0.1}), 4);
    EXPECT_EQ(LabelDigits({0.0, 1000.0, 100.0}), 4);
    EXPECT_EQ(LabelDigits({0.0, 100000.0, 10000.0}), 6);
    EXPECT_EQ(LabelDigits({0.0, 1e7, 1e6}), 0);

    EXPECT_EQ(DecadeLabel(-3.0), "10^-3");
    EXPECT_EQ(DecadeLabel(1.234), "10^1.23");
    EXPECT_EQ(DecadeLabel(0.0), "10^0");
}

TEST(ChartScale, AutoScalesLinearAxesFromTheData)
{
    TChartAxis x, y;
    TChartSeries empty;
    TChartSeries visible = Series({{0, -1}, {10, 3}});
    TChartSeries hidden = Series({{20, 100}}, false);

    // No visible series with points: nothing to scale from.
    TChartSeriesList list{&empty, &hidden};
    EXPECT_EQ(ReferenceSeries(list), -1);
    AutoScaleAxes(x, y, list);
    EXPECT_EQ(x.Min, -0.5);
    EXPECT_EQ(y.Max, 0.5);

    // x over all series, y over the visible ones, both widened by 5 %.
    list = {&empty, &hidden, &visible};
    EXPECT_EQ(ReferenceSeries(list), 2);
    AutoScaleAxes(x, y, list);
    EXPECT_DOUBLE_EQ(x.Min, -1.0);
    EXPECT_DOUBLE_EQ(x.Max, 21.0);
    EXPECT_DOUBLE_EQ(y.Min, -1.2);
    EXPECT_DOUBLE_EQ(y.Max, 3.2);

    // A fixed axis keeps its range.
    TChartAxis fixed;
    fixed.AutoScale = false;
    AutoScaleAxes(fixed, y, list);
    EXPECT_EQ(fixed.Min, -0.5);

    // A single point: zero span, everything on the left/bottom edge.
    TChartSeries single = Series({{2, 5}});
    list = {&single};
    AutoScaleAxes(x, y, list);
    EXPECT_EQ(x.Min, 2.0);
    EXPECT_EQ(x.Max, 2.0);
    const TPlotRect plot{10, 20, 110, 220};
    EXPECT_EQ(XToPixel(x, plot, 2.0), 10);
    EXPECT_EQ(YToPixel(y, plot, 5.0), 220);
}

TEST(ChartScale, AutoScalesLogAxesToWholeDecadesAroundTheData)
{
    TChartAxis x, y;
    x.LinLog = y.LinLog = atLog;
    TChartSeries s = Series({{10, 0.2}, {1000, 50}});
    TChartSeriesList list{&s};
    AutoScaleAxes(x, y, list);
    EXPECT_EQ(x.Min, 0.0);
    EXPECT_EQ(x.Max, 4.0);
    EXPECT_EQ(y.Min, -1.0);
    EXPECT_EQ(y.Max, 3.0);

    // Below 1 the lower decade still lies below the smallest value.
    TChartSeries small = Series({{0.03, 1}, {0.5, 1}});
    list = {&small};
    AutoScaleAxes(x, y, list);
    EXPECT_EQ(x.Min, -2.0);
    EXPECT_EQ(x.Max, 1.0);

    // A hidden non-positive x makes the lower end a hundredth of the upper.
    TChartSeries hidden = Series({{-5, 1}}, false);
    list = {&s, &hidden};
    AutoScaleAxes(x, y, list);
    EXPECT_EQ(x.Min, 1.0);
    EXPECT_EQ(x.Max, 4.0);
}

TEST(ChartScale, MapsValuesToPixelsAndBack)
{
    const TPlotRect plot{10, 20, 110, 220};
    TChartAxis lin;
    lin.Min = 0;
    lin.Max = 10;
    EXPECT_EQ(XToPixel(lin, plot, 5), 60);
    EXPECT_EQ(YToPixel(lin, plot, 5), 120);
    EXPECT_EQ(YToPixel(lin, plot, 0), 220);
    EXPECT_DOUBLE_EQ(PixelToX(lin, plot, 60), 5.0);
    EXPECT_DOUBLE_EQ(PixelToY(lin, plot, 120), 5.0);
    EXPECT_EQ(XToPixel(lin, plot, 1e300), 10000000); // clamped, no overflow

    TChartAxis log;
    log.LinLog = atLog;
    log.Min = 0;
    log.Max = 2;
    EXPECT_EQ(XToPixel(log, plot, 10), 60);
    EXPECT_NEAR(PixelToX(log, plot, 60), 10.0, 1e-12);

    const TPlotRect r = CalcPlotRect({0, 0, 300, 200}, 40, 12, false, 16, true, 14, true, 14);
    EXPECT_EQ(r.Left, 63);
    EXPECT_EQ(r.Right, 277);
    EXPECT_EQ(r.Top, 15);
    EXPECT_EQ(r.Bottom, 165);
    EXPECT_EQ(CalcPlotRect({0, 0, 300, 200}, 40, 12, true, 16, false, 14, false, 14).Top, 36);
}

TEST(ChartScale, ClipsSegmentsToFixedRangesOnly)
{
    TChartAxis x, y;
    x.AutoScale = false;
    x.Min = 0;
    x.Max = 10;
    TChartPoint a{-10, 0}, b{10, 20};
    EXPECT_FALSE(PointInRange(x, y, a));
    EXPECT_TRUE(PointInRange(x, y, b));
    ASSERT_TRUE(ClipSegment(x, y, a, b));
    EXPECT_DOUBLE_EQ(a.x, 0.0);
    EXPECT_DOUBLE_EQ(a.y, 10.0);
    EXPECT_DOUBLE_EQ(b.x, 10.0);
    EXPECT_DOUBLE_EQ(b.y, 20.0);

    TChartPoint c{20, 0}, d{30, 5};
    EXPECT_FALSE(ClipSegment(x, y, c, d));

    // A fixed log axis holds decades.
    TChartAxis logX;
    logX.LinLog = atLog;
    logX.AutoScale = false;
    logX.Min = 0;
    logX.Max = 2;
    EXPECT_TRUE(PointInRange(logX, y, {50, 0}));
    EXPECT_FALSE(PointInRange(logX, y, {500, 0}));

    TChartSeries sorted;
    sorted.SortByX = true;
    sorted.AddXY(3, 1);
    sorted.AddXY(1, 2);
    sorted.AddXY(2, 3);
    EXPECT_EQ(sorted.Points(0).x, 1.0);
    EXPECT_EQ(sorted.Points(2).x, 3.0);
}

TEST(ChartScale, ExportsSeriesAsDelimitedText)
{
    EXPECT_EQ(ChartDataText({}, "\t", "# h", true), "");

    TChartSeries a = Series({{1, 0.5}, {2, 0.1 + 0.2}});
    TChartSeries b = Series({{1, 1.0 / 3.0}, {2, 2e-5}});
    TChartSeriesList shared{&a, &b};
    EXPECT_EQ(ChartDataText(shared, "\t", "# test", true), "# test\r\n1\t0.5\t0.333333333\r\n2\t0.3\t2E-5");
    EXPECT_EQ(ChartDataText(shared, "\t", "", false), "0.5\t0.333333333\r\n0.3\t2E-5");
    TChartSeriesList third{&b, &a};
    EXPECT_EQ(ChartDataText(third, " ", "", false), "0.333333333333333 0.5\r\n2E-5 0.3");

    // Different lengths: each series brings its own x, the shorter is padded.
    TChartSeries longer = Series({{1, 10}, {2, 20}});
    TChartSeries shorter = Series({{1, 0.1}});
    TChartSeriesList padded{&longer, &shorter};
    EXPECT_EQ(ChartDataText(padded, ",", "", true), "1,10,1,0.1\r\n2,20,0,0");
    EXPECT_EQ(ChartDataText(padded, ",", "", false), ",10,0.1\r\n,20,0");
    TChartSeriesList reversed{&shorter, &longer};
    EXPECT_EQ(ChartDataText(reversed, ",", "", true), "1,0.1,1,10\r\n0,0,2,20");
    EXPECT_EQ(ChartDataText(reversed, ",", "", false), ",0.1,10\r\n,0,20");

    // The same x values but not at the same index are no shared x either.
    TChartSeries other = Series({{2, 7}, {1, 8}});
    TChartSeriesList unshared{&longer, &other};
    EXPECT_EQ(ChartDataText(unshared, ";", "", true), "1;10;2;7\r\n2;20;1;8");
}

TEST(SimpleChart, SavesAndCopiesTheExport)
{
    qvt::test::TempDir dir;
    TSimpleChart chart;
    EXPECT_FALSE(chart.SaveDataToFile(dir.Path() + "none.txt", "\t", true, ""));
    EXPECT_FALSE(QFile::exists(dir.Path() + "none.txt"));

    TChartSeries s = Series({{1, 2}, {3, 4.5}});
    chart.AddSeries(&s);
    ASSERT_TRUE(chart.SaveDataToFile(dir.Path() + "data.txt", "\t", true, QString::fromUtf8("# x/µm")));
    EXPECT_EQ(dir.ReadFile("data.txt"), QByteArray("# x/\xB5m\r\n1\t2\r\n3\t4.5"));

    chart.CopyDataToClipboard(",", "", false);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "2\r\n4.5");

    // A full disk: the export fails and the file saved before stays whole.
    const QString path = dir.Path() + "data.txt";
    TChartSeries more = Series({{5, 6}});
    chart.AddSeries(&more);
    {
        const qvt::test::FullDisk full([path](const QString& written) { return written == path; });
        EXPECT_FALSE(chart.SaveDataToFile(path, "\t", true, ""));
    }
    EXPECT_EQ(dir.ReadFile("data.txt"), QByteArray("# x/\xB5m\r\n1\t2\r\n3\t4.5"));
    EXPECT_TRUE(qvt::test::HiddenFiles(dir.Path()).isEmpty()) << "a temporary file was left";
}

TEST(KeepOnScreen, AWindowMovedOntoTheScreenKeepsItsStoredPlace)
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    ASSERT_NE(screen, nullptr);
    const QRect area = screen->availableGeometry();
    qvt::test::TempDir dir;
    const QPoint stored(area.right() + 900, area.bottom() + 700);
    TQVTIniFile ini(dir.WriteFile(
        "places.ini",
        QString("[Tool]\r\nFormPosLeft=%1\r\nFormPosTop=%2\r\n").arg(stored.x()).arg(stored.y()).toLatin1()));
    TKeepOnScreen keep;
    qApp->installEventFilter(&keep);
    QWidget window;
    window.resize(200, 100);
    window.move(stored);
    window.show();
    qvt::test::PumpUntil([&] { return area.contains(window.frameGeometry()); }, 5000);
    qApp->removeEventFilter(&keep);
    ASSERT_TRUE(area.contains(window.frameGeometry()));
    // The window's exit writes where it stands: the screen's place, not the operator's.
    ini.WriteInteger("Tool", "FormPosLeft", window.x());
    ini.WriteInteger("Tool", "FormPosTop", window.y());
    EXPECT_EQ(ini.ReadInteger("Tool", "FormPosLeft", 0), stored.x());
    EXPECT_EQ(ini.ReadInteger("Tool", "FormPosTop", 0), stored.y());
    // Moved by the operator, it is kept.
    window.move(area.topLeft() + QPoint(7, 9));
    ini.WriteInteger("Tool", "FormPosLeft", window.x());
    ini.WriteInteger("Tool", "FormPosTop", window.y());
    EXPECT_EQ(ini.ReadInteger("Tool", "FormPosLeft", 0), area.left() + 7);
    EXPECT_EQ(ini.ReadInteger("Tool", "FormPosTop", 0), area.top() + 9);
}

TEST(SimpleChart, WarnsAboutNonPositiveValuesOnLogAxes)
{
    ScriptedMessageResponder responder;
    TSimpleChart chart;
    TChartSeries s = Series({{1, 0}, {10, 5}});
    chart.AddSeries(&s);

    // A zero y: one warning, then the chart is drawn linear.
    chart.YAxis.LinLog = atLog;
    chart.RenderPicture();
    chart.RenderPicture();
    QCoreApplication::processEvents();
    ASSERT_EQ(responder.Texts().size(), 1);
    EXPECT_EQ(responder.LastText(), "Please make shure all y-values are strictly positive\rfor logarithmic scale!");
    EXPECT_EQ(chart.YAxis.LinLog, atLin);
    EXPECT_DOUBLE_EQ(chart.YAxis.Max, 5.25);

    // A negative x: the warning, no scaling, and not again on every repaint.
    responder.Clear();
    TChartSeries negative = Series({{-1, 1}, {10, 5}});
    chart.SeriesList = {&negative};
    chart.XAxis.LinLog = atLog;
    chart.XAxis.Min = -7;
    chart.RenderPicture();
    chart.RenderPicture();
    QCoreApplication::processEvents();
    ASSERT_EQ(responder.Texts().size(), 1);
    EXPECT_EQ(responder.LastText(), "Please make shure all x-values are strictly positive\rfor logarithmic scale!");
    EXPECT_EQ(chart.XAxis.Min, -7.0);
}

TEST(SimpleChart, PaintsEveryStyleOffscreen)
{
    ScriptedMessageResponder responder;
    TSimpleChart chart;
    EXPECT_EQ(chart.width(), 300);
    EXPECT_EQ(chart.height(), 200);
    chart.Title.Visible = true;
    chart.XAxis.LinLog = atLog;

    TChartSeries line = Series({{1, -2}, {10, 3}, {100, 1}});
    line.Color = Qt::red;
    line.Width = 2;
    TChartSeries cross = Series({{2, 0}, {20, 1}});
    cross.Style = ssCross;
    TChartSeries dots = Series({{5, 2}});
    dots.Style = ssPoint;
    chart.AddSeries(&line);
    chart.AddSeries(&cross);
    chart.AddSeries(&dots);

    const QImage shown = chart.grab().toImage();
    EXPECT_EQ(shown.size(), QSize(300, 200));
    const QImage& picture = chart.Picture();
    ASSERT_FALSE(picture.isNull());
    const TPlotRect plot = chart.PlotRect();
    EXPECT_LT(plot.Left, plot.Right);
    EXPECT_LT(plot.Top, plot.Bottom);
    EXPECT_EQ(picture.pixelColor(plot.Left, (plot.Top + plot.Bottom) / 2), QColor(Qt::black));
    const QPoint dot(chart.XToPixel(5), chart.YToPixel(2));
    EXPECT_EQ(picture.pixelColor(dot), QColor(Qt::black));
    EXPECT_TRUE(responder.Texts().isEmpty());

    // Fixed ranges that cut the line, and an empty chart, draw as well.
    chart.XAxis.AutoScale = false;
    chart.XAxis.Min = 0.5;
    chart.XAxis.Max = 1.5;
    chart.YAxis.AutoScale = false;
    chart.YAxis.Min = 0;
    chart.YAxis.Max = 2;
    EXPECT_FALSE(chart.RenderPicture().isNull());
    chart.SeriesList.clear();
    EXPECT_FALSE(chart.RenderPicture().isNull());
    chart.CopyToClipboard();
}

TEST(SimpleChart, TickLabelsReadRightAtEveryScale)
{
    // A value a hair below a whole one is that whole one, not 1000 of the prefix below.
    EXPECT_EQ(FormatSIValue(0.99999999), "1 ");
    EXPECT_EQ(FormatSIValueDigits(4, 0.99999999), "1 ");
    EXPECT_EQ(FormatSIValue(-0.99999999e-6), QString::fromUtf8("-1µ"));
    EXPECT_EQ(FormatSIValue(999.4), "999.4 ");
    // An axis in nm counts in nm: 0.1 nm is "0.1", not "100m" (milli-nanometres).
    EXPECT_TRUE(UnitHasPrefix("nm"));
    EXPECT_TRUE(UnitHasPrefix(QString::fromUtf8("µs")));
    EXPECT_TRUE(UnitHasPrefix("kHz"));
    EXPECT_FALSE(UnitHasPrefix("m"));
    EXPECT_FALSE(UnitHasPrefix("s"));
    EXPECT_FALSE(UnitHasPrefix("min"));
    EXPECT_FALSE(UnitHasPrefix("deg"));
    EXPECT_EQ(TickLabel({0.0, 1.0, 0.1}, 0.1, false), "0.1");
    EXPECT_EQ(TickLabel({0.0, 1.0, 0.1}, -0.99999999, false), "-1");
    EXPECT_EQ(TickLabel({0.0, 1.0, 0.1}, 0.1, true), "100m");

    // The spectroscopy plot: 256 pixels over 123 µs and over 0..1 nm.
    TSimpleChart chart;
    chart.resize(256, 256);
    TChartSeries s = Series({{0.0, 0.0}, {123e-6, 1.0}});
    chart.AddSeries(&s);
    chart.XAxis.AutoScale = false;
    chart.XAxis.Min = 0.0;
    chart.XAxis.Max = 123e-6;
    chart.YAxis.AutoScale = false;
    chart.YAxis.Min = -0.02;
    chart.YAxis.Max = 1.0000000001;
    chart.RenderPicture();
    const auto check = [](const std::vector<TSimpleChart::TDrawnLabel>& labels, const char* axis) {
        ASSERT_GE(labels.size(), 2u) << axis;
        for (size_t i = 0; i < labels.size(); ++i) {
            EXPECT_FALSE(labels[i].Text.contains("1000")) << axis << " " << labels[i].Text.toStdString();
            for (size_t j = i + 1; j < labels.size(); ++j)
                EXPECT_FALSE(labels[i].Rect.intersects(labels[j].Rect))
                    << axis << ": " << labels[i].Text.toStdString() << " runs into " << labels[j].Text.toStdString();
        }
    };
    check(chart.XLabels(), "x");
    check(chart.YLabels(), "y");
    EXPECT_EQ(chart.YLabels().back().Text, "1 ");
    EXPECT_TRUE(chart.XLabels().front().Text == "0");
}
