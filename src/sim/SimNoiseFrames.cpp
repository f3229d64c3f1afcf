#include "sim/SimNoiseFrames.h"

#include "protocol/ControlCodes.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>

namespace qvt::sim {

namespace {
constexpr double Boltzmann = 1.380649e-23;
constexpr int32_t AddressResonanceX = -20;
constexpr int32_t AddressResonanceY = -21;
constexpr int32_t AddressFill = -23;
constexpr double DecimatorTaps = 768.0; // 3 controller ticks at the 10 MHz clock
constexpr int DecimatorStages = 6;

int32_t ClampDigits(double v)
{
    return static_cast<int32_t>(std::clamp(std::round(v), -2.0e9, 2.0e9));
}
} // namespace

SimNoiseFrames::SimNoiseFrames(const CantileverConfig& config, uint64_t seed) : config_(config), random_(seed) {}

double SimNoiseFrames::DecimatorGain(double offsetHz)
{
    const double r = std::abs(offsetHz) / ControllerClockHz;
    if (r < 1.0e-12)
        return 1.0;
    const double ratio =
        std::sin(3.0 * std::numbers::pi * r) / (DecimatorTaps * std::sin(std::numbers::pi * r / 256.0));
    return std::pow(std::abs(ratio), DecimatorStages);
}

void SimNoiseFrames::Configure(int32_t periodTicks, const int32_t addresses[4], double referenceHz, double inputGain,
                               int64_t nowNs)
{
    // Only the noise measurement's record (X and Y between two fill channels);
    // the oscilloscopes sample their inputs as they are.
    active_ = addresses[0] == AddressFill && addresses[3] == AddressFill && addresses[1] == AddressResonanceX &&
              addresses[2] == AddressResonanceY;
    period_ = std::max<int32_t>(periodTicks, 1);
    referenceHz_ = referenceHz;
    gain_ = inputGain;
    startNs_ = nowNs;
    synthesized_ = false;
}

// One frame with the spectrum of the thermal motion: each bin gets a random
// complex amplitude of the power the oscillator and the floor have there.
void SimNoiseFrames::Synthesize()
{
    const int n = NoiseFrameSamples;
    const double binHz = ControllerClockHz / (n * static_cast<double>(period_));
    const double f0 = config_.ResonanceHz;
    const double q = config_.Q;
    // One-sided displacement density at the peak: 2 kT Q / (π k f0), nm²/Hz.
    const double peakDensity =
        2.0 * Boltzmann * config_.Temperature * q / (std::numbers::pi * config_.SpringConstant * f0) * 1.0e18;
    const double digitsPerNm = config_.DetectorVoltsPerNm * gain_ / SimCantilever::DigitVolts;
    const double floorPower = 2.0 * config_.WhiteNoiseDigits * config_.WhiteNoiseDigits / n;
    std::array<std::complex<double>, NoiseFrameSamples> c{};
    for (int k = -n / 2; k < n / 2; ++k) {
        const double offset = k * binHz;
        const double f = referenceHz_ + offset;
        const double u = f / f0;
        const double shape = 1.0 / ((1.0 - u * u) * (1.0 - u * u) + u * u / (q * q));
        // The envelope carries twice the one-sided density of the real motion.
        const double thermal = f > 0.0 ? 2.0 * peakDensity / (q * q) * shape * binHz : 0.0;
        const double power = thermal * digitsPerNm * digitsPerNm + floorPower;
        const double sigma = std::sqrt(power / 2.0) * DecimatorGain(offset);
        c[static_cast<size_t>(k + n / 2)] = {random_.Gaussian() * sigma, random_.Gaussian() * sigma};
    }
    // X + iY turns backwards for motion above the reference (the lock-in's
    // phase convention), so a component at +offset is exp(−i 2π k t / T).
    for (int t = 0; t < n; ++t) {
        std::complex<double> z;
        for (int k = -n / 2; k < n / 2; ++k)
            z += c[static_cast<size_t>(k + n / 2)] * std::polar(1.0, -2.0 * std::numbers::pi * k * t / n);
        x_[static_cast<size_t>(t)] = ClampDigits(z.real());
        y_[static_cast<size_t>(t)] = ClampDigits(z.imag());
    }
    synthesized_ = true;
}

bool SimNoiseFrames::Buffer(int32_t channel, int64_t nowNs, int32_t* count, int32_t* samples)
{
    if (!active_ || (channel != 1 && channel != 2))
        return false;
    if (!synthesized_)
        Synthesize();
    const double elapsed = std::max<int64_t>(0, nowNs - startNs_) * 1.0e-9;
    const auto taken = static_cast<int64_t>(elapsed * ControllerClockHz / period_);
    *count = static_cast<int32_t>(std::min<int64_t>(taken, NoiseFrameSamples));
    const auto& frame = channel == 1 ? x_ : y_;
    std::copy(frame.begin(), frame.begin() + *count, samples);
    return true;
}

} // namespace qvt::sim
