#include "app/CreateForms.h"
#include "core/PerfCounter.h"
#include "core/SharedState.h"
#include "core/Startup.h"
#include "display/MainQVTForm.h"
#include "platform/SingleInstance.h"

#include <QApplication>

using namespace qvt;

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    InitPerfCounter();

    const QStringList arguments = QCoreApplication::arguments();
    LoadDriverName(QCoreApplication::applicationDirPath() + "/", arguments);

    SingleInstance instance(DeviceDriverName);
    if (!instance.Acquire()) {
        // Another copy drives this controller: bring it forward and leave.
        SingleInstance::AskRunningInstanceToRestore(DeviceDriverName);
        return 0;
    }

    int exitCode = 0;
    if (!CreateAllForms(SettingsBaseName(arguments), exitCode)) {
        DestroyAllForms();
        return exitCode;
    }
    QObject::connect(&instance, &SingleInstance::restoreRequested, MainQVTForm, &TMainQVTForm::WMRestore);
    MainQVTForm->show();
    QCoreApplication::processEvents();
    StartUp();

    const int result = app.exec();
    DestroyAllForms();
    return result;
}
