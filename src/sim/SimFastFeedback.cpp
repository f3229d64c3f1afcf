#include "sim/SimFastFeedback.h"

#include <algorithm>
#include <climits>
#include <cmath>

namespace qvt::sim {

namespace {
constexpr int32_t RegIn = 64;
constexpr int32_t RegRef = 65;
constexpr int32_t RegError = 66;
constexpr int32_t RegK0 = 67; // b1 on type 29
constexpr int32_t RegK1 = 68; // b2 on type 29
constexpr int32_t RegProduct0 = 69;
constexpr int32_t RegProduct1 = 72;
constexpr int32_t RegOutput = 75;
constexpr int32_t RegLower = 79;
constexpr int32_t RegUpper = 80;
constexpr int32_t RegZout = 81;
constexpr int32_t RegQ0 = 83;
constexpr double Q30 = 1073741824.0;
constexpr double LowParts = 131072.0;         // 2^17: the low and the middle part
constexpr double OutputScale = 17179869184.0; // 2^34: one Zout digit
constexpr int64_t ErrorGain = 16;

int32_t Limit32(double v)
{
    if (!(v > double(INT32_MIN)))
        return INT32_MIN;
    return v < double(INT32_MAX) ? static_cast<int32_t>(v) : INT32_MAX;
}

// Writes a value of 70 bits in its three parts [16:0], [33:17], [69:34].
void ShowParts(double v, int32_t* regs, int32_t first)
{
    const double high = std::floor(v / OutputScale);
    const double rest = v - high * OutputScale;
    const double mid = std::floor(rest / LowParts);
    regs[first] = static_cast<int32_t>(rest - mid * LowParts);
    regs[first + 1] = static_cast<int32_t>(mid);
    regs[first + 2] = Limit32(high);
}
} // namespace

bool SimFastFeedback::IsComputed(int32_t reg)
{
    return reg == RegIn || reg == RegError || (reg >= RegProduct0 && reg <= RegOutput + 2) || reg == RegZout;
}

void SimFastFeedback::Advance(int64_t nowNs, int32_t input, bool on, int32_t* regs)
{
    if (lastNs_ < 0)
        lastNs_ = nowNs;
    const int64_t ticks = std::max<int64_t>(0, (nowNs - lastNs_) / TickNs);
    lastNs_ += ticks * TickNs;
    const int64_t error = (int64_t(input) - regs[RegRef]) * ErrorGain;
    if (on && !on_)
        e0_ = e1_ = e2_ = 0; // a loop switched on starts without an error history
    on_ = on;
    input_ = input;
    if (on) {
        for (int64_t i = 0; i < std::min(ticks, CatchUpTicks); ++i) {
            e2_ = e1_;
            e1_ = e0_;
            e0_ = error;
            Tick(regs);
        }
    } else {
        e0_ = error;
    }
    Show(input, regs);
}

void SimFastFeedback::Tick(const int32_t* regs)
{
    const double k0 = regs[RegK0];
    const double k1 = regs[RegK1];
    double y = 0.0;
    if (incremental_) {
        y = y1_ + k0 * double(e0_) + k1 * double(e1_);
    } else {
        y = (k0 * y1_ + k1 * y2_) / Q30 + double(regs[RegQ0]) * double(e0_) + double(regs[RegQ0 + 1]) * double(e1_) +
            double(regs[RegQ0 + 2]) * double(e2_);
    }
    // The output stops at the limits and does not wind up beyond them.
    const double lower = std::min(regs[RegLower], regs[RegUpper]) * OutputScale;
    const double upper = std::max(regs[RegLower], regs[RegUpper]) * OutputScale;
    y = std::isfinite(y) ? std::clamp(y, lower, upper) : lower;
    y2_ = y1_;
    y1_ = y;
}

void SimFastFeedback::Show(int32_t input, int32_t* regs) const
{
    regs[RegIn] = input;
    regs[RegError] = Limit32(double(e0_));
    ShowParts(double(e0_) * regs[RegK0], regs, RegProduct0);
    ShowParts(double(e1_) * regs[RegK1], regs, RegProduct1);
    ShowParts(y1_, regs, RegOutput);
    regs[RegZout] = Limit32(std::floor(y1_ / OutputScale));
}

} // namespace qvt::sim
