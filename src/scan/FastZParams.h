#pragma once
// The fast z loop of the type-29 high-speed module: a discrete PID with a
// filtered derivative running at 1 µs. Its setpoint, mode and five Q30
// coefficients are computed here from the gains and the loop state.

#include "core/SharedState.h"

#include <QString>

#include <array>
#include <cstdint>

namespace qvt {

constexpr double FastZSamplePeriod = 1.0e-6; // s
constexpr int32_t FastZRetractedSetpoint = -1000000000;
constexpr int32_t FastZModeRetracted = 2;

struct TFastZInput {
    double Kp = 0.0;
    double Ki = 0.0;
    double Td = 0.0;     // s
    double Alpha = 10.0; // derivative filter ratio, Tf = Td / alpha
    int Mode = FeedbackCmAFM;
    bool InputInverted = false;
    bool Retracted = false;
    // Setpoint in input digits before the module's adjustments.
    int32_t SetpointDigits = 0;
    bool LockInGainHigh = false; // lock-in gain ≥ 1: modes 4 and 5 scale the setpoint
};

struct TFastZWords {
    int32_t Setpoint = 0;                           // register 65
    int32_t ModeCode = 0;                           // register 82
    int32_t B1 = 0, B2 = 0, Q0 = 0, Q1 = 0, Q2 = 0; // registers 67, 68, 83, 84, 85
    bool Overflow = false;
    // alpha ≤ 0 with Td ≠ 0 has no filter: the coefficients are refused.
    bool BadAlpha = false;
};

TFastZWords ComputeFastZWords(const TFastZInput& in);

// Mode code of register 82.
int32_t FastZModeCode(int mode, bool retracted);

// Prefix tags: 1000^t with t wrapping within −3..3, and its glyph.
int WrapPrefixTag(int tag);
double PrefixFactor(int tag);
QString PrefixGlyph(int tag);

} // namespace qvt
