#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <cstdlib>

namespace qvt::test {

TempDir::TempDir() = default;

QString TempDir::Path() const
{
    return dir_.path() + "/";
}

QString TempDir::WriteFile(const QString& relativeName, const QByteArray& content) const
{
    const QString path = Path() + relativeName;
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(content);
    return path;
}

QByteArray TempDir::ReadFile(const QString& relativeName) const
{
    QFile file(Path() + relativeName);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool CopyBundledSettings(const TempDir& dir)
{
    const QString bundled = QString(QVT_RESOURCES_DIR "/");
    for (const char* name : {"ini/qvt.ini", "ini/sim.ini", "user.ini", "QVT_Manual.html", "SoftLin.ini"}) {
        QFile file(bundled + name);
        if (!file.open(QIODevice::ReadOnly))
            return false;
        dir.WriteFile(name, file.readAll());
    }
    return true;
}

HangWatch::HangWatch(const char* what, int ms)
    : watch_([this, what, ms] {
          std::unique_lock lock(mutex_);
          if (left_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return done_; }))
              return;
          std::fprintf(stderr, "FAILED: %s did not end within %d ms\n", what, ms);
          std::fflush(stderr);
          std::_Exit(1);
      })
{
}

HangWatch::~HangWatch()
{
    {
        std::lock_guard lock(mutex_);
        done_ = true;
    }
    left_.notify_all();
    watch_.join();
}

} // namespace qvt::test
