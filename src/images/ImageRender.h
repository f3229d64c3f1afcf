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
    // The repaint of a running scan: draws from the frame's first line to the
    // line just finished. False when both are the same line (nothing drawn).
    bool DrawNewLines(const TImageMatrix& matrix, int line, int frameFirstLine);
    // Whole-picture ranges and plane, the cross-section lines for display
    // line `showLine`, then everything redrawn.
    void RecalcPictureRange(const TImageMatrix& matrix, int showLine);

    const TIndexedBitmap& Bitmap() const { return bitmap_; }
    // For a picture moved into another frame by its window.
    TIndexedBitmap& EditBitmap() { return bitmap_; }

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
    void EnsureSize(int rows, int cols);
    // Levelled values w of line y (1-based) into `out`, the raw ones into raw_;
    // slope mode 1 keeps the line's slope.
    void LevelLine(const TImageMatrix& matrix, int line, double* out);
    void FillCrossSections(const TImageMatrix& matrix, double lo);

    TIndexedBitmap bitmap_;
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
    std::array<std::vector<double>, 3> cross_;
    double crossMin_ = 0.0;
    double crossMax_ = 0.0;
    QString lineText_;

    // Scratch of one line, sized with the picture.
    std::vector<int32_t> raw_;
    std::vector<double> level_;
    std::vector<double> scratch_;
    std::vector<int32_t> median_;
    std::vector<uint16_t> counts_; // a line has at most 2048 readings
    std::vector<uint16_t> counts2_;
};

} // namespace qvt
