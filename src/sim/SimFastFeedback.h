#pragma once
// The high-speed module's own z loop ("Feedback" page, registers 64..85) on
// type-29 controllers and USB boxes.
//
// What an engineer would see in the register tool: "In" (64) is the feedback
// input as the module samples it, "U0=(In-Ref)*16" (66) its error against
// "Ref" (65). While the module's feedback function is on (control bit 0x2)
// the loop runs once per microsecond and its output "Zout" (81) follows the
// coefficients: a proportional set makes Zout stand at gain × (In − Ref), an
// integral one makes it run until it meets the limits in 79 (lower) and 80
// (upper), and the retract set (Ref −10^9, a negative Ki) runs it down to
// the lower limit. The products and the output are also shown in their
// parts ([16:0], [33:17], [69:34]: 69..71 and 72..74 the two products,
// 75..77 the output); Zout is the top part of the output, so a unit
// coefficient makes one Zout digit per input digit. With the function off
// the output holds where it stood.
//
// The type-29 module is a PID with a filtered derivative:
// y[n] = b1·y[n−1] + b2·y[n−2] + q0·e[n] + q1·e[n−1] + q2·e[n−2], b1, b2
// (67, 68) and q0..q2 (83..85) Q30 numbers. A USB box's module is the
// incremental PI the feedback record mirrors into it: z[n] = z[n−1] +
// k0·e[n] + k1·e[n−1] (k0, k1 in 67, 68). The module's output is shown, not
// fed to a fast piezo: the simulated tip follows the slow loop only.

#include <array>
#include <cstdint>

namespace qvt::sim {

class SimFastFeedback {
public:
    static constexpr int32_t FirstRegister = 64;
    static constexpr int32_t LastRegister = 85;
    static constexpr int64_t TickNs = 1000;
    // At most this many ticks are run in one catch-up (65 ms): the input is
    // taken as it stands at the catch-up, and any loop worth its
    // coefficients has settled or met a limit by then.
    static constexpr int64_t CatchUpTicks = 65536;

    explicit SimFastFeedback(bool incremental) : incremental_(incremental) {}

    // The registers the module computes (read-only from the program's side).
    static bool IsComputed(int32_t reg);
    // Runs the loop from the last call up to `nowNs` with the input at
    // `input` digits; `on`: the module's feedback function is on. `regs` is
    // the controller's register file (the coefficients and limits are read
    // from it, the computed words written into it).
    void Advance(int64_t nowNs, int32_t input, bool on, int32_t* regs);
    // The input as last sampled (a catch-up before a write or a switch keeps it).
    int32_t Input() const { return input_; }
    bool On() const { return on_; }

private:
    void Tick(const int32_t* regs);
    void Show(int32_t input, int32_t* regs) const;

    const bool incremental_;
    int64_t lastNs_ = -1;
    int64_t e0_ = 0; // U0 of this tick and the two before
    int64_t e1_ = 0;
    int64_t e2_ = 0;
    double y1_ = 0.0; // output, in units of 2^-34 Zout digits
    double y2_ = 0.0;
    bool on_ = false;
    int32_t input_ = 0;
};

} // namespace qvt::sim
