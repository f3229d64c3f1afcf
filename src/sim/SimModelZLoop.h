#pragma once
// The Z feedback loop of the box and what the tip feels of the sample.
//
// What a scientist would see: in a feedback mode Z follows the sample surface
// (less the plane correction the program sent), so the Z image shows the
// topography and the feedback input sits at the setpoint, disturbed at edges
// by the loop's tracking error (the familiar "error image"); with the feedback
// off Z holds still and the input shows the tip's distance instead (constant
// height: current or deflection carry the topography); on retract Z slews
// down to its minimum at a fixed rate and the tip no longer feels the sample;
// engaged again, Z extends at a fixed rate until it meets the surface. Where
// the coarse motor has left the sample beyond the piezo's reach, Z stays at
// its maximum, the tip feels nothing and no contact is reported.
// A Z sensor input reports the scanner's true Z extension (plane included).

#include "protocol/ControlCodes.h"
#include "sim/SimConfig.h"
#include "sim/SimRandom.h"
#include "sim/SimSurface.h"

#include <cstdint>

namespace qvt::sim {

// What the tip sees at one instant.
struct SimProbeState {
    double X = 0.0; // raw X/Y outputs
    double Y = 0.0;
    int32_t Z = 0;     // Z output (DAC1)
    int32_t StepX = 0; // step under way; 0 when the tip stands still
    int32_t StepY = 0;
};

// The inputs that follow from the tip.
struct SimProbeSignals {
    int32_t FeedbackAddress = 0; // the input the loop listens to
    bool Interacting = false;    // false: the tip is away, the input idles
    double Interaction = 0.0;    // feedback input, digits
    int32_t TopographyAddress = 0;
    double Topography = 0.0; // Z sensor, digits
};

class SimZLoop {
public:
    enum class Family { None, Stm, Contact, Dynamic };

    explicit SimZLoop(const SimConfig& config);

    // A new feedback record at `nowNs` with Z at `z`: a retract starts its slew here.
    void SetFeedback(const TSetFeedbackRecord& record, int64_t nowNs, int32_t z);
    void SetSlope(const TSetSlopeRecord& slope) { slope_ = slope; }
    // How much further (Z digits) the coarse motor has put the sample than its Base height.
    void SetSampleOffset(double digits) { offset_ = digits; }
    double SampleOffset() const { return offset_; }

    const TSetFeedbackRecord& Feedback() const { return feedback_; }
    const TSetSlopeRecord& Slope() const { return slope_; }
    // Held: mode word 0 (feedback off or lift pass).
    bool Holding() const { return state_ == State::Hold; }
    bool Retracting() const { return state_ == State::Retract; }
    bool Tracking() const { return state_ == State::Track; }
    bool Engaging() const { return state_ == State::Engage; }

    // The Z output at `nowNs` with the tip at (x, y), coming from `z`:
    // tracking, holding or slewing, kept inside zMin..zMax.
    int32_t ZAt(int32_t z, double x, double y, int64_t nowNs, int32_t zMin, int32_t zMax, SimRandom& random) const;
    // The Z output at which the tip meets the sample at (x, y).
    double ContactZ(double x, double y) const;
    // The tip touches the sample (the contact reading): the loop has reached
    // the surface inside the Z range, or Z stands at or beyond it.
    bool Touching(const SimProbeState& s, int64_t nowNs, int32_t zMax) const;
    // The inputs derived from the tip at `s` (noise and offsets are the inputs').
    SimProbeSignals Signals(const SimProbeState& s, int64_t nowNs, int32_t zMax) const;
    // Plane correction the controller adds to Z, in Z digits.
    double Plane(double x, double y) const;

    const SimSurface& Surface() const { return surface_; }
    // What the last feedback mode listens to (the spectroscopy model needs it).
    Family LoopFamily() const { return family_; }

private:
    enum class State { Hold, Track, Retract, Engage };
    double EngageRamp(int64_t nowNs) const;

    SimSurface surface_;
    ProbeConfig probe_;
    TSetFeedbackRecord feedback_{};
    TSetSlopeRecord slope_{};
    State state_ = State::Hold;
    // The tip feels the sample once a feedback mode has run and until a retract.
    bool engaged_ = false;
    Family family_ = Family::None; // of the last feedback mode
    double setpoint_ = 0.0;        // the input's level at the setpoint, digits
    int64_t retractStartNs_ = 0;
    int32_t retractStartZ_ = 0;
    int64_t engageStartNs_ = 0;
    int32_t engageStartZ_ = 0;
    double offset_ = 0.0;
};

} // namespace qvt::sim
