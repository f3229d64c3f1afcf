#include "app/Program.h"

#include "app/CreateForms.h"
#include "app/QvtApplication.h"
#include "core/SharedState.h"
#include "core/Startup.h"
#include "mainwindow/ErrorLog.h"
#include "mainwindow/MainQVTForm.h"
#include "platform/MessageBoxes.h"
#include "platform/SingleInstance.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QGuiApplication>
#include <QTimer>

#include <memory>

namespace qvt {

namespace {
bool screenlessFallback = false;
} // namespace

void FallBackToNoScreen()
{
    QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (platform.isEmpty()) {
        // A Wayland session is left to Qt's own choice.
        if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
            return;
        // With a display named, the screenless platform comes only when it cannot be reached.
        platform = qEnvironmentVariableIsEmpty("DISPLAY") ? "offscreen" : "xcb;offscreen";
    } else if (platform.contains(';') || platform.startsWith("offscreen") || platform.startsWith("minimal")) {
        // A list of its own, or a platform that needs no screen.
        return;
    } else {
        platform += ";offscreen";
    }
    qputenv("QT_QPA_PLATFORM", platform);
    screenlessFallback = true;
}

int RunProgram(const QString& appDir, const QStringList& arguments)
{
    LoadDriverName(appDir, arguments);
    // What no box could tell (no screen, the program ending) goes to the error log.
    SetMessageLog([](const QString& line) {
        AppendErrorLog(AppDir + "error.log", ErrorLogLine(QDateTime::currentDateTime(), line, {}));
    });
    if (screenlessFallback) {
        // The programs started from here choose their own platform.
        qunsetenv("QT_QPA_PLATFORM");
        if (QGuiApplication::platformName() == QLatin1String("offscreen"))
            LogMessage(MsgKind::Information, "No display: running without a screen");
    }

    auto instance = std::make_unique<SingleInstance>(DeviceDriverName);
    QString why;
    if (!instance->Acquire(&why)) {
        // Another copy drives this controller: bring it forward and leave.
        SingleInstance::AskRunningInstanceToRestore(DeviceDriverName);
        return 0;
    }
    if (!why.isEmpty())
        LogMessage(MsgKind::Warning, why);

    int exitCode = 0;
    if (!CreateAllForms(SettingsBaseName(arguments), exitCode)) {
        DestroyAllForms();
        TellMessageEpisodes(true);
        return exitCode;
    }
    QObject::connect(instance.get(), &SingleInstance::restoreRequested, MainQVTForm, &TMainQVTForm::WMRestore);
    bool mainClosed = false;
    MainQVTForm->Closed = [&mainClosed] {
        mainClosed = true;
        EndProgram();
    };
    if (!EndRequested()) {
        MainQVTForm->show();
        QCoreApplication::processEvents();
        StartUp();
    }

    // A line logged again and again is counted; its count is written once it
    // has been quiet for a while, and at the end whatever is still counting.
    QTimer episodes;
    QObject::connect(&episodes, &QTimer::timeout, [] { TellMessageEpisodes(); });
    episodes.start(1000);
    const int result = RunMessageLoop();
    // However the loop ended, a control held down lets go before anything else.
    EndPointerHolds();
    // One way out, however the loop ended: a main window still open is closed
    // as by Exit; should the scan refuse to stop, the workers are stopped and
    // joined with the windows all the same.
    if (MainQVTForm != nullptr) {
        MainQVTForm->Closed = nullptr;
        if (!mainClosed && !MainQVTForm->close())
            MainQVTForm->FormClose();
    }
    DestroyAllForms();
    TellMessageEpisodes(true);
    // The lock goes with the program's windows, so a new start may follow at once.
    instance.reset();
    return result;
}

} // namespace qvt
