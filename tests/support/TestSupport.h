#pragma once
// Helpers shared by the test executables.

#include <QCoreApplication>
#include <QEventLoop>
#include <QString>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include "platform/HandOver.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace qvt::test {

// While it lives, the thread sanitizer records nothing the thread that made it
// reads or writes (without the sanitizer it does nothing). For a test that
// opens Qt's file dialog: the dialog's model thread (QFileInfoGatherer) runs
// only Qt's code and hands its results to the window thread under Qt's own
// locks, which the sanitizer cannot see in the uninstrumented Qt libraries.
class UnrecordedByThreadSanitizer {
public:
    UnrecordedByThreadSanitizer()
    {
#ifdef QVT_THREAD_SANITIZER
        __tsan_ignore_thread_begin();
#endif
    }
    ~UnrecordedByThreadSanitizer()
    {
#ifdef QVT_THREAD_SANITIZER
        __tsan_ignore_thread_end();
#endif
    }
    UnrecordedByThreadSanitizer(const UnrecordedByThreadSanitizer&) = delete;
    UnrecordedByThreadSanitizer& operator=(const UnrecordedByThreadSanitizer&) = delete;
};

// A wait in the program that never ends fails the test program at a bound
// instead of holding it until ctest's time-out: when the scope is not left
// within `ms`, "<what> did not end within <ms> ms" goes to standard error and
// the test program exits with a failure.
class HangWatch {
public:
    HangWatch(const char* what, int ms);
    ~HangWatch();
    HangWatch(const HangWatch&) = delete;
    HangWatch& operator=(const HangWatch&) = delete;

private:
    std::mutex mutex_;
    std::condition_variable left_;
    bool done_ = false;
    std::thread watch_;
};

// A fresh directory removed when the object goes; Path() ends with "/".
class TempDir {
public:
    TempDir();
    QString Path() const;
    // Writes `content` as raw bytes to Path() + relative name, creating folders.
    QString WriteFile(const QString& relativeName, const QByteArray& content) const;
    QByteArray ReadFile(const QString& relativeName) const;

private:
    QTemporaryDir dir_;
};

// Lets the window thread handle its events until `done` holds or the time is up.
// Copies the bundled settings as shipped (ini/qvt.ini, ini/sim.ini, user.ini,
// the scanner file and the manual) into `dir`; false when one is missing.
bool CopyBundledSettings(const TempDir& dir);

template <class Pred> bool PumpUntil(Pred done, int timeoutMs = 20000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done() && std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents();
        QThread::msleep(1);
    }
    return done();
}

// Runs an event loop, as the program's own, until `done` holds (tested every
// few milliseconds) or the time is up: timers of interval 0 run at full pace.
template <class Pred> bool RunLoopUntil(Pred done, int timeoutMs = 20000)
{
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    poll.start(5);
    if (!done())
        loop.exec();
    return done();
}

} // namespace qvt::test
