// The simulated box's Z loop as the feedback record configures it, and the
// tip that crashes when the program pushes it into the sample.

#include "sim/SimController.h"
#include "support/SimRequests.h"

#include <QRegularExpression>
#include <QStringList>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <vector>

using namespace qvt;
using namespace qvt::sim;

namespace {

constexpr int32_t Input = 1;

SimConfig Flat(double base = 0.0)
{
    SimConfig c;
    c.Clock = ClockMode::Fast;
    c.AdcNoise = 0.0;
    c.Surface.Base = base;
    return c;
}

constexpr auto* Read = &test::SimRead;
constexpr auto* Write = &test::SimWrite;

// Contact AFM (0x2000, or 0x2200 inverted) regulating `level` input digits with Ki', Kp.
void Contact(SimController& sim, double ki, double kp = 0.0, int32_t level = 400, int32_t word = 0x2000)
{
    TSetFeedbackRecord fb;
    fb.ControlWord = word;
    fb.Setpoint = level / 4;
    fb.IntegralGain = static_cast<int32_t>(std::lround(-kp - ki));
    fb.ProportionalGain = static_cast<int32_t>(std::lround(kp));
    fb.InputAddress = Input;
    sim.Control(IOCTL_SET_FEEDBACK, &fb, sizeof fb, nullptr, 0, nullptr);
}

void Ticks(SimController& sim, int ticks)
{
    // 25.6 µs a tick: spend whole microseconds a little beyond.
    int us = static_cast<int>(std::ceil(ticks * 25.6));
    for (; us > 0; us -= DelayChunkMax) {
        const int32_t n = std::min(us, DelayChunkMax);
        sim.Control(IOCTL_DELAY, &n, 4, nullptr, 0, nullptr);
    }
}

void Jump(SimController& sim, int32_t x, int32_t y)
{
    TGoXYRequest r;
    r.X = x;
    r.Y = y;
    TGoXYReply reply;
    sim.Control(IOCTL_GO_XY, &r, sizeof r, &reply, sizeof reply, nullptr);
}

} // namespace

TEST(SimFeedback, RightPolarityTracksAStepInTheTimeTheGainsPredictKiZeroHoldsWrongPolarityCrashes)
{
    SimConfig config = Flat();
    config.Surface.StepHeight = 1000;
    config.Surface.TerraceWidth = 5000;
    SimController sim(config);

    // Ki' k / GainScale = 0.05: the error shrinks 5 % a tick, 1/e in 20 ticks.
    Contact(sim, 0.05 * SimZLoop::GainScale);
    Jump(sim, 6000, 0);
    Ticks(sim, 2000);
    ASSERT_EQ(Read(sim, ReadAddrZ), 1400); // pushed in by the setpoint's 400 digits
    EXPECT_NEAR(Read(sim, Input), 400, 10);

    Jump(sim, 4000, 0); // one terrace back: the surface 1000 digits nearer, the tip 1400 in
    Ticks(sim, 20);
    EXPECT_NEAR(Read(sim, ReadAddrZ), 400 + 1000 * std::pow(0.95, 20), 40);
    EXPECT_GT(Read(sim, Input), 400 + 200); // the error shows the edge meanwhile
    Ticks(sim, 80);
    const int32_t settled = Read(sim, ReadAddrZ);
    EXPECT_NEAR(settled, 400, 10); // within 1 % after five time constants

    // Ki 0: Z stays where it is, the deflection carries the next edge.
    Contact(sim, 0.0);
    Jump(sim, 6000, 0);
    Ticks(sim, 1000);
    EXPECT_EQ(Read(sim, ReadAddrZ), settled);
    EXPECT_NEAR(Read(sim, Input), 0, 10); // the surface fell away from the tip
    // Kp alone answers changes of the error, not the error: Z stays.
    Contact(sim, 0.0, 0.5 * SimZLoop::GainScale);
    Ticks(sim, 1000);
    EXPECT_EQ(Read(sim, ReadAddrZ), settled);
    EXPECT_EQ(sim.CrashCount(), 0);

    // The inverted input (0x2200 for a deflection that is not inverted)
    // drives Z toward the sample until it stands at its rail, the tip deep in.
    Contact(sim, 0.05 * SimZLoop::GainScale, 0.0, 400, 0x2200);
    Ticks(sim, 5000);
    EXPECT_EQ(Read(sim, ReadAddrZ), 32000);
    EXPECT_GT(Read(sim, Input), 20000); // the error saturated
    ASSERT_EQ(sim.CrashCount(), 1);     // noted once, not once a tick
    EXPECT_EQ(sim.Crashes()[0].Cause, SimCrashCause::Pushed);
    EXPECT_GT(sim.Crashes()[0].Depth, config.Probe.CrashDepth);
}

TEST(SimFeedback, AGainTooLargeRingsAndStmFollowsTheBiasSign)
{
    SimController sim(Flat());
    Contact(sim, 1.8 * SimZLoop::GainScale); // overshoots each tick, by less and less
    std::vector<int32_t> z;
    for (int i = 0; i < 6; ++i) {
        Ticks(sim, 1);
        z.push_back(Read(sim, ReadAddrZ));
    }
    int turns = 0;
    for (size_t i = 2; i < z.size(); ++i)
        turns += (z[i] - z[i - 1]) * (z[i - 1] - z[i - 2]) < 0;
    EXPECT_GE(turns, 2) << z[0] << " " << z[1] << " " << z[2] << " " << z[3];

    // STM: the current's sign is the bias's; 0x1200 undoes a negative bias.
    SimController stm(Flat());
    Write(stm, RegDacBase + 1, -1000); // bias
    TSetFeedbackRecord fb;
    fb.ControlWord = 0x1200;
    fb.Setpoint = 1000 / 4;
    fb.IntegralGain = -static_cast<int32_t>(std::lround(0.1 * SimZLoop::GainScale));
    fb.InputAddress = Input;
    stm.Control(IOCTL_SET_FEEDBACK, &fb, sizeof fb, nullptr, 0, nullptr);
    Ticks(stm, 20000);
    EXPECT_NEAR(Read(stm, Input), -1000, 30); // -1000 digits of current at the setpoint
    const int32_t z0 = Read(stm, ReadAddrZ);
    EXPECT_NEAR(z0, 400.0 * std::log(1000.0 / 30000.0), 10); // a gap of 3.4 decay lengths
    EXPECT_EQ(stm.CrashCount(), 0);
}

TEST(SimFeedback, ASampleSteppedIntoAHeldTipCrashesIt)
{
    // An approach with the loop switched off: Z stands at its top, the coarse
    // motor brings the sample up step by step until it meets the tip.
    SimConfig config = Flat();
    config.Coarse.StepSize = 3000;
    config.Coarse.Gap = 13;
    SimController sim(config);
    QStringList told;
    sim.SetRecordListener([&told](const QString& text) { told << text; });
    Write(sim, RegZ, 32000); // held there, the loop off
    int steps = 0;
    static constexpr int32_t Down[] = {0x7, 0xF, 0xB, 0x3};
    while (sim.CrashCount() == 0 && steps < 20)
        Write(sim, RegDigitalOut, Down[steps++ % 4]);
    EXPECT_EQ(steps, 4); // the third step meets the tip, 2000 deep; the fourth crashes it
    ASSERT_EQ(sim.CrashCount(), 1);
    EXPECT_EQ(sim.Crashes()[0].Cause, SimCrashCause::CoarseStepInContact);
    // Told once, as the request that found it came back; nothing more after it.
    Read(sim, ReadAddrZ);
    ASSERT_EQ(told.size(), 1);
    EXPECT_TRUE(told[0].startsWith("tip crashed at Z 32000")) << told[0].toStdString();

    // An output beyond its limit is told the same way, once.
    sim.SetDacLimits(2, -1000, 1000);
    Write(sim, RegBias, 5000);
    Read(sim, ReadAddrZ);
    ASSERT_EQ(told.size(), 2);
    EXPECT_EQ(told[1], "output DAC2 beyond its limit (5000 asked, -1000 to 1000 allowed)");
    sim.ClearGuardViolations();
}

namespace {

// The module's request: control word and the stream's ids (terminator 13 after them).
void Module(SimController& sim, int32_t control, std::initializer_list<int32_t> ids = {})
{
    int32_t words[17] = {control, static_cast<int32_t>(ids.size()) + 1};
    int i = 2;
    for (const int32_t id : ids)
        words[i++] = id;
    words[i] = 13;
    char reply[1024] = {};
    sim.Control(IOCTL_READ_OSZI, words, sizeof words, reply, sizeof reply, nullptr);
}

// An X(z) curve of `points` points from 0 to `dz` Z digits (positive: away from the sample).
void ZRamp(SimController& sim, int32_t dz, int points = 64)
{
    TRampRecord ramp;
    for (int i = 0; i <= points; ++i)
        ramp.Values[i] = static_cast<int32_t>(std::lround(double(dz) * std::min(i, points - 1) / (points - 1)));
    TRampRecord bias;
    sim.Control(IOCTL_LOAD_BIAS_RAMP, &bias, sizeof bias, nullptr, 0, nullptr);
    sim.Control(IOCTL_LOAD_Z_RAMP, &ramp, sizeof ramp, nullptr, 0, nullptr);
    TSetSpektRecord run;
    run.Kind = 5; // Z played, the loop off
    run.DataPoints = points;
    run.SampleTicks = 4;
    run.Delay = 100;
    run.Inputs[0] = Input;
    sim.Control(IOCTL_SET_SPEKT, &run, sizeof run, nullptr, 0, nullptr);
}

} // namespace

// A spectroscopy ramp moves the tip as the loop does, and so does a Z
// written while the loop holds: the push either makes is judged against the
// sample's hardness like any other.
TEST(SimFeedback, ARampOrAWrittenZPressingBeyondTheCrashDepthCrashesTheTip)
{
    SimConfig config = Flat();
    config.Spekt.VibrationDigits = 0.0;
    SimController sim(config);
    Contact(sim, 0.05 * SimZLoop::GainScale);
    Ticks(sim, 2000);
    ASSERT_EQ(Read(sim, ReadAddrZ), 400); // held 400 digits in
    const auto depth = static_cast<int32_t>(config.Probe.CrashDepth);

    // Toward the sample up to the depth it bears, and back out.
    ZRamp(sim, -(depth - 400));
    ZRamp(sim, 20000);
    EXPECT_EQ(sim.CrashCount(), 0);
    // One digit beyond it.
    ZRamp(sim, -(depth - 400) - 2);
    ASSERT_EQ(sim.CrashCount(), 1);
    EXPECT_EQ(sim.Crashes()[0].Cause, SimCrashCause::Pushed);
    EXPECT_GT(sim.Crashes()[0].Depth, config.Probe.CrashDepth);

    // The loop holding (control word 0), Z written straight to the output.
    TSetFeedbackRecord hold;
    sim.Control(IOCTL_SET_FEEDBACK, &hold, sizeof hold, nullptr, 0, nullptr);
    Write(sim, 32, depth);
    Ticks(sim, 10);
    EXPECT_EQ(Read(sim, ReadAddrZ), depth);
    EXPECT_EQ(sim.CrashCount(), 1);
    Write(sim, 32, depth + 2);
    Ticks(sim, 10);
    EXPECT_EQ(Read(sim, ReadAddrZ), depth + 2);
    ASSERT_EQ(sim.CrashCount(), 2);
    EXPECT_EQ(sim.Crashes()[1].Z, depth + 2);
}

// The high-speed module's stream: with its loop on and given gains it keeps
// the tip on the surface along the fast lines; otherwise the tip stays where
// the slow loop holds it, and a line across a slope pushes it in. Handing the slow loop to
// the module (0x2200 on its output, address 81) keeps Z where it is.
TEST(SimFeedback, TheFastModulesLoopCarriesTheTipAndItsStreamIsJudged)
{
    SimConfig config = Flat();
    config.ControllerType = 29;
    config.Surface.TiltX = 1.0;
    SimController sim(config);
    Contact(sim, 0.05 * SimZLoop::GainScale);
    Ticks(sim, 2000);
    ASSERT_EQ(Read(sim, ReadAddrZ), 400);

    // Fast feedback on, the slow loop on the module's output.
    Module(sim, 0x82);
    Contact(sim, 0.05 * SimZLoop::GainScale, 0.0, 0, 0x2200);
    TSetFeedbackRecord fb = sim.Feedback();
    fb.InputAddress = ReadAddrFastFeedbackInput;
    sim.Control(IOCTL_SET_FEEDBACK, &fb, sizeof fb, nullptr, 0, nullptr);
    Ticks(sim, 20000);
    EXPECT_NEAR(Read(sim, ReadAddrZ), 400, 2);
    EXPECT_EQ(sim.CrashCount(), 0);

    // A frame 20000 digits wide at 20 lines/s, the topography streamed.
    Write(sim, 3, 268435);   // reference 10 kHz
    Write(sim, 129, 555869); // 20 lines/s
    Write(sim, 145, 4179);   // 64 lines
    Write(sim, 137, 20000);  // fast amplitude
    std::vector<int32_t> words(67201);
    const auto stream = [&sim, &words](int reads) {
        size_t n = 0;
        for (int i = 0; i < reads; ++i)
            n += sim.BulkRead(words.data(), words.size() * 4, 0);
        return n;
    };
    Module(sim, 0x87, {0}); // DMA, feedback, scan: a loop without gains keeps nothing
    EXPECT_GT(stream(50), 0u);
    ASSERT_GE(sim.CrashCount(), 1);
    sim.ClearCrashes();
    Write(sim, 83, 1 << 20); // q0: an integral loop
    Write(sim, 84, 1 << 20);
    EXPECT_GT(stream(50), 0u);
    EXPECT_EQ(sim.CrashCount(), 0);
    Module(sim, 0x85, {0}); // the module's loop off: the tip is dragged across the slope
    EXPECT_GT(stream(50), 0u);
    ASSERT_GE(sim.CrashCount(), 1);
    EXPECT_EQ(sim.Crashes()[0].Cause, SimCrashCause::Pushed);
}

TEST(SimFeedback, RecordsThatRepeatAreToldAsOneEpisodePerOutputWithTheirCount)
{
    SimController sim(Flat());
    QStringList told;
    sim.SetRecordListener([&told](const QString& text) { told << text; });
    sim.SetDacLimits(2, -1000, 1000);
    sim.SetDacLimits(5, -1000, 1000);
    // The bias written beyond its limit a thousand times, DAC5 twice.
    for (int i = 0; i < 1000; ++i)
        Write(sim, RegBias, 5000 + i);
    Write(sim, RegDacBase + 4, -3000);
    Write(sim, RegDacBase + 4, -3001);
    ASSERT_EQ(sim.GuardViolationCount(), 1002);
    // Each output's first record as it came, the repeats counted.
    EXPECT_EQ(told, (QStringList{"output DAC2 beyond its limit (5000 asked, -1000 to 1000 allowed)",
                                 "output DAC5 beyond its limit (-3000 asked, -1000 to 1000 allowed)"}));

    // Two seconds of the box's time without a record end both, each with its count.
    Ticks(sim, 78200);
    Read(sim, ReadAddrZ);
    ASSERT_EQ(told.size(), 4) << told.join("\n").toStdString();
    const QStringList counts = told.mid(2);
    const QRegularExpression bias("^output DAC2 beyond its limit \\(5000 asked, -1000 to 1000 allowed\\): "
                                  "1000 times from .* to [0-9:.]+$");
    EXPECT_EQ(counts.filter(bias).size(), 1) << counts.join("\n").toStdString();
    EXPECT_EQ(counts.filter(QRegularExpression("^output DAC5 .*: 2 times from ")).size(), 1)
        << counts.join("\n").toStdString();
    // And nothing more while nothing new happens.
    Ticks(sim, 78200);
    Read(sim, ReadAddrZ);
    EXPECT_EQ(told.size(), 4);
    sim.ClearGuardViolations();
}
