#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

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

} // namespace qvt::test
