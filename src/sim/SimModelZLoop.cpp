#include "sim/SimModelZLoop.h"

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
constexpr int32_t InvertBit = 0x200;      // the controller inverts the input
constexpr int32_t StmMode1Bit = 0x100;    // mode 1 expects the opposite sign of current
constexpr int32_t StmAdaptiveBit = 0x400; // mode 2: mode 1's sign, the error shifted right by the low bits
constexpr int32_t StmAdaptiveShiftMask = 0xF;
constexpr double SlopeUnit = 16777216.0;  // plane words are dz/dx scaled by 2^24
constexpr double SetpointWordScale = 4.0; // the word of modes 0..3 is the input level div 4
} // namespace

SimZLoop::SimZLoop(const SimConfig& config) : surface_(config.Surface), probe_(config.Probe) {}

void SimZLoop::SetFeedback(const TSetFeedbackRecord& record)
{
    feedback_ = record;
    const int32_t word = record.ControlWord & 0xFFFF;
    if (word & ControlFeedbackRetract) {
        state_ = State::Retract;
        return;
    }
    polarity_ = (word & InvertBit) ? -1.0 : 1.0;
    direction_ = 1.0;
    errorShift_ = 1.0;
    switch (word & ModeWordMask) {
    case StmWord:
        family_ = Family::Stm;
        if (word & (StmMode1Bit | StmAdaptiveBit))
            polarity_ = -polarity_;
        if (word & StmAdaptiveBit)
            errorShift_ = std::ldexp(1.0, -(word & StmAdaptiveShiftMask));
        setpoint_ = SetpointWordScale * record.Setpoint;
        break;
    case ContactWord:
        family_ = Family::Contact;
        setpoint_ = SetpointWordScale * record.Setpoint;
        break;
    case DynamicWord:
        family_ = Family::Dynamic;
        direction_ = -1.0; // the amplitude shrinks as the tip comes closer
        setpoint_ = (word & PllWordMask) == PllWord ? record.AmplitudeSetpoint : record.Setpoint;
        break;
    default:
        state_ = State::Hold;
        return;
    }
    // IntegralGain = -Kp - Ki', ProportionalGain = Kp: the incremental form
    // dZ = -(Kp + Ki') e[n] + Kp e[n-1] (too much signal: back off).
    gainNow_ = static_cast<double>(record.IntegralGain) / GainScale;
    gainPrev_ = static_cast<double>(record.ProportionalGain) / GainScale;
    fresh_ = true;
    state_ = State::Track;
}

double SimZLoop::ContactZ(double x, double y) const
{
    return surface_.Height(x, y) + offset_ - Plane(x, y);
}

double SimZLoop::Plane(double x, double y) const
{
    return (slope_.DzDx * x + slope_.DzDy * y) / SlopeUnit;
}

double SimZLoop::Interaction(double d, int32_t bias) const
{
    switch (family_) {
    case Family::Stm: {
        const double current = probe_.SaturationCurrent * std::exp(std::min(d, 0.0) / probe_.CurrentDecay);
        return bias > 0 ? current : bias < 0 ? -current : 0.0;
    }
    case Family::Contact:
        return probe_.Stiffness * std::max(d, 0.0);
    case Family::Dynamic:
        return probe_.FreeAmplitude * std::clamp(-d / probe_.AmplitudeGap, 0.0, 1.0);
    case Family::None:
        break;
    }
    return 0.0;
}

double SimZLoop::Tick(const SimProbeState& s, int32_t zMin, int32_t zMax)
{
    const double contact = ContactZ(s.X, s.Y);
    switch (state_) {
    case State::Hold:
        return z_ - contact;
    case State::Retract:
        z_ = std::max<double>(zMin, std::min<double>(z_, zMax) - probe_.RetractSlew);
        return z_ - contact;
    case State::Track:
        break;
    }
    // Address 81 is the high-speed module's output (its "Zout"), not the
    // tip's signal: the module keeps the tip itself and, with no fast piezo
    // here, leaves the slow loop nothing to take over, so Z holds.
    const bool module = feedback_.InputAddress == ReadAddrFastFeedbackInput;
    const bool wired = !module && (probe_.SignalAddress == 0 || feedback_.InputAddress == probe_.SignalAddress);
    const double input = wired ? Interaction(z_ - contact, s.Bias) : 0.0;
    const double e = (polarity_ * input - setpoint_) * errorShift_;
    const double ePrev = fresh_ ? e : errorPrev_;
    fresh_ = false;
    errorPrev_ = e;
    const double next = z_ + direction_ * (gainNow_ * e + gainPrev_ * ePrev);
    // A runaway loop stops at the rails (and a NaN at the bottom one).
    z_ = next > zMin ? std::min<double>(next, zMax) : zMin;
    return z_ - contact;
}

bool SimZLoop::AtRest(int32_t zMin) const
{
    return state_ == State::Hold || (state_ == State::Retract && z_ <= zMin);
}

bool SimZLoop::Touching(const SimProbeState& s) const
{
    const double d = Push(s);
    switch (family_) {
    case Family::Stm:
        return std::fabs(Interaction(d, s.Bias)) >= std::max(0.5 * std::fabs(setpoint_), 1.0);
    case Family::Dynamic: {
        const double free = probe_.FreeAmplitude;
        const double half = 0.5 * (free + std::clamp(setpoint_, 0.0, free));
        return Interaction(d, s.Bias) <= std::min(half, 0.99 * free);
    }
    case Family::Contact:
    case Family::None:
        break;
    }
    return d >= 0.0;
}

SimProbeSignals SimZLoop::Signals(const SimProbeState& s) const
{
    SimProbeSignals out;
    out.FeedbackAddress = probe_.SignalAddress != 0 ? probe_.SignalAddress : feedback_.InputAddress;
    out.TopographyAddress = probe_.TopographyAddress;
    out.Topography = probe_.TopographyGain * (s.Z + Plane(s.X, s.Y));
    out.Interacting = family_ != Family::None;
    out.Interaction = Interaction(Push(s), s.Bias);
    return out;
}

} // namespace qvt::sim
