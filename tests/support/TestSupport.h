#pragma once
// Helpers shared by the test executables.

#include <QString>
#include <QTemporaryDir>

namespace qvt::test {

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

} // namespace qvt::test
