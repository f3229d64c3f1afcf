#include "calib/SlidLogic.h"

#include "core/NumberText.h"
#include "device/ChannelTable.h"

#include <algorithm>
#include <cmath>

namespace qvt {

namespace {
constexpr double WaveSampleRate = 156250.0;
constexpr double SawAmplitude = 4.0;
constexpr double SawOffset = -2.0;
constexpr double SawFrequency = 10000.0;
constexpr double SawRising = 0.9;
constexpr double WaveWordLimit = 1.07e9;

int32_t ClampDigits(double v)
{
    return static_cast<int32_t>(std::clamp(v, -2147483647.0, 2147483647.0));
}
} // namespace

TSliderWrite SliderRaw(double value, const TIOScale& scale)
{
    TSliderWrite w;
    const double f = scale.Factor.load();
    if (!std::isfinite(value))
        return w;
    // Judged by the digits written: with an offset the output's limits lie
    // the offset away from MinRaw and MaxRaw times the factor.
    double raw = Round(value / f - scale.Offset.load());
    if (!(raw >= scale.MinRaw.load() && raw <= scale.MaxRaw.load()))
        return w;
    if (scale.Invers.load())
        raw = -raw;
    w.Write = true;
    w.Raw = ClampDigits(raw);
    return w;
}

int KnobPosition(double value, const TIOScale& scale)
{
    const double span = static_cast<double>(scale.MaxRaw.load()) - scale.MinRaw.load();
    if (span <= 0.0)
        return TrackMiddle;
    // Any typed number has a knob, at worst just past an end of the track.
    const double knob = Round((value / scale.Factor.load() - scale.MinRaw.load()) * TrackWidth / span);
    return std::isfinite(knob) ? static_cast<int>(std::clamp(knob, -2.0, TrackWidth + 2.0)) : TrackMiddle;
}

TDragResult DragValue(int x, double zoom, double centre, const TIOScale& scale)
{
    const double f = scale.Factor.load();
    const double lo = scale.MinRaw.load() * f;
    const double hi = scale.MaxRaw.load() * f;
    const double span = static_cast<double>(scale.MaxRaw.load()) - scale.MinRaw.load();
    TDragResult r;
    r.Knob = x;
    if (zoom <= 1.0)
        r.Value = (static_cast<double>(x) / TrackWidth * span + scale.MinRaw.load()) * f;
    else
        r.Value = centre + static_cast<double>(x - TrackMiddle) / TrackWidth * span * f / zoom;
    if (r.Value > hi) {
        r.Value = hi - 0.001;
        r.Knob = TrackWidth + 2;
        r.Clipped = true;
    } else if (r.Value < lo) {
        r.Value = lo + 0.001;
        r.Knob = -2;
        r.Clipped = true;
    }
    return r;
}

QRgb RasterColour(int g)
{
    g = std::clamp(g, 0, 255);
    const double d = g;
    auto component = [](double v) { return static_cast<int>(static_cast<int64_t>(std::trunc(v)) % 256 + 256) % 256; };
    const double blue = 4.0 * std::trunc(6.0 + 0.0004457 * d * d);
    const double green = std::trunc(4.0 * (-7.1e-6 * d * d * d + 0.0026 * d * d + 0.042 * d));
    double red = 0.0;
    if (g < 56)
        red = std::trunc(4.0 * (0.65954 * d + 3.0));
    else if (g < 165)
        red = std::trunc(4.0 * (0.5027 * d + 16.6 - 0.001526 * d * d));
    else
        red = std::trunc(4.0 * (0.0039216 * d + 58.0));
    return qRgb(component(red), component(green), component(blue));
}

std::vector<uint8_t> RasterGreyLevels(const std::vector<int32_t>& samples)
{
    std::vector<uint8_t> grey(samples.size(), 0);
    if (samples.empty())
        return grey;
    const auto [lo, hi] = std::minmax_element(samples.begin(), samples.end());
    const double s = *hi == *lo ? 1.0 : 255.0 / (static_cast<double>(*hi) - *lo);
    for (size_t i = 0; i < samples.size(); ++i)
        grey[i] = static_cast<uint8_t>(std::clamp(std::trunc((static_cast<double>(samples[i]) - *lo) * s), 0.0, 255.0));
    return grey;
}

int32_t RasterDigits(int i, double factor)
{
    if (factor == 0.0)
        return 0;
    return ClampDigits(Round((static_cast<double>(i - 127) / 255.0 * RasterSpanVolts) / factor));
}

bool RunRaster(const TRasterIo& io, double factorX, double factorY, std::vector<int32_t>& samples,
               std::atomic<int>* progress, const std::atomic<bool>* cancel)
{
    samples.assign(static_cast<size_t>(RasterSize) * RasterSize, 0);
    for (int r = 0; r < RasterSize; ++r) {
        if (progress != nullptr)
            *progress = r;
        const int32_t rowDigits = RasterDigits(r, factorX);
        for (int c = 0; c < RasterSize; ++c) {
            if (cancel != nullptr && cancel->load())
                return false;
            io.WriteReg(RasterRegX, rowDigits);
            io.WriteReg(RasterRegY, RasterDigits(c, factorY));
            io.DelayUs(RasterForwardWaitUs);
            samples[static_cast<size_t>(r) * RasterSize + c] = io.ReadReg(RasterReadAddress);
        }
        for (int c = RasterSize - 1; c >= 0; --c) {
            if (cancel != nullptr && cancel->load())
                return false;
            io.WriteReg(RasterRegX, rowDigits);
            io.WriteReg(RasterRegY, RasterDigits(c, factorY));
            io.DelayUs(RasterReturnWaitUs);
        }
    }
    if (progress != nullptr)
        *progress = RasterSize;
    return true;
}

int32_t WaveWord(double volts)
{
    const double word = Round(volts * 1073741824.0 / 10.0);
    return static_cast<int32_t>(std::clamp(word, -WaveWordLimit, WaveWordLimit));
}

std::vector<int32_t> SawtoothWords()
{
    const int n = static_cast<int>(Round(WaveSampleRate / SawFrequency));
    const int rising = static_cast<int>(Round(SawRising * n));
    const int falling = n - rising;
    std::vector<int32_t> words;
    words.reserve(static_cast<size_t>(n));
    for (int i = 0; i < rising; ++i)
        words.push_back(WaveWord(i * SawAmplitude / rising + SawOffset));
    for (int j = 0; j < falling; ++j)
        words.push_back(WaveWord((falling - j) * SawAmplitude / falling + SawOffset));
    return words;
}

} // namespace qvt
