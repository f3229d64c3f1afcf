#pragma once
// Opening the controller's driver by name. A name beginning with "SIM" opens
// the simulated controller, made by the factory the program's assembly
// registers (this folder does not link the simulator); any other name fails
// the way a missing driver does until a backend for real hardware exists on
// Linux (it plugs in here). The name rules for USB boxes hold for both:
// "SIMUSB2" is USB box 2.

#include "platform/DeviceDriver.h"

#include <QString>

#include <cstdint>
#include <functional>
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

// The simulated instruments behind the "SIM" names and the second lock-in.
struct TSimulatorFactory {
    // A new simulated controller; `usb`: the name says it is a USB box.
    std::function<std::shared_ptr<DeviceDriver>(bool usb)> OpenController;
    // A new simulated second lock-in; null when the simulator has none.
    std::function<std::shared_ptr<DeviceDriver>()> OpenLockIn;
};
// Without a registered factory the simulated devices are missing too.
void RegisterSimulatorFactory(TSimulatorFactory factory);

// The raw limits the channel table holds for DACn (n = 1..26) right now. The
// simulator is handed this when it is opened: its guard holds every output to
// the tighter of these and the hardware's.
bool ConfiguredDacLimits(int dac, int32_t& min, int32_t& max);

// A device that answers to `name` (any case) ahead of the name rules until it
// is unplugged: tests hand the program a simulator they configured themselves.
void PlugInDevice(const QString& name, std::shared_ptr<DeviceDriver> device);
void UnplugDevice(const QString& name);

} // namespace qvt
