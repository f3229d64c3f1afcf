// The simulated box's move generator, sample surface and Z loop.

#include "sim/SimController.h"
#include "sim/SimSurface.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <thread>

using namespace qvt;
using namespace qvt::sim;

namespace {

SimConfig Config(ClockMode clock)
{
    SimConfig c;
    c.Clock = clock;
    c.AdcNoise = 0.0;
    return c;
}

int32_t Read(SimController& sim, int32_t address)
{
    int32_t value = 0;
    sim.Control(IOCTL_READ_REG, &address, 4, &value, 4, nullptr);
    return value;
}

bool GoXY(SimController& sim, int32_t x, int32_t y, int32_t stepX, int32_t stepY, int32_t steps,
          TGoXYReply* reply = nullptr, std::initializer_list<int32_t> addresses = {})
{
    TGoXYRequest r;
    r.X = x;
    r.Y = y;
    r.StepX = stepX;
    r.StepY = stepY;
    r.StepCount = steps;
    int i = 0;
    for (int32_t a : addresses)
        r.ReadAddresses[i++] = a;
    r.ReadAddresses[i] = ReadListTerminator;
    r.ListLength = addresses.size() > 0 ? i + 1 : 0;
    TGoXYReply local;
    return sim.Control(IOCTL_GO_XY, &r, sizeof r, reply ? reply : &local, sizeof local, nullptr);
}

// Ki' = GainScale: the loop closes the whole error in one tick.
void Feedback(SimController& sim, int32_t word, int32_t setpoint = 250, int32_t input = 2,
              double ki = SimZLoop::GainScale)
{
    TSetFeedbackRecord fb;
    fb.ControlWord = word;
    fb.Setpoint = setpoint;
    fb.IntegralGain = -static_cast<int32_t>(std::lround(ki));
    fb.InputAddress = input;
    sim.Control(IOCTL_SET_FEEDBACK, &fb, sizeof fb, nullptr, 0, nullptr);
}

void SpendUs(SimController& sim, int us)
{
    int32_t chunk = DelayChunkMax;
    for (int spent = 0; spent < us; spent += chunk)
        sim.Control(IOCTL_DELAY, &chunk, 4, nullptr, 0, nullptr);
}

} // namespace

TEST(SimSurface, ShowsTerracesAGratingAndATilt)
{
    SurfaceConfig c;
    c.Base = 100;
    c.StepHeight = 50;
    c.TerraceWidth = 1000;
    EXPECT_EQ(SimSurface(c).Height(999, 0), 100);
    EXPECT_EQ(SimSurface(c).Height(1000, 123), 150);
    EXPECT_EQ(SimSurface(c).Height(-1, 0), 50);

    c = {};
    c.GratingHeight = 30;
    c.GratingPeriod = 200;
    EXPECT_EQ(SimSurface(c).Height(50, 7), 30);
    EXPECT_EQ(SimSurface(c).Height(150, 7), 0);
    EXPECT_EQ(SimSurface(c).Height(-50, 7), 0);

    c = {};
    c.TiltX = 0.25;
    c.TiltY = -0.5;
    EXPECT_EQ(SimSurface(c).Height(400, 100), 50);
}

TEST(SimMoves, FastMovesEndAtOnceWhereTheStepsLead)
{
    SimController sim(Config(ClockMode::Fast));
    ManualResetEvent& done = sim.GoXYWaitEvent();

    done.Reset();
    const int64_t before = sim.NowUs();
    EXPECT_TRUE(GoXY(sim, 100, -50, 3, -2, 1000));
    EXPECT_EQ(sim.NowUs() - before, 25600); // one tick of 25.6 µs per step
    EXPECT_TRUE(done.IsSet());
    EXPECT_FALSE(sim.MoveBusy());
    EXPECT_EQ(Read(sim, ReadAddrX), 3100);
    EXPECT_EQ(Read(sim, ReadAddrY), -2050);

    // A jump lands at once; X/Y stay put while idle.
    EXPECT_TRUE(GoXY(sim, -7000, 8000, 99, 99, 0));
    EXPECT_EQ(Read(sim, ReadAddrX), -7000);
    EXPECT_EQ(Read(sim, ReadAddrX), -7000);
    EXPECT_EQ(Read(sim, ReadAddrY), 8000);

    // The reply reads the listed addresses at the end of the move.
    TGoXYReply reply;
    EXPECT_TRUE(GoXY(sim, 0, 0, 10, 20, 5, &reply, {ReadAddrX, ReadAddrY, ReadAddrZ}));
    EXPECT_EQ(reply.Readings[0], 50);
    EXPECT_EQ(reply.Readings[1], 100);
    EXPECT_EQ(reply.Readings[3], 0); // nothing beyond the list

    // A target beyond the scanner's limits is noted by the guard.
    EXPECT_EQ(sim.GuardViolationCount(), 0);
    GoXY(sim, 31000, 0, 100, 0, 20);
    ASSERT_EQ(sim.GuardViolationCount(), 1);
    EXPECT_EQ(sim.GuardViolations()[0].Register, RegX);

    // Nothing behind the driver: no motion, all ones.
    sim.SetAbsent(true);
    EXPECT_TRUE(GoXY(sim, 0, 0, 0, 0, 0, &reply, {ReadAddrX}));
    EXPECT_EQ(reply.Readings[0], -1);
    EXPECT_EQ(reply.Readings[31], -1);
}

TEST(SimMoves, RealTimeMovesQueueSignalTheirEndAndStopWhereTheyAre)
{
    SimController sim(Config(ClockMode::RealTime));
    ManualResetEvent& done = sim.GoXYWaitEvent();

    // 20000 ticks (0.51 s) and then a jump, queued behind it: long enough
    // that a busy machine does not let it end before it is looked at.
    done.Reset();
    TGoXYReply reply;
    ASSERT_TRUE(GoXY(sim, 0, 0, 1, 0, 20000, &reply, {ReadAddrX, ReadAddrY}));
    ASSERT_TRUE(GoXY(sim, 0, 9000, 0, 0, 0));
    EXPECT_FALSE(done.IsSet());          // never before the moves are over
    EXPECT_EQ(reply.Readings[0], 20000); // read as at the end of its move
    const int32_t midway = Read(sim, ReadAddrX);
    EXPECT_LT(midway, 20000);
    EXPECT_EQ(Read(sim, ReadAddrY), 0);
    ASSERT_TRUE(done.Wait(10000));
    EXPECT_EQ(Read(sim, ReadAddrX), 0);
    EXPECT_EQ(Read(sim, ReadAddrY), 9000);

    // A stop freezes the move where it is and signals its end.
    done.Reset();
    ASSERT_TRUE(GoXY(sim, 0, 0, 1, 0, 30000)); // 0.77 s
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(GoXY(sim, 0, 0, 0, 0, -1, &reply, {ReadAddrX}));
    EXPECT_TRUE(done.Wait(2000));
    const int32_t stopped = Read(sim, ReadAddrX);
    EXPECT_GT(stopped, 100);
    EXPECT_LT(stopped, 30000);
    EXPECT_EQ(reply.Readings[0], stopped);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(Read(sim, ReadAddrX), stopped);
    EXPECT_FALSE(sim.MoveBusy());
    EXPECT_EQ(sim.GuardViolationCount(), 0);
}

TEST(SimZLoop, TracksTheSurfaceHoldsWithFeedbackOffAndSlewsDownOnRetract)
{
    SimConfig config = Config(ClockMode::Fast);
    config.Surface.Base = 1000;
    config.Surface.TiltX = 0.1;
    config.Surface.TiltY = -0.05;
    config.Probe.TopographyAddress = 3;
    SimController sim(config);

    // Contact mode: Z follows the tilt under the tip, pushed in by the
    // setpoint (1000 digits of deflection, stiffness 1).
    Feedback(sim, 0x2000);
    GoXY(sim, 10000, 2000, 0, 0, 0);
    SpendUs(sim, 1000);
    EXPECT_EQ(Read(sim, ReadAddrZ), 2900);
    // The plane correction takes the tilt out of Z; the Z sensor still sees it.
    TSetSlopeRecord slope{static_cast<int32_t>(0.1 * 16777216), 0};
    sim.Control(IOCTL_SET_SLOPE, &slope, sizeof slope, nullptr, 0, nullptr);
    SpendUs(sim, 1000);
    EXPECT_EQ(Read(sim, ReadAddrZ), 1900);
    EXPECT_NEAR(Read(sim, 3), 2900, 8);
    slope = {};
    sim.Control(IOCTL_SET_SLOPE, &slope, sizeof slope, nullptr, 0, nullptr);
    SpendUs(sim, 1000);
    // Tracking, the feedback input sits at the setpoint (4 x the word).
    EXPECT_NEAR(Read(sim, 2), 1000, 4);

    // Feedback off: Z holds, the deflection shows the surface falling away.
    Feedback(sim, 0);
    GoXY(sim, 0, 0, 0, 0, 0);
    EXPECT_EQ(Read(sim, ReadAddrZ), 2900);
    EXPECT_NEAR(Read(sim, 2), 1000 + 900, 4);

    // Retract: down at 20 digits per tick to the minimum, and the tip feels nothing.
    Feedback(sim, ControlFeedbackRetract, -1000000000);
    SpendUs(sim, 2000); // 78.125 ticks
    EXPECT_NEAR(Read(sim, ReadAddrZ), 2900 - 1562, 22);
    SpendUs(sim, 100000);
    EXPECT_EQ(Read(sim, ReadAddrZ), -32000);
    EXPECT_LT(std::abs(Read(sim, 2)), 10);

    // Back in feedback over an atomic step, with half the gain: the error
    // shows the edge, which Z has followed half way one tick later.
    config.Surface = {};
    config.Surface.StepHeight = 200;
    config.Surface.TerraceWidth = 5000;
    SimController stepped(config);
    Feedback(stepped, 0x2000, 250, 2, SimZLoop::GainScale / 2);
    GoXY(stepped, 4999, 0, 0, 0, 0);
    SpendUs(stepped, 10000);
    TGoXYReply reply;
    GoXY(stepped, 4999, 0, 1, 0, 1, &reply, {2, ReadAddrZ});
    EXPECT_NEAR(reply.Readings[0], 1000 - 100, 4); // the surface fell away by 200
    EXPECT_EQ(reply.Readings[1], 1100);
    EXPECT_EQ(sim.GuardViolationCount() + stepped.GuardViolationCount(), 0);
    EXPECT_EQ(sim.CrashCount() + stepped.CrashCount(), 0);
}

namespace {

int ThreadsOfThisProcess()
{
    int n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        (void)entry;
        ++n;
    }
    return n;
}

} // namespace

TEST(SimMoves, RealTimeMoveEndsNeedNoHelperThreadAndADirectWriteSignalsAtOnce)
{
    // The event is told when the queue runs dry and sets itself then: a scan
    // of a thousand pixels a second wakes no extra thread for each of them.
    const int before = ThreadsOfThisProcess();
    SimController sim(Config(ClockMode::RealTime));
    EXPECT_LE(ThreadsOfThisProcess(), before);

    ManualResetEvent& done = sim.GoXYWaitEvent();
    done.Reset();
    ASSERT_TRUE(GoXY(sim, 0, 0, 1, 0, 400)); // about 10 ms
    EXPECT_TRUE(done.Wait(1000));
    EXPECT_FALSE(sim.MoveBusy());
    EXPECT_EQ(Read(sim, ReadAddrX), 400);

    // Writing the X output directly takes it from the generator: the queued
    // moves are dropped and their end is signalled at once, not when they
    // would have ended.
    done.Reset();
    ASSERT_TRUE(GoXY(sim, 0, 0, 1, 0, 30000)); // 0.77 s
    EXPECT_FALSE(done.IsSet());
    const TWriteRegRecord write{RegX, 123};
    ASSERT_TRUE(sim.Control(IOCTL_WRITE_REG, &write, sizeof write, nullptr, 0, nullptr));
    EXPECT_TRUE(done.IsSet());
    EXPECT_EQ(Read(sim, ReadAddrX), 123);
    // Nothing is left to come: a reset now stays reset.
    done.Reset();
    EXPECT_FALSE(done.Wait(50));
}
