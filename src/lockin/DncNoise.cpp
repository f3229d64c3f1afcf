#include "lockin/DncNoise.h"

#include "core/Fft.h"
#include "core/NumberText.h"
#include "lockin/DncSweep.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <vector>

namespace qvt {

namespace {
constexpr double SampleClockHz = 39062.5;
constexpr double DecimatorTaps = 768.0;
} // namespace

int32_t NoiseDecimation(double span)
{
    const double d = span != 0.0 ? Round(SampleClockHz / span) : 2.0;
    if (!(d >= 2.0))
        return 2;
    return static_cast<int32_t>(std::min(d, 1.0e6));
}

double NoiseBinWidth(int32_t d)
{
    return d < 1 ? 1.0 : SampleClockHz / (NoiseSamples * static_cast<double>(d));
}

double NoiseTimeoutSeconds(int32_t d)
{
    return NoiseSamples * static_cast<double>(d) / SampleClockHz + 2.0;
}

bool ComputeNoiseFft(const int32_t* inPhase, const int32_t* quadrature, std::array<double, NoiseSamples>& magnitudes)
{
    double meanX = 0.0, meanY = 0.0;
    for (int k = 0; k < NoiseSamples; ++k) {
        meanX += inPhase[k];
        meanY += quadrature[k];
    }
    meanX /= NoiseSamples;
    meanY /= NoiseSamples;
    std::vector<std::complex<double>> data(NoiseSamples);
    for (int k = 0; k < NoiseSamples; ++k) {
        const double w = HannWeight(k, NoiseSamples);
        // The transform's input is held in single precision.
        data[static_cast<size_t>(k)] = {static_cast<float>(w * (inPhase[k] - meanX)),
                                        static_cast<float>(w * (quadrature[k] - meanY))};
    }
    if (!FftInPlace(data))
        return false;
    bool finite = true;
    for (int bin = 0; bin < NoiseSamples; ++bin) {
        // Bins 0..255 are the offsets 0..255, bins 256..511 the offsets −256..−1.
        const int offset = bin < NoiseSamples / 2 ? bin : bin - NoiseSamples;
        const std::complex<double> v = data[static_cast<size_t>(bin)] / 100.0;
        const double m = Round(std::hypot(v.real(), v.imag()));
        finite = finite && std::isfinite(m);
        magnitudes[static_cast<size_t>(255 - offset)] = m;
    }
    // The centre carries what is left of the mean: it takes the mean of its
    // own bin and the bin two below.
    magnitudes[255] = Round(0.5 * magnitudes[255] + 0.5 * magnitudes[257]);
    magnitudes[0] = std::trunc(magnitudes[0] / 2.0);
    return finite;
}

double NoiseCorrection(int bin, int32_t d)
{
    const double e = 1.0 / (2.0 * 256.0 * std::max<int32_t>(d, 1));
    const double r = std::abs(256.5 - bin) * e;
    const double ratio = std::sin(3.0 * std::numbers::pi * r) / std::sin(std::numbers::pi * r / 256.0);
    const double c = std::pow(DecimatorTaps / ratio, 6);
    // Also a value that cannot be compared (0/0, a zero of the response) is capped.
    return c <= NoiseCorrectionLimit && c >= 0.0 ? c : NoiseCorrectionLimit;
}

bool ComputeAmplitudeCorrection(const std::array<double, NoiseSamples>& magnitudes, int32_t d,
                                std::array<double, NoiseSamples>& spectrum)
{
    bool finite = true;
    for (int i = 1; i <= NoiseSamples; ++i) {
        const double v = magnitudes[static_cast<size_t>(i - 1)] * NoiseCorrection(i, d);
        finite = finite && std::isfinite(v);
        spectrum[static_cast<size_t>(i - 1)] = v;
    }
    return finite;
}

int NoiseBin(double frequency, double centre, double binWidth)
{
    const double b = Round((frequency - centre) / binWidth + 256.0);
    if (!(b >= 1.0))
        return 1;
    return b > NoiseSamples ? NoiseSamples : static_cast<int>(b);
}

void MapNoiseSpectrum(const std::array<double, NoiseSamples>& spectrum, const TNoiseMapping& m, TDncCurves& curves)
{
    if (curves.Empty())
        return;
    const double e = m.Factor / std::numbers::sqrt2;
    const double w = NoiseBinWidth(m.Decimation);
    const double centre = (m.SweepStart + m.SweepStop) / 2.0;
    std::vector<double>& newest = curves.Newest();
    const int last = std::min(m.DataPoints, static_cast<int>(newest.size()) - 1);
    for (int i = 0; i <= last; ++i) {
        const double f = i * m.SweepStep + m.SweepStart;
        const double v = spectrum[static_cast<size_t>(NoiseBin(f, centre, w) - 1)];
        double& point = newest[static_cast<size_t>(i)];
        const int32_t l = m.ContAverage;
        point = l >= 1 ? (1.0 - 1.0 / l) * point + e * v / l : e * v;
        if (static_cast<size_t>(i) < curves.X.size())
            curves.X[static_cast<size_t>(i)] = point;
        if (static_cast<size_t>(i) < curves.Y.size())
            curves.Y[static_cast<size_t>(i)] = 0.0;
    }
}

NoiseWaitState NoiseWaitStep(int32_t samples, bool abortRequested, double elapsedSeconds, int32_t d)
{
    if (samples >= NoiseSamples)
        return NoiseWaitState::Ready;
    if (abortRequested)
        return NoiseWaitState::Aborted;
    if (elapsedSeconds > NoiseTimeoutSeconds(d))
        return NoiseWaitState::TimedOut;
    return NoiseWaitState::Waiting;
}

} // namespace qvt
