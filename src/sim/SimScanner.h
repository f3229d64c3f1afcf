#pragma once
// The tube scanner between the X/Y outputs and the tip, and its position
// sensors.
//
// What a scientist would see: a real piezo tube does not follow its drive in
// proportion; the tip runs ahead at one end of the range and lags at the
// other (a quadratic bow) and bends at both ends (a cubic), so a grating
// scanned without correction shows its lines crowded on one side and spread
// on the other. Position sensors read where the tip truly is, which is what a
// linearisation corrects the drive with.

#include "sim/SimConfig.h"
#include "sim/SimRandom.h"

#include <cstdint>

namespace qvt::sim {

class SimScanner {
public:
    explicit SimScanner(const SimConfig& config);

    // Where the tip is with the outputs at (x, y).
    double TrueX(double x) const { return Bend(x, config_.QuadX, config_.CubicX); }
    double TrueY(double y) const { return Bend(y, config_.QuadY, config_.CubicY); }
    bool Linear() const;

    // A position sensor's reading at the outputs (x, y); false when `address`
    // is no sensor.
    bool ReadSensor(int32_t address, double x, double y, int32_t& reading);

private:
    double Bend(double v, double quad, double cubic) const;

    ScannerConfig config_;
    double noise_;
    SimRandom random_;
};

} // namespace qvt::sim
