#pragma once
// Register requests a simulator test sends straight to the simulated box.

#include "platform/DeviceDriver.h"
#include "protocol/ControlCodes.h"

#include <cstdint>

namespace qvt::test {

inline int32_t SimRead(DeviceDriver& sim, int32_t address)
{
    int32_t value = 0;
    sim.Control(IOCTL_READ_REG, &address, 4, &value, 4, nullptr);
    return value;
}

inline void SimWrite(DeviceDriver& sim, int32_t reg, int32_t value)
{
    const TWriteRegRecord r{reg, value};
    sim.Control(IOCTL_WRITE_REG, &r, sizeof r, nullptr, 0, nullptr);
}

} // namespace qvt::test
