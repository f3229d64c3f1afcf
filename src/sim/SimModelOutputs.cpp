#include "sim/SimModelOutputs.h"

#include <algorithm>
#include <climits>

namespace qvt::sim {

SimOutputs::SimOutputs(const SimConfig& config)
    : dacMin_(config.DacMin), dacMax_(config.DacMax), configured_(config.ConfiguredLimits), zMin_(config.DacMin[0]),
      zMax_(config.DacMax[0])
{
    // Stored violations never grow the heap on the request path.
    violations_.reserve(MaxStoredViolations);
    for (int i = 0; i < DacCount; ++i)
        dacs_[i] = std::clamp(0, dacMin_[i], dacMax_[i]);
}

bool SimOutputs::IsDacRegister(int32_t reg)
{
    return (reg >= RegDacBase && reg <= RegDacBase + 7) || reg == RegDac10;
}

void SimOutputs::Write(int32_t reg, int32_t value)
{
    const int index = reg - RegDacBase;
    if (index < 0 || index >= DacCount)
        return;
    if (index == 0) {
        // Z: the range the program set is what the scanner may see; before
        // the first range arrives, DAC1's own limits stand in for it.
        if (value < zMin_ || value > zMax_)
            Record(reg, value, zMin_, zMax_, zRangeSet_ ? GuardLimit::ZRange : GuardLimit::Dac);
        dacs_[0] = std::clamp(value, zMin_, zMax_);
        return;
    }
    int32_t min = 0;
    int32_t max = 0;
    Limits(index + 1, min, max);
    if (value < min || value > max)
        Record(reg, value, min, max, GuardLimit::Dac);
    dacs_[index] = value;
}

bool SimOutputs::SetZRange(const TZRangeRecord& range)
{
    if (range.MinRaw > range.MaxRaw)
        return false;
    zMin_ = range.MinRaw;
    zMax_ = range.MaxRaw;
    zFlags_ = range.Flags;
    zRangeSet_ = true;
    dacs_[0] = std::clamp(dacs_[0], zMin_, zMax_);
    return true;
}

void SimOutputs::Drive(int dac, int32_t value)
{
    if (dac < 1 || dac > DacCount)
        return;
    dacs_[dac - 1] = dac == 1 ? std::clamp(value, zMin_, zMax_) : value;
}

void SimOutputs::CheckRequest(int dac, int32_t reg, int64_t value)
{
    if (dac < 1 || dac > DacCount)
        return;
    int32_t min = zMin_;
    int32_t max = zMax_;
    if (dac != 1)
        Limits(dac, min, max);
    if (value < min || value > max)
        Record(reg, static_cast<int32_t>(std::clamp<int64_t>(value, INT32_MIN, INT32_MAX)), min, max,
               dac == 1 && zRangeSet_ ? GuardLimit::ZRange : GuardLimit::Dac);
}

void SimOutputs::SetDacLimits(int dac, int32_t min, int32_t max)
{
    if (dac < 1 || dac > DacCount)
        return;
    if (min > max)
        std::swap(min, max);
    dacMin_[dac - 1] = min;
    dacMax_[dac - 1] = max;
    if (dac == 1 && !zRangeSet_) {
        zMin_ = min;
        zMax_ = max;
    }
}

void SimOutputs::Limits(int dac, int32_t& min, int32_t& max) const
{
    min = dacMin_[dac - 1];
    max = dacMax_[dac - 1];
    int32_t lo = 0;
    int32_t hi = 0;
    if (configured_ && configured_(dac, lo, hi) && lo <= hi) {
        min = std::max(min, lo);
        max = std::min(max, hi);
    }
}

int32_t SimOutputs::Dac(int n) const
{
    return n >= 1 && n <= DacCount ? dacs_[n - 1] : 0;
}

void SimOutputs::ClearViolations()
{
    violations_.clear();
    violationCount_ = 0;
}

void SimOutputs::Record(int32_t reg, int32_t value, int32_t min, int32_t max, GuardLimit limit)
{
    ++violationCount_;
    last_ = {reg, value, min, max, limit};
    if (violations_.size() < MaxStoredViolations)
        violations_.push_back(last_);
}

} // namespace qvt::sim
