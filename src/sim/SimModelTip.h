#pragma once
// The sample's hardness and what becomes of a tip pushed into it.
//
// What a scientist would see: a tip pushed further into the sample than it
// can bear (CrashDepth Z digits beyond touching) breaks, and on a real
// instrument every image after it comes out blunt and doubled; so does a
// coarse step toward the sample while the tip touches it, which no loop can
// follow. The simulator notes each crash, like an output beyond its limits,
// so the test that caused it fails.

#include "sim/SimConfig.h"
#include "sim/SimModelZLoop.h"

#include <cstdint>
#include <vector>

namespace qvt::sim {

enum class SimCrashCause {
    Pushed,              // Z beyond touching by more than the sample bears
    CoarseStepInContact, // the coarse motor moved the sample into a touching tip
};

struct SimCrash {
    SimCrashCause Cause = SimCrashCause::Pushed;
    int64_t TimeNs = 0;
    double Depth = 0.0; // push at that moment, Z digits
    double X = 0.0;     // where the tip truly was
    double Y = 0.0;
    int32_t Z = 0;
};

class SimTip {
public:
    explicit SimTip(const SimConfig& config);

    // The tip at `s`, pushed `depth` digits into the sample: beyond the
    // hardness a crash is noted, once until the tip has come out again.
    void Feel(double depth, const SimProbeState& s, int64_t nowNs);
    // The coarse motor moved the sample toward the tip while it touched.
    void CoarseStepInContact(double depth, const SimProbeState& s, int64_t nowNs);

    const std::vector<SimCrash>& Crashes() const { return crashes_; }
    // The latest crash, also when it is beyond the stored ones.
    const SimCrash& LastCrash() const { return last_; }
    int64_t CrashCount() const { return count_; }
    void ClearCrashes();

private:
    void Record(SimCrashCause cause, double depth, const SimProbeState& s, int64_t nowNs);

    static constexpr size_t MaxStoredCrashes = 64;
    double crashDepth_;
    bool pushedIn_ = false; // the last crash has not been backed out of
    std::vector<SimCrash> crashes_;
    SimCrash last_;
    int64_t count_ = 0;
};

} // namespace qvt::sim
