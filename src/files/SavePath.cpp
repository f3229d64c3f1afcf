#include "files/SavePath.h"

#include "core/IniFile.h"
#include "core/SharedState.h"

#include <QDir>
#include <QFileInfo>

namespace qvt {

namespace {

QString Resolved(QString path)
{
    path.replace('\\', '/');
    if (QDir::isRelativePath(path))
        path = QDir(AppDir.isEmpty() ? QDir::currentPath() : AppDir).filePath(path);
    return QDir::cleanPath(path);
}

} // namespace

QString SaveDirectory(const TQVTIniFile& mainIni)
{
    const QString path = mainIni.ReadString("Save", "Path", QString());
    return Resolved(path.isEmpty() ? AppDir : path);
}

bool CheckSavePath(TQVTIniFile& mainIni, const QString& directory)
{
    if (directory.trimmed().isEmpty() || !QFileInfo(Resolved(directory)).isDir())
        return false;
    mainIni.WriteString("Save", "Path", directory);
    return true;
}

} // namespace qvt
