#include "sim/SimSurface.h"

#include <cmath>

namespace qvt::sim {

SimSurface::SimSurface(const SurfaceConfig& config)
    : config_(config), stepCos_(std::cos(config.StepAngle)), stepSin_(std::sin(config.StepAngle))
{
}

double SimSurface::Height(double x, double y) const
{
    double z = config_.Base + config_.TiltX * x + config_.TiltY * y;
    if (config_.StepHeight != 0.0) {
        const double across = x * stepCos_ + y * stepSin_;
        z += config_.StepHeight * std::floor(across / config_.TerraceWidth);
    }
    if (config_.GratingHeight != 0.0) {
        const double phase = x / config_.GratingPeriod;
        if (phase - std::floor(phase) < 0.5)
            z += config_.GratingHeight;
    }
    return z;
}

} // namespace qvt::sim
