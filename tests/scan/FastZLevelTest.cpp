#include "scan/FastZParams.h"
#include "scan/Levelling.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>

using namespace qvt;

namespace {

constexpr double Q30 = 1073741824.0;

// A controller written from first principles: PID with a filtered derivative,
// C(s) = Kp + Ki/s + Td·s/(Tf·s + 1), mapped with s = (2/T)(z − 1)/(z + 1),
// and normalised so that the denominator leads with z².
struct Biquad {
    double b1, b2, q0, q1, q2;
};

using Poly = std::array<double, 3>; // c0·z² + c1·z + c2

Poly Mul(std::array<double, 2> a, std::array<double, 2> b)
{
    return {a[0] * b[0], a[0] * b[1] + a[1] * b[0], a[1] * b[1]};
}

Biquad Tustin(double kp, double ki, double td, double tf, double t)
{
    const std::array<double, 2> zm1{1, -1}, zp1{1, 1};
    const std::array<double, 2> filt{2 * tf / t + 1, 1 - 2 * tf / t}; // (2Tf/T)(z−1) + (z+1)
    const Poly den = Mul(zm1, filt);
    const Poly p = Mul(zm1, filt), i = Mul(zp1, filt), d = Mul(zm1, zm1);
    Poly num{};
    for (int k = 0; k < 3; ++k)
        num[static_cast<size_t>(k)] = kp * p[static_cast<size_t>(k)] + ki * t / 2 * i[static_cast<size_t>(k)] +
                                      2 * td / t * d[static_cast<size_t>(k)];
    return {-den[1] / den[0], -den[2] / den[0], num[0] / den[0], num[1] / den[0], num[2] / den[0]};
}

int32_t Q(double x)
{
    return static_cast<int32_t>(std::nearbyint(x * Q30));
}

} // namespace

TEST(FastZLoop, CoefficientsMatchAnIndependentDerivation)
{
    // Td = 0, Kp = 1, Ki = 0: the plain proportional loop, negated in contact mode.
    TFastZInput in;
    in.Kp = 1.0;
    in.Mode = 3;
    TFastZWords w = ComputeFastZWords(in);
    EXPECT_FALSE(w.Overflow);
    EXPECT_EQ(w.B1, 1 << 30);
    EXPECT_EQ(w.B2, 0);
    EXPECT_EQ(w.Q0, -(1 << 30));
    EXPECT_EQ(w.Q1, 1 << 30);
    EXPECT_EQ(w.Q2, 0);
    // Dynamic modes and an inverted input keep the signs.
    in.Mode = 4;
    EXPECT_EQ(ComputeFastZWords(in).Q0, 1 << 30);

    // Td = 0 with Ki: trapezoidal integral with the full Ki.
    in = {};
    in.Kp = 0.25;
    in.Ki = 2.0e5;
    in.Mode = 5;
    // Kp + (KiT/2)(z + 1)/(z − 1) = ((Kp + KiT/2) z + (KiT/2 − Kp)) / (z − 1).
    w = ComputeFastZWords(in);
    const double half = 2.0e5 * FastZSamplePeriod / 2;
    EXPECT_EQ(w.Q0, Q(0.25 + half));
    EXPECT_EQ(w.Q1, Q(half - 0.25));
    EXPECT_EQ(w.B1, 1 << 30);

    // Td ≠ 0: the same controller with a quarter of the integral gain.
    in.Kp = 0.1;
    in.Ki = 4.0e4;
    in.Td = 0.2e-6;
    in.Alpha = 2.0;
    w = ComputeFastZWords(in);
    const Biquad t1 = Tustin(0.1, 4.0e4 / 4, 0.2e-6, 0.1e-6, FastZSamplePeriod);
    EXPECT_FALSE(w.Overflow);
    EXPECT_NEAR(w.B1, Q(t1.b1), 1);
    EXPECT_NEAR(w.B2, Q(t1.b2), 1);
    EXPECT_NEAR(w.Q0, Q(t1.q0), 1);
    EXPECT_NEAR(w.Q1, Q(t1.q1), 1);
    EXPECT_NEAR(w.Q2, Q(t1.q2), 1);

    // A gain beyond Q30's range, and a derivative filter without a time.
    in = {};
    in.Kp = 3.0;
    EXPECT_TRUE(ComputeFastZWords(in).Overflow);
    in.Kp = 0.1;
    in.Td = 1e-6;
    for (double alpha : {0.0, -2.0}) {
        in.Alpha = alpha;
        EXPECT_TRUE(ComputeFastZWords(in).BadAlpha) << alpha;
    }
}

TEST(FastZLoop, SetpointAndModeFollowTheLoopState)
{
    TFastZInput in;
    in.Mode = 4;
    in.SetpointDigits = 1000;
    in.LockInGainHigh = true;
    in.InputInverted = true;
    TFastZWords w = ComputeFastZWords(in);
    EXPECT_EQ(w.Setpoint, -1400);
    EXPECT_EQ(w.ModeCode, 3);
    in.Mode = 0; // no fast setpoint in the tunnelling modes
    EXPECT_EQ(ComputeFastZWords(in).Setpoint, 0);
    EXPECT_EQ(FastZModeCode(5, false), 1);
    EXPECT_EQ(FastZModeCode(6, false), 0);
    // Retracted: whatever the mode, the loop pulls back with Ki = −10 and no Kp.
    in.Mode = 5;
    in.Retracted = true;
    in.Kp = 1.0;
    w = ComputeFastZWords(in);
    EXPECT_EQ(w.Setpoint, FastZRetractedSetpoint);
    EXPECT_EQ(w.ModeCode, FastZModeRetracted);
    EXPECT_EQ(w.Q0, Q(-10 * FastZSamplePeriod / 2));

    // Prefixes: "k" is 1000, and they wrap within −3..3.
    EXPECT_EQ(PrefixGlyph(1), "k");
    EXPECT_EQ(PrefixGlyph(0), " ");
    EXPECT_EQ(PrefixGlyph(-2), QString::fromUtf8("µ"));
    EXPECT_DOUBLE_EQ(5 * PrefixFactor(1), 5000.0);
    EXPECT_EQ(WrapPrefixTag(4), -3);
    EXPECT_EQ(WrapPrefixTag(-4), 3);
}

TEST(Levelling, SlopesShowAsAnglesWithinTenDegreesAndKeepTheirSign)
{
    double f = 0;
    // Z in nm of 0.01 per digit, X in nm of 0.1: a raw slope s is atan(s · 0.1 / 2^24).
    ASSERT_TRUE(LevelAngleFactor("nm", 0.01, "nm", 0.1, f));
    EXPECT_DOUBLE_EQ(f, 0.1 / 16777216.0);
    EXPECT_FALSE(LevelAngleFactor("nm", 1, QString::fromUtf8("µm"), 1, f)); // different kinds stay raw
    EXPECT_FALSE(LevelAngleFactor("V", 1, "V", 1, f));                      // no length prefix
    ASSERT_TRUE(LevelAngleFactor("nm", 1, "nm", 1, f));

    const double s5 = TypedLevelSlope(5.0, true, f);
    TLevelShown shown = ShowLevelSlope("x", s5, true, f);
    EXPECT_EQ(shown.Text, QString::fromUtf8("dz/dx=5.000°"));
    EXPECT_FALSE(shown.Limited);

    // 45° typed is held at 10° and stored as the slope of about 10°, on either side.
    for (double deg : {45.0, -45.0}) {
        shown = ShowLevelSlope("y", TypedLevelSlope(deg, true, f), true, f);
        EXPECT_TRUE(shown.Limited);
        EXPECT_EQ(shown.Text, QString::fromUtf8(deg > 0 ? "dz/dy=10.000°" : "dz/dy=-10.000°"));
        EXPECT_DOUBLE_EQ(shown.Slope, std::copysign(LevelLimitSlope, deg) / f);
    }
    // Raw display: whole digits.
    EXPECT_EQ(ShowLevelSlope("x", 12.6, false, 0).Text, "dz/dx=13");

    // Dragging: 72 keeps the slope, each 20 pixels right adds one base.
    EXPECT_DOUBLE_EQ(DraggedLevelSlope(72, 300), 300);
    EXPECT_DOUBLE_EQ(DraggedLevelSlope(112, 300), 900);
    EXPECT_DOUBLE_EQ(LevelDragBaseFor(0.0, LevelDefaultDragBase), 1000.0);
    EXPECT_DOUBLE_EQ(LevelDragBaseFor(-4.0, 1000.0), -4.0);
}
