#include "device/DriverOpen.h"

#include "device/ChannelTable.h"
#include "protocol/ControlCodes.h"

#include <cerrno>
#include <map>
#include <mutex>

namespace qvt {

namespace {

// Devices plugged in by tests, and the simulated devices opened so far. An
// opened simulator stays the same instance for every open of its name while
// anyone holds it, as a device node does; once all handles are closed the
// next open finds it switched off and on again.
struct DeviceRegistry {
    std::mutex mutex;
    std::map<QString, std::shared_ptr<DeviceDriver>> plugged;
    std::map<QString, std::weak_ptr<DeviceDriver>> opened;
    TSimulatorFactory simulator;
};

DeviceRegistry& Registry()
{
    static DeviceRegistry registry;
    return registry;
}

QString Key(const QString& name)
{
    return name.trimmed().toUpper();
}

} // namespace

TDriverNameInfo ClassifyDriverName(const QString& name)
{
    TDriverNameInfo info;
    const QString upper = name.toUpper();
    if (!upper.contains("USB"))
        return info;
    info.UsbBox = 1;
    info.InstanceNumber = -1;
    const QChar last = upper.isEmpty() ? QChar() : upper.back();
    if (last >= QChar('0') && last <= QChar('3'))
        info.InstanceNumber = last.unicode() - '0';
    return info;
}

bool IsSimulatedDriverName(const QString& name)
{
    return Key(name).startsWith("SIM");
}

void RegisterSimulatorFactory(TSimulatorFactory factory)
{
    DeviceRegistry& r = Registry();
    std::lock_guard lock(r.mutex);
    r.simulator = std::move(factory);
}

bool ConfiguredDacLimits(int dac, int32_t& min, int32_t& max)
{
    if (dac < 1 || dac > DacCount)
        return false;
    const TIOScale& scale = ChannelTable[dac - 1];
    min = scale.MinRaw.load();
    max = scale.MaxRaw.load();
    return true;
}

std::shared_ptr<DeviceDriver> OpenDeviceDriver(const QString& name, int* error)
{
    if (error)
        *error = 0;
    const QString key = Key(name);
    DeviceRegistry& r = Registry();
    std::lock_guard lock(r.mutex);
    if (auto it = r.plugged.find(key); it != r.plugged.end())
        return it->second;
    if (!IsSimulatedDriverName(key)) {
        if (error)
            *error = ENOENT;
        return nullptr;
    }
    if (auto it = r.opened.find(key); it != r.opened.end()) {
        if (auto device = it->second.lock())
            return device;
    }
    std::shared_ptr<DeviceDriver> device;
    if (r.simulator.OpenController)
        device = r.simulator.OpenController(ClassifyDriverName(key).UsbBox == 1);
    if (!device) {
        if (error)
            *error = ENOENT;
        return nullptr;
    }
    r.opened[key] = device;
    return device;
}

std::shared_ptr<DeviceDriver> OpenLockInDevice(int* error)
{
    if (error)
        *error = 0;
    const QString key = Key(LockInDeviceName);
    DeviceRegistry& r = Registry();
    std::lock_guard lock(r.mutex);
    if (auto it = r.plugged.find(key); it != r.plugged.end())
        return it->second;
    if (auto it = r.opened.find(key); it != r.opened.end()) {
        if (auto device = it->second.lock())
            return device;
    }
    std::shared_ptr<DeviceDriver> device;
    if (r.simulator.OpenLockIn)
        device = r.simulator.OpenLockIn();
    if (!device) {
        if (error)
            *error = ENOENT;
        return nullptr;
    }
    r.opened[key] = device;
    return device;
}

void PlugInDevice(const QString& name, std::shared_ptr<DeviceDriver> device)
{
    DeviceRegistry& r = Registry();
    std::lock_guard lock(r.mutex);
    r.plugged[Key(name)] = std::move(device);
}

void UnplugDevice(const QString& name)
{
    DeviceRegistry& r = Registry();
    std::lock_guard lock(r.mutex);
    r.plugged.erase(Key(name));
}

} // namespace qvt
