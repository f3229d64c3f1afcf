#include "sim/SimController.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

using namespace qvt;
using namespace qvt::sim;

namespace {

SimConfig FastConfig()
{
    SimConfig c;
    c.Clock = ClockMode::Fast;
    c.LogRequests = true;
    return c;
}

int32_t Read(SimController& sim, int32_t address, bool* ok = nullptr)
{
    int32_t value = 0x5A5A5A5A;
    const bool done = sim.Control(IOCTL_READ_REG, &address, 4, &value, 4, nullptr);
    if (ok)
        *ok = done;
    return value;
}

bool Write(SimController& sim, int32_t reg, int32_t value)
{
    const TWriteRegRecord r{reg, value};
    return sim.Control(IOCTL_WRITE_REG, &r, sizeof r, nullptr, 0, nullptr);
}

bool SetZRange(SimController& sim, int32_t min, int32_t max, int32_t flags = 0)
{
    TZRangeRecord r;
    r.MinRaw = min;
    r.MaxRaw = max;
    r.Flags = flags;
    return sim.Control(IOCTL_SET_Z_RANGE, &r, sizeof r, nullptr, 0, nullptr);
}

} // namespace

TEST(SimController, RefusesRequestsWhoseSizesDifferFromTheTable)
{
    SimController sim(FastConfig());
    int32_t in[2] = {31, 0};
    int32_t out[2] = {};
    size_t returned = 99;
    EXPECT_FALSE(sim.Control(IOCTL_READ_REG, in, 8, out, 4, &returned));
    EXPECT_EQ(returned, 0u);
    EXPECT_FALSE(sim.Control(IOCTL_READ_REG, in, 4, out, 8, &returned));
    EXPECT_FALSE(sim.Control(IOCTL_READ_REG, in, 4, nullptr, 4, &returned));
    EXPECT_TRUE(sim.Control(IOCTL_READ_REG, in, 4, out, 4, &returned));
    EXPECT_EQ(returned, 4u);

    // Reserved and unknown codes are never answered.
    EXPECT_FALSE(sim.Control(IOCTL_RESERVED_0C, nullptr, 0, nullptr, 0, nullptr));
    EXPECT_FALSE(sim.Control(MakeControlCode(0xF20), nullptr, 0, nullptr, 0, nullptr));

    // SET_OSZI is 20 bytes on a card and 1048 on a USB box.
    TSetOsziUsbRecord oszi;
    EXPECT_TRUE(sim.Control(IOCTL_SET_OSZI, &oszi, 20, nullptr, 0, nullptr));
    EXPECT_FALSE(sim.Control(IOCTL_SET_OSZI, &oszi, sizeof oszi, nullptr, 0, nullptr));
    SimConfig usbConfig = FastConfig();
    usbConfig.Usb = true;
    SimController usb(usbConfig);
    EXPECT_TRUE(usb.Control(IOCTL_SET_OSZI, &oszi, sizeof oszi, nullptr, 0, nullptr));
    EXPECT_FALSE(usb.Control(IOCTL_SET_OSZI, &oszi, 20, nullptr, 0, nullptr));

    // Requests of the later tools are taken with their sizes and answered zeroed.
    TGoXYRequest move;
    TGoXYReply reply;
    reply.Readings[0] = 77;
    EXPECT_TRUE(sim.Control(IOCTL_GO_XY, &move, sizeof move, &reply, sizeof reply, &returned));
    EXPECT_EQ(returned, sizeof reply);
    EXPECT_EQ(reply.Readings[0], 0);

    const std::vector<SimRequest> log = sim.RequestLog();
    ASSERT_EQ(log.size(), 9u);
    EXPECT_FALSE(log[0].Ok);
    EXPECT_EQ(log[0].InSize, 8u);
    EXPECT_TRUE(log[3].Ok);
    EXPECT_EQ(log[3].Out0, 26);
}

TEST(SimController, ReadsTheAddressMapOfTheBox)
{
    SimConfig config = FastConfig();
    config.ControllerType = 26;
    config.SubVersion = 3;
    SimController sim(config);
    EXPECT_EQ(Read(sim, RegBoxVersion), 26);
    EXPECT_EQ(Read(sim, RegBoxSubVersion), 3);

    Write(sim, RegZ, 1234);
    Write(sim, RegBias, -200);
    Write(sim, RegX, 3000);
    Write(sim, RegY, -3000);
    Write(sim, RegDacBase + 5, 77); // DAC6
    EXPECT_EQ(Read(sim, ReadAddrZ), 1234);
    EXPECT_EQ(Read(sim, ReadAddrBias), -200);
    EXPECT_EQ(Read(sim, ReadAddrX), 3000);
    EXPECT_EQ(Read(sim, ReadAddrY), -3000);
    EXPECT_EQ(Read(sim, -5), 77); // output side of DAC slot 5

    // An idle input: its offset and a few digits of noise, never a fixed value.
    double sum = 0;
    int distinct = 0;
    int32_t previous = Read(sim, ReadAddrDefaultAdc);
    for (int i = 0; i < 200; ++i) {
        const int32_t v = Read(sim, ReadAddrDefaultAdc);
        EXPECT_LT(std::abs(v), 40);
        distinct += v != previous;
        previous = v;
        sum += v;
    }
    EXPECT_GT(distinct, 50);
    EXPECT_LT(std::abs(sum / 200), 15.0);

    // Unknown addresses read 0, so channel readers see nothing there.
    EXPECT_EQ(Read(sim, 1000), 0);
    EXPECT_EQ(Read(sim, -70000), 0);
    EXPECT_EQ(Read(sim, 100), 0);

    // The extended registers are not there on a type-26 card ...
    Write(sim, 83, 55);
    EXPECT_EQ(Read(sim, 83), 0);
    // ... but read back on type 29.
    config.ControllerType = 29;
    SimController type29(config);
    Write(type29, 83, 55);
    EXPECT_EQ(Read(type29, 83), 55);
    Write(type29, 141, 1);
    EXPECT_EQ(Read(type29, 141), 1);
    // Input 22 shows where Z sits in its range.
    SetZRange(type29, -1000, 1000);
    Write(type29, RegZ, 1000);
    EXPECT_EQ(Read(type29, ReadAddrZRangeFlag), 32000);
    Write(type29, RegZ, -1000);
    EXPECT_EQ(Read(type29, ReadAddrZRangeFlag), -32000);
}

TEST(SimController, AbsentControllerReadsAllOnes)
{
    SimConfig config = FastConfig();
    config.Absent = true;
    SimController sim(config);
    bool ok = false;
    EXPECT_EQ(Read(sim, RegBoxVersion, &ok), -1);
    EXPECT_TRUE(ok); // the driver answers; the box does not
    EXPECT_EQ(Read(sim, ReadAddrZ), -1);
    TDncStatusRecord status;
    EXPECT_TRUE(sim.Control(IOCTL_READ_DNC_STATUS, nullptr, 0, &status, sizeof status, nullptr));
    EXPECT_EQ(status.Words[2], -1);
    sim.SetAbsent(false);
    EXPECT_EQ(Read(sim, RegBoxVersion), 26);
}

TEST(SimController, KeepsZInsideTheProgrammedRangeAndGuardsTheOutputs)
{
    SimController sim(FastConfig());
    EXPECT_TRUE(SetZRange(sim, -1000, 2000, ZRangeFlagZInvers));
    EXPECT_EQ(sim.ZRange().MinRaw, -1000);
    EXPECT_EQ(sim.ZRange().Flags, ZRangeFlagZInvers);
    EXPECT_EQ(sim.GuardViolationCount(), 0);

    Write(sim, RegZ, 1500);
    EXPECT_EQ(sim.Dac(1), 1500);
    Write(sim, RegZ, 5000);
    EXPECT_EQ(Read(sim, ReadAddrZ), 2000);
    // A narrower range pulls Z in at once.
    SetZRange(sim, -100, 100);
    EXPECT_EQ(sim.Dac(1), 100);
    EXPECT_FALSE(SetZRange(sim, 10, -10));
    EXPECT_EQ(sim.ZRange().MaxRaw, 100);

    Write(sim, RegX, 40000);
    Write(sim, RegDigitalOut, 40000); // the stepper word is no DAC
    Write(sim, RegBias, -32000);      // on the limit is inside
    sim.SetDacLimits(4, -10, 10);
    Write(sim, RegY, 11);

    const std::vector<GuardViolation> v = sim.GuardViolations();
    ASSERT_EQ(v.size(), 3u);
    EXPECT_EQ(v[0].Register, RegZ);
    EXPECT_EQ(v[0].Value, 5000);
    EXPECT_EQ(v[0].Max, 2000);
    EXPECT_EQ(v[0].Limit, GuardLimit::ZRange);
    EXPECT_EQ(v[1].Register, RegX);
    EXPECT_EQ(v[1].Value, 40000);
    EXPECT_EQ(v[1].Max, 32000);
    EXPECT_EQ(v[1].Limit, GuardLimit::Dac);
    EXPECT_EQ(v[2].Register, RegY);
    EXPECT_EQ(v[2].Max, 10);
    sim.ClearGuardViolations();
    EXPECT_EQ(sim.GuardViolationCount(), 0);
}

TEST(SimController, DelayIsABusyWaitOfCountMicroseconds)
{
    SimConfig fast = FastConfig();
    SimController sim(fast);
    const int64_t before = sim.NowUs();
    int32_t count = 50;
    for (int i = 0; i < 40; ++i)
        EXPECT_TRUE(sim.Control(IOCTL_DELAY, &count, 4, nullptr, 0, nullptr));
    EXPECT_EQ(sim.NowUs() - before, 2000);
    count = 51;
    EXPECT_FALSE(sim.Control(IOCTL_DELAY, &count, 4, nullptr, 0, nullptr));
    count = -1;
    EXPECT_FALSE(sim.Control(IOCTL_DELAY, &count, 4, nullptr, 0, nullptr));

    SimController realTime{SimConfig{}};
    count = 50;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 40; ++i)
        realTime.Control(IOCTL_DELAY, &count, 4, nullptr, 0, nullptr);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::microseconds(2000));
}

TEST(SimController, InjectedFaultsFailRequestsAndDisturbTheEcho)
{
    SimController sim(FastConfig());
    SimFaults faults;
    faults.FailCode = IOCTL_WRITE_REG;
    sim.SetFaults(faults);
    EXPECT_FALSE(Write(sim, RegControl2, 5));
    bool ok = false;
    Read(sim, RegControl2, &ok);
    EXPECT_TRUE(ok);
    faults = {};
    faults.FailAllRequests = true;
    sim.SetFaults(faults);
    Read(sim, RegBoxVersion, &ok);
    EXPECT_FALSE(ok);

    // A lagging echo shows the old value for the given number of reads.
    faults = {};
    faults.EchoLagReads = 2;
    sim.SetFaults(faults);
    Write(sim, RegControl2, 7);
    Write(sim, RegControl2, 8);
    EXPECT_EQ(Read(sim, RegControl2), 0);
    EXPECT_EQ(Read(sim, RegControl2), 0);
    EXPECT_EQ(Read(sim, RegControl2), 8);

    // Stray values never look like anything the program writes (0..1999999999).
    faults = {};
    faults.EchoStrayEvery = 3;
    sim.SetFaults(faults);
    int strays = 0;
    for (int i = 0; i < 30; ++i) {
        const int32_t v = Read(sim, RegControl2);
        if (v != 8) {
            EXPECT_GE(v, 2000000000);
            ++strays;
        }
    }
    EXPECT_EQ(strays, 10);
}

TEST(SimController, KeepsWhatTheProgramConfigured)
{
    SimController sim(FastConfig());
    const int32_t word = 0x41;
    EXPECT_TRUE(sim.Control(IOCTL_SET_CONTROL, &word, 4, nullptr, 0, nullptr));
    EXPECT_EQ(sim.ControlWord(), 0x41);

    TSetFeedbackRecord fb;
    fb.ControlWord = 0x2000;
    fb.Setpoint = 250;
    fb.InputAddress = 2;
    EXPECT_TRUE(sim.Control(IOCTL_SET_FEEDBACK, &fb, sizeof fb, nullptr, 0, nullptr));
    EXPECT_EQ(sim.Feedback().ControlWord, 0x2000);
    EXPECT_EQ(sim.Feedback().Setpoint, 250);

    const TSetSlopeRecord slope{12, -34};
    EXPECT_TRUE(sim.Control(IOCTL_SET_SLOPE, &slope, sizeof slope, nullptr, 0, nullptr));
    EXPECT_EQ(sim.Slope().DzDy, -34);

    TSetLedRecord led;
    led.Value = 512 + 100;
    EXPECT_TRUE(sim.Control(IOCTL_SET_LED, &led, sizeof led, nullptr, 0, nullptr));
    EXPECT_EQ(sim.LastLedValue(), 612);
    EXPECT_EQ(sim.LedRequestCount(), 1);

    // The version registers cannot be overwritten.
    Write(sim, RegBoxVersion, 29);
    EXPECT_EQ(Read(sim, RegBoxVersion), 26);
}

TEST(SimController, LogsRequestsUpToItsCapacityWithoutGrowing)
{
    SimConfig config = FastConfig();
    config.LogCapacity = 3;
    SimController sim(config);
    for (int i = 0; i < 5; ++i)
        Write(sim, 100 + i, i);
    const std::vector<SimRequest> log = sim.RequestLog();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[2].Code, IOCTL_WRITE_REG);
    EXPECT_EQ(log[2].InWords, 2);
    EXPECT_EQ(log[2].In[0], 102);
    EXPECT_EQ(sim.DroppedLogEntries(), 2);
    sim.SetLogging(false);
    sim.ClearLog();
    Write(sim, 32, 1);
    EXPECT_TRUE(sim.RequestLog().empty());
    EXPECT_EQ(sim.RequestCount(), 6);
}

TEST(SimController, ServesManyThreadsQuickly)
{
    SimConfig config = FastConfig();
    config.ControllerType = 29;
    SimController sim(config);
    sim.SetLogging(false);
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            // Each thread owns one register and must always read back its own writes.
            const int32_t reg = 128 + t;
            for (int i = 0; i < 5000; ++i) {
                Write(sim, reg, i);
                if (Read(sim, reg) != i)
                    ++mismatches;
                Read(sim, ReadAddrDefaultAdc);
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(sim.RequestCount(), 4 * 5000 * 3);

    // The echo test needs about 1000 round trips in 0.2 s; a few ms is usual
    // here, so only a simulator that crawls fails this.
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 1000; ++i) {
        Write(sim, RegControl2, i);
        EXPECT_EQ(Read(sim, RegControl2), i);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}
