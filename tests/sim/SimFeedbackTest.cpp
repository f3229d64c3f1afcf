// The simulated box's Z loop as the feedback record configures it, and the
// tip that crashes when the program pushes it into the sample.

#include "sim/SimController.h"

#include <gtest/gtest.h>

#include <cmath>

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

int32_t Read(SimController& sim, int32_t address)
{
    int32_t value = 0;
    sim.Control(IOCTL_READ_REG, &address, 4, &value, 4, nullptr);
    return value;
}

void Write(SimController& sim, int32_t reg, int32_t value)
{
    const TWriteRegRecord r{reg, value};
    sim.Control(IOCTL_WRITE_REG, &r, sizeof r, nullptr, 0, nullptr);
}

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

