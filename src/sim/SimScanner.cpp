#include "sim/SimScanner.h"

#include <algorithm>
#include <climits>
#include <cmath>

namespace qvt::sim {

SimScanner::SimScanner(const SimConfig& config)
    : config_(config.Scanner), noise_(config.AdcNoise), random_(config.Seed ^ 0x5CA77E55u)
{
}

bool SimScanner::Linear() const
{
    return config_.QuadX == 0.0 && config_.CubicX == 0.0 && config_.QuadY == 0.0 && config_.CubicY == 0.0;
}

double SimScanner::Bend(double v, double quad, double cubic) const
{
    const double h = config_.HalfRange;
    const double u = v / h;
    return v + h * (quad * u * u + cubic * u * u * u);
}

bool SimScanner::ReadSensor(int32_t address, double x, double y, int32_t& reading)
{
    double position = 0.0;
    if (config_.SensorXAddress > 0 && address == config_.SensorXAddress)
        position = TrueX(x);
    else if (config_.SensorYAddress > 0 && address == config_.SensorYAddress)
        position = TrueY(y);
    else
        return false;
    double v = config_.SensorGain * position;
    if (noise_ > 0.0)
        v += noise_ * random_.Gaussian();
    reading = static_cast<int32_t>(std::clamp(std::nearbyint(v), double(INT32_MIN), double(INT32_MAX)));
    return true;
}

} // namespace qvt::sim
