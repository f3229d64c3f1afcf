#include "sim/SimModelTip.h"

namespace qvt::sim {

SimTip::SimTip(const SimConfig& config) : crashDepth_(config.Probe.CrashDepth)
{
    // Noted crashes never grow the heap on the request path.
    crashes_.reserve(MaxStoredCrashes);
}

void SimTip::Feel(double depth, const SimProbeState& s, int64_t nowNs)
{
    if (depth > crashDepth_) {
        if (!pushedIn_)
            Record(SimCrashCause::Pushed, depth, s, nowNs);
        pushedIn_ = true;
    } else if (depth < 0.5 * crashDepth_) {
        pushedIn_ = false;
    }
}

void SimTip::CoarseStepInContact(double depth, const SimProbeState& s, int64_t nowNs)
{
    Record(SimCrashCause::CoarseStepInContact, depth, s, nowNs);
}

void SimTip::ClearCrashes()
{
    crashes_.clear();
    count_ = 0;
}

void SimTip::Record(SimCrashCause cause, double depth, const SimProbeState& s, int64_t nowNs)
{
    ++count_;
    last_ = {cause, nowNs, depth, s.X, s.Y, s.Z};
    if (crashes_.size() < MaxStoredCrashes)
        crashes_.push_back(last_);
}

} // namespace qvt::sim
