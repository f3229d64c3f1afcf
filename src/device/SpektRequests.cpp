// The spectroscopy request words: the ramp tables, the reach of a ramp from
// where Z stands, the averaging of the replies.

#include "device/SpektRequests.h"

#include "core/IniFile.h"
#include "core/NumberText.h"
#include "core/SharedState.h"
#include "device/ChannelTable.h"
#include "platform/MessageBoxes.h"

#include <QTimer>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

namespace qvt {

namespace {

constexpr double UsPerSecond = 1.0e6;
constexpr double PollSpare = 1.1;
constexpr double PollExtraMs = 20.0;
constexpr double SpectrumNorm = 2.83;

double ScaleFactor(const TRampScale& scale)
{
    return (scale.Factor != 0.0 && std::isfinite(scale.Factor)) ? scale.Factor : 1.0;
}

double RampRaw(double value, const TRampScale& scale)
{
    const double factor = ScaleFactor(scale);
    double raw = Round(value / factor - scale.Offset);
    if (!std::isfinite(raw))
        raw = 0.0;
    return scale.Negative ? -raw : raw;
}

} // namespace

// ---- pure builders ------------------------------------------------------------------

int32_t ClampWord(double v, double lo, double hi)
{
    if (!(v >= lo))
        return static_cast<int32_t>(lo);
    return static_cast<int32_t>(std::min(v, hi));
}

int32_t SpektDelayUs(double us)
{
    return ClampWord(Round(us), 1.0, SpektDelayMaxUs);
}

int32_t SpektSampleTicks(double us)
{
    return ClampWord(Round(us / UsPerSecond * SpektClockHz), 1.0, SpektTicksMax);
}

double SpektTicksToUs(int32_t ticks)
{
    return ticks * (UsPerSecond / SpektClockHz);
}

int SpektPollIntervalMs(int32_t ticks, int32_t points)
{
    return static_cast<int>(Round(ticks / SpektClockHz * 1000.0 * points * PollSpare + PollExtraMs));
}

int32_t SpektClampPoints(int64_t points)
{
    return static_cast<int32_t>(std::clamp<int64_t>(points, 1, SpektMaxPoints));
}

double QuantizeZValue(double z, double factor)
{
    if (factor == 0.0 || !std::isfinite(factor) || !std::isfinite(z))
        return z;
    return Round(z / factor) * factor;
}

double QuantizeBiasValue(double u, const TRampScale& scale)
{
    const double factor = ScaleFactor(scale);
    const double raw = Round(u / factor - scale.Offset);
    if (!std::isfinite(raw))
        return u;
    return (raw + scale.Offset) * factor;
}

double SpektPressMax(double setting)
{
    return setting > 0.0 ? setting : std::numeric_limits<double>::infinity();
}

TSpektReach SpektRampReach(const double* bias, const double* z, int n, const TRampScale& biasScale,
                           const TRampScale& zScale, double zNow, double pressMax)
{
    TSpektReach reach;
    // The physical value a raw word stands for (the inverse of RampRaw).
    const auto physOf = [](double word, const TRampScale& scale) {
        return ((scale.Negative ? -word : word) + scale.Offset) * ScaleFactor(scale);
    };
    const auto range = [&physOf](double wordA, double wordB, const TRampScale& scale, double& low, double& high) {
        const double a = physOf(wordA, scale);
        const double b = physOf(wordB, scale);
        low = std::min(a, b);
        high = std::max(a, b);
    };
    const double biasLo = std::min(double(biasScale.MinRaw), double(biasScale.MaxRaw));
    const double biasHi = std::max(double(biasScale.MinRaw), double(biasScale.MaxRaw));
    range(biasLo, biasHi, biasScale, reach.BiasLow, reach.BiasHigh);
    const double zLo = std::min(double(zScale.MinRaw), double(zScale.MaxRaw));
    const double zHi = std::max(double(zScale.MinRaw), double(zScale.MaxRaw));
    if (zNow >= zLo && zNow <= zHi)
        range(zNow - zHi, zNow - zLo, zScale, reach.DzLow, reach.DzHigh);
    else
        reach.DzLow = reach.DzHigh = std::numeric_limits<double>::quiet_NaN(); // nothing is safe from a rail
    reach.DzLow = std::max(reach.DzLow, -pressMax);
    for (int i = 0; i < n; ++i) {
        const double word = RampRaw(z[i], zScale);
        const double zAt = zNow - word;
        // Half a digit of slack: the edit's limit is quantised to the Z output's digit.
        if (!std::isfinite(z[i]) || !(zAt >= zLo && zAt <= zHi) ||
            z[i] < -pressMax - 0.5 * std::abs(ScaleFactor(zScale)))
            reach.ZInRange = false;
        const double raw = RampRaw(bias[i], biasScale);
        if (!std::isfinite(bias[i]) || !(raw >= biasLo && raw <= biasHi))
            reach.BiasInRange = false;
    }
    return reach;
}

int SpektInputSlot(int slot)
{
    if (slot < 0)
        return 0;
    return slot > 2 ? 3 : slot;
}

TRampRecord BuildBiasRamp(const double* values, int n, const TRampScale& scale)
{
    TRampRecord r;
    n = std::clamp(n, 0, SpektMaxPoints);
    for (int i = 0; i < n; ++i) {
        const double raw = std::max(std::min(RampRaw(values[i], scale), double(scale.MaxRaw)), double(scale.MinRaw));
        r.Values[i] = static_cast<int32_t>(raw);
    }
    if (n > 0)
        r.Values[n] = r.Values[n - 1];
    return r;
}

TRampRecord BuildZRamp(const double* values, int n, const TRampScale& scale, bool differences)
{
    TRampRecord r;
    n = std::clamp(n, 0, SpektMaxPoints);
    // Computed wide: a channel with reversed limits must not overflow the span.
    const double limit = std::abs(double(scale.MaxRaw) - double(scale.MinRaw));
    const double span = std::min(limit, 1073741823.0); // differences stay inside 32 bits
    for (int i = 0; i < n; ++i)
        r.Values[i] = ClampWord(RampRaw(values[i], scale), -span, span);
    if (n > 0)
        r.Values[n] = r.Values[n - 1];
    if (differences) {
        for (int k = 0; k < n; ++k)
            r.Values[k] = r.Values[k + 1] - r.Values[k];
    }
    return r;
}

TSetSpektRecord BuildSpektStop(const TSetSpektRecord& record)
{
    TSetSpektRecord r = record;
    r.DataPoints = 0;
    r.Kind = SpektKindStop;
    return r;
}

bool SpektReplyShort(size_t replyBytes, int32_t points)
{
    return static_cast<int64_t>(replyBytes / 4) != points;
}

namespace {
template <typename T> void Average(const T* readings, int n, const TSpektAverage& average, double* column)
{
    const double count = average.AverageCount > 0 ? average.AverageCount : 1;
    const double h = (count - 1.0) / count;
    const double w = (1.0 - h) * average.Factor;
    for (int i = 0; i < n; ++i) {
        const double reading = average.Negate ? -double(readings[i]) : double(readings[i]);
        column[i] = column[i] * h + (reading + average.Offset) * w;
    }
}
} // namespace

void AverageSpektReadings(const int32_t* readings, int n, const TSpektAverage& average, double* column)
{
    Average(readings, n, average, column);
}

void AverageSpektReadings(const double* readings, int n, const TSpektAverage& average, double* column)
{
    Average(readings, n, average, column);
}

int SpektSpectrumLength(int n)
{
    if (n < 1)
        return 0;
    int length = 1;
    while (length * 2 <= n)
        length *= 2;
    return length;
}

void SpektAmplitudeSpectrum(const int32_t* readings, int points, double* out)
{
    points = std::clamp(points, 0, SpektPoints);
    std::fill(out, out + points, 0.0);
    const int n = SpektSpectrumLength(points);
    if (n < 2)
        return;
    // Radix-2 in bit-reversed order, with the cosine and sine tables of j·2π/N.
    std::vector<double> re(readings, readings + n);
    std::vector<double> im(n, 0.0);
    std::vector<double> cosTable(n), sinTable(n);
    for (int j = 0; j < n; ++j) {
        cosTable[j] = std::cos(j * 2.0 * std::numbers::pi / n);
        sinTable[j] = std::sin(j * 2.0 * std::numbers::pi / n);
    }
    for (int i = 1, j = 0; i < n; ++i) {
        int bit = n >> 1;
        for (; j & bit; bit >>= 1)
            j ^= bit;
        j ^= bit;
        if (i < j) {
            std::swap(re[i], re[j]);
            std::swap(im[i], im[j]);
        }
    }
    for (int len = 2; len <= n; len *= 2) {
        const int stride = n / len;
        for (int start = 0; start < n; start += len) {
            for (int k = 0; k < len / 2; ++k) {
                const double c = cosTable[k * stride];
                const double sn = -sinTable[k * stride];
                const int a = start + k;
                const int b = a + len / 2;
                const double tr = re[b] * c - im[b] * sn;
                const double ti = re[b] * sn + im[b] * c;
                re[b] = re[a] - tr;
                im[b] = im[a] - ti;
                re[a] += tr;
                im[a] += ti;
            }
        }
    }
    const int half = n / 2;
    std::vector<double> magnitude(half);
    for (int j = 0; j < half; ++j)
        magnitude[j] = std::sqrt(re[j] * re[j] + im[j] * im[j]) / n / SpectrumNorm;
    if (points == n) {
        for (int j = 0; j < half; ++j)
            out[2 * j] = out[2 * j + 1] = magnitude[j];
        return;
    }
    for (int i = 0; i < points; ++i)
        out[i] = magnitude[static_cast<size_t>(Round(double(i) * (half - 1) / (points - 1)))];
}

} // namespace qvt
