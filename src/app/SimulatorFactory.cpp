#include "app/SimulatorFactory.h"

#include "core/IniFile.h"
#include "core/SharedState.h"
#include "device/DriverOpen.h"
#include "mainwindow/ErrorLog.h"
#include "mainwindow/MainQVTForm.h"
#include "platform/WindowThread.h"
#include "sim/SimController.h"
#include "sim/SimLockIn.h"

#include <QDateTime>

namespace qvt {

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

void ReportSimulatorRecord(const QString& text)
{
    PostToWindowThread([text] {
        const QString path = AppErrorHandler().LogPath.isEmpty() ? AppDir + "error.log" : AppErrorHandler().LogPath;
        AppendErrorLog(path, ErrorLogLine(QDateTime::currentDateTime(), text, {QStringLiteral("SPM-Box")}));
        if (MainQVTForm != nullptr)
            MainQVTForm->ShowSimulatorRecord(text);
    });
}

void RegisterSimulator()
{
    TSimulatorFactory factory;
    factory.OpenController = [](bool usb) -> std::shared_ptr<DeviceDriver> {
        sim::SimConfig config = LoadSimConfig(SimConfigPath());
        config.Usb = usb;
        config.ConfiguredLimits = ConfiguredDacLimits;
        auto controller = std::make_shared<sim::SimController>(config);
        controller->SetRecordListener(ReportSimulatorRecord);
        return controller;
    };
    factory.OpenLockIn = []() -> std::shared_ptr<DeviceDriver> {
        const sim::SimConfig config = LoadSimConfig(SimConfigPath());
        if (config.LockInAbsent)
            return nullptr;
        return std::make_shared<sim::SimLockIn>(config);
    };
    RegisterSimulatorFactory(std::move(factory));
}

} // namespace qvt
