#include "sim/SimModelZLoop.h"

#include "sim/SimMoveGenerator.h"

#include <algorithm>
#include <cmath>

namespace qvt::sim {

namespace {
constexpr int32_t ModeWordMask = 0xF000;
constexpr int32_t StmWord = 0x1000;
constexpr int32_t ContactWord = 0x2000;
constexpr int32_t DynamicWord = 0x4000;
constexpr int32_t PllWord = 0x4080;
constexpr int32_t PllWordMask = 0xFF80;
constexpr double SlopeUnit = 16777216.0; // plane words are dz/dx scaled by 2^24
constexpr double MaxExponent = 20.0;     // a crashed tip saturates, it does not overflow

int32_t ClampZ(double z, int32_t zMin, int32_t zMax)
{
    if (!(z > zMin))
        return zMin;
    if (z >= zMax)
        return zMax;
    return static_cast<int32_t>(std::lround(z));
}
} // namespace

SimZLoop::SimZLoop(const SimConfig& config) : surface_(config.Surface), probe_(config.Probe) {}

void SimZLoop::SetFeedback(const TSetFeedbackRecord& record, int64_t nowNs, int32_t z)
{
    feedback_ = record;
    const int32_t word = record.ControlWord & 0xFFFF;
    if (word & ControlFeedbackRetract) {
        if (state_ != State::Retract) {
            retractStartNs_ = nowNs;
            retractStartZ_ = z;
        }
        state_ = State::Retract;
        engaged_ = false;
        return;
    }
    switch (word & ModeWordMask) {
    case StmWord:
        family_ = Family::Stm;
        setpoint_ = 4.0 * record.Setpoint; // the word is the input level div 4
        break;
    case ContactWord:
        family_ = Family::Contact;
        setpoint_ = 4.0 * record.Setpoint;
        break;
    case DynamicWord:
        family_ = Family::Dynamic;
        setpoint_ = (word & PllWordMask) == PllWord ? record.AmplitudeSetpoint : record.Setpoint;
        break;
    default:
        state_ = State::Hold;
        return;
    }
    if (state_ == State::Retract) {
        // Out of a retract the loop extends Z at its own pace.
        engageStartNs_ = nowNs;
        engageStartZ_ = z;
        state_ = State::Engage;
    } else if (state_ != State::Engage) {
        state_ = State::Track;
    }
    engaged_ = true;
}

double SimZLoop::ContactZ(double x, double y) const
{
    return surface_.Height(x, y) + offset_ - Plane(x, y);
}

double SimZLoop::EngageRamp(int64_t nowNs) const
{
    const double ticks = static_cast<double>(std::max<int64_t>(0, nowNs - engageStartNs_)) /
                         static_cast<double>(SimMoveGenerator::TickNs);
    return engageStartZ_ + probe_.EngageSlew * ticks;
}

bool SimZLoop::Touching(const SimProbeState& s, int64_t nowNs, int32_t zMax) const
{
    const double contact = ContactZ(s.X, s.Y);
    switch (state_) {
    case State::Track:
        return contact <= zMax;
    case State::Engage:
        return contact <= zMax && EngageRamp(nowNs) >= contact;
    case State::Hold:
    case State::Retract:
        break;
    }
    return s.Z >= contact;
}

double SimZLoop::Plane(double x, double y) const
{
    return (slope_.DzDx * x + slope_.DzDy * y) / SlopeUnit;
}

int32_t SimZLoop::ZAt(int32_t z, double x, double y, int64_t nowNs, int32_t zMin, int32_t zMax, SimRandom& random) const
{
    switch (state_) {
    case State::Track:
    case State::Engage: {
        double target = ContactZ(x, y);
        if (surface_.Noise() > 0.0)
            target += surface_.Noise() * random.Gaussian();
        if (state_ == State::Engage)
            target = std::min(target, EngageRamp(nowNs));
        return ClampZ(target, zMin, zMax);
    }
    case State::Retract: {
        const double ticks = static_cast<double>(std::max<int64_t>(0, nowNs - retractStartNs_)) /
                             static_cast<double>(SimMoveGenerator::TickNs);
        return ClampZ(std::min<double>(z, retractStartZ_ - probe_.RetractSlew * ticks), zMin, zMax);
    }
    case State::Hold:
        break;
    }
    return std::clamp(z, zMin, zMax);
}

SimProbeSignals SimZLoop::Signals(const SimProbeState& s, int64_t nowNs, int32_t zMax) const
{
    SimProbeSignals out;
    out.FeedbackAddress = feedback_.InputAddress;
    out.TopographyAddress = probe_.TopographyAddress;
    const double plane = Plane(s.X, s.Y);
    out.Topography = probe_.TopographyGain * (s.Z + plane);
    if (!engaged_ || state_ == State::Retract)
        return out;

    const bool loopRuns = state_ == State::Track || state_ == State::Engage;
    // Still extending, or the sample is beyond reach: the tip hangs in the air.
    if (loopRuns && !Touching(s, nowNs, zMax))
        return out;
    out.Interacting = true;
    if (loopRuns) {
        // The loop lags the surface by about one step: edges show in the error.
        const double change = surface_.Height(s.X, s.Y) - surface_.Height(s.X - s.StepX, s.Y - s.StepY);
        out.Interaction = setpoint_ + probe_.TrackingError * change;
        return out;
    }
    // Held: the input follows the tip's distance; d > 0 is closer than at the setpoint.
    const double d = s.Z - ContactZ(s.X, s.Y);
    switch (family_) {
    case Family::Stm:
        out.Interaction = setpoint_ * std::exp(std::clamp(d / probe_.CurrentDecay, -MaxExponent, MaxExponent));
        break;
    case Family::Contact:
        out.Interaction = setpoint_ + probe_.Stiffness * d;
        break;
    case Family::Dynamic:
        out.Interaction = setpoint_ - probe_.Stiffness * d;
        break;
    case Family::None:
        out.Interacting = false;
        break;
    }
    return out;
}

} // namespace qvt::sim
