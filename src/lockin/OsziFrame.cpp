#include "lockin/OsziFrame.h"

#include "core/Fft.h"
#include "core/NumberText.h"
#include "protocol/ControlCodes.h"

#include <QDir>

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <new>

namespace qvt {

namespace {

constexpr int64_t SampleMax = 2147483647;
constexpr int32_t MinimumFloor = -2147483640;
constexpr double HalfSpan = 50.0; // pixels a trace spans about its zero line
constexpr int32_t PixelLimit = 1'000'000;

int32_t Saturate(int64_t v)
{
    return static_cast<int32_t>(std::clamp(v, -SampleMax, SampleMax));
}

int64_t AbsMax(int64_t a, int64_t b)
{
    return std::max(std::abs(a), std::abs(b));
}

QString Cell(double value)
{
    return QString("%1").arg(GeneralText(value, 6), 8);
}

QString Row(const TOsziSaveOptions& o, const QString& x, const TOsziCaptions& captions,
            const std::array<double, OsziTraceCount>& values)
{
    const QString d = SaveDelimiter(o.Delimiter);
    QString line;
    if (o.XAxis)
        line += x + d;
    for (int k = 0; k < OsziTraceCount; ++k) {
        if (captions[static_cast<size_t>(k)].isEmpty())
            continue;
        line += Cell(values[static_cast<size_t>(k)]);
        if (k < OsziTraceCount - 1)
            line += d;
    }
    return line + "\r\n";
}

QString Head(const TOsziSaveOptions& o, const TOsziCaptions& captions)
{
    QString text;
    const QString d = SaveDelimiter(o.Delimiter);
    if (o.Header) {
        if (o.XAxis)
            text += "Time" + d;
        for (int k = 0; k < OsziTraceCount; ++k) {
            if (captions[static_cast<size_t>(k)].isEmpty())
                continue;
            text += captions[static_cast<size_t>(k)];
            if (k < OsziTraceCount - 1)
                text += d;
        }
        text += "\r\n";
    }
    if (o.Comment)
        text += o.CommentText + "\r\n";
    return text;
}

} // namespace

TOsziBuffers PrepareFrame(const TOsziBuffers& raw, const std::array<TOsziTraceScale, OsziTraceCount>& scales,
                          TOsziView view, bool logFFT)
{
    TOsziBuffers frame = raw;
    for (int k = 0; k < OsziTraceCount; ++k) {
        TOsziBuffer& b = frame[static_cast<size_t>(k + 1)];
        const TOsziTraceScale& s = scales[static_cast<size_t>(k)];
        b.Count = std::clamp(b.Count, 0, OsziBufferSamples);
        for (int32_t& v : b.Samples)
            v = Saturate(s.FactorNegative ? int64_t{s.Offset} - v : int64_t{v} + s.Offset);
    }
    frame[0].Count = std::clamp(frame[0].Count, 0, OsziBufferSamples);
    if (view == TOsziView::Freq && FullFrame(frame)) {
        for (int k = 1; k <= OsziTraceCount; ++k)
            ComputeFFT(frame[static_cast<size_t>(k)].Samples, logFFT);
    }
    return frame;
}

bool FullFrame(const TOsziBuffers& frame)
{
    return frame[1].Count >= OsziBufferSamples;
}

void ComputeFFT(int32_t* samples, bool logFFT)
{
    constexpr int n = OsziBufferSamples;
    int64_t sum = 0;
    for (int i = 0; i < n; ++i)
        sum += samples[i];
    const double mean = static_cast<double>(sum) / n;
    std::vector<std::complex<double>> x(n);
    for (int i = 0; i < n; ++i)
        x[static_cast<size_t>(i)] = HannWeight(i, n) * (samples[i] - mean);
    FftInPlace(x);
    for (int k = 0; k < n / 2; ++k) {
        const std::complex<double> c = x[static_cast<size_t>(k)] / 100.0;
        const auto m = Saturate(static_cast<int64_t>(std::min(Round(std::abs(c)), 2.0e9)));
        samples[2 * k] = m;
        samples[2 * k + 1] = m;
    }
    if (logFFT) {
        for (int i = 0; i < n; ++i)
            samples[i] =
                static_cast<int32_t>(Round(1000.0 * std::log10(std::abs(static_cast<double>(samples[i])) + 1.0)));
    }
}

TOsziStats FrameStats(const int32_t* samples, int count)
{
    TOsziStats s;
    count = std::clamp(count, 0, OsziBufferSamples);
    if (count == 0)
        return s;
    int64_t sum = 0;
    s.Min = s.Max = samples[0];
    for (int i = 0; i < count; ++i) {
        s.Min = std::min(s.Min, samples[i]);
        s.Max = std::max(s.Max, samples[i]);
        sum += samples[i];
    }
    if (s.Min < MinimumFloor)
        s.Min = -static_cast<int32_t>(SampleMax);
    s.Mean = count > 1 ? static_cast<int32_t>(Round(static_cast<double>(sum) / count)) : samples[0];
    return s;
}

TOsziGain ScaleTrace(TOsziScaleMode mode, int32_t minRaw, int32_t maxRaw, int zoom, const TOsziStats& stats)
{
    TOsziGain g;
    switch (mode) {
    case TOsziScaleMode::ZeroMax: {
        // A channel without limits (both 0) would divide by zero.
        const int64_t r = AbsMax(minRaw, maxRaw);
        g.Gain = r > 0 ? HalfSpan / static_cast<double>(r) : 1.0;
        break;
    }
    case TOsziScaleMode::ZeroFixed: {
        const double r = static_cast<double>(AbsMax(minRaw, maxRaw)) * (150 - std::clamp(zoom, 0, OsziZoomMax)) / 150.0;
        g.Gain = r > 10.0 ? HalfSpan / r : 1.0;
        break;
    }
    case TOsziScaleMode::ZeroAuto:
        g.Gain = HalfSpan / static_cast<double>(std::max<int64_t>(AbsMax(stats.Min, stats.Max), 10));
        break;
    case TOsziScaleMode::AutoAuto: {
        const int64_t s = std::abs(int64_t{stats.Max} - stats.Min);
        g.Gain = HalfSpan / static_cast<double>(std::max<int64_t>(s, 10));
        g.Centre = stats.Min / 2 + stats.Max / 2;
        break;
    }
    }
    return g;
}

int32_t TraceY(int32_t sample, int zero, int32_t centre, double gain)
{
    const double dy = Round((static_cast<double>(sample) - centre) * gain);
    return static_cast<int32_t>(std::clamp(zero - dy, double{-PixelLimit}, double{PixelLimit}));
}

bool LineViewX(int32_t position, int pixels, int& x)
{
    const int l = std::max(pixels, 1);
    if (position < 1 || position > l - 2)
        return false;
    x = static_cast<int>((int64_t{position} - 1) * OsziPlotWidth / l);
    return true;
}

QString TimeBaseText(double sampleTime)
{
    const double perDivision = sampleTime * OsziSamplesPerDivision;
    if (perDivision >= 1.0)
        return FixedPointText(perDivision, 5, 3);
    return FixedPointText(perDivision * 1000.0, 3, 1) + "m";
}

std::optional<double> ParseTimeBase(const QString& text)
{
    QString t = text.trimmed();
    double scale = 1.0;
    if (t.endsWith('m')) {
        t.chop(1);
        scale = 1.0e-3;
    }
    double v = 0.0;
    if (!ParseNumber(t, v))
        return std::nullopt;
    return v * scale;
}

QString FormatValue(double value, const QString& unit)
{
    return FormatChannelValueWithUnit(unit, static_cast<float>(value));
}

bool TOsziRecordSetup::operator==(const TOsziRecordSetup& o) const
{
    for (int k = 0; k < OsziTraceCount; ++k) {
        const auto kk = static_cast<size_t>(k);
        if (Scales[kk].Offset != o.Scales[kk].Offset || Scales[kk].FactorNegative != o.Scales[kk].FactorNegative)
            return false;
    }
    return Slots == o.Slots && Captions == o.Captions && Units == o.Units && Factors == o.Factors &&
           SampleTime == o.SampleTime && TimeStamps == o.TimeStamps;
}

bool TOsziLongTerm::Allocate(int64_t size)
{
    // A new size keeps what was recorded, the newest entries that fit.
    const bool ended = ended_;
    std::vector<Row> kept = Take();
    const TOsziRecordSetup setup = setup_;
    const double lastTime = lastTime_;
    Free();
    if (size < 2 || size > OsziLongTermMaxPoints)
        return false;
    try {
        rows_.assign(static_cast<size_t>(size), Row{});
    } catch (const std::bad_alloc&) {
        Free();
        return false;
    }
    on_ = true;
    const auto fit = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(kept.size()), size - 1));
    std::copy(kept.end() - static_cast<std::ptrdiff_t>(fit), kept.end(), rows_.begin());
    write_ = static_cast<int64_t>(fit);
    setup_ = setup;
    ended_ = ended && fit > 0;
    lastTime_ = lastTime;
    return true;
}

void TOsziLongTerm::Free()
{
    on_ = false;
    ended_ = false;
    std::vector<Row>().swap(rows_);
    read_ = write_ = 0;
    lastTime_ = 0.0;
}

int64_t TOsziLongTerm::Count() const
{
    const int64_t n = Size();
    return n > 0 ? (write_ - read_ + n) % n : 0;
}

bool TOsziLongTerm::Store(const TOsziBuffers& frame, const TOsziRecordSetup& setup)
{
    if (!on_ || rows_.empty())
        return false;
    if (Count() == 0) {
        setup_ = setup;
        ended_ = false;
    } else if (ended_ || !(setup == setup_)) {
        ended_ = true;
        return false;
    }
    const int64_t n = Size();
    const int count = std::clamp(frame[1].Count, 0, OsziBufferSamples);
    for (int i = 0; i < count; ++i) {
        Row& r = rows_[static_cast<size_t>(write_)];
        r.Time = setup.TimeStamps ? frame[0].Samples[i] / ControllerClockHz : lastTime_ + setup.SampleTime;
        lastTime_ = r.Time;
        for (int k = 0; k < OsziTraceCount; ++k)
            r.Values[static_cast<size_t>(k)] =
                frame[static_cast<size_t>(k + 1)].Samples[i] * setup.Factors[static_cast<size_t>(k)];
        write_ = (write_ + 1) % n;
        if (write_ == read_)
            read_ = (read_ + 1) % n;
    }
    return true;
}

std::vector<TOsziLongTerm::Row> TOsziLongTerm::Rows() const
{
    std::vector<Row> out;
    if (rows_.empty())
        return out;
    out.reserve(static_cast<size_t>(Count()));
    const int64_t n = Size();
    for (int64_t i = read_; i != write_; i = (i + 1) % n)
        out.push_back(rows_[static_cast<size_t>(i)]);
    return out;
}

std::vector<TOsziLongTerm::Row> TOsziLongTerm::Take()
{
    std::vector<Row> out = Rows();
    Clear();
    return out;
}

QString OsziFrameText(const TOsziSaveOptions& options, const TOsziCaptions& captions, const TOsziBuffers& shown,
                      const std::array<double, OsziTraceCount>& factors, double sampleTime, bool spectrum)
{
    QString text = Head(options, captions);
    const int count = std::clamp(shown[1].Count, 0, OsziBufferSamples);
    // Bin k fills samples 2k and 2k+1; its frequency is k / (512 × sample time).
    const double binHz = sampleTime > 0.0 ? 1.0 / (OsziBufferSamples * sampleTime) : 0.0;
    for (int i = 1; i <= count; ++i) {
        const double x = spectrum ? ((i - 1) / 2) * binHz : i * sampleTime;
        std::array<double, OsziTraceCount> values{};
        for (int k = 0; k < OsziTraceCount; ++k)
            values[static_cast<size_t>(k)] =
                shown[static_cast<size_t>(k + 1)].Samples[i - 1] * factors[static_cast<size_t>(k)];
        text += Row(options, GeneralText(x, 6), captions, values);
    }
    return text;
}

QString OsziLongTermText(const TOsziSaveOptions& options, const TOsziCaptions& captions,
                         const std::vector<TOsziLongTerm::Row>& rows)
{
    QString text = Head(options, captions);
    // Six decimals tell samples 25.6 µs apart.
    for (const TOsziLongTerm::Row& r : rows)
        text += Row(options, QString("%1").arg(r.Time, 12, 'f', 6), captions, r.Values);
    return text;
}

QString DefaultSaveName()
{
    return QDir::homePath() + "/noname";
}

// ---- single trace -----------------------------------------------------------------------

TSimpleScopeScale SimpleScopeScale(int mode, double scaleValue, double factor, int32_t maxRaw, const int32_t* values,
                                   int count)
{
    TSimpleScopeScale s;
    count = std::clamp(count, 0, SimpleScopeSamples);
    int32_t lo = 0, hi = 0;
    if (count > 0) {
        const auto [mn, mx] = std::minmax_element(values, values + count);
        lo = *mn;
        hi = *mx;
    }
    switch (mode) {
    case static_cast<int>(TSimpleScopeMode::Fixed):
        s.M = factor != 0.0 && std::isfinite(scaleValue / factor) ? scaleValue / factor : scaleValue;
        break;
    case static_cast<int>(TSimpleScopeMode::Max):
        s.M = maxRaw;
        break;
    case static_cast<int>(TSimpleScopeMode::AutoMax):
        s.M = static_cast<double>(AbsMax(lo, hi));
        break;
    case static_cast<int>(TSimpleScopeMode::AutoMinMax):
        s.M = hi;
        s.C = (static_cast<double>(hi) + lo) / 2.0;
        break;
    default:
        break;
    }
    s.Gain = std::abs(s.M - s.C) > 1.0 ? -127.0 / (s.M - s.C) : 0.0;
    return s;
}

TSimpleScopePoint SimpleScopeY(int32_t value, const TSimpleScopeScale& scale)
{
    // Clamped in double: a wild value must not overflow the integer.
    const double dy = std::clamp((value - scale.C) * scale.Gain, -1.0e6, 1.0e6);
    TSimpleScopePoint p;
    p.Y = static_cast<int>(Round(dy)) + 128;
    if (p.Y < 1)
        p.Clip = -1;
    else if (p.Y > 255)
        p.Clip = 1;
    return p;
}

double ParseScopeScale(const QString& text)
{
    double v = 0.0;
    return ParseNumber(text, v) ? v : 200.0;
}

} // namespace qvt
