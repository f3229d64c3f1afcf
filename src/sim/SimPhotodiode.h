#pragma once
// The four-quadrant photodiode of the beam-deflection sensor.
//
// What a scientist would see: with the laser on, the horizontal and vertical
// difference signals follow the laser spot's offset from the diode's centre
// and the sum signal sits at SumDigits; with the laser off (bit 0x10 of the
// digital output clear) all three are only noise, the sum near 0.

#include <cstdint>

namespace qvt::sim {

struct PhotodiodeConfig {
    int32_t XAddress = 0; // inputs carrying the signals (0: not attached)
    int32_t YAddress = 0;
    int32_t SumAddress = 0;
    double SpotX = 0.0; // difference signals of the spot's offset, in digits
    double SpotY = 0.0;
    double SumDigits = 20000.0;
};

class SimPhotodiode {
public:
    explicit SimPhotodiode(const PhotodiodeConfig& config) : config_(config) {}
    void SetSpot(double x, double y)
    {
        config_.SpotX = x;
        config_.SpotY = y;
    }
    // The reading of `address` before noise; false when it is not one of the diode's.
    bool Read(int32_t address, bool laserOn, double& value) const;

private:
    PhotodiodeConfig config_;
};

} // namespace qvt::sim
