// The analogue chain behind the outputs and the test picture at −16, as the
// program reads them through the register requests.

#include "sim/SimWiring.h"
#include "sim/SimController.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace qvt;
using namespace qvt::sim;

namespace {

SimConfig Quiet()
{
    SimConfig c;
    c.Clock = ClockMode::Fast;
    c.AdcNoise = 0.0;
    c.Coarse.Gap = 20;
    return c;
}

void Write(SimController& sim, int32_t reg, int32_t value)
{
    const TWriteRegRecord w{reg, value};
    ASSERT_TRUE(sim.Control(IOCTL_WRITE_REG, &w, sizeof w, nullptr, 0, nullptr));
}

int32_t Read(SimController& sim, int32_t address)
{
    int32_t value = 0;
    EXPECT_TRUE(sim.Control(IOCTL_READ_REG, &address, sizeof address, &value, sizeof value, nullptr));
    return value;
}

} // namespace

TEST(SimWiring, EachGaugeReadsItsOwnPiezoThroughTheChain)
{
    SimController sim(Quiet());
    Write(sim, RegX, 16000); // 5 V at the DAC, 80 V at the amplifier, 800 nm
    const double volts = SimWiring::DacVolts(3, 16000);
    EXPECT_NEAR(volts, 5.0, 0.003);
    EXPECT_DOUBLE_EQ(SimWiring::HvaVolts(3, 16000), volts * SimWiring::HvaGain);
    EXPECT_NEAR(SimWiring::TravelNm(3, 16000), 800.0, 0.5);
    const int32_t x = Read(sim, SimWiring::SensorAddressX);
    EXPECT_EQ(x,
              std::lround(SimWiring::SensorDigits(3, 16000)) + SimWiring::AdcOffsetDigits(SimWiring::SensorAddressX));
    // The Y gauge sees only Y, at its own offset.
    EXPECT_EQ(Read(sim, SimWiring::SensorAddressY),
              std::lround(SimWiring::SensorDigits(4, 0)) + SimWiring::AdcOffsetDigits(SimWiring::SensorAddressY));
    EXPECT_NE(SimWiring::AdcOffsetDigits(SimWiring::SensorAddressX),
              SimWiring::AdcOffsetDigits(SimWiring::SensorAddressY));
    // Outputs that drive no piezo give no travel.
    EXPECT_EQ(SimWiring::TravelNm(5, 16000), 0.0);
}

TEST(SimWiring, TheTestPictureTellsItsAxesApart)
{
    SimController sim(Quiet());
    // Flat with DAC5 and DAC6 at zero: only the undriven lock-in 2 it rides on, a little noise.
    EXPECT_NEAR(Read(sim, SimWiring::PatternAddress), 0, 200);
    Write(sim, RegDacBase + 4, 10000);
    Write(sim, RegDacBase + 5, -5000);
    const int32_t ab = Read(sim, SimWiring::PatternAddress);
    Write(sim, RegDacBase + 4, -5000);
    Write(sim, RegDacBase + 5, 10000);
    const int32_t ba = Read(sim, SimWiring::PatternAddress);
    EXPECT_GT(std::abs(ab - ba), 1000); // swapped axes read differently
    Write(sim, RegDacBase + 4, 10000);
    Write(sim, RegDacBase + 5, 5000);
    EXPECT_GT(std::abs(Read(sim, SimWiring::PatternAddress) - ab), 500); // and so does a mirrored one
}
