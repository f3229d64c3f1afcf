#pragma once
// The arithmetic of the chart control, apart from any window: the data model
// of axes and series, auto-scaling, value/pixel mapping, tick steps and
// labels, segment clipping and the delimited text export.

#include <QColor>
#include <QFont>
#include <QList>
#include <QString>

#include <vector>

namespace qvt {

enum TAxisLinLog { atLin, atLog };
enum TSeriesStyle { ssLine, ssCross, ssPoint };

struct TChartPoint {
    double x = 0.0;
    double y = 0.0;
};

// Ascending x, for SortByX.
bool CompareChartPoints(const TChartPoint& a, const TChartPoint& b);

struct TChartTitle {
    QString Text;
    QFont Font;
    bool Visible = false;
};

struct TChartAxis {
    QString Text;
    QFont Font;
    bool Visible = true;
    TAxisLinLog LinLog = atLin;
    bool AutoScale = true;
    // On a logarithmic axis these are decades (decimal exponents).
    double Min = -0.5;
    double Max = 0.5;
    // Tick labels with SI prefixes; off where the axis unit carries one
    // already (nm, mV): 0.1 nm reads "0.1", not "100m".
    bool SIPrefix = true;

    // The coordinate along the axis: the value, or its log10 on a log axis.
    double AxisValue(double value) const;
};

class TChartSeries {
public:
    void AddXY(double x, double y);
    void Clear();
    int Count() const;
    const TChartPoint& Points(int i) const;

    TChartTitle Title;
    QColor Color = Qt::black;
    int Width = 1;
    bool SortByX = false;
    TSeriesStyle Style = ssLine;
    bool Visible = true;

private:
    std::vector<TChartPoint> points_;
};

// Not owning: Clear only empties the list.
using TChartSeriesList = QList<TChartSeries*>;

// Index of the first visible series with at least one point, or -1.
int ReferenceSeries(const TChartSeriesList& list);

// Any point of a visible series with x (or y) <= 0.
bool VisibleSeriesHaveNonPositiveX(const TChartSeriesList& list);
bool VisibleSeriesHaveNonPositiveY(const TChartSeriesList& list);

// Sets Min/Max of every auto-scaled axis from the data; needs a reference series.
void AutoScaleAxes(TChartAxis& xAxis, TChartAxis& yAxis, const TChartSeriesList& list);

struct TPlotRect {
    int Left = 0;
    int Top = 0;
    int Right = 0;
    int Bottom = 0;
};

// Plot rectangle inside the client rectangle; labelW/labelH are the size of
// the widest tick label, the text heights those of the visible captions.
TPlotRect CalcPlotRect(const TPlotRect& client, int labelW, int labelH, bool titleVisible, int titleH, bool xVisible,
                       int xTextH, bool yVisible, int yTextH);

int XToPixel(const TChartAxis& axis, const TPlotRect& plot, double x);
int YToPixel(const TChartAxis& axis, const TPlotRect& plot, double y);
double PixelToX(const TChartAxis& axis, const TPlotRect& plot, int px);
double PixelToY(const TChartAxis& axis, const TPlotRect& plot, int py);

struct TTickStep {
    double First = 0.0;
    double Last = 0.0;
    double Step = 0.0; // 0: only the axis ends are marked
};

TTickStep CalcTickStep(double min, double max);
// Tick positions from First to Last (both ends alone when Step is 0).
std::vector<double> TickValues(const TTickStep& ticks);
// Digits argument for FormatSIValueDigits, or 0 for plain FormatSIValue.
int LabelDigits(const TTickStep& ticks);
// Labels of neighbouring ticks must not run into each other: every n-th tick
// (n of 1, 2, 5, 10, ...) is labelled, n the least that leaves room for a
// label of `labelExtent` pixels when ticks lie `pixelsPerStep` apart.
int LabelEvery(double pixelsPerStep, int labelExtent);
// Whether the tick at `value` carries a label (a round multiple of n steps).
bool TickLabelled(const TTickStep& ticks, double value, int every);
// Label text of a linear tick; without prefix the plain number.
QString TickLabel(const TTickStep& ticks, double value, bool siPrefix = true);
// A unit that begins with an SI prefix ("nm", "mV", "kHz"; not "m", "min").
bool UnitHasPrefix(const QString& unit);
// Label of a decade boundary on a log axis: "10^" + exponent.
QString DecadeLabel(double exponent);

QString FormatSIValue(double v);
QString FormatSIValueDigits(int digits, double v);

// A fixed axis limits its coordinate to [Min, Max]; an auto-scaled one accepts all.
bool PointInRange(const TChartAxis& xAxis, const TChartAxis& yAxis, const TChartPoint& p);
// Clips the segment a-b to the fixed axis ranges; false when nothing is left.
bool ClipSegment(const TChartAxis& xAxis, const TChartAxis& yAxis, TChartPoint& a, TChartPoint& b);

// General number form with the given significant digits, "." always,
// exponent as "1E-5" / "1.5E20".
QString GeneralFloatText(double v, int significant);

// Delimited text of the series, lines joined with CR LF; empty without series.
QString ChartDataText(const TChartSeriesList& list, const QString& separator, const QString& header, bool withX);

} // namespace qvt
