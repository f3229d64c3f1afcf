#pragma once
// The input side of the box: the ADCs and the demodulator outputs.
//
// What a scientist would see: an idle input shows its own small offset, a slow
// thermal drift of a digit or two and a few digits of noise, as an unconnected
// input of a real box does; input 22 shows where Z sits in its range; the
// demodulators, with no cantilever behind them yet, show noise around zero
// while the drive output reads back the drive word in use. The feedback input
// carries what the tip feels (current, deflection or amplitude, see the Z
// loop) and the Z sensor input the scanner's Z extension, each with the
// input's own offset and noise on top.

#include "sim/SimConfig.h"
#include "sim/SimModelZLoop.h"
#include "sim/SimRandom.h"

#include <cstdint>

namespace qvt::sim {

// The state an input reading is taken in.
struct SimInputContext {
    int64_t NowUs = 0;
    int64_t NowNs = 0;
    int32_t Z = 0; // Z output
    int32_t ZMin = 0;
    int32_t ZMax = 0;
    int32_t ZFlags = 0;
    SimProbeSignals Probe;
};

class SimInputs {
public:
    explicit SimInputs(const SimConfig& config);

    // An input register (read address 1 or above, not a control register).
    int32_t ReadAdc(int32_t address, const SimInputContext& context);
    // An output-side signal of the lock-in section (read addresses -10..-21).
    static bool IsDemodulatorAddress(int32_t address);
    int32_t ReadDemodulator(int32_t address, int32_t driveRegister);
    // One sample of an input's noise, for inputs modelled elsewhere.
    int32_t NoiseDigits() { return Noise(); }

private:
    int32_t Noise();

    SimRandom random_;
    double noise_;
    TestSineConfig testSine_;
};

} // namespace qvt::sim
