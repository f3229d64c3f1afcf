#pragma once
// The input side of the box: the ADCs and the demodulator outputs.
//
// What a scientist would see: an idle input shows its own small offset, a slow
// thermal drift of a digit or two and a few digits of noise, as an unconnected
// input of a real box does; input 22 shows where Z sits in its range; the
// demodulators, with no cantilever behind them yet, show noise around zero
// while the drive output reads back the drive word in use.

#include "sim/SimConfig.h"
#include "sim/SimModelOutputs.h"
#include "sim/SimRandom.h"

#include <cstdint>

namespace qvt::sim {

class SimInputs {
public:
    explicit SimInputs(const SimConfig& config);

    // An input register (read address 1 or above, not a control register).
    int32_t ReadAdc(int32_t address, int64_t nowUs, const SimOutputs& outputs);
    // An output-side signal of the lock-in section (read addresses -10..-21).
    static bool IsDemodulatorAddress(int32_t address);
    int32_t ReadDemodulator(int32_t address, int32_t driveRegister);

private:
    int32_t Noise();

    SimRandom random_;
    double noise_;
};

} // namespace qvt::sim
