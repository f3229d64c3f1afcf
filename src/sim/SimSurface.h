#pragma once
// The sample under the tip: a height z(x, y) in Z digits over the raw X/Y
// position. Each part can be switched on alone in ini/sim.ini ([Surface]).
//
// What a scientist would see:
// - tilt: the raw image is a plane rising along X and Y, the picture plane
//   levelling is made for;
// - atomic steps: flat terraces separated by parallel straight edges, each
//   terrace one step height above its neighbour, as on a cleaved crystal;
// - grating: straight lines parallel to Y with flat tops and a period along X,
//   as on a calibration grating;
// - noise: a few digits of grain on every Z reading, as loop and thermal noise
//   give on a real scan.

#include "sim/SimConfig.h"

namespace qvt::sim {

class SimSurface {
public:
    explicit SimSurface(const SurfaceConfig& config);

    // Height of the sample at (x, y) without the noise; the loop adds that.
    double Height(double x, double y) const;
    double Noise() const { return config_.Noise; }

private:
    SurfaceConfig config_;
    double stepCos_;
    double stepSin_;
};

} // namespace qvt::sim
