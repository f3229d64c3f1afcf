// The simulated box's coarse z motor and its contact reading.

#include "sim/SimController.h"
#include "support/SimRequests.h"

#include <gtest/gtest.h>

#include <QMap>

#include <cmath>

using namespace qvt;
using namespace qvt::sim;

namespace {

SimConfig Config(double stepSize, double gap)
{
    SimConfig c;
    c.Clock = ClockMode::Fast;
    c.AdcNoise = 0.0;
    c.Coarse.StepSize = stepSize;
    c.Coarse.Gap = gap;
    return c;
}

constexpr auto* Read = &test::SimRead;
constexpr auto* Write = &test::SimWrite;

void WriteWords(SimController& sim, std::initializer_list<uint32_t> words)
{
    for (uint32_t w : words)
        Write(sim, RegDigitalOut, static_cast<int32_t>(w));
}

int32_t Contact(SimController& sim)
{
    int32_t value = 99;
    EXPECT_TRUE(sim.Control(IOCTL_READ_CONTACT, nullptr, 0, &value, 4, nullptr));
    return value;
}

void Feedback(SimController& sim, int32_t word)
{
    TSetFeedbackRecord fb;
    fb.ControlWord = word;
    fb.Setpoint = word == ControlFeedbackRetract ? -1000000000 : 250;
    // Ki' = GainScale: the loop closes the whole error in one tick.
    fb.IntegralGain = -static_cast<int32_t>(std::lround(SimZLoop::GainScale));
    fb.InputAddress = 2;
    sim.Control(IOCTL_SET_FEEDBACK, &fb, sizeof fb, nullptr, 0, nullptr);
}

void SpendUs(SimController& sim, int us)
{
    for (; us > 0; us -= DelayChunkMax) {
        const int32_t n = std::min(us, DelayChunkMax);
        sim.Control(IOCTL_DELAY, &n, 4, nullptr, 0, nullptr);
    }
}

SimSettingsSource MapSource(const QMap<QString, QString>& values)
{
    SimSettingsSource s;
    s.ReadInteger = [values](const QString& sec, const QString& key, int def) {
        bool ok = false;
        const int v = values.value(sec + "/" + key).toInt(&ok);
        return ok ? v : def;
    };
    s.ReadFloat = [values](const QString& sec, const QString& key, double def) {
        bool ok = false;
        const double v = values.value(sec + "/" + key).toDouble(&ok);
        return ok ? v : def;
    };
    return s;
}

} // namespace

TEST(SimCoarseMotor, ReadsItsSettingsAndKeepsTheBoxRegistersFree)
{
    const SimConfig defaults = ReadSimConfig(MapSource({}));
    EXPECT_EQ(defaults.Coarse.Gap, 0.0); // the surface within reach unless asked
    EXPECT_EQ(defaults.Coarse.EncoderRegister, 0);
    const SimConfig c = ReadSimConfig(MapSource({{"Coarse/StepSize", "-5"},
                                                 {"Coarse/Gap", "25"},
                                                 {"Coarse/CountsPerStep", "0"},
                                                 {"Coarse/EncoderRegister", "45"},
                                                 {"Probe/AmplitudeGap", "0"}}));
    EXPECT_EQ(c.Coarse.StepSize, 0.0);
    EXPECT_EQ(c.Coarse.Gap, 25.0);
    EXPECT_EQ(c.Coarse.CountsPerStep, 1.0); // never a division by zero
    EXPECT_EQ(c.Coarse.EncoderRegister, 0); // the echo register stays the echo
    EXPECT_GT(c.Probe.AmplitudeGap, 0.0);   // never a division by zero
    EXPECT_EQ(ReadSimConfig(MapSource({{"Coarse/EncoderRegister", "60"}})).Coarse.EncoderRegister, 60);
}

TEST(SimCoarseMotor, PhaseWordsOnRegisterFortyStepTheSampleBothWays)
{
    SimController sim(Config(1000.0, 10.0));
    // Down, as the step routine writes it from phase 0: 3 (ORed in) -> 7, 15, 11, 3.
    WriteWords(sim, {0x7, 0xF, 0xB, 0x3});
    EXPECT_EQ(sim.CoarseStepsDown(), 4);
    EXPECT_EQ(sim.CoarseGapSteps(), 6.0);
    // The laser bit, the other axes and the high half leave the z rotor alone.
    WriteWords(sim, {0x13, 0xB13, 0x18630B13});
    EXPECT_EQ(sim.CoarseStepsDown() + sim.CoarseStepsUp(), 4);
    // Up: 3 -> 11 -> 15.
    WriteWords(sim, {0x1B, 0x1F});
    EXPECT_EQ(sim.CoarseStepsUp(), 2);
    EXPECT_EQ(sim.CoarseGapSteps(), 8.0);
    // Off drops the enables and keeps the phase; the next step goes on from it.
    WriteWords(sim, {0xC, 0xB});
    EXPECT_EQ(sim.CoarseStepsDown(), 5);
    // A pulse code out of the cycle does not turn the rotor.
    WriteWords(sim, {0x5});
    EXPECT_EQ(sim.CoarseGapSteps(), 7.0);
}

TEST(SimCoarseMotor, MotorLegsMoveOnNewCommandsAndReportReady)
{
    SimConfig config = Config(1000.0, 10.0);
    config.Coarse.EncoderRegister = 60;
    SimController sim(config); // type 26: motor channel 0 at register 48
    EXPECT_EQ(Read(sim, 46), 0x70);
    for (int32_t reg : {52, 53, 54})
        Write(sim, reg, static_cast<int32_t>(0x81030064)); // +16, 100 counts: one step toward the sample
    EXPECT_DOUBLE_EQ(sim.CoarseGapSteps(), 9.0);
    Write(sim, 52, static_cast<int32_t>(0x81030064)); // bit 31 did not flip: the old command
    EXPECT_DOUBLE_EQ(sim.CoarseGapSteps(), 9.0);
    for (int32_t reg : {52, 53, 54})
        Write(sim, reg, 0x7F0303E8); // -16, 1000 counts: ten steps away
    EXPECT_DOUBLE_EQ(sim.CoarseGapSteps(), 19.0);
    EXPECT_EQ(Read(sim, 60), 900);
    Write(sim, 55, static_cast<int32_t>(0x81030064)); // channel 7 is no z leg
    EXPECT_DOUBLE_EQ(sim.CoarseGapSteps(), 19.0);

    config.ControllerType = 29;
    SimController type29(config);
    EXPECT_EQ(Read(type29, 270), 0x70);
    Write(type29, 276, static_cast<int32_t>(0x81030064));
    EXPECT_NEAR(type29.CoarseGapSteps(), 10.0 - 1.0 / 3.0, 1e-9);
}

TEST(SimCoarseMotor, ContactOnlyWhereTheLoopReachesTheSurfaceInsideTheRange)
{
    SimController sim(Config(6500.0, 5.0));
    Feedback(sim, 0x2000);
    SpendUs(sim, 2000);
    // 32500 digits beyond Base: the piezo hangs at its maximum, touching nothing.
    EXPECT_EQ(Read(sim, ReadAddrZ), 32000);
    EXPECT_EQ(Contact(sim), 0);
    EXPECT_LT(std::abs(Read(sim, 2)), 10); // the deflection idles

    WriteWords(sim, {0x7}); // one step down: the surface at 26000, the tip 6000 into it
    SpendUs(sim, 1000);
    EXPECT_EQ(Read(sim, ReadAddrZ), 27000); // backed off to the setpoint's push
    EXPECT_EQ(Contact(sim), 1);
    EXPECT_NEAR(Read(sim, 2), 1000, 4); // at the setpoint
    EXPECT_EQ(sim.CrashCount(), 0);

    // Retract: Z slews to its minimum and the contact goes.
    Feedback(sim, ControlFeedbackRetract);
    SpendUs(sim, 200000);
    EXPECT_EQ(Read(sim, ReadAddrZ), -32000);
    EXPECT_EQ(Contact(sim), 0);

    // Engaged again, Z extends as fast as the gains let it until it meets the surface.
    Feedback(sim, 0x2000);
    SpendUs(sim, 100);
    const int32_t rising = Read(sim, ReadAddrZ);
    EXPECT_GT(rising, -32000);
    EXPECT_LT(rising, 0);
    EXPECT_EQ(Contact(sim), 0);
    SpendUs(sim, 100000);
    EXPECT_EQ(Read(sim, ReadAddrZ), 27000);
    EXPECT_EQ(Contact(sim), 1);

    // Held, the tip touches while Z stands at or beyond the surface, and a
    // step toward the sample now crashes it.
    Feedback(sim, 0);
    EXPECT_EQ(Contact(sim), 1);
    WriteWords(sim, {0xF});
    ASSERT_EQ(sim.CrashCount(), 1);
    EXPECT_EQ(sim.Crashes()[0].Cause, SimCrashCause::CoarseStepInContact);
    sim.ClearCrashes();
    WriteWords(sim, {0x7, 0x3}); // two steps up: 5500 digits short of the surface
    EXPECT_EQ(sim.CoarseGapSteps(), 5.0);
    EXPECT_EQ(Contact(sim), 0);
    EXPECT_EQ(sim.GuardViolationCount(), 0);
    EXPECT_EQ(sim.CrashCount(), 0);

    // A USB box gives the contact with the opposite sign.
    SimConfig usb = Config(6500.0, 0.0);
    usb.Usb = true;
    SimController box(usb);
    Feedback(box, 0x2000);
    SpendUs(box, 1000);
    EXPECT_EQ(Contact(box), -1);
}
