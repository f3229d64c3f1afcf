#pragma once
// What the spectroscopy window does with a finished curve, apart from the
// window: the straight-line fit over a part of the plot, the slope as the
// cantilever sensitivity, the numbered file names, the text file with its
// 15-character numbers and the clipboard text.

#include "spectro/SpektAcquire.h"
#include "spectro/SpektExcitation.h"

#include <QPoint>
#include <QString>

#include <array>
#include <optional>

namespace qvt {

constexpr int SpektPlotWidth = 255; // pixels the plot's x scale spans
inline constexpr const char* SpektTooFewMessage = "Too few Datapoints!";
inline constexpr const char* SpektFitPreviewMessage = "The plot shows a preview, not a measured curve: nothing to fit.";

struct TSpektFit {
    bool Valid = false; // false: too few points or no slope to be had (all x equal)
    int N = 0;
    double Slope = 0.0;
    double Intercept = 0.0;
    double A = 0.0, B = 0.0; // the pixel range fitted
    QPoint Start, End;       // line ends in plot pixels, over the range fitted
};
// Least squares of column y on column x over the points whose pixel lies in
// StartFit..StopFit of the plot width (swapped when reversed; under 10
// pixels the left 30 % of the plot).
TSpektFit FitSpektLine(const TSpektData& data, const TSpektPlot& plot, int xColumn, int yColumn, double startFit,
                       double stopFit);
// The slope of a line dragged between two plot pixels; empty when the x
// pixels are equal or the y scale is 0.
std::optional<double> DraggedSlope(const TSpektPlot& plot, QPoint start, QPoint end);

// slope × SI(y unit) / SI(x unit); empty for no slope (0, inf, NaN).
std::optional<double> SensitivityFromSlope(double slope, const QString& yUnit, const QString& xUnit);
// What is kept and written in feedback mode `mode`: contact mode (3) the
// value, the dynamic modes (4 and above) its magnitude, which is what the
// resonance tool checks for on the next start; other modes nothing.
struct TSensitivityStore {
    bool ContactMode = false;
    bool Dynamic = false;
    double Value = 0.0;
};
TSensitivityStore SensitivityToStore(int feedbackMode, double value);

// B + k (at least four digits, k at most 9999) + "." + ext with numbering,
// else B + "." + ext; NextNumber goes on by one.
struct TSpektFileName {
    QString Name;
    int NextNumber = 0;
};
TSpektFileName SpektFileName(const QString& base, const QString& ext, bool numbered, int nextNumber);

// Blank or "-", d.dddddd, "E", sign, four exponent digits: 15 characters.
QString FormatE15(double value);

struct TSpektFileSpec {
    bool Comment = false;
    QString CommentText;
    bool AllData = true; // [SpektOpt] yAxisAll
    bool Header = false;
    bool XAxis = false;
    QString Delimiter;
    int Points = 0;
    int CountCh = 1;
    bool ZNoise = false; // column 7 (frequency) stands for column 0
    std::array<QString, 4> ChannelLabels;
    // Visible data: the plotted columns, their labels and the rows in view.
    int XColumn = 0, YColumn = 3;
    QString XLabel, YLabel;
    int First = 0, Last = -1;
};
// Lines end CR LF.
QString SpektFileText(const TSpektData& data, const TSpektFileSpec& fileFormat);
// Rows 0..N−1: column 0 (7 for z-noise) and columns 1..CountCh+2, eight
// digits each, lines joined with CR LF.
QString SpektClipboardText(const TSpektData& data, int points, int countCh, bool zNoise, const QString& delimiter);

} // namespace qvt
