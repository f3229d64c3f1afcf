#pragma once
// The Z feedback loop of the box and what the tip feels of the sample.
//
// What a scientist would see: the loop runs once per tick of the 39062.5 Hz
// controller clock and does what the feedback record says. It regulates the
// input the record names towards the record's setpoint with the record's
// gains, so with sensible gains Z follows the surface (less the plane
// correction) and the feedback input sits at the setpoint, disturbed at
// edges by the tracking error the gains leave: a scan too fast for the gains
// shows the edges in the error image and smeared steps in the topography. A
// larger Ki tracks faster; Ki 0 leaves Z where it is; a gain too large makes
// Z ring from rail to rail; the wrong polarity (bit 0x200, or STM with the
// bias of the other sign) drives Z away to a rail, and a setpoint the tip
// never reaches drives it into the sample. Word 0 holds Z; a retract slews Z
// down to its minimum at a fixed rate; after a retract the loop extends Z
// again as fast as its gains let it. A record on the high-speed module's
// output (read address 81, while the module's own loop keeps the tip) holds
// Z where it stands.
//
// The tip's signal: in STM a tunnelling current of the bias's sign that
// grows tenfold every 2.3 CurrentDecay digits the tip comes closer and
// saturates once it touches; in contact AFM a deflection proportional to the
// push; in the dynamic modes an amplitude that is the free amplitude far away
// and shrinks to 0 over the last AmplitudeGap digits (the resonance model
// will stand behind it). A Z sensor input reports the scanner's true Z
// extension (plane included).

#include "protocol/ControlCodes.h"
#include "sim/SimConfig.h"
#include "sim/SimSurface.h"

#include <cstdint>

namespace qvt::sim {

// What the tip sees at one instant.
struct SimProbeState {
    double X = 0.0; // X/Y in output digits (the loop's methods want where the tip truly is)
    double Y = 0.0;
    int32_t Z = 0;    // Z output (DAC1)
    int32_t Bias = 0; // bias output (DAC2)
};

// The inputs that follow from the tip.
struct SimProbeSignals {
    int32_t FeedbackAddress = 0; // the input the tip's signal arrives on
    bool Interacting = false;    // false: no signal (no mode has run yet), the input idles
    double Interaction = 0.0;    // that input, digits
    int32_t TopographyAddress = 0;
    double Topography = 0.0; // Z sensor, digits
};

class SimZLoop {
public:
    enum class Family { None, Stm, Contact, Dynamic };
    // Ticks of the controller clock per second: the loop runs once per tick.
    static constexpr double LoopRateHz = 39062.5;
    // One unit of the record's scaled Ki gives a loop whose input moves one
    // digit per Z digit a bandwidth of 0.0203 Hz (the figure the program's
    // feedback window shows as "bw").
    static constexpr double GainScale = LoopRateHz / (2.0 * 3.14159265358979323846 * 0.0203);

    explicit SimZLoop(const SimConfig& config);

    // A new feedback record; the loop works with it from the next tick.
    void SetFeedback(const TSetFeedbackRecord& record);
    void SetSlope(const TSetSlopeRecord& slope) { slope_ = slope; }
    // How much further (Z digits) the coarse motor has put the sample than its Base height.
    void SetSampleOffset(double digits) { offset_ = digits; }
    double SampleOffset() const { return offset_; }

    const TSetFeedbackRecord& Feedback() const { return feedback_; }
    const TSetSlopeRecord& Slope() const { return slope_; }
    bool Holding() const { return state_ == State::Hold; }
    bool Retracting() const { return state_ == State::Retract; }
    bool Tracking() const { return state_ == State::Track; }

    // One tick of the loop with the tip at `s` (its Z ignored): Z moves as
    // the mode and gains say, kept inside zMin..zMax. Returns how far the
    // tip is then pushed into the sample (negative: the gap).
    double Tick(const SimProbeState& s, int32_t zMin, int32_t zMax);
    // Nothing changes from tick to tick while the tip stands still.
    bool AtRest(int32_t zMin) const;
    double Z() const { return z_; }
    // Z written directly (register 32, or a new Z range): the loop goes on from there.
    void SetZ(double z) { z_ = z; }

    // The Z output at which the tip just touches the sample at (x, y).
    double ContactZ(double x, double y) const;
    // How far the tip is pushed into the sample (negative: the gap).
    double Push(const SimProbeState& s) const { return s.Z - ContactZ(s.X, s.Y); }
    // The contact reading: the tip feels the sample (a tunnelling current of
    // at least half the setpoint, a deflection, an amplitude damped half way
    // to the setpoint; touching when no mode has run).
    bool Touching(const SimProbeState& s) const;
    // The inputs derived from the tip at `s` (noise and offsets are the inputs').
    SimProbeSignals Signals(const SimProbeState& s) const;
    // Plane correction the controller adds to Z, in Z digits.
    double Plane(double x, double y) const;

    const SimSurface& Surface() const { return surface_; }
    // What the last feedback mode listens to (the spectroscopy model needs it).
    Family LoopFamily() const { return family_; }

private:
    enum class State { Hold, Track, Retract };

    // The tip's signal (digits, as the input reads it) at push `d`.
    double Interaction(double d, int32_t bias) const;

    SimSurface surface_;
    ProbeConfig probe_;
    TSetFeedbackRecord feedback_{};
    TSetSlopeRecord slope_{};
    State state_ = State::Hold;
    Family family_ = Family::None; // of the last feedback mode
    double setpoint_ = 0.0;        // the input's level at the setpoint, digits
    double polarity_ = 1.0;        // -1: the controller inverts the input (bit 0x200, mode 1)
    double direction_ = 1.0;       // -1: the signal falls as the tip comes closer (amplitude)
    double errorShift_ = 1.0;      // the adaptive tunnelling mode divides its error by 2^k
    double gainNow_ = 0.0;         // -(Kp + Ki') / GainScale: on this tick's error
    double gainPrev_ = 0.0;        // Kp / GainScale: on the last tick's error
    double errorPrev_ = 0.0;
    bool fresh_ = true; // no error of this record yet
    double z_ = 0.0;
    double offset_ = 0.0;
};

} // namespace qvt::sim
