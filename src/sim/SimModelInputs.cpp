#include "sim/SimModelInputs.h"

#include "protocol/ControlCodes.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace qvt::sim {

namespace {
constexpr double DriftDigits = 1.5;
constexpr double DriftPeriodUs = 60.0e6;
constexpr int32_t ZMeterFullScale = 32000;
} // namespace

SimInputs::SimInputs(const SimConfig& config) : random_(config.Seed), noise_(config.AdcNoise), testSine_(config.TestSine) {}

int32_t SimInputs::Noise()
{
    return static_cast<int32_t>(std::lround(random_.Gaussian() * noise_));
}

int32_t SimInputs::ReadAdc(int32_t address, const SimInputContext& c)
{
    if (address == ReadAddrZRangeFlag) {
        const double span = static_cast<double>(c.ZMax) - c.ZMin;
        double pos = span > 0.0 ? (2.0 * (static_cast<double>(c.Z) - c.ZMin) / span - 1.0) : 0.0;
        if (c.ZFlags & ZRangeFlagInput22Invers)
            pos = -pos;
        return static_cast<int32_t>(std::lround(pos * ZMeterFullScale));
    }
    double signal = 0.0;
    if (c.Probe.Interacting && address == c.Probe.FeedbackAddress)
        signal = c.Probe.Interaction;
    else if (c.Probe.TopographyAddress > 0 && address == c.Probe.TopographyAddress)
        signal = c.Probe.Topography;
    signal += TestSineSignal(testSine_, address, c.NowNs);
    // Each input its own offset of a few digits, drifting slowly with its own phase.
    const int32_t offset = (address * 37) % 21 - 10;
    const double phase = 2.0 * std::numbers::pi * (static_cast<double>(c.NowUs) / DriftPeriodUs + address * 0.13);
    const double drift = DriftDigits * std::sin(phase);
    const double value = std::nearbyint(signal) + offset + std::lround(drift) + Noise();
    return static_cast<int32_t>(std::clamp(value, -2147483647.0, 2147483647.0));
}

bool SimInputs::IsDemodulatorAddress(int32_t address)
{
    return address == ReadAddrDrive || address == ReadAddrResonanceAmplitude ||
           (address <= ReadAddrLia1X && address >= ReadAddrResonanceY);
}

int32_t SimInputs::ReadDemodulator(int32_t address, int32_t driveRegister)
{
    if (address == ReadAddrDrive)
        return driveRegister & 0xFFFF;
    if (address == ReadAddrResonanceAmplitude)
        return std::abs(Noise());
    return Noise();
}

} // namespace qvt::sim
