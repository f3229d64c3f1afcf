#include "sim/SimCoarseMotor.h"

#include <cmath>
#include <limits>

namespace qvt::sim {

namespace {

constexpr int32_t ZNibbleMask = 0xF;
constexpr int32_t Enables = 0x3;
constexpr std::array<int32_t, 4> Cycle = {3, 11, 15, 7}; // a step up runs forward through it

int CycleIndex(int32_t nibble)
{
    for (int i = 0; i < 4; ++i)
        if (Cycle[i] == nibble)
            return i;
    return -1;
}

int32_t MotorRegBaseOf(int32_t type)
{
    if (type == 29)
        return 272;
    if (type == 24 || type == 26)
        return 48;
    return 42;
}

constexpr int32_t AuxBaseCard = 32;
constexpr int32_t AuxBaseType29 = 256;
constexpr int32_t MotorStatusOffset = 14;

} // namespace

SimCoarseMotor::SimCoarseMotor(const SimConfig& config)
    : config_(config.Coarse), motorRegBase_(MotorRegBaseOf(config.ControllerType)),
      statusRegister_((config.ControllerType == 29 ? AuxBaseType29 : AuxBaseCard) + MotorStatusOffset),
      startGap_(config.Coarse.Gap), gapSteps_(config.Coarse.Gap)
{
}

bool SimCoarseMotor::DigitalOut(int32_t word)
{
    const int32_t nibble = word & ZNibbleMask;
    const int32_t previous = zNibble_;
    zNibble_ = nibble;
    if (nibble == previous)
        return false;
    int from = CycleIndex(previous | Enables);
    if (from < 0)
        from = 0;
    if (nibble == Cycle[(from + 1) % 4]) {
        gapSteps_ += 1.0;
        ++stepsUp_;
        return true;
    }
    if (nibble == Cycle[(from + 3) % 4]) {
        gapSteps_ -= 1.0;
        ++stepsDown_;
        return true;
    }
    // Enables switched, pulse codes or the same phase: the rotor stays.
    return false;
}

bool SimCoarseMotor::IsMotorRegister(int32_t reg) const
{
    return reg >= motorRegBase_ + ZLegFirst && reg < motorRegBase_ + ZLegFirst + ZLegCount;
}

bool SimCoarseMotor::MotorWrite(int32_t reg, int32_t word)
{
    if (!IsMotorRegister(reg))
        return false;
    const auto w = static_cast<uint32_t>(word);
    const size_t leg = static_cast<size_t>(reg - motorRegBase_ - ZLegFirst);
    const uint32_t bit31 = w >> 31;
    if (bit31 == lastBit31_[leg])
        return false; // the old command again
    lastBit31_[leg] = bit31;

    int32_t velocity = static_cast<int32_t>((w >> 20) & 0x7FFu);
    if (velocity >= 0x400)
        velocity -= 0x800;
    const int32_t count = static_cast<int32_t>(w & 0xFFFFu);
    if (velocity == 0 || count == 0)
        return false;
    // One leg of three: a third of its travel moves the stage.
    const double steps = static_cast<double>(count) / config_.CountsPerStep / ZLegCount;
    gapSteps_ += velocity < 0 ? steps : -steps;
    return true;
}

int32_t SimCoarseMotor::EncoderCounts() const
{
    const double counts = std::round((gapSteps_ - startGap_) * config_.CountsPerStep);
    constexpr double limit = std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(std::fmax(-limit, std::fmin(limit, counts)));
}

} // namespace qvt::sim
