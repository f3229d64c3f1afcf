#include "app/CreateForms.h"
#include "app/QvtApplication.h"
#include "app/SimulatorFactory.h"
#include "core/PerfCounter.h"
#include "core/SharedState.h"
#include "core/Startup.h"
#include "mainwindow/MainQVTForm.h"
#include "platform/SingleInstance.h"

#include <memory>

using namespace qvt;

int main(int argc, char** argv)
{
    TQvtApplication app(argc, argv);
    InitPerfCounter();
    RegisterSimulator();

    const QStringList arguments = QCoreApplication::arguments();
    LoadDriverName(QCoreApplication::applicationDirPath() + "/", arguments);

    auto instance = std::make_unique<SingleInstance>(DeviceDriverName);
    if (!instance->Acquire()) {
        // Another copy drives this controller: bring it forward and leave.
        SingleInstance::AskRunningInstanceToRestore(DeviceDriverName);
        return 0;
    }

    int exitCode = 0;
    if (!CreateAllForms(SettingsBaseName(arguments), exitCode)) {
        DestroyAllForms();
        return exitCode;
    }
    InstallCloseOnSignals();
    QObject::connect(instance.get(), &SingleInstance::restoreRequested, MainQVTForm, &TMainQVTForm::WMRestore);
    MainQVTForm->show();
    QCoreApplication::processEvents();
    StartUp();

    const int result = app.exec();
    DestroyAllForms();
    // The lock goes with the program's windows, so a new start may follow at once.
    instance.reset();
    return result;
}
