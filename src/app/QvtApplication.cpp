#include "app/QvtApplication.h"

#include "mainwindow/ErrorLog.h"

#include "mainwindow/MainQVTForm.h"

#include <QSocketNotifier>
#include <QThread>

#include <csignal>
#include <exception>
#include <fcntl.h>
#include <unistd.h>

namespace qvt {

TQvtApplication::TQvtApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TQvtApplication::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        ReportAppException(QString::fromLocal8Bit(e.what()), receiver);
    } catch (...) {
        ReportAppException("Unknown exception", receiver);
    }
    return false;
}

namespace {

int signalPipe[2] = {-1, -1};

void OnSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
}

} // namespace

void InstallCloseOnSignals()
{
    if (signalPipe[0] >= 0 || ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    // The handler only writes a byte; the window thread reads it and closes.
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, qApp, [] {
        char buffer[16];
        while (::read(signalPipe[0], buffer, sizeof buffer) > 0) {
        }
        if (MainQVTForm != nullptr)
            MainQVTForm->close();
        else
            QCoreApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

void ReportAppException(const QString& message, QObject* receiver)
{
    QStringList names;
    if (receiver != nullptr && !receiver->objectName().isEmpty())
        names << receiver->objectName();
    auto handle = [message, names] { AppErrorHandler().Handle(message, names); };
    if (QThread::currentThread() == qApp->thread())
        handle();
    else
        QMetaObject::invokeMethod(qApp, handle, Qt::QueuedConnection);
}

} // namespace qvt
