#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace qvt::test {

TempDir::TempDir() = default;

QString TempDir::Path() const { return dir_.path() + "/"; }

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

} // namespace qvt::test
