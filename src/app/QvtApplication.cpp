#include "app/QvtApplication.h"

#include "mainwindow/ErrorLog.h"

#include "platform/HandOver.h"
#include "platform/MessageBoxes.h"

#include <QAbstractButton>
#include <QAbstractSlider>
#include <QFocusEvent>
#include <QMouseEvent>
#include <QPointer>
#include <QSocketNotifier>
#include <QThread>

#include <csignal>
#include <exception>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

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
bool endRequested = false;
bool loopRunning = false;

void OnSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
}

void SetSignalAction(void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

} // namespace

void InstallShutdownOnSignals()
{
    endRequested = false;
    StopShowingBoxes(false);
    if (signalPipe[0] >= 0) {
        SetSignalAction(OnSignal);
        return;
    }
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    // The handler only writes a byte; the window thread reads it, in whatever
    // loop it runs (a box's included), and ends them all.
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, qApp, [] {
        char buffer[16];
        while (::read(signalPipe[0], buffer, sizeof buffer) > 0) {
        }
        // Should the shutdown itself hang, the next signal is not caught.
        SetSignalAction(SIG_DFL);
        endRequested = true;
        StopShowingBoxes();
        // Also the loop of a box or dialog open during start-up.
        QCoreApplication::exit(0);
    });
    SetSignalAction(OnSignal);
}

void EndProgram()
{
    endRequested = true;
    if (loopRunning)
        QCoreApplication::exit(0);
}

bool EndRequested()
{
    return endRequested;
}

int RunMessageLoop()
{
    if (endRequested)
        return 0;
    loopRunning = true;
    const int result = QCoreApplication::exec();
    loopRunning = false;
    return result;
}

void EndPointerHolds()
{
    if (QWidget* grabber = QWidget::mouseGrabber())
        grabber->releaseMouse();
    const QList<QWidget*> all = QApplication::allWidgets();
    // A release may close or free other widgets.
    const std::vector<QPointer<QWidget>> widgets(all.begin(), all.end());
    for (const QPointer<QWidget>& w : widgets) {
        if (auto* button = qobject_cast<QAbstractButton*>(w.data()); button != nullptr && button->isDown()) {
            QFocusEvent lost(QEvent::FocusOut, Qt::OtherFocusReason);
            QCoreApplication::sendEvent(button, &lost);
        } else if (auto* slider = qobject_cast<QAbstractSlider*>(w.data())) {
            // Taken only by a slider the mouse holds.
            QMouseEvent up(QEvent::MouseButtonRelease, QPointF(), QPointF(), Qt::LeftButton, Qt::NoButton,
                           Qt::NoModifier);
            QCoreApplication::sendEvent(slider, &up);
        }
    }
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
        HandOverPost([&] { QMetaObject::invokeMethod(qApp, handle, Qt::QueuedConnection); });
}

} // namespace qvt
