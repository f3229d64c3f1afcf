#pragma once
// The x/y translator and the three motors of the levelling station, as seen
// on the digital output register 40.
//
// What a scientist would see: holding "left" or "right" in the coarse window
// walks the translator's x counter one step per phase change, "forward" and
// "backward" its y counter; each levelling button turns one or two of the
// station's three legs, whose counters say how far each leg went. The
// z motor of the same register is the coarse motor (SimCoarseMotor).
//
// Register 40: the y phase in bits 4-7 and the x phase in bits 8-11 (the
// forward cycle 3, 11, 15, 7 counts up, the reverse one down); the legs A, B
// and C in the high half, five bits each from bit 16 (the forward cycle 3, 6,
// 12, 24, 17 counts up). A pattern outside a cycle (the power-off code, a
// pulse code) moves nothing and starts the next count afresh.

#include <array>
#include <cstdint>

namespace qvt::sim {

class SimCoarseAxes {
public:
    enum Axis { X, Y, LegA, LegB, LegC, AxisCount };

    // A write of register 40.
    void DigitalOut(int32_t word);
    // Signed steps since switch-on.
    int64_t Steps(Axis axis) const { return steps_[axis]; }

private:
    std::array<int32_t, AxisCount> last_{};
    std::array<int64_t, AxisCount> steps_{};
};

} // namespace qvt::sim
