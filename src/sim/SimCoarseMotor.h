#pragma once
// The coarse z motor under the sample stage.
//
// What a scientist would see: every "Down" step of the approach motor brings
// the sample one step nearer the tip and every "Up" step takes it one step
// away; while the remaining gap is wider than the Z piezo can reach, the
// extended piezo hangs in the air and no contact is reported, and once the
// surface comes within reach the Z loop lands on it and the contact reading
// turns positive. An optional encoder register reads where the stage is.
//
// The motor listens to two kinds of drive electronics:
// - a two-phase stepper on the z nibble (bits 0-3) of the digital output
//   register 40: bits 0-1 are its enables, bits 2-3 its quadrature phase.
//   The forward cycle 3, 11, 15, 7 is a step up, the reverse cycle 3, 7,
//   15, 11 a step down; a nibble outside the cycle counts as its value with
//   the enables set (as the program's step routine ORs 3 in first);
// - three motorised legs on motor channels 4, 5 and 6: a command word
//   carries a signed 11-bit velocity in bits 20-30 (negative: away from the
//   sample) and a count in bits 0-15; bit 31 flips with every new command, so
//   a word whose bit 31 did not flip is the old command again. The stage moves
//   by the mean of the three legs, CountsPerStep counts making one step.

#include "sim/SimConfig.h"

#include <array>
#include <cstdint>

namespace qvt::sim {

class SimCoarseMotor {
public:
    explicit SimCoarseMotor(const SimConfig& config);

    // The register of motor channel 0 and the motor status register on this
    // controller type.
    int32_t MotorRegBase() const { return motorRegBase_; }
    int32_t MotorStatusRegister() const { return statusRegister_; }
    // The legs are always ready: bits 4-6 of the status register.
    static constexpr int32_t ReadyBits = 0x70;
    int32_t EncoderRegister() const { return config_.EncoderRegister; }

    // A write of register 40. True when the stage moved.
    bool DigitalOut(int32_t word);
    // A write of register `reg`; true when it was a motor command that moved the stage.
    bool MotorWrite(int32_t reg, int32_t word);
    bool IsMotorRegister(int32_t reg) const;

    // Steps the sample stands beyond the point where the loop meets the
    // surface at its Base height (negative: pushed past it).
    double GapSteps() const { return gapSteps_; }
    // The same in Z digits: what the Z piezo has to reach further.
    double OffsetDigits() const { return gapSteps_ * config_.StepSize; }
    // Full steps up and down the phase motor made since switch-on.
    int64_t StepsUp() const { return stepsUp_; }
    int64_t StepsDown() const { return stepsDown_; }
    // The encoder: position away from the sample since switch-on, in counts.
    int32_t EncoderCounts() const;

private:
    static constexpr int ZLegFirst = 4;
    static constexpr int ZLegCount = 3;

    CoarseConfig config_;
    int32_t motorRegBase_;
    int32_t statusRegister_;
    double startGap_;
    double gapSteps_;
    int32_t zNibble_ = 0;
    std::array<uint32_t, ZLegCount> lastBit31_{};
    int64_t stepsUp_ = 0;
    int64_t stepsDown_ = 0;
};

} // namespace qvt::sim
