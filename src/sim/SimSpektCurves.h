#pragma once
// The controller's spectroscopy run, the physics side: it plays the two ramp
// tables point after point and answers, per point, what the inputs read.
//
// What a scientist would see: in an STM mode the current is ohmic in the
// bias and falls by e with every CurrentDecay digits the tip is drawn back,
// I = Is · U/U0 · exp(−r/CurrentDecay), so ln I against z has the slope
// 2κ = 1/CurrentDecay; in contact the deflection follows the push with the
// probe's stiffness, the cantilever snaps onto the surface SnapIn digits
// before touching it and sticks until pulled Adhesion digits off (the
// familiar force curve with its hysteresis); in a dynamic mode the amplitude
// grows as the tip is drawn back. With the feedback on (the "CL" kinds) the
// loop pulls the input back to the set point within LoopTimeUs and the Z
// sensor shows what it did. A vibration of the gap at VibrationHz rides on
// every reading of the feedback input: a z-noise spectrum shows it as one
// line. The run starts at the gap the loop held (Is and U0 are the input and
// bias there); a positive Z ramp word draws the tip back ("dz > 0 for
// retract"). Readings become available as the run proceeds: a poll before
// Delay + N · ticks · 25.6 µs gets fewer readings than points.
//
// Result slots: 1 the Z ramp as played (its running sum when the table
// holds differences), 2 the bias as played, 3..6 the inputs at the record's
// four read addresses.

#include "protocol/ControlCodes.h"
#include "sim/SimConfig.h"

#include <cstdint>

namespace qvt::sim {

// What the rest of the box is doing when a run starts.
struct SimSpektStart {
    enum class Family { None, Stm, Contact, Dynamic };
    Family LoopFamily = Family::None;
    bool Interacting = false;    // the tip feels the sample (else the inputs idle)
    int32_t FeedbackAddress = 0; // the input the loop listens to
    double Setpoint = 0.0;       // that input's level where the loop held the tip
    int32_t TopographyAddress = 0;
    double ZStart = 0.0;   // Z output, digits
    int32_t BiasStart = 0; // bias output (DAC2), digits
};

class SimSpectroscopy {
public:
    static constexpr double TickUs = 1.0e6 / 39062.5;

    explicit SimSpectroscopy(const SimConfig& config = {});

    void LoadBiasRamp(const TRampRecord& ramp) { bias_ = ramp; }
    void LoadZRamp(const TRampRecord& ramp) { z_ = ramp; }
    // Kind 2 or no points stops the run.
    void Start(const TSetSpektRecord& record, const SimSpektStart& start, int64_t nowUs);
    // Microseconds from the start until the last reading is there.
    int64_t RunUs() const;
    // Fills `out` with the readings of result slot 1..6 done by `nowUs`;
    // returns their number (−1 for a slot out of range).
    int Read(int slot, int64_t nowUs, int32_t* out) const;
    // The run's points: how far the tip stands back from where the run
    // started at point i (Z digits; negative: pressed in), and when, in
    // microseconds after the start.
    int Points() const { return points_; }
    double Gap(int i) const { return gap_[i]; }
    double PointUs(int i) const;

private:
    int DoneAt(int64_t nowUs) const;
    // The whole run, computed at the start: every point's Z, gap and inputs.
    void Play();
    double Input(int32_t address, int i) const;

    ProbeConfig probe_;
    SpektConfig spekt_;
    TRampRecord bias_;
    TRampRecord z_;
    TSetSpektRecord record_;
    SimSpektStart start_;
    int32_t points_ = 0;
    int64_t startUs_ = 0;
    // Per point: Z as played, the interaction input and the tip's retraction.
    double played_[SpektPoints] = {};
    double feedback_[SpektPoints] = {};
    double retraction_[SpektPoints] = {};
    double gap_[SpektPoints] = {};
};

} // namespace qvt::sim
