#include "images/ImageRender.h"

#include "core/NumberText.h"
#include "device/ChannelTable.h"

#include <algorithm>
#include <cmath>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qvt {

namespace {

constexpr double Int32Limit = 2147483647.0;

// Rounded and cut to ±2147483647; a value that is no number gives 0.
int32_t ClampToInt32(double value)
{
    if (std::isnan(value))
        return 0;
    ClampDouble(value, Int32Limit, -Int32Limit);
    return static_cast<int32_t>(Round(value));
}

// Σ (2x − d − 1)·v over x = 1..d. Equals 2·(d·Σ x·v − Σ v·Σ x)/d, with small
// integer weights, so it is exact in 64 bits for any reading and line length.
int64_t CentredSum(const int32_t* values, int count)
{
    int64_t sum = 0;
    for (int i = 0; i < count; ++i)
        sum += static_cast<int64_t>(2 * i + 1 - count) * values[i];
    return sum;
}

// Slope from the centred sum: (d/2)·W / (d·Σx² − (Σx)²) = 6·W / (d·(d² − 1)).
double SlopeOfCentredSum(double centred, int count)
{
    if (count < 2)
        return 0.0;
    const double d = count;
    return 6.0 * centred / (d * (d * d - 1.0));
}

// Smallest and largest of count ≥ 1 values; four running pairs, so the
// comparisons do not wait on each other.
void MinMax(const double* values, int count, double& low, double& high)
{
    double lo[4] = {values[0], values[0], values[0], values[0]};
    double hi[4] = {values[0], values[0], values[0], values[0]};
    int i = 0;
    for (; i + 4 <= count; i += 4) {
        for (int k = 0; k < 4; ++k) {
            const double v = values[i + k];
            lo[k] = v < lo[k] ? v : lo[k];
            hi[k] = v > hi[k] ? v : hi[k];
        }
    }
    for (; i < count; ++i) {
        lo[0] = values[i] < lo[0] ? values[i] : lo[0];
        hi[0] = values[i] > hi[0] ? values[i] : hi[0];
    }
    low = std::min(std::min(lo[0], lo[1]), std::min(lo[2], lo[3]));
    high = std::max(std::max(hi[0], hi[1]), std::max(hi[2], hi[3]));
}

// The value of the given rank (0 = smallest) among `count` integers; the
// values are reordered. A line spans few distinct digits after levelling, so
// counting them is much quicker than partitioning; wide spreads partition.
int32_t ValueOfRank(int32_t* values, int count, int rank, std::vector<uint32_t>& counts)
{
    const auto [low, high] = std::minmax_element(values, values + count);
    const int64_t lowest = *low;
    const int64_t span = int64_t(*high) - lowest;
    if (span < 4 * int64_t(count)) {
        counts.assign(static_cast<std::size_t>(span) + 1, 0);
        for (int i = 0; i < count; ++i)
            ++counts[static_cast<std::size_t>(values[i] - lowest)];
        int64_t seen = 0;
        for (std::size_t k = 0; k < counts.size(); ++k) {
            seen += counts[k];
            if (seen > rank)
                return static_cast<int32_t>(lowest + int64_t(k));
        }
    }
    std::nth_element(values, values + rank, values + count);
    return values[rank];
}

QString UnitOf(const TIOScale* scale)
{
    return scale != nullptr ? scale->UnitName : QString();
}

// Values of the cross-section plot: (value + Offset) × Factor.
double PlotValue(double value, const TIOScale* scale)
{
    return scale != nullptr ? scale->ToPhys(value) : value;
}

void PutLE16(QByteArray& out, int offset, uint16_t value)
{
    out[offset] = static_cast<char>(value & 0xFF);
    out[offset + 1] = static_cast<char>(value >> 8);
}

void PutLE32(QByteArray& out, int offset, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out[offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

constexpr int BitmapFileHeaderSize = 14;
constexpr int BitmapInfoHeaderSize = 40;
constexpr int BitmapPixelOffset = BitmapFileHeaderSize + BitmapInfoHeaderSize + 4 * PaletteSize; // 1078
constexpr uint32_t BitmapPixelsPerMetre = 143;

} // namespace

// ---- display indexes ----------------------------------------------------------------

// With SSE2 two values at a time: the packed maximum takes 0 for a value that
// is no number, and the packed conversion rounds half to even in the default
// mode, as Round() does.
void DisplayIndexes(const double* w, int count, double lo, double factor, uint8_t* out)
{
    int i = 0;
#if defined(__SSE2__)
    const __m128d low = _mm_set1_pd(lo);
    const __m128d scale = _mm_set1_pd(factor);
    const __m128d zero = _mm_setzero_pd();
    const __m128d top = _mm_set1_pd(MaxDataIndex);
    auto four = [&](const double* p) {
        __m128d a = _mm_mul_pd(_mm_sub_pd(_mm_loadu_pd(p), low), scale);
        __m128d b = _mm_mul_pd(_mm_sub_pd(_mm_loadu_pd(p + 2), low), scale);
        a = _mm_min_pd(_mm_max_pd(a, zero), top);
        b = _mm_min_pd(_mm_max_pd(b, zero), top);
        return _mm_unpacklo_epi64(_mm_cvtpd_epi32(a), _mm_cvtpd_epi32(b)); // four int32
    };
    for (; i + 8 <= count; i += 8) {
        const __m128i words = _mm_packs_epi32(four(w + i), four(w + i + 4));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(words, words));
    }
#endif
    for (; i < count; ++i)
        out[i] = DisplayIndex(w[i], lo, factor);
}

// ---- least squares ------------------------------------------------------------------

double LineSlope(const int32_t* values, int count)
{
    if (count < 2)
        return 0.0;
    return SlopeOfCentredSum(static_cast<double>(CentredSum(values, count)), count);
}

TPlaneSlopes FitPlane(const TImageMatrix& matrix, int firstLine, int lastLine)
{
    TPlaneSlopes plane;
    const int cols = matrix.Cols();
    const int a = std::max(firstLine, 1);
    const int b = std::min(lastLine, matrix.Rows());
    if (cols < 1 || a > b)
        return plane;
    const int c = b - a + 1;
    std::vector<int32_t> row(static_cast<std::size_t>(cols));
    double centredTotal = 0.0; // Σ over lines of the centred sums along x
    double lineWeighted = 0.0; // Σ over lines of (2y − a − b)·(line sum)
    for (int y = a; y <= b; ++y) {
        matrix.CopyRow(y - 1, row.data());
        int64_t lineSum = 0;
        for (int i = 0; i < cols; ++i)
            lineSum += row[i];
        centredTotal += static_cast<double>(CentredSum(row.data(), cols));
        lineWeighted += static_cast<double>(2 * y - a - b) * static_cast<double>(lineSum);
    }
    plane.X = SlopeOfCentredSum(centredTotal, cols) / c;
    // (c/2)·Σ(2y − a − b)·R_y / (d · c²(c² − 1)/12)
    plane.Y = c < 2 ? 0.0 : 6.0 * lineWeighted / (double(cols) * c * (double(c) * c - 1.0));
    return plane;
}

// ---- bitmap -------------------------------------------------------------------------------

TIndexedBitmap::TIndexedBitmap(int width, int height, uint8_t fill)
    : width_(std::max(width, 0)), height_(std::max(height, 0)), stride_(StrideOf(width_)),
      pixels_(static_cast<std::size_t>(stride_) * height_, fill)
{
}

void TIndexedBitmap::StretchTo(int width, int height)
{
    width = std::max(width, 0);
    height = std::max(height, 0);
    if (width == width_ && height == height_)
        return;
    TIndexedBitmap stretched(width, height, 128);
    if (width_ > 0 && height_ > 0) {
        for (int r = 0; r < height; ++r) {
            const uint8_t* src = Row(static_cast<int>(int64_t(r) * height_ / height));
            uint8_t* dst = stretched.Row(r);
            for (int c = 0; c < width; ++c)
                dst[c] = src[int64_t(c) * width_ / width];
        }
    }
    *this = std::move(stretched);
}

QByteArray BitmapFileImage(const TIndexedBitmap& bitmap, const TColorTable& table)
{
    const int stride = bitmap.Stride();
    const int rows = bitmap.Height();
    const int fileSize = BitmapPixelOffset + stride * rows;
    QByteArray out(fileSize, '\0');
    out[0] = 'B';
    out[1] = 'M';
    PutLE32(out, 2, static_cast<uint32_t>(fileSize));
    // 6, 8: reserved zeros
    PutLE32(out, 10, BitmapPixelOffset);
    const int info = BitmapFileHeaderSize;
    PutLE32(out, info + 0, BitmapInfoHeaderSize);
    PutLE32(out, info + 4, static_cast<uint32_t>(bitmap.Width()));
    PutLE32(out, info + 8, static_cast<uint32_t>(rows));
    PutLE16(out, info + 12, 1); // planes
    PutLE16(out, info + 14, 8); // bits per pixel
    // 16 compression 0, 20 image size 0
    PutLE32(out, info + 24, BitmapPixelsPerMetre);
    PutLE32(out, info + 28, BitmapPixelsPerMetre);
    // 32 colours used 0, 36 important 0
    int pos = BitmapFileHeaderSize + BitmapInfoHeaderSize;
    for (const TPaletteEntry& e : table) {
        out[pos++] = static_cast<char>(e.Blue);
        out[pos++] = static_cast<char>(e.Green);
        out[pos++] = static_cast<char>(e.Red);
        out[pos++] = 0;
    }
    // A bitmap file stores the bottom line first.
    for (int r = 0; r < rows; ++r)
        std::copy_n(bitmap.Row(rows - 1 - r), stride, out.data() + BitmapPixelOffset + r * stride);
    return out;
}

std::optional<int> ScanLineMarkerY(int line, int rows, int top, int height)
{
    if (rows < 1 || line < 1 || line > rows)
        return std::nullopt;
    return top + static_cast<int>(Round(static_cast<double>(line) / rows * height));
}

double RangeTextValue(double raw, const TIOScale* scale)
{
    if (scale == nullptr)
        return raw;
    const double factor = scale->Factor.load();
    const double offset = scale->Offset.load();
    return scale->FactorNegative.load() ? (offset - raw) * factor : (raw + offset) * factor;
}

// ---- renderer -------------------------------------------------------------------------------

TImageRenderer::TImageRenderer(int rows, int cols)
{
    EnsureSize(rows, cols);
}

void TImageRenderer::ValidateModes()
{
    if (GainMode < GainEveryLine || GainMode > GainManual)
        GainMode = GainEveryLine;
    if (SlopeMode < SlopeNone || SlopeMode > SlopeCurrentPicture)
        SlopeMode = SlopeNone;
    if (CrossSecMode < CrossSectionNone || CrossSecMode > CrossSectionLastThree)
        CrossSecMode = CrossSectionNone;
}

void TImageRenderer::SetManualOffset(double value)
{
    ManualOffset = ClampToInt32(Scale != nullptr ? value / double(Scale->Factor.load()) : value);
}

double TImageRenderer::GetManualOffset() const
{
    return Scale != nullptr ? ManualOffset * double(Scale->Factor.load()) : ManualOffset;
}

void TImageRenderer::SetManualRange(double value)
{
    ManualRange = ClampToInt32(Scale != nullptr ? value / double(Scale->Factor.load()) : value);
}

double TImageRenderer::GetManualRange() const
{
    return Scale != nullptr ? ManualRange * double(Scale->Factor.load()) : ManualRange;
}

void TImageRenderer::InitManualRange()
{
    double lo = rawMin_;
    double hi = rawMax_;
    if (SlopeMode == SlopeEveryLine) {
        lo = levelLow_;
        hi = levelHigh_;
    } else if (SlopeMode == SlopeLastPicture || SlopeMode == SlopeCurrentPicture) {
        lo = planeMin_;
        hi = planeMax_;
    }
    ManualOffset = ClampToInt32((hi + lo) / 2.0);
    ManualRange = ClampToInt32((hi - lo) * 0.9);
    // Every line is centred on its own median.
    if (SlopeMode == SlopeEveryLine)
        ManualOffset = 0;
}

void TImageRenderer::ResizeImage(int rows, int cols)
{
    EnsureSize(rows, cols);
}

void TImageRenderer::EnsureSize(int rows, int cols)
{
    rows = std::max(rows, 1);
    cols = std::max(cols, 1);
    if (rows == rows_ && cols == cols_)
        return;
    rows_ = rows;
    cols_ = cols;
    bitmap_.StretchTo(cols, rows);
    lineSlopes_.assign(static_cast<std::size_t>(rows) + 1, 0.0);
    for (auto& line : cross_)
        line.assign(static_cast<std::size_t>(cols), 0.0);
    raw_.assign(static_cast<std::size_t>(cols), 0);
    level_.assign(static_cast<std::size_t>(cols), 0.0);
    scratch_.assign(static_cast<std::size_t>(cols), 0.0);
    median_.assign(static_cast<std::size_t>(cols), 0);
    crossMin_ = crossMax_ = 0.0;
}

void TImageRenderer::LevelLine(const TImageMatrix& matrix, int line, double* out)
{
    const int cols = cols_;
    int32_t* raw = raw_.data();
    matrix.CopyRow(line - 1, raw);
    switch (SlopeMode) {
    case SlopeNone:
        for (int i = 0; i < cols; ++i)
            out[i] = raw[i];
        break;
    case SlopeEveryLine: {
        const double s = LineSlope(raw, cols);
        lineSlopes_[line] = s;
        for (int i = 0; i < cols; ++i)
            out[i] = raw[i] - (i + 1) * s;
        break;
    }
    default: {
        const double sx = workSX_;
        const double lineOffset = line * double(workSY_);
        for (int i = 0; i < cols; ++i)
            out[i] = raw[i] - (i + 1) * sx - lineOffset;
        break;
    }
    }
}

void TImageRenderer::FillCrossSections(const TImageMatrix& matrix, double lo)
{
    // The current line's levelled values are still in level_.
    const int lines[3] = {currentLine_, crossLine2_, crossLine3_};
    std::copy(level_.begin(), level_.end(), cross_[0].begin());
    for (int k = 1; k < 3; ++k)
        LevelLine(matrix, std::clamp(lines[k], 1, rows_), cross_[k].data());
    for (auto& line : cross_)
        for (double& w : line)
            w -= lo;
}

void TImageRenderer::DrawLines(const TImageMatrix& matrix, int firstLine, int lastLine)
{
    if (matrix.Rows() < 1 || matrix.Cols() < 1)
        return;
    // The buffer may have a new size before the window was resized; the
    // bitmap always follows the matrix it draws.
    EnsureSize(matrix.Rows(), matrix.Cols());
    const int cols = cols_;
    const int a = std::clamp(firstLine, 1, rows_);
    const int b = std::clamp(lastLine, 1, rows_);
    if (a > b)
        return;

    double lo = 0.0;
    double hi = 0.0;
    switch (SlopeMode) {
    case SlopeNone:
        lo = rawMin_;
        hi = rawMax_;
        break;
    case SlopeEveryLine:
        lo = levelLow_;
        hi = levelHigh_;
        break;
    default:
        lo = planeMin_;
        hi = planeMax_;
        break;
    }
    if (GainMode == GainManual) {
        lo = ClampToInt32(ManualOffset - ManualRange / 2.0);
        hi = ClampToInt32(ManualOffset + ManualRange / 2.0);
    }

    if (SlopeMode == SlopeCurrentPicture || (SlopeMode == SlopeLastPicture && firstPass_)) {
        const TPlaneSlopes plane = FitPlane(matrix, a, b);
        workSX_ = static_cast<float>(plane.X);
        workSY_ = static_cast<float>(plane.Y);
    } else if (SlopeMode == SlopeLastPicture) {
        workSX_ = static_cast<float>(planeSX_);
        workSY_ = static_cast<float>(planeSY_);
    }

    double* w = level_.data();
    if (GainMode == GainCurrentPicture || (GainMode == GainLastPicture && firstPass_)) {
        double low = std::numeric_limits<double>::infinity();
        double high = -std::numeric_limits<double>::infinity();
        for (int y = a; y <= b; ++y) {
            LevelLine(matrix, y, w);
            double mn = 0.0;
            double mx = 0.0;
            MinMax(w, cols, mn, mx);
            low = std::min(low, mn);
            high = std::max(high, mx);
        }
        lo = low;
        hi = high;
    }
    if (hi != lo)
        factor_ = MaxDataIndex / (hi - lo);

    const bool manualMedian = GainMode == GainManual && SlopeMode == SlopeEveryLine;
    const double manualLow = ManualOffset - ManualRange / 2.0;
    const int medianRank = std::max(cols / 2 - 1, 0);
    bool crossFilled = false;
    for (int y = a; y <= b; ++y) {
        LevelLine(matrix, y, w);
        if (GainMode == GainEveryLine) {
            MinMax(w, cols, lo, hi);
            if (hi != lo)
                factor_ = MaxDataIndex / (hi - lo);
        } else if (manualMedian) {
            // The lower median of the line's own levelling, so a tilted and
            // stepped surface keeps each line centred.
            // Limiting to 32 bits keeps the order, so the median is exact
            // for any line whose median is a reading at all.
            const double s = lineSlopes_[y];
            for (int i = 0; i < cols; ++i) {
                double v = raw_[i] - RoundInPixelLoop((i + 1) * s);
                v = v > -Int32Limit ? v : -Int32Limit;
                v = v < Int32Limit ? v : Int32Limit;
                median_[i] = static_cast<int32_t>(v);
            }
            lo = ValueOfRank(median_.data(), cols, medianRank, counts_) + manualLow;
        }
        DisplayIndexes(w, cols, lo, factor_, bitmap_.Row(y - 1));
        if (CrossSecMode == CrossSectionLastThree && y == currentLine_) {
            FillCrossSections(matrix, lo);
            crossFilled = true;
        }
    }

    if (firstPass_) {
        rawMin_ = ClampToInt32(lo);
        rawMax_ = ClampToInt32(hi);
    }

    // Only arrays filled by this drawing are turned, so a drawing that missed
    // the current line cannot flip them back.
    if (crossFilled) {
        const bool negative = Scale != nullptr && Scale->FactorNegative.load();
        crossMin_ = std::numeric_limits<double>::infinity();
        crossMax_ = -std::numeric_limits<double>::infinity();
        for (auto& line : cross_) {
            for (double& v : line) {
                if (negative)
                    v = -v;
                crossMin_ = std::min(crossMin_, v);
                crossMax_ = std::max(crossMax_, v);
            }
        }
    }

    const QString unit = UnitOf(Scale);
    lineText_ = "Line(s) " + QString::number(a) + ".." + QString::number(b) + ": Min..Max  " +
                FormatWithSIPrefix(unit, RangeTextValue(lo, Scale)) + ".." +
                FormatWithSIPrefix(unit, RangeTextValue(hi, Scale));
}

bool TImageRenderer::DrawNewLines(const TImageMatrix& matrix, int line, int frameFirstLine)
{
    const int rows = matrix.Rows();
    if (rows < 1 || matrix.Cols() < 1)
        return false;
    EnsureSize(rows, matrix.Cols());
    const int cur = std::clamp(line, 1, rows);
    const int from = std::clamp(frameFirstLine, 1, rows);
    currentLine_ = cur;
    if (cur == from)
        return false;
    if (cur < from) {
        direction_ = -1;
        crossLine2_ = std::min(cur + 1, rows);
        crossLine3_ = std::min(cur + 2, rows);
    } else {
        direction_ = 1;
        crossLine2_ = std::max(cur - 1, 1);
        crossLine3_ = std::max(cur - 2, 1);
    }
    DrawLines(matrix, std::min(from, cur), std::max(from, cur));
    return true;
}

void TImageRenderer::RecalcPictureRange(const TImageMatrix& matrix, int showLine)
{
    const int rows = matrix.Rows();
    const int cols = matrix.Cols();
    if (rows < 1 || cols < 1)
        return;
    EnsureSize(rows, cols);
    int32_t* raw = raw_.data();

    // Raw extremes, each line's own slope and the whole-picture plane.
    int32_t mn = matrix.At(0, 0);
    int32_t mx = mn;
    double slopeSum = 0.0;
    double lineWeighted = 0.0;
    for (int y = 1; y <= rows; ++y) {
        matrix.CopyRow(y - 1, raw);
        int64_t lineSum = 0;
        for (int i = 0; i < cols; ++i) {
            mn = std::min(mn, raw[i]);
            mx = std::max(mx, raw[i]);
            lineSum += raw[i];
        }
        const double s = LineSlope(raw, cols);
        lineSlopes_[y] = s;
        slopeSum += s;
        lineWeighted += static_cast<double>(2 * y - 1 - rows) * static_cast<double>(lineSum);
    }
    rawMin_ = mn;
    rawMax_ = mx;
    const double sx = slopeSum / rows;
    const double sy = rows < 2 ? 0.0 : 6.0 * lineWeighted / (double(cols) * rows * (double(rows) * rows - 1.0));
    planeSX_ = sx;
    planeSY_ = sy;

    // Plane-corrected extremes and the extremes of the line-levelled values.
    double planeLow = matrix.At(0, 0) - sx - sy;
    double planeHigh = planeLow;
    double m0 = std::numeric_limits<double>::infinity();
    double m1 = -std::numeric_limits<double>::infinity();
    double* plane = level_.data();
    double* levelled = scratch_.data();
    for (int y = 1; y <= rows; ++y) {
        matrix.CopyRow(y - 1, raw);
        const double lineOffset = y * sy;
        const double s = lineSlopes_[y];
        for (int i = 0; i < cols; ++i) {
            const double x = i + 1;
            plane[i] = raw[i] - x * sx - lineOffset;
            levelled[i] = raw[i] - x * s;
        }
        double low = 0.0;
        double high = 0.0;
        MinMax(plane, cols, low, high);
        planeLow = std::min(planeLow, low);
        planeHigh = std::max(planeHigh, high);
        MinMax(levelled, cols, low, high);
        m0 = std::min(m0, low);
        m1 = std::max(m1, high);
    }
    // Far beyond any reading: a plane gone wrong keeps the previous values.
    if (std::fabs(planeLow) < 1.07e9)
        planeMin_ = planeLow;
    if (std::fabs(planeHigh) < 1.07e9)
        planeMax_ = planeHigh;

    // Robust range of the line-levelled values: the extremes after half a
    // percent of the pixels at either end, so rare spikes do not set the contrast.
    if (m1 - m0 < 1e-7)
        m1 = m0 + 1.0;
    const double scale = 256.0 / (m1 - m0);
    std::array<int64_t, 257> histogram{};
    for (int y = 1; y <= rows; ++y) {
        matrix.CopyRow(y - 1, raw);
        const double s = lineSlopes_[y];
        for (int i = 0; i < cols; ++i) {
            double bin = scale * (raw[i] - (i + 1) * s - m0);
            bin = bin > 0.0 ? bin : 0.0;
            bin = bin < 255.0 ? bin : 255.0;
            histogram[static_cast<std::size_t>(RoundInPixelLoop(bin))]++;
        }
    }
    const double threshold = Round((rows - 1) * 0.005 * cols);
    double low = m0;
    int64_t count = 0;
    for (int i = 0; i <= 256; ++i) {
        count += histogram[i];
        if (count > threshold) {
            low = m0 + i / scale;
            break;
        }
    }
    double high = m1;
    count = 0;
    for (int k = 256; k >= 0; --k) {
        count += histogram[k];
        if (count > threshold) {
            high = m0 + k / scale;
            break;
        }
    }
    levelLow_ = low;
    levelHigh_ = high;

    if (rows / 2.0 < showLine) {
        currentLine_ = rows;
        crossLine2_ = std::max(rows - 1, 1);
        crossLine3_ = std::max(rows - 2, 1);
    } else {
        currentLine_ = 1;
        crossLine2_ = std::min(2, rows);
        crossLine3_ = std::min(3, rows);
    }

    DrawLines(matrix, 1, rows);
    // During the first frame the drawn range stands in for the picture's; from
    // here on the true extremes found above hold.
    rawMin_ = mn;
    rawMax_ = mx;
    firstPass_ = false;
}

QString TImageRenderer::RangeText() const
{
    const double lo = SlopeMode == SlopeNone ? rawMin_ : levelLow_;
    const double hi = SlopeMode == SlopeNone ? rawMax_ : levelHigh_;
    const QString unit = UnitOf(Scale);
    return "Picture Min..Max  " + FormatWithSIPrefix(unit, RangeTextValue(lo, Scale)) + ".." +
           FormatWithSIPrefix(unit, RangeTextValue(hi, Scale));
}

QString TImageRenderer::CrossSectionLabel() const
{
    const QString unit = UnitOf(Scale);
    const double low = PlotValue(crossMin_, Scale);
    const double high = PlotValue(crossMax_, Scale);
    return "dY = " + FormatWithSIPrefix(unit, std::fabs(high - low) / 5.0) + " | " +
           "Min = " + FormatWithSIPrefix(unit, low) + "; " + "Max = " + FormatWithSIPrefix(unit, high);
}

} // namespace qvt
