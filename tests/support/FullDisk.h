#pragma once
// A full disk for the files a test names: while one lives, every checked
// write of such a file fails at its flush with ENOSPC, as a write to a full
// file system fails once the cached data must reach the disk.

#include "platform/CheckedWrite.h"

#include <QDir>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <cerrno>
#include <functional>

namespace qvt::test {

class FullDisk {
public:
    explicit FullDisk(std::function<bool(const QString& path)> full)
    {
        SetWriteFaultForTests([full](const QString& path) { return full(path) ? ENOSPC : 0; });
    }
    ~FullDisk() { SetWriteFaultForTests({}); }
    FullDisk(const FullDisk&) = delete;
    FullDisk& operator=(const FullDisk&) = delete;
};

// The hidden files a write left in `folder` (a temporary file never may be).
inline QStringList HiddenFiles(const QString& folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System).filter(QRegularExpression("^\\."));
}

} // namespace qvt::test
