#include "core/DriverOpen.h"

#include "core/ChannelTable.h"
#include "core/ControlCodes.h"
#include "core/IniFile.h"
#include "core/SharedState.h"
#include "sim/SimController.h"
#include "sim/SimLockIn.h"

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

QString SimConfigPath()
{
    return AppDir + "ini/sim.ini";
}

sim::SimConfig LoadSimConfig(const QString& path)
{
    const TQVTIniFile ini(path);
    sim::SimSettingsSource source;
    source.ReadInteger = [&ini](const QString& s, const QString& k, int d) { return ini.ReadInteger(s, k, d); };
    source.ReadFloat = [&ini](const QString& s, const QString& k, double d) { return ini.ReadFloat(s, k, d); };
    source.ReadString = [&ini](const QString& s, const QString& k, const QString& d) {
        return ini.ReadString(s, k, d);
    };
    return sim::ReadSimConfig(source);
}

void HandOverConfiguredLimits(sim::SimConfig& config)
{
    config.ConfiguredLimits = [](int dac, int32_t& min, int32_t& max) {
        if (dac < 1 || dac > DacCount)
            return false;
        const TIOScale& scale = ChannelTable[dac - 1];
        min = scale.MinRaw.load();
        max = scale.MaxRaw.load();
        return true;
    };
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
    sim::SimConfig config = LoadSimConfig(SimConfigPath());
    config.Usb = ClassifyDriverName(key).UsbBox == 1;
    HandOverConfiguredLimits(config);
    auto device = std::make_shared<sim::SimController>(config);
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
    const sim::SimConfig config = LoadSimConfig(SimConfigPath());
    if (config.LockInAbsent) {
        if (error)
            *error = ENOENT;
        return nullptr;
    }
    auto device = std::make_shared<sim::SimLockIn>(config);
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
