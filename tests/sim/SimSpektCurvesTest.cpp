#include "sim/SimSpektCurves.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace qvt::sim {
namespace {

using Family = SimSpektStart::Family;

SimSpektStart HeldAt(Family family, double setpoint)
{
    SimSpektStart s;
    s.LoopFamily = family;
    s.Interacting = true;
    s.FeedbackAddress = 1;
    s.Setpoint = setpoint;
    s.TopographyAddress = 3;
    s.ZStart = 5000;
    s.BiasStart = 1000;
    return s;
}

TSetSpektRecord Record(int32_t kind, int points, int32_t ticks = 1)
{
    TSetSpektRecord r;
    r.Kind = kind;
    r.DataPoints = points;
    r.SampleTicks = ticks;
    r.Delay = 100;
    r.Inputs[0] = 1;
    r.Inputs[1] = 3;
    return r;
}

SimConfig Quiet()
{
    SimConfig c;
    c.Spekt.VibrationDigits = 0.0;
    return c;
}

TEST(SimSpectroscopy, SlotsCarryZAndBiasAsPlayedAndArriveOverTheRun)
{
    SimSpectroscopy run(Quiet());
    TRampRecord z, bias;
    z.Values[0] = 10; // differences 10, 20, 0: Z plays 0, 10, 30
    z.Values[1] = 20;
    bias.Values[0] = 7;
    bias.Values[1] = 8;
    bias.Values[2] = 9;
    run.LoadZRamp(z);
    run.LoadBiasRamp(bias);
    run.Start(Record(0x15, 3, 4), HeldAt(Family::Stm, 100), 0);
    int32_t out[SpektPoints] = {};
    EXPECT_EQ(run.RunUs(), 100 + 308); // delay + 3 × 4 × 25.6 µs, rounded up
    EXPECT_EQ(run.Read(1, 100, out), 0);
    EXPECT_EQ(run.Read(1, 100 + 205, out), 2); // two points done
    EXPECT_EQ(run.Read(1, 1000000, out), 3);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[1], 10);
    EXPECT_EQ(out[2], 30);
    EXPECT_EQ(run.Read(2, 1000000, out), 3);
    EXPECT_EQ(out[2], 9);
    EXPECT_EQ(run.Read(0, 1000000, out), -1);
    EXPECT_EQ(run.Read(7, 1000000, out), -1);

    // Kind 2 stops: nothing more to read.
    run.Start(Record(2, 0), HeldAt(Family::Stm, 100), 0);
    EXPECT_EQ(run.Read(3, 1000000, out), 0);
}

TEST(SimSpectroscopy, TunnellingCurrentIsOhmicAndFallsByEPerDecay)
{
    const SimConfig config = Quiet();
    SimSpectroscopy run(config);
    TRampRecord z, bias;
    for (int i = 0; i < 100; ++i) {
        z.Values[i] = 10 * i; // drawn back 10 digits a point
        bias.Values[i] = 1000;
    }
    run.LoadZRamp(z);
    run.LoadBiasRamp(bias);
    run.Start(Record(5, 100), HeldAt(Family::Stm, 2000), 0);
    int32_t current[SpektPoints] = {};
    int32_t sensor[SpektPoints] = {};
    ASSERT_EQ(run.Read(3, 1000000, current), 100);
    run.Read(4, 1000000, sensor);
    EXPECT_EQ(current[0], 2000);
    EXPECT_NEAR(current[40], 2000 * std::exp(-400.0 / config.Probe.CurrentDecay), 1.0);
    EXPECT_EQ(sensor[40], 5000 - 400); // the Z sensor sees the retraction

    // Half the bias, half the current at the start gap.
    for (int i = 0; i < 100; ++i) {
        z.Values[i] = 0;
        bias.Values[i] = 500;
    }
    run.LoadZRamp(z);
    run.LoadBiasRamp(bias);
    run.Start(Record(9, 100), HeldAt(Family::Stm, 2000), 0);
    run.Read(3, 1000000, current);
    EXPECT_EQ(current[10], 1000);
}

TEST(SimSpectroscopy, ForceCurveSnapsInAndSticksOnTheWayBack)
{
    SimConfig config = Quiet();
    config.Probe.Stiffness = 2.0;
    config.Spekt.SnapIn = 30.0;
    config.Spekt.Adhesion = 120.0;
    SimSpectroscopy run(config);
    // From the set point out to 300 digits back and in again.
    TRampRecord z;
    for (int i = 0; i <= 300; ++i)
        z.Values[i] = i;
    for (int i = 0; i <= 300; ++i)
        z.Values[301 + i] = 300 - i;
    run.LoadZRamp(z);
    run.Start(Record(5, 602), HeldAt(Family::Contact, 100), 0);
    int32_t d[SpektPoints] = {};
    ASSERT_EQ(run.Read(3, 10000000, d), 602);
    EXPECT_EQ(d[0], 100);
    EXPECT_EQ(d[50], 0); // the surface: 100 digits of deflection at stiffness 2
    // Adhesion holds the tip until 120 digits beyond the surface (z = 170).
    EXPECT_EQ(d[170], 2 * -120);
    EXPECT_EQ(d[171], 0);
    // On the way in it snaps on 30 digits before the surface (z = 80).
    EXPECT_EQ(d[301 + 300 - 81], 0);
    EXPECT_EQ(d[301 + 300 - 80], 2 * -30);
    EXPECT_EQ(d[601], 100);
}

TEST(SimSpectroscopy, LoopOnHoldsTheInputAndVibrationShowsInTheGap)
{
    SimConfig config = Quiet();
    config.Spekt.LoopTimeUs = 1.0; // much quicker than a point
    SimSpectroscopy run(config);
    TRampRecord z, bias;
    for (int i = 0; i < 20; ++i) {
        z.Values[i] = i < 10 ? 0 : 200;
        bias.Values[i] = i < 10 ? 1000 : 2000;
    }
    run.LoadZRamp(z);
    run.LoadBiasRamp(bias);
    run.Start(Record(0x07, 20), HeldAt(Family::Stm, 500), 0);
    int32_t current[SpektPoints] = {};
    int32_t sensor[SpektPoints] = {};
    run.Read(3, 1000000, current);
    run.Read(4, 1000000, sensor);
    EXPECT_EQ(current[15], 500);
    // Twice the bias: the loop draws the tip back by ln 2 decays.
    EXPECT_NEAR(sensor[15], 5000 - config.Probe.CurrentDecay * std::log(2.0), 1.0);

    // A vibration of 50 digits at 1 kHz, sampled every 4 ticks.
    config = Quiet();
    config.Spekt.VibrationDigits = 50.0;
    config.Spekt.VibrationHz = 1000.0;
    SimSpectroscopy shaking(config);
    shaking.LoadZRamp(TRampRecord{});
    shaking.LoadBiasRamp(bias);
    TSetSpektRecord r = Record(5, 10, 4);
    r.Delay = 0;
    shaking.Start(r, HeldAt(Family::Dynamic, 1000), 0);
    std::vector<int32_t> amplitude(SpektPoints);
    shaking.Read(3, 1000000, amplitude.data());
    EXPECT_EQ(amplitude[0], 1000);
    EXPECT_NEAR(amplitude[2], 1000 + 50 * std::sin(2 * M_PI * 1000 * 2 * 102.4e-6), 1.0);
}

} // namespace
} // namespace qvt::sim
