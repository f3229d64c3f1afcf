#pragma once
// The Z feedback loop of the box.
//
// What a scientist would see: the loop takes the mode, setpoint, gains and
// plane slope the program sends and keeps them; it holds Z where the output
// stage has it. Tracking a sample surface at the setpoint, the retract slew
// and contact detection come with the tip moves that give the loop a surface.

#include "core/ControlCodes.h"

namespace qvt::sim {

class SimZLoop {
public:
    void SetFeedback(const TSetFeedbackRecord& record) { feedback_ = record; }
    void SetSlope(const TSetSlopeRecord& slope) { slope_ = slope; }

    const TSetFeedbackRecord& Feedback() const { return feedback_; }
    const TSetSlopeRecord& Slope() const { return slope_; }
    // Held: mode word 0 (feedback off or lift pass).
    bool Holding() const { return feedback_.ControlWord == 0; }

private:
    TSetFeedbackRecord feedback_{};
    TSetSlopeRecord slope_{};
};

} // namespace qvt::sim
