#pragma once
// The arithmetic of an image window: raw readings of one channel become
// display indexes 0..250 with the chosen contrast (gain) and background-slope
// removal; whole-picture ranges, cross-section data and the range texts come
// with it. Needs no window: the image window shows what this computes.
//
// Lines and columns are counted from 1 in the formulas (x = 1..columns,
// y = 1..rows), as the least-squares fits define them.

#include "images/ColorPalette.h"
#include "scan/ImageBuffers.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace qvt {

class TIOScale;

enum TGainMode : int {
    GainEveryLine = 0,
    GainLastPicture = 1,
    GainCurrentPicture = 2,
    GainManual = 3,
};
enum TSlopeMode : int {
    SlopeNone = 0,
    SlopeEveryLine = 1,
    SlopeLastPicture = 2,
    SlopeCurrentPicture = 3,
};
enum TCrossSectionMode : int {
    CrossSectionNone = 0,
    CrossSectionLast = 1,
    CrossSectionLastThree = 2,
};

// ---- least squares ------------------------------------------------------------------

// Slope of `count` values against x = 1..count; 0 for fewer than two values.
double LineSlope(const int32_t* values, int count);
// Plane over lines a..b (1-based, inclusive) of the matrix: X is the mean of
// the lines' own slopes, Y the mean of the columns' slopes over those lines.
// A direction with fewer than two points has slope 0.
TPlaneSlopes FitPlane(const TImageMatrix& matrix, int firstLine, int lastLine);

// ---- display indexes ----------------------------------------------------------------

// Round() for |value| < 2^51 without a library call, so pixel loops stay
// branch-free: adding and taking away 1.5·2^52 rounds the way the FPU rounds,
// half to even in the default mode, exactly as nearbyint does.
inline double RoundInPixelLoop(double value)
{
    constexpr double roundingBias = 6755399441055744.0;
    return (value + roundingBias) - roundingBias;
}

// round((w − lo) × factor), limited to 0..250; a value that is no number gives 0.
inline uint8_t DisplayIndex(double w, double lo, double factor)
{
    double t = (w - lo) * factor;
    t = t > 0.0 ? t : 0.0;
    t = t < MaxDataIndex ? t : MaxDataIndex;
    return static_cast<uint8_t>(static_cast<int>(RoundInPixelLoop(t)));
}
// DisplayIndex of `count` values into `out`.
void DisplayIndexes(const double* w, int count, double lo, double factor, uint8_t* out);

// An 8-bit indexed picture, row 0 at the top; rows padded to a multiple of
// four bytes, the layout of a bitmap scan line.
class TIndexedBitmap {
public:
    TIndexedBitmap() = default;
    TIndexedBitmap(int width, int height, uint8_t fill);

    int Width() const { return width_; }
    int Height() const { return height_; }
    int Stride() const { return stride_; }
    uint8_t* Row(int row) { return pixels_.data() + static_cast<std::size_t>(row) * stride_; }
    const uint8_t* Row(int row) const { return pixels_.data() + static_cast<std::size_t>(row) * stride_; }
    uint8_t* Bits() { return pixels_.data(); }
    const uint8_t* Bits() const { return pixels_.data(); }
    uint8_t At(int col, int row) const { return Row(row)[col]; }

    // A new size, the old picture stretched into it (nearest pixel).
    void StretchTo(int width, int height);

    static int StrideOf(int width) { return (width + 3) / 4 * 4; }

private:
    int width_ = 0;
    int height_ = 0;
    int stride_ = 0;
    std::vector<uint8_t> pixels_;
};

// The bitmap as an 8-bit bitmap file: 14-byte file header, 40-byte
// information header, 256 palette entries, rows from the bottom up. The size
// field is the true file size, 1078 + stride × rows.
QByteArray BitmapFileImage(const TIndexedBitmap& bitmap, const TColorTable& table);

// Where the scan-line marker of line `line` (1..rows) lies in a picture drawn
// at `top` with `height` pixels; none for a line outside the picture.
std::optional<int> ScanLineMarkerY(int line, int rows, int top, int height);

// Physical value of a raw level for the range texts: (raw + Offset) × Factor,
// or (Offset − raw) × Factor for a reversed axis; raw alone without a scale.
double RangeTextValue(double raw, const TIOScale* scale);

// ---- the renderer of one image window -----------------------------------------------------

class TImageRenderer {
public:
    TImageRenderer(int rows = 256, int cols = 256);

    // Mode bytes of the window (settings SlopeGain, SlopeSlop, CrossSec).
    int GainMode = GainEveryLine;
    int SlopeMode = SlopeNone;
    int CrossSecMode = CrossSectionNone;
    // Manual contrast in raw digits of the channel.
    int32_t ManualOffset = 0;
    int32_t ManualRange = 0;
    // The channel's scale (not owned); null for a buffer without one.
    const TIOScale* Scale = nullptr;

    // Large pictures are drawn by up to one thread per core; this sets a
    // lower limit for every renderer (0: one per core).
    static void LimitDrawThreads(int threads);

    // Gain and slope bytes outside their range become 0.
    void ValidateModes();

    // Manual values in physical units: set divides by the factor, limits to
    // ±2147483647 and rounds (a value that is no number stores 0); get
    // multiplies back (raw alone without a scale).
    void SetManualOffset(double value);
    double GetManualOffset() const;
    void SetManualRange(double value);
    double GetManualRange() const;
    // Manual contrast from the whole-picture ranges of the current slope mode.
    void InitManualRange();

    // A bitmap of rows × cols, the old picture stretched into it.
    void ResizeImage(int rows, int cols);

    // Renders lines a..b (1-based, inclusive, cut to the matrix) into the bitmap.
    void DrawLines(const TImageMatrix& matrix, int firstLine, int lastLine);
    // The repaint of a running scan: the picture from the frame's first line
    // to the line just finished, as DrawLines over them would leave it. Of a
    // frame drawn before, only the lines since the previous repaint (that
    // line included) are drawn, unless the plane or picture range of a
    // "Current Picture" mode moved. False when both lines are the same, or
    // when the frame has not gone on since the previous repaint (nothing drawn).
    bool DrawNewLines(const TImageMatrix& matrix, int line, int frameFirstLine);
    // Whole-picture ranges and plane, the cross-section lines for display
    // line `showLine`, then everything redrawn.
    void RecalcPictureRange(const TImageMatrix& matrix, int showLine);

    const TIndexedBitmap& Bitmap() const { return bitmap_; }
    // Changes with every change of the bitmap, and is never the same for two
    // renderers: the same number, the same picture.
    uint64_t Drawing() const { return drawing_; }
    // For a picture moved into another frame by its window; counts as a new
    // drawing, since the picture changes.
    TIndexedBitmap& EditBitmap();

    // "Line(s) a..b: Min..Max  low..high" of the last drawing.
    const QString& LineText() const { return lineText_; }
    // "Picture Min..Max  low..high" of the last whole-picture recalculation.
    QString RangeText() const;
    // "dY = … | Min = …; Max = …" of the cross-section plot.
    QString CrossSectionLabel() const;

    // Cross-section data of the last drawing: 0 current line, 1 and 2 the two
    // lines before it in scan direction; one value per column.
    const std::vector<double>& CrossSection(int i) const { return cross_[i]; }
    double CrossMin() const { return crossMin_; }
    double CrossMax() const { return crossMax_; }
    int CurrentLine() const { return currentLine_; }
    int CrossLine2() const { return crossLine2_; }
    int CrossLine3() const { return crossLine3_; }
    int Direction() const { return direction_; }

    bool FirstPass() const { return firstPass_; }
    double Factor() const { return factor_; }
    int32_t RawMin() const { return rawMin_; }
    int32_t RawMax() const { return rawMax_; }
    double PlaneMin() const { return planeMin_; }
    double PlaneMax() const { return planeMax_; }
    double LevelLow() const { return levelLow_; }
    double LevelHigh() const { return levelHigh_; }
    double PlaneSlopeX() const { return planeSX_; }
    double PlaneSlopeY() const { return planeSY_; }
    float WorkSlopeX() const { return workSX_; }
    float WorkSlopeY() const { return workSY_; }
    // Slope of line y (1-based) as last computed.
    double LineSlopeOf(int line) const { return lineSlopes_[line]; }

private:
    // Scratch of one line, one set per thread that draws.
    struct TLineScratch {
        std::vector<int32_t> raw;
        std::vector<double> level;
        std::vector<int32_t> median;
        std::vector<uint16_t> counts; // a line has at most 2048 readings
        std::vector<uint16_t> counts2;
    };
    // What the repaints of the running frame have drawn, so the next one
    // draws only the lines that came since, as long as nothing that sets
    // the levelling or the contrast of the older lines has changed.
    struct TDrawnFrame {
        bool Valid = false;
        uint64_t Matrix = 0;
        int From = 0;
        int Cur = 0;
        int Gain = 0;
        int Slope = 0;
        int32_t ManualOffset = 0;
        int32_t ManualRange = 0;
        float SX = 0.0f;
        float SY = 0.0f;
        double Lo = 0.0;
        double Hi = 0.0;
    };

    void EnsureSize(int rows, int cols);
    // Levelled values w of line y (1-based) into `out`, the raw ones into
    // `raw`; slope mode 1 keeps the line's slope.
    void LevelLine(const TImageMatrix& matrix, int line, double* out, int32_t* raw);
    void FillCrossSections(const TImageMatrix& matrix, double lo);
    // Lines a..b, of which only newA..newB are new when `drawn` (the rest
    // already show what this drawing would give them, unless the plane or
    // the picture range turn out changed, when all of a..b are drawn).
    void Draw(const TImageMatrix& matrix, int a, int b, int newA, int newB, bool drawn);
    // Every line of a..b turned into display indexes with the range lo..hi
    // and `factor` (gain modes 0 and 3 find their own per line); each
    // line's range is kept in lineLo_ / lineHi_.
    void DrawRows(const TImageMatrix& matrix, int a, int b, double lo, double hi, double factor);
    // Smallest and largest levelled value of each line a..b into lineMin_ / lineMax_.
    void LineExtremes(const TImageMatrix& matrix, int a, int b);

    TIndexedBitmap bitmap_;
    uint64_t drawing_ = 0;
    int rows_ = 0;
    int cols_ = 0;

    int32_t rawMin_ = 0;
    int32_t rawMax_ = 0;
    double planeMin_ = 0.0;
    double planeMax_ = 0.0;
    double levelLow_ = 0.0;
    double levelHigh_ = 0.0;
    double planeSX_ = 0.0;
    double planeSY_ = 0.0;
    float workSX_ = 0.0f;
    float workSY_ = 0.0f;
    double factor_ = 0.0;

    int currentLine_ = 1;
    int crossLine2_ = 2;
    int crossLine3_ = 3;
    int direction_ = 1;
    bool firstPass_ = true;

    std::vector<double> lineSlopes_; // rows + 1, index = line
    // Per line (index = line) as last drawn: the range its indexes were made
    // with, and the extremes of its levelled values.
    std::vector<double> lineLo_;
    std::vector<double> lineHi_;
    std::vector<double> lineMin_;
    std::vector<double> lineMax_;
    std::array<std::vector<double>, 3> cross_;
    double crossMin_ = 0.0;
    double crossMax_ = 0.0;
    QString lineText_;
    TDrawnFrame drawn_;

    std::vector<TLineScratch> scratch_;
};

} // namespace qvt
