#include "sim/SimMultiLockIn.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace qvt::sim {

SimMultiLockIn::SimMultiLockIn(const CantileverConfig& config, uint64_t seed) : config_(config), random_(seed ^ 0x5A5A)
{
}

void SimMultiLockIn::SetAmplitudeWord(int k, int32_t word)
{
    if (k >= 2 && k <= 3)
        amplitudeWords_[static_cast<size_t>(k)] = std::clamp(word, 0, 65535);
}

// Two flexural modes, each a driven damped oscillator normalised to a static
// response of 1.
std::complex<double> SimMultiLockIn::Response(double hz) const
{
    auto mode = [hz](double f0, double q) {
        if (!(f0 > 0.0) || !(q > 0.0))
            return std::complex<double>{};
        const double r = hz / f0;
        return 1.0 / std::complex<double>(1.0 - r * r, r / q);
    };
    return mode(config_.ResonanceHz, config_.Q) +
           0.1 * mode(config_.ResonanceHz * config_.SecondModeRatio, config_.SecondModeQ);
}

int32_t SimMultiLockIn::Read(int32_t address, const std::array<int32_t, 3>& frequencyWords, int32_t phaseRegister,
                             int32_t amplitudeRegister, int32_t controlWord)
{
    const int k = (-14 - address) / 2; // 0..2
    const bool wantY = ((-14 - address) % 2) != 0;
    const auto uphase = static_cast<uint32_t>(phaseRegister);
    const uint32_t phaseWords[3] = {(uphase & 0x3FF) << 1, (uphase >> 10) & 0x7FF, (uphase >> 21) & 0x7FF};
    auto hz = [&frequencyWords](int j) {
        return static_cast<uint32_t>(frequencyWords[static_cast<size_t>(j)]) / 429.4967296;
    };

    // The drive volts of each oscillator.
    double drive[3] = {};
    if (controlWord & 0x8000) {
        // Through reference output A the LIA 1 word rides on the drive
        // output, so the drive's range bits (0x30) set its full scale; the
        // LIA 1 range bits (0x300) belong to its own output, unused here.
        const int32_t range = controlWord & 0x30;
        const double full = range == 0x30 ? 0.1 : range == 0x10 ? 1.0 : 10.0;
        drive[0] = (static_cast<uint32_t>(amplitudeRegister) >> 16) / 65535.0 * full;
    }
    drive[1] = amplitudeWords_[2] / 65535.0 * OutputVolts;
    drive[2] = amplitudeWords_[3] / 65535.0 * OutputVolts;

    std::complex<double> signal;
    const bool inputB = (controlWord & (0x02000000 << k)) != 0;
    const double f = hz(k);
    if (!inputB && f > 0.0) {
        // Oscillators within the filter's reach of this one add up; others
        // average out.
        for (int j = 0; j < 3; ++j) {
            if (drive[j] == 0.0 || std::fabs(hz(j) - f) > 0.5)
                continue;
            const double nm = drive[j] * config_.DriveNmPerVolt;
            signal += nm * config_.DetectorVoltsPerNm * Response(f);
        }
        // The reference phase turns the demodulated vector (the automatic
        // phase subtracts its angle).
        const double ref = phaseWords[k] / 2047.0 * 2.0 * std::numbers::pi;
        signal *= std::polar(1.0, ref);
    }
    const double volts = wantY ? signal.imag() : signal.real();
    const double digits = volts / DigitVolts + random_.Gaussian() * config_.WhiteNoiseDigits;
    return static_cast<int32_t>(std::clamp(std::round(digits), -2147483647.0, 2147483647.0));
}

} // namespace qvt::sim
