#include "images/ImageRender.h"

#include "core/NumberText.h"
#include "device/ChannelTable.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <limits>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qvt {

namespace {

constexpr double Int32Limit = 2147483647.0;
// The longest line whose centred sum doubles hold exactly: Σ|2x − d − 1| is
// below d²/2 = 2^21, times readings below 2^31, stays below 2^53.
constexpr int MaxExactDoubleLine = 2048;

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
    int i = 0;
    int64_t sum = 0;
#if defined(__SSE2__)
    // Up to 2048 points every weight, product and partial sum is an integer
    // below 2^53, so doubles add them exactly, in any order, two at a time.
    if (count <= MaxExactDoubleLine) {
        // Four running sums, so the additions do not wait on each other.
        __m128d acc[4] = {_mm_setzero_pd(), _mm_setzero_pd(), _mm_setzero_pd(), _mm_setzero_pd()};
        __m128d weight[4];
        for (int k = 0; k < 4; ++k)
            weight[k] = _mm_set_pd(4.0 * k + 3.0 - count, 4.0 * k + 1.0 - count);
        const __m128d step = _mm_set1_pd(16.0);
        for (; i + 8 <= count; i += 8) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(values + i));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(values + i + 4));
            const __m128d v[4] = {_mm_cvtepi32_pd(a), _mm_cvtepi32_pd(_mm_unpackhi_epi64(a, a)), _mm_cvtepi32_pd(b),
                                  _mm_cvtepi32_pd(_mm_unpackhi_epi64(b, b))};
            for (int k = 0; k < 4; ++k) {
                acc[k] = _mm_add_pd(acc[k], _mm_mul_pd(weight[k], v[k]));
                weight[k] = _mm_add_pd(weight[k], step);
            }
        }
        double lanes[2];
        _mm_storeu_pd(lanes, _mm_add_pd(_mm_add_pd(acc[0], acc[1]), _mm_add_pd(acc[2], acc[3])));
        sum = static_cast<int64_t>(lanes[0] + lanes[1]);
    }
#endif
    for (; i < count; ++i)
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

// The value of the given rank (0 = smallest) among `count` integers lying in
// low..high; the values may be reordered. A line spans few distinct digits
// after levelling, so counting them is much quicker than partitioning; wide
// spreads partition.
int32_t ValueOfRank(int32_t* values, int count, int rank, int32_t low, int32_t high, std::vector<uint16_t>& counts,
                    std::vector<uint16_t>& counts2)
{
    const int64_t lowest = low;
    const int64_t span = int64_t(high) - lowest;
    if (span < 4 * int64_t(count) && count <= 65535) {
        counts.assign(static_cast<std::size_t>(span) + 1, 0);
        uint16_t* bins = counts.data();
        // Neighbours often share a value: counting them in turns into two
        // tallies keeps one increment from waiting on the other.
        std::vector<uint16_t>& odd = counts2;
        odd.assign(counts.size(), 0);
        uint16_t* other = odd.data();
        int i = 0;
        for (; i + 2 <= count; i += 2) {
            ++bins[static_cast<uint32_t>(values[i] - low)];
            ++other[static_cast<uint32_t>(values[i + 1] - low)];
        }
        for (; i < count; ++i)
            ++bins[static_cast<uint32_t>(values[i] - low)];
        // Eight bins at a time up to the block that holds the rank.
        int64_t seen = 0;
        int64_t k = 0;
        for (; k + 8 <= span + 1; k += 8) {
            uint32_t block = 0;
            for (int j = 0; j < 8; ++j)
                block += uint32_t(bins[k + j]) + other[k + j];
            if (seen + int64_t(block) > rank)
                break;
            seen += block;
        }
        for (; k <= span; ++k) {
            seen += bins[k] + other[k];
            if (seen > rank)
                return static_cast<int32_t>(lowest + k);
        }
    }
    std::nth_element(values, values + rank, values + count);
    return values[rank];
}

// A line levelled by its own slope s: w = reading − x × s (x from 1), as
// the drawing uses it, and the median candidates reading − round(x × s),
// limited to 32 bits, which keeps their order, so the median is exact for
// any line whose median is a reading at all. Returns the candidates'
// smallest and largest, found on the way (branch-free: the readings are
// noisy, so a comparing search would mispredict half the time).
std::pair<int32_t, int32_t> LevelByLineSlope(const int32_t* raw, int count, double s, double* w, int32_t* out)
{
    constexpr double limit = Int32Limit;
    int i = 0;
    double low = limit;
    double high = -limit;
#if defined(__SSE2__)
    const __m128d top = _mm_set1_pd(limit);
    const __m128d bottom = _mm_set1_pd(-limit);
    const __m128d bias = _mm_set1_pd(6755399441055744.0); // see RoundInPixelLoop
    const __m128d slope = _mm_set1_pd(s);
    const __m128d eight = _mm_set1_pd(8.0);
    // Four running pairs of extremes, so the comparisons do not wait on each other.
    __m128d lows[4] = {top, top, top, top};
    __m128d highs[4] = {bottom, bottom, bottom, bottom};
    __m128d xs4[4] = {_mm_set_pd(2.0, 1.0), _mm_set_pd(4.0, 3.0), _mm_set_pd(6.0, 5.0), _mm_set_pd(8.0, 7.0)};
    for (; i + 8 <= count; i += 8) {
        for (int k = 0; k < 4; ++k) {
            const int at = i + 2 * k;
            const __m128d xs = _mm_mul_pd(xs4[k], slope); // the product the scalar form takes
            const __m128d readings = _mm_cvtepi32_pd(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(raw + at)));
            _mm_storeu_pd(w + at, _mm_sub_pd(readings, xs));
            // Limited to 32 bits below, only when some value is beyond them.
            const __m128d v = _mm_sub_pd(readings, _mm_sub_pd(_mm_add_pd(xs, bias), bias));
            lows[k] = _mm_min_pd(lows[k], v);
            highs[k] = _mm_max_pd(highs[k], v);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out + at), _mm_cvttpd_epi32(v));
            xs4[k] = _mm_add_pd(xs4[k], eight);
        }
    }
    const __m128d low0 = _mm_min_pd(lows[0], lows[1]);
    const __m128d low1 = _mm_min_pd(lows[2], lows[3]);
    const __m128d high0 = _mm_max_pd(highs[0], highs[1]);
    const __m128d high1 = _mm_max_pd(highs[2], highs[3]);
    double lanes[2];
    _mm_storeu_pd(lanes, _mm_min_pd(low0, low1));
    low = std::min(lanes[0], lanes[1]);
    _mm_storeu_pd(lanes, _mm_max_pd(high0, high1));
    high = std::max(lanes[0], lanes[1]);
    // A slope beyond all readings (or one that is no number): the vector
    // pass cannot stand, the exact one below takes the whole line.
    if (!(low >= -limit && high <= limit)) {
        i = 0;
        low = limit;
        high = -limit;
    }
#endif
    for (; i < count; ++i) {
        const double xs = (i + 1) * s;
        w[i] = raw[i] - xs;
        double v = raw[i] - RoundInPixelLoop(xs);
        v = v > -limit ? v : -limit;
        v = v < limit ? v : limit;
        low = v < low ? v : low;
        high = v > high ? v : high;
        out[i] = static_cast<int32_t>(v);
    }
    return {static_cast<int32_t>(low), static_cast<int32_t>(high)};
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

// ---- lines in parallel ------------------------------------------------------------------

namespace {

// A block of lines is worth a helper from this many pixels on: waking one
// costs some microseconds, a pixel a few nanoseconds.
constexpr int64_t PixelsPerThread = 64 * 1024;
constexpr int MaxLineBlocks = 8;

std::atomic<int> drawThreadLimit{0};

// Numbers drawings across all renderers, so no two pictures share one.
uint64_t NextDrawing()
{
    static std::atomic<uint64_t> last{0};
    return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

// How many blocks lines × cols pixels are drawn in.
int LineBlocks(int lines, int cols)
{
    static const int cores = std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 1, MaxLineBlocks);
    const int limit = drawThreadLimit.load(std::memory_order_relaxed);
    const int threads = limit > 0 ? std::min(limit, cores) : cores;
    const int64_t blocks = int64_t(std::max(lines, 0)) * std::max(cols, 0) / PixelsPerThread;
    return static_cast<int>(std::clamp<int64_t>(blocks, 1, std::min(threads, std::max(lines, 1))));
}

// Helpers that stay parked between drawings: a thread woken from a wait is
// scheduled at once, where a new one would queue behind a busy machine's
// other work. The caller takes blocks itself as well, so a drawing never waits
// for a helper that has not started; it returns only once every block it
// handed out is done.
class TLineHelpers {
public:
    static TLineHelpers& Instance()
    {
        static TLineHelpers helpers;
        return helpers;
    }

    // job(k) for k = 0..count−1, in this thread and the helpers; false when
    // another drawing has the helpers (then nothing was run).
    bool Run(int count, const std::function<void(int)>& job)
    {
        std::unique_lock caller(callerMutex_, std::try_to_lock);
        if (!caller.owns_lock())
            return false;
        std::unique_lock lock(mutex_);
        Start(count - 1);
        job_ = &job;
        count_ = count;
        next_ = 0;
        wake_.notify_all();
        while (next_ < count_) {
            const int k = next_++;
            ++active_;
            lock.unlock();
            job(k);
            lock.lock();
            --active_;
        }
        done_.wait(lock, [this] { return active_ == 0; });
        job_ = nullptr;
        return true;
    }

    ~TLineHelpers()
    {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (std::thread& t : threads_)
            t.join();
    }

private:
    TLineHelpers() = default;

    // Up to `wanted` helpers, made at their first use.
    void Start(int wanted)
    {
        while (static_cast<int>(threads_.size()) < wanted) {
            try {
                threads_.emplace_back([this] { Serve(); });
            } catch (const std::system_error&) {
                return; // the caller does the blocks itself
            }
        }
    }

    void Serve()
    {
        std::unique_lock lock(mutex_);
        while (!stopping_) {
            if (job_ != nullptr && next_ < count_) {
                const int k = next_++;
                ++active_;
                const std::function<void(int)>& job = *job_;
                lock.unlock();
                job(k);
                lock.lock();
                if (--active_ == 0 && next_ >= count_)
                    done_.notify_all();
                continue;
            }
            wake_.wait(lock);
        }
    }

    std::mutex callerMutex_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::vector<std::thread> threads_;
    const std::function<void(int)>* job_ = nullptr;
    int count_ = 0;
    int next_ = 0;
    int active_ = 0;
    bool stopping_ = false;
};

// Runs run(first, last, block) over lines a..b cut into `blocks` runs of
// neighbouring lines, in this thread and the parked helpers; every block is
// done when this returns. `run` must not throw.
template <typename Run>
void RunLineBlocks(int a, int b, int blocks, const Run& run)
{
    const int lines = b - a + 1;
    const auto first = [&](int k) { return a + static_cast<int>(int64_t(lines) * k / blocks); };
    if (blocks > 1 && lines >= blocks &&
        TLineHelpers::Instance().Run(blocks, [&](int k) { run(first(k), first(k + 1) - 1, k); }))
        return;
    run(a, b, 0);
}

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
    // Each line's sums in parallel; they are added up in line order below,
    // so the fit is the same however the lines were split.
    std::vector<double> centred(static_cast<std::size_t>(c));
    std::vector<double> sums(static_cast<std::size_t>(c));
    const int blocks = LineBlocks(c, cols);
    std::vector<std::vector<int32_t>> rows(static_cast<std::size_t>(blocks),
                                           std::vector<int32_t>(static_cast<std::size_t>(cols)));
    RunLineBlocks(a, b, blocks, [&](int first, int last, int block) {
        int32_t* row = rows[static_cast<std::size_t>(block)].data();
        for (int y = first; y <= last; ++y) {
            matrix.CopyRow(y - 1, row);
            int64_t lineSum = 0;
            for (int i = 0; i < cols; ++i)
                lineSum += row[i];
            centred[static_cast<std::size_t>(y - a)] = static_cast<double>(CentredSum(row, cols));
            sums[static_cast<std::size_t>(y - a)] = static_cast<double>(lineSum);
        }
    });
    double centredTotal = 0.0; // Σ over lines of the centred sums along x
    double lineWeighted = 0.0; // Σ over lines of (2y − a − b)·(line sum)
    for (int y = a; y <= b; ++y) {
        centredTotal += centred[static_cast<std::size_t>(y - a)];
        lineWeighted += static_cast<double>(2 * y - a - b) * sums[static_cast<std::size_t>(y - a)];
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

void TImageRenderer::LimitDrawThreads(int threads)
{
    drawThreadLimit = std::max(threads, 0);
}

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

TIndexedBitmap& TImageRenderer::EditBitmap()
{
    drawing_ = NextDrawing();
    return bitmap_;
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
    drawn_.Valid = false;
    drawing_ = NextDrawing();
    bitmap_.StretchTo(cols, rows);
    const auto lines = static_cast<std::size_t>(rows) + 1;
    lineSlopes_.assign(lines, 0.0);
    lineLo_.assign(lines, 0.0);
    lineHi_.assign(lines, 0.0);
    lineMin_.assign(lines, 0.0);
    lineMax_.assign(lines, 0.0);
    for (auto& line : cross_)
        line.assign(static_cast<std::size_t>(cols), 0.0);
    const auto n = static_cast<std::size_t>(cols);
    scratch_.resize(static_cast<std::size_t>(LineBlocks(rows, cols)));
    for (TLineScratch& s : scratch_) {
        s.raw.assign(n, 0);
        s.level.assign(n, 0.0);
        s.median.assign(n, 0);
        // The counts of a line never need more (ValueOfRank): no thread
        // that draws has to allocate.
        s.counts.reserve(4 * n + 1);
        s.counts2.reserve(4 * n + 1);
    }
    crossMin_ = crossMax_ = 0.0;
}

void TImageRenderer::LevelLine(const TImageMatrix& matrix, int line, double* out, int32_t* raw)
{
    const int cols = cols_;
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
    const int lines[3] = {currentLine_, crossLine2_, crossLine3_};
    int32_t* raw = scratch_[0].raw.data();
    for (int k = 0; k < 3; ++k)
        LevelLine(matrix, std::clamp(lines[k], 1, rows_), cross_[k].data(), raw);
    for (auto& line : cross_)
        for (double& w : line)
            w -= lo;
}

void TImageRenderer::LineExtremes(const TImageMatrix& matrix, int a, int b)
{
    const int cols = cols_;
    RunLineBlocks(a, b, std::min(LineBlocks(b - a + 1, cols), int(scratch_.size())), [&](int first, int last, int block) {
        TLineScratch& s = scratch_[static_cast<std::size_t>(block)];
        for (int y = first; y <= last; ++y) {
            LevelLine(matrix, y, s.level.data(), s.raw.data());
            MinMax(s.level.data(), cols, lineMin_[y], lineMax_[y]);
        }
    });
}

void TImageRenderer::DrawRows(const TImageMatrix& matrix, int a, int b, double lo, double hi, double factor)
{
    const int cols = cols_;
    const int mode = GainMode == GainEveryLine                                   ? GainEveryLine
                     : GainMode == GainManual && SlopeMode == SlopeEveryLine ? GainManual
                                                                                 : GainCurrentPicture;
    const double manualLow = ManualOffset - ManualRange / 2.0;
    const int medianRank = std::max(cols / 2 - 1, 0);
    RunLineBlocks(a, b, std::min(LineBlocks(b - a + 1, cols), int(scratch_.size())), [&](int first, int last, int block) {
        TLineScratch& s = scratch_[static_cast<std::size_t>(block)];
        double* w = s.level.data();
        int32_t* raw = s.raw.data();
        for (int y = first; y <= last; ++y) {
            double low = lo;
            double high = hi;
            double f = factor;
            switch (mode) {
            case GainEveryLine:
                LevelLine(matrix, y, w, raw);
                MinMax(w, cols, low, high);
                // A flat line is 0 whatever the factor.
                if (high != low)
                    f = MaxDataIndex / (high - low);
                break;
            case GainManual: {
                // The lower median of the line's own levelling, so a tilted and
                // stepped surface keeps each line centred.
                matrix.CopyRow(y - 1, raw);
                const double slope = LineSlope(raw, cols);
                lineSlopes_[y] = slope;
                const auto [least, most] = LevelByLineSlope(raw, cols, slope, w, s.median.data());
                low = ValueOfRank(s.median.data(), cols, medianRank, least, most, s.counts, s.counts2) + manualLow;
                break;
            }
            default:
                LevelLine(matrix, y, w, raw);
                break;
            }
            DisplayIndexes(w, cols, low, f, bitmap_.Row(y - 1));
            lineLo_[y] = low;
            lineHi_[y] = high;
        }
    });
}

void TImageRenderer::DrawLines(const TImageMatrix& matrix, int firstLine, int lastLine)
{
    if (matrix.Rows() < 1 || matrix.Cols() < 1)
        return;
    // The buffer may have a new size before the window was resized; the
    // bitmap always follows the matrix it draws.
    EnsureSize(matrix.Rows(), matrix.Cols());
    drawn_.Valid = false;
    const int a = std::clamp(firstLine, 1, rows_);
    const int b = std::clamp(lastLine, 1, rows_);
    if (a > b)
        return;
    Draw(matrix, a, b, a, b, false);
}

void TImageRenderer::Draw(const TImageMatrix& matrix, int a, int b, int newA, int newB, bool drawn)
{
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
    // Older lines levelled with another plane have to be drawn again.
    if (drawn && (workSX_ != drawn_.SX || workSY_ != drawn_.SY))
        drawn = false;

    if (GainMode == GainCurrentPicture || (GainMode == GainLastPicture && firstPass_)) {
        if (drawn)
            LineExtremes(matrix, newA, newB);
        else
            LineExtremes(matrix, a, b);
        lo = std::numeric_limits<double>::infinity();
        hi = -std::numeric_limits<double>::infinity();
        for (int y = a; y <= b; ++y) {
            lo = std::min(lo, lineMin_[y]);
            hi = std::max(hi, lineMax_[y]);
        }
        // A new extreme changes the contrast of every line.
        if (drawn && (lo != drawn_.Lo || hi != drawn_.Hi))
            drawn = false;
    }
    if (hi != lo)
        factor_ = MaxDataIndex / (hi - lo);

    if (drawn)
        DrawRows(matrix, newA, newB, lo, hi, factor_);
    else
        DrawRows(matrix, a, b, lo, hi, factor_);
    drawing_ = NextDrawing();
    drawn_.SX = workSX_;
    drawn_.SY = workSY_;
    drawn_.Lo = lo;
    drawn_.Hi = hi;

    // As if drawn line by line from a to b: the range of line b, and the
    // factor of the last line that was not flat.
    lo = lineLo_[b];
    hi = lineHi_[b];
    if (GainMode == GainEveryLine) {
        for (int y = b; y >= a; --y) {
            if (lineHi_[y] != lineLo_[y]) {
                factor_ = MaxDataIndex / (lineHi_[y] - lineLo_[y]);
                break;
            }
        }
    }

    const bool crossFilled = CrossSecMode == CrossSectionLastThree && currentLine_ >= a && currentLine_ <= b;
    if (crossFilled)
        FillCrossSections(matrix, lineLo_[currentLine_]);

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
    const int a = std::min(from, cur);
    const int b = std::max(from, cur);

    // The same frame, gone on in the same direction, drawn with the same
    // modes: its older lines stand as they are.
    const TDrawnFrame& d = drawn_;
    const bool sameFrame = d.Valid && d.Matrix == matrix.Id() && d.From == from && (d.Cur < from) == (cur < from) &&
                           std::abs(cur - from) >= std::abs(d.Cur - from) && d.Gain == GainMode &&
                           d.Slope == SlopeMode && d.ManualOffset == ManualOffset && d.ManualRange == ManualRange;
    if (sameFrame && cur == d.Cur)
        return false;
    // The line of the previous repaint is drawn again: a pause may have cut
    // it short, and the scan then takes it once more.
    const int newA = !sameFrame ? a : cur < from ? cur : d.Cur;
    const int newB = !sameFrame ? b : cur < from ? d.Cur : cur;
    Draw(matrix, a, b, newA, newB, sameFrame);

    drawn_.Valid = true;
    drawn_.Matrix = matrix.Id();
    drawn_.From = from;
    drawn_.Cur = cur;
    drawn_.Gain = GainMode;
    drawn_.Slope = SlopeMode;
    drawn_.ManualOffset = ManualOffset;
    drawn_.ManualRange = ManualRange;
    return true;
}

void TImageRenderer::RecalcPictureRange(const TImageMatrix& matrix, int showLine)
{
    const int rows = matrix.Rows();
    const int cols = matrix.Cols();
    if (rows < 1 || cols < 1)
        return;
    EnsureSize(rows, cols);
    drawn_.Valid = false;
    // Lines in parallel; what they give is added up in line order, or is an
    // extreme or a count, so the result is the same however they were split.
    const int blocks = std::min(LineBlocks(rows, cols), int(scratch_.size()));
    struct TBlockResult {
        int32_t RawMin = 0;
        int32_t RawMax = 0;
        double PlaneLow = 0.0;
        double PlaneHigh = 0.0;
        double LevelLow = std::numeric_limits<double>::infinity();
        double LevelHigh = -std::numeric_limits<double>::infinity();
        std::array<int64_t, 257> Histogram{};
    };
    std::vector<TBlockResult> results(static_cast<std::size_t>(blocks));
    std::vector<double> lineSums(static_cast<std::size_t>(rows) + 1);
    std::vector<std::vector<double>> levelled(static_cast<std::size_t>(blocks),
                                              std::vector<double>(static_cast<std::size_t>(cols)));

    // Raw extremes, each line's own slope and the whole-picture plane.
    const int32_t first = matrix.At(0, 0);
    for (TBlockResult& r : results)
        r.RawMin = r.RawMax = first;
    RunLineBlocks(1, rows, blocks, [&](int from, int to, int block) {
        TBlockResult& r = results[static_cast<std::size_t>(block)];
        int32_t* raw = scratch_[static_cast<std::size_t>(block)].raw.data();
        int32_t mn = first;
        int32_t mx = first;
        for (int y = from; y <= to; ++y) {
            matrix.CopyRow(y - 1, raw);
            int64_t lineSum = 0;
            for (int i = 0; i < cols; ++i) {
                mn = std::min(mn, raw[i]);
                mx = std::max(mx, raw[i]);
                lineSum += raw[i];
            }
            lineSlopes_[y] = LineSlope(raw, cols);
            lineSums[static_cast<std::size_t>(y)] = static_cast<double>(lineSum);
        }
        r.RawMin = mn;
        r.RawMax = mx;
    });
    int32_t mn = first;
    int32_t mx = first;
    for (const TBlockResult& r : results) {
        mn = std::min(mn, r.RawMin);
        mx = std::max(mx, r.RawMax);
    }
    double slopeSum = 0.0;
    double lineWeighted = 0.0;
    for (int y = 1; y <= rows; ++y) {
        slopeSum += lineSlopes_[y];
        lineWeighted += static_cast<double>(2 * y - 1 - rows) * lineSums[static_cast<std::size_t>(y)];
    }
    rawMin_ = mn;
    rawMax_ = mx;
    const double sx = slopeSum / rows;
    const double sy = rows < 2 ? 0.0 : 6.0 * lineWeighted / (double(cols) * rows * (double(rows) * rows - 1.0));
    planeSX_ = sx;
    planeSY_ = sy;

    // Plane-corrected extremes and the extremes of the line-levelled values.
    const double planeStart = first - sx - sy;
    for (TBlockResult& r : results)
        r.PlaneLow = r.PlaneHigh = planeStart;
    RunLineBlocks(1, rows, blocks, [&](int from, int to, int block) {
        TBlockResult& r = results[static_cast<std::size_t>(block)];
        TLineScratch& scratch = scratch_[static_cast<std::size_t>(block)];
        int32_t* raw = scratch.raw.data();
        double* plane = scratch.level.data();
        double* level = levelled[static_cast<std::size_t>(block)].data();
        for (int y = from; y <= to; ++y) {
            matrix.CopyRow(y - 1, raw);
            const double lineOffset = y * sy;
            const double s = lineSlopes_[y];
            for (int i = 0; i < cols; ++i) {
                const double x = i + 1;
                plane[i] = raw[i] - x * sx - lineOffset;
                level[i] = raw[i] - x * s;
            }
            double low = 0.0;
            double high = 0.0;
            MinMax(plane, cols, low, high);
            r.PlaneLow = std::min(r.PlaneLow, low);
            r.PlaneHigh = std::max(r.PlaneHigh, high);
            MinMax(level, cols, low, high);
            r.LevelLow = std::min(r.LevelLow, low);
            r.LevelHigh = std::max(r.LevelHigh, high);
        }
    });
    double planeLow = planeStart;
    double planeHigh = planeStart;
    double m0 = std::numeric_limits<double>::infinity();
    double m1 = -std::numeric_limits<double>::infinity();
    for (const TBlockResult& r : results) {
        planeLow = std::min(planeLow, r.PlaneLow);
        planeHigh = std::max(planeHigh, r.PlaneHigh);
        m0 = std::min(m0, r.LevelLow);
        m1 = std::max(m1, r.LevelHigh);
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
    RunLineBlocks(1, rows, blocks, [&](int from, int to, int block) {
        std::array<int64_t, 257>& histogram = results[static_cast<std::size_t>(block)].Histogram;
        int32_t* raw = scratch_[static_cast<std::size_t>(block)].raw.data();
        for (int y = from; y <= to; ++y) {
            matrix.CopyRow(y - 1, raw);
            const double s = lineSlopes_[y];
            for (int i = 0; i < cols; ++i) {
                double bin = scale * (raw[i] - (i + 1) * s - m0);
                bin = bin > 0.0 ? bin : 0.0;
                bin = bin < 255.0 ? bin : 255.0;
                histogram[static_cast<std::size_t>(RoundInPixelLoop(bin))]++;
            }
        }
    });
    std::array<int64_t, 257> histogram{};
    for (const TBlockResult& r : results)
        for (std::size_t i = 0; i < histogram.size(); ++i)
            histogram[i] += r.Histogram[i];
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
