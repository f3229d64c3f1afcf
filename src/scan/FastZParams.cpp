#include "scan/FastZParams.h"

#include "core/NumberText.h"

#include <algorithm>
#include <cmath>

namespace qvt {

namespace {

constexpr double Q30 = 1073741824.0;

int32_t ToQ30(double x, bool& overflow)
{
    double v = x * Q30;
    if (!(v == v) || v > 2147483647.0 || v < -2147483647.0) {
        overflow = true;
        v = (v == v) ? std::clamp(v, -2147483647.0, 2147483647.0) : 0.0;
    }
    return static_cast<int32_t>(Round(v));
}

} // namespace

int32_t FastZModeCode(int mode, bool retracted)
{
    if (retracted)
        return FastZModeRetracted;
    switch (mode) {
    case 4:
        return 3;
    case 5:
        return 1;
    default:
        return 0;
    }
}

TFastZWords ComputeFastZWords(const TFastZInput& in)
{
    TFastZWords w;
    const int m = in.Mode;
    int64_t e = 0;
    if (m >= FeedbackCmAFM && m <= FeedbackNcAFMX) {
        e = in.SetpointDigits;
        if ((m == FeedbackNcAFMR || m == FeedbackNcAFMX) && in.LockInGainHigh)
            e = static_cast<int64_t>(Round(static_cast<double>(e) * 1.4));
        if (in.InputInverted)
            e = -e;
    }
    if (in.Retracted)
        e = FastZRetractedSetpoint;
    w.Setpoint = static_cast<int32_t>(std::clamp<int64_t>(e, INT32_MIN, INT32_MAX));
    w.ModeCode = FastZModeCode(m, in.Retracted);

    const double t = FastZSamplePeriod;
    double kp = in.Kp, ki = in.Ki;
    if (in.Retracted) {
        kp = 0.0;
        ki = -10.0;
    }
    double b1 = 0, b2 = 0, q0 = 0, q1 = 0, q2 = 0;
    if (in.Td != 0.0) {
        if (!(in.Alpha > 0.0)) {
            w.BadAlpha = true;
            w.Overflow = true;
            return w;
        }
        const double tf = in.Td / in.Alpha;
        const double g = 2.0 * tf / t + 1.0;
        b1 = (4.0 * tf / t) / g;
        b2 = (1.0 - 2.0 * tf / t) / g;
        if (b2 == 1.0 && b1 == 0.0) {
            b1 = 1.0;
            b2 = 0.0;
        }
        // A quarter of Ki·T: gains stored for this loop were tuned with it.
        const double c = ki * t / 4.0;
        const double v = tf / t;
        const double wd = in.Td / t;
        q0 = ((kp * v + wd) * 2.0 + kp + (2.0 * v + 1.0) * c / 2.0) / g;
        q1 = (c - (wd + v * kp) * 4.0) / g;
        q2 = (v * (2.0 * kp - c) - kp + 2.0 * wd + c / 2.0) / g;
    } else {
        b1 = 1.0;
        b2 = 0.0;
        q0 = ki * t / 2.0 + kp;
        q1 = ki * t / 2.0 - kp;
        q2 = 0.0;
    }
    w.B1 = ToQ30(b1, w.Overflow);
    w.B2 = ToQ30(b2, w.Overflow);
    w.Q0 = ToQ30(q0, w.Overflow);
    w.Q1 = ToQ30(q1, w.Overflow);
    w.Q2 = ToQ30(q2, w.Overflow);
    if (!in.InputInverted && m < FeedbackNcAFMR && !in.Retracted) {
        w.Q0 = -w.Q0;
        w.Q1 = -w.Q1;
        w.Q2 = -w.Q2;
    }
    return w;
}

int WrapPrefixTag(int tag)
{
    if (tag < -3)
        return 3;
    if (tag > 3)
        return -3;
    return tag;
}

double PrefixFactor(int tag)
{
    return std::pow(1000.0, std::clamp(tag, -6, 4));
}

QString PrefixGlyph(int tag)
{
    static const QString glyphs = QString::fromUtf8("afpnµm kMGT");
    return glyphs.mid(std::clamp(tag, -6, 4) + 6, 1);
}

} // namespace qvt
