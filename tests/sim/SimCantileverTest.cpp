#include "sim/SimController.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using namespace qvt;
using namespace qvt::sim;

namespace {

SimConfig Fast()
{
    SimConfig c;
    c.Clock = ClockMode::Fast;
    return c;
}

template <class Rec> bool Send(SimController& sim, uint32_t code, const Rec& rec)
{
    return sim.Control(code, &rec, sizeof rec, nullptr, 0, nullptr);
}

int32_t Read(SimController& sim, int32_t address)
{
    int32_t value = 0;
    sim.Control(IOCTL_READ_REG, &address, 4, &value, 4, nullptr);
    return value;
}

void Wait(SimController& sim, int32_t us)
{
    while (us > 0) {
        const int32_t chunk = std::min(us, DelayChunkMax);
        ASSERT_TRUE(Send(sim, IOCTL_DELAY, chunk));
        us -= chunk;
    }
}

// Gain 1, ±1 V range, `volts` of drive at `hz`.
void Drive(SimController& sim, double hz, double volts)
{
    ASSERT_TRUE(Send(sim, IOCTL_SET_CONTROL, int32_t{0x10 | 0xE}));
    ASSERT_TRUE(Send(sim, IOCTL_SET_AMPLITUDE, static_cast<int32_t>(std::lround(volts * 65535.0))));
    ASSERT_TRUE(Send(sim, IOCTL_SET_FREQUENCY, static_cast<int32_t>(std::lround(hz * 4294967296.0 / 1.0e7))));
}

struct Mean {
    double Amplitude = 0.0;
    double PhaseDeg = 0.0;
};

Mean Settled(SimController& sim, double hz, double volts)
{
    Drive(sim, hz, volts);
    Wait(sim, 100000); // 0.1 s: many ring-down times and filter constants
    double x = 0.0;
    double y = 0.0;
    double a = 0.0;
    for (int i = 0; i < 20; ++i) {
        x += Read(sim, ReadAddrResonanceX);
        y += Read(sim, ReadAddrResonanceY);
        a += Read(sim, ReadAddrResonanceAmplitude);
    }
    return {a / 20.0 / SimCantilever::CordicGain, std::atan2(y, x) * 180.0 / M_PI};
}

TEST(SimCantilever, SettledResponseIsADrivenDampedOscillator)
{
    SimController sim(Fast());
    EXPECT_DOUBLE_EQ(sim.DriveVolts(), 0.0);
    const Mean below = Settled(sim, 10000.0, 0.5);
    const Mean peak = Settled(sim, 21000.0, 0.5);
    EXPECT_NEAR(sim.DriveFrequencyHz(), 21000.0, 0.01);
    EXPECT_NEAR(sim.DriveVolts(), 0.5, 1e-4);
    const Mean half = Settled(sim, 21000.0 * (1.0 + 1.0 / 400.0), 0.5); // f0 + half the width
    const Mean above = Settled(sim, 30000.0, 0.5);

    // Static deflection 0.025 nm → 0.0025 V; Q 200 at the peak.
    const double staticDigits = 0.5 * 0.05 * 0.1 / SimCantilever::DigitVolts;
    EXPECT_NEAR(peak.Amplitude / staticDigits, 200.0, 4.0);
    EXPECT_NEAR(peak.PhaseDeg, 90.0, 1.0);
    EXPECT_NEAR(half.Amplitude / peak.Amplitude, 1.0 / std::sqrt(2.0), 0.02);
    EXPECT_NEAR(half.PhaseDeg, 135.0, 2.0);
    // Off resonance the thermal motion passing the 1 ms filter is a few percent.
    EXPECT_NEAR(below.Amplitude / staticDigits, 1.0 / (1.0 - 0.2268), 0.12);
    EXPECT_NEAR(below.PhaseDeg, 0.0, 5.0);
    EXPECT_GT(std::abs(above.PhaseDeg), 170.0);

    // The reference phase turns the outputs; the phase channel reads millidegrees.
    Drive(sim, 21000.0, 0.5);
    ASSERT_TRUE(Send(sim, IOCTL_SET_PHASE, int32_t{0x10000000 | 6144})); // 270°
    Wait(sim, 50000);
    EXPECT_NEAR(Read(sim, ReadAddrResonancePhase) / 1000.0, 0.0, 2.0);
}

TEST(SimCantilever, UndrivenLeverShowsThermalNoiseStrongestAtResonance)
{
    SimController sim(Fast());
    auto rms = [&](double hz) {
        Drive(sim, hz, 0.0);
        double sum = 0.0;
        for (int i = 0; i < 400; ++i) {
            Wait(sim, 2000);
            const double x = Read(sim, ReadAddrResonanceX);
            sum += x * x;
        }
        return std::sqrt(sum / 400.0);
    };
    const double far = rms(12000.0);
    const double atPeak = rms(21000.0);
    EXPECT_GE(far, 100.0);
    EXPECT_GT(atPeak, 10.0 * far);
}

TEST(SimCantilever, SlowFilterAndFastSweepsLagAndLargeSignalsOverload)
{
    SimController sim(Fast());
    // A step onto the resonance: the output needs the ring-down to build up.
    Drive(sim, 21000.0, 0.5);
    Wait(sim, 300);
    const double early = Read(sim, ReadAddrResonanceAmplitude);
    Wait(sim, 100000);
    const double late = Read(sim, ReadAddrResonanceAmplitude);
    EXPECT_LT(early, 0.3 * late);

    // The filter records of the 6 dB/oct table's ends decode to their time constants.
    int32_t fast[8] = {0x7FFFFFFF,
                       0,
                       0,
                       0x7FFFFFFF,
                       static_cast<int32_t>(0.743354 * 2147483648.0),
                       static_cast<int32_t>(0.223712 * 2147483648.0),
                       0,
                       0};
    EXPECT_NEAR(SimCantilever::DecodeTimeConstant(fast), 2.0e-4, 1e-6);
    fast[4] = static_cast<int32_t>(0.005672 * 2147483648.0);
    EXPECT_NEAR(SimCantilever::DecodeTimeConstant(fast), 5.0, 1e-3);
    TSetFilterRecord record;
    record.Filter = 6;
    std::copy(fast, fast + 8, record.Coefficients);
    ASSERT_TRUE(Send(sim, IOCTL_SET_FILTER, record));
    EXPECT_NEAR(sim.LockInTimeConstant(), 5.0, 1e-3);

    // Gain 100 and the full ±10 V drive at resonance: far beyond 10 V at the input.
    TDncStatusRecord status;
    ASSERT_TRUE(sim.Control(IOCTL_READ_DNC_STATUS, nullptr, 0, &status, sizeof status, nullptr));
    EXPECT_EQ(status.Words[2] & DncStatusOverload, 0);
    ASSERT_TRUE(Send(sim, IOCTL_SET_CONTROL, int32_t{0x8}));
    ASSERT_TRUE(Send(sim, IOCTL_SET_AMPLITUDE, int32_t{65535}));
    Wait(sim, 100000);
    ASSERT_TRUE(sim.Control(IOCTL_READ_DNC_STATUS, nullptr, 0, &status, sizeof status, nullptr));
    EXPECT_EQ(status.Words[2] & DncStatusOverload, DncStatusOverload);
}

} // namespace
