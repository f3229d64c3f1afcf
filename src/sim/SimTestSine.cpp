#include "sim/SimTestSine.h"

#include <cmath>
#include <numbers>

namespace qvt::sim {

double TestSineSignal(const TestSineConfig& config, int32_t address, int64_t nowNs)
{
    if (config.Address <= 0 || address != config.Address)
        return 0.0;
    // The phase from whole periods kept apart, so long runs keep full precision.
    const double periodNs = config.Hz > 0.0 ? 1.0e9 / config.Hz : 0.0;
    if (periodNs <= 0.0)
        return 0.0;
    const double phase = std::fmod(static_cast<double>(nowNs), periodNs) / periodNs;
    return config.Digits * std::sin(2.0 * std::numbers::pi * phase);
}

} // namespace qvt::sim
