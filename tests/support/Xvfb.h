#pragma once
// A screen of the test's own: Xvfb on a display it picks itself, for tests
// that need a real window system (focus, a real pointer) rather than the
// offscreen platform.

#include <QProcess>
#include <QStandardPaths>
#include <QString>

namespace qvt::test {

class XvfbScreen {
public:
    // Starts Xvfb at `size` ("1280x1024"); Display() stays empty when it
    // could not be started.
    explicit XvfbScreen(const QString& size)
    {
        const QString xvfb = QStandardPaths::findExecutable("Xvfb");
        if (xvfb.isEmpty())
            return;
        server_.start(xvfb, {"-displayfd", "1", "-screen", "0", size + "x24", "-nolisten", "tcp"});
        if (!server_.waitForStarted(30000))
            return;
        QByteArray display;
        while (!display.contains('\n') && server_.waitForReadyRead(30000))
            display += server_.readAllStandardOutput();
        display = display.trimmed();
        if (!display.isEmpty())
            display_ = ":" + QString::fromLatin1(display);
    }
    ~XvfbScreen()
    {
        server_.terminate();
        server_.waitForFinished(30000);
    }
    XvfbScreen(const XvfbScreen&) = delete;
    XvfbScreen& operator=(const XvfbScreen&) = delete;

    static bool Available() { return !QStandardPaths::findExecutable("Xvfb").isEmpty(); }
    QString Display() const { return display_; }

private:
    QProcess server_;
    QString display_;
};

} // namespace qvt::test
