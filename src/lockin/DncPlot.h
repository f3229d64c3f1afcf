#pragma once
// What the resonance window shows and how the mouse on it is read, apart from
// the widgets: the display scale, rows and columns of the 256 × 256 picture,
// the peak and the −3 dB width, click versus drag, the status texts, the
// frequency texts with their unit letters, the range menu's recent items and
// the history colours; and the drawing of the picture itself into an image.

#include <QColor>
#include <QImage>
#include <QPolygon>
#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace qvt {

class TDncCurves;

constexpr int DncImageSize = 256;
constexpr int DncStripHeight = 4;
constexpr int DncClickRadius = 4; // a release this close to the press is a click
constexpr int DncColorCount = 15;

// s = 255 / (max − min) over points 0..n of the newest curve, 1.0 when flat;
// o = min, and min is 0 unless ShowX.
struct TDncScale {
    double Scale = 1.0;
    double Offset = 0.0;
};
TDncScale DncDisplayScale(const std::vector<double>& newest, int dataPoints, bool showX);
// Row of a value: 255 − round((v − o) × s).
int DncRow(double value, const TDncScale& scale);
// The value at a clicked row: (256 − row) / s + o.
double DncValueAtRow(int row, const TDncScale& scale);
// Row of a phase in millidegrees: 128 − round(p × 127.5 / 180000).
int DncPhaseRow(double milliDeg);
// A phase that steps by more than half a turn between two points has wrapped
// at ±180°: the trace is broken there instead of drawn as a bar across the plot.
inline constexpr double DncPhaseWrapMilliDeg = 180000.0;
// The phase trace of points 1..n as polylines, split at each wrap.
std::vector<QPolygon> DncPhasePieces(const std::vector<double>& phase, int n, int shift);
inline int DncColumn(int point, int pointShift)
{
    return point >> pointShift;
}
// Frequency under a column: x × 2^shift × step + start.
double DncFrequencyAtColumn(int x, int pointShift, double step, double start);

// Index of the maximum of the newest curve over 1..n−1 (the first point of a
// sweep is left out), with the low-edge rule when the maximum sits at the
// start: behind the first point that falls below a tenth (a twentieth, ...)
// of point 1 the highest point counts. EdgeIndex/EdgeValue tell the crossing.
struct TDncPeak {
    int Index = 1;
    int EdgeIndex = 0;
    double EdgeValue = 0.0;
};
TDncPeak FindPeakIndex(const std::vector<double>& newest, int dataPoints);

// The −3 dB walk from the peak: l and r are the last points above peak/√2.
// Q = peak frequency / ((r − l) × step); none when l = r.
struct TDncHalfPower {
    int Left = 0;
    int Right = 0;
    std::optional<double> Q;
};
TDncHalfPower DncHalfPower(const std::vector<double>& newest, int dataPoints, int peak, double peakFrequency,
                           double step);

// A release within 4 pixels of the press is a click; else a drag.
inline bool DncIsClick(int pressX, int releaseX)
{
    return std::abs(releaseX - pressX) <= DncClickRadius;
}
// The range a drag selects, low to high whichever way it went.
struct TDncRange {
    double Start = 0.0;
    double Stop = 0.0;
};
TDncRange DncDragRange(int pressX, int releaseX, int pointShift, double step, double start);

// Status panel 1 under the mouse: "f: " + frequency + "  " + value with unit;
// with a Z scale " ~ " and the Z value; with the phase "  " + degrees + "°".
struct TDncStatusInput {
    int X = 0;
    int Y = 0;
    int PointShift = 0;
    double Step = 0.0;
    double Start = 0.0;
    TDncScale Scale;
    QString Unit;
    double ScaleY = 0.0;
    QString ZUnit;
    bool ShowPhase = false;
};
QString DncMouseStatus(const TDncStatusInput& in);

// ---- frequency texts --------------------------------------------------------------

// The unit Tag: −1 mHz, 0 Hz, 1 kHz, 2 MHz.
double DncUnitFactor(int tag);
QString DncUnitLabel(int tag);
int DncNextUnitTag(int tag); // 2 wraps to −1
// A frequency in the unit of `tag` as the three edits show it.
QString DncFrequencyText(double hz, int tag);
// An edit's text: a unit letter ("k", "m", "M") sets the tag and is removed;
// the rest is the number. False when it does not parse (the tag may still change).
bool ParseDncFrequency(const QString& text, int& tag, double& hz);
// The refusal of a sweep that leaves the oscillator's range.
QString DncFrequencyRangeText(bool type29);

// ---- range menu ------------------------------------------------------------------------

// start + "-" + stop, general with 4 digits.
QString DncRangeText(double start, double stop);
// Item 0 is the preset, items 1..3 the recent ranges, 3 the newest.
class TDncRecentRanges {
public:
    std::array<QString, 4> Items{"20k-400k", "20k-400k", "20k-400k", "20k-400k"};
    // A range already listed moves to position 3; a new one enters at 3, the oldest leaves.
    void Add(const QString& range);
    // "&" removed.
    static QString Plain(const QString& caption);
};
// The halves of a range item; false without "-".
bool SplitDncRange(const QString& caption, QString& start, QString& stop);

// ---- colours and drawing -------------------------------------------------------------

// Defaults of Color0..Color14 (0x00BBGGRR).
extern const std::array<uint32_t, DncColorCount> DncDefaultColors;
QColor DncColorFromBgr(uint32_t bgr);
// Curve k uses colour k, curves 15 and above colour 14.
inline int DncColorIndex(int k)
{
    return k < DncColorCount ? k : DncColorCount - 1;
}

struct TDncDrawOptions {
    bool ShowPhaseTrace = false; // the repeat button was up, and ShowPhase is on
    bool ShowX = false;
    bool Vector = true; // lines, else single pixels
    int PointShift = 0;
    std::array<QColor, DncColorCount> Colors;
    // The fitted curve (points 0..n−1), drawn under the history when set.
    const std::vector<double>* FitCurve = nullptr;
    QColor FitColor = Qt::black;
    int FitWidth = 1;
    // The newest curve and the phase end at this point (a sweep that ended
    // early); −1: they hold every point.
    int Measured = -1;
};
// The spectrum bitmap: white, phase trace, zero line, history oldest first.
// Returns the display scale it drew with (nothing drawn: none).
std::optional<TDncScale> DrawDncSpectrum(QImage& image, const TDncCurves& curves, const TDncDrawOptions& options);

struct TDncMarks {
    double OperatingFrequency = 0.0;
    double SweepStart = 0.0;
    double Step = 0.0;
    int PointShift = 0;
    int DataPoints = 0;
    std::optional<int> SetpointRow; // the cross, when the mode has one
};
// The 4-pixel strip: red operating mark and the black −3 dB bar; the Q
// estimate of the bar. Returns the half-power walk (for the status text).
TDncHalfPower DrawDncStrip(QImage& strip, const TDncCurves& curves, const TDncMarks& marks);
// The silver line and red cross of the setpoint at the operating column.
void DrawDncSetpointCross(QImage& image, const TDncMarks& marks);

} // namespace qvt
