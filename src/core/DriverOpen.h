#pragma once
// Opening the controller's driver by name. A name beginning with "SIM" opens
// the simulated controller, configured by ini/sim.ini beside the program; any
// other name fails the way a missing driver does until a backend for real
// hardware exists on Linux (it plugs in here). The name rules for USB boxes
// hold for both: "SIMUSB2" is USB box 2.

#include "platform/DeviceDriver.h"
#include "sim/SimConfig.h"

#include <QString>

#include <cstdint>
#include <memory>

namespace qvt {

// What a driver name says about the controller.
struct TDriverNameInfo {
    int32_t UsbBox = 0;          // 1: attached by USB
    int32_t InstanceNumber = -2; // USB box number 0..3, -1 a USB box without number, -2 the card
};
// A name containing "USB" (any case) is a USB box; its last character 0..3 is the box number.
TDriverNameInfo ClassifyDriverName(const QString& name);

bool IsSimulatedDriverName(const QString& name);

// Opens the device "\\.\" + name. On failure returns nullptr and sets `error`
// to the system error (ENOENT when there is no such driver).
std::shared_ptr<DeviceDriver> OpenDeviceDriver(const QString& name, int* error = nullptr);

// The second lock-in device, "\\.\LockIn"; it takes any number of opens.
inline constexpr const char* LockInDeviceName = "LockIn";
std::shared_ptr<DeviceDriver> OpenLockInDevice(int* error = nullptr);

// AppDir + "ini/sim.ini".
QString SimConfigPath();
// The simulator's settings from that file; a missing file gives the defaults.
sim::SimConfig LoadSimConfig(const QString& path);

// Hands the simulator the channel table's raw output limits: its guard holds
// every output to the tighter of these (as the table stands at each request)
// and the hardware's.
void HandOverConfiguredLimits(sim::SimConfig& config);

// A device that answers to `name` (any case) ahead of the name rules until it
// is unplugged: tests hand the program a simulator they configured themselves.
void PlugInDevice(const QString& name, std::shared_ptr<DeviceDriver> device);
void UnplugDevice(const QString& name);

} // namespace qvt
