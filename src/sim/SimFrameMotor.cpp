#include "sim/SimFrameMotor.h"

#include <algorithm>
#include <cmath>

namespace qvt::sim {

bool SimFrameMotor::Write(int32_t reg, int32_t value, int64_t nowNs)
{
    if (!config_.Attached)
        return false;
    const auto w = static_cast<uint32_t>(value);
    if (reg == ModeRegister) {
        Advance(nowNs);
        sensorMode_ = (w & 2u) != 0;
        rising_ = (w & 1u) != 0;
        referenceMv_ = static_cast<double>(w & 0xFFFFFF00u) / 1e5;
        return true;
    }
    if (reg != StepRegister)
        return false;
    Advance(nowNs);
    commanded_ = true;
    finished_ = false;
    startPosition_ = position_;
    direction_ = (w & 0x40000000u) != 0 ? 1 : -1;
    steps_ = static_cast<int32_t>((w >> 16) & 0x3FFFu) + 1;
    made_ = 0;
    rateHz_ = std::max<uint32_t>(1u, w & 0xFFFFu) * HzPerSpeedUnit;
    startNs_ = nowNs;
    ++chunks_;
    return true;
}

double SimFrameMotor::SensorMv(double position) const
{
    return std::clamp((position - config_.SensorStartSteps) * config_.SensorMvPerStep, 0.0, config_.SensorMaxMv);
}

void SimFrameMotor::Advance(int64_t nowNs)
{
    if (finished_)
        return;
    const double elapsed = static_cast<double>(nowNs - startNs_) * 1e-9 * rateHz_;
    const auto due = static_cast<int32_t>(std::min<double>(steps_, std::floor(std::max(0.0, elapsed))));
    for (int32_t k = made_ + 1; k <= due; ++k) {
        made_ = k;
        position_ = startPosition_ + direction_ * k;
        if (sensorMode_) {
            const double mv = SensorMv(position_);
            if (rising_ ? mv >= referenceMv_ : mv <= referenceMv_) {
                finished_ = true;
                return;
            }
        }
    }
    if (made_ >= steps_)
        finished_ = true;
}

int32_t SimFrameMotor::Progress(int64_t nowNs)
{
    Advance(nowNs);
    return static_cast<int32_t>(static_cast<uint32_t>(made_) << 8) | (finished_ ? 1 : 0);
}

double SimFrameMotor::Position(int64_t nowNs)
{
    Advance(nowNs);
    return position_;
}

} // namespace qvt::sim
