#pragma once
// The save directory of scans, [Save] Path of the main settings file, and
// the check every save makes before it writes.

#include <QString>

namespace qvt {

class TQVTIniFile;

// [Save] Path as a directory to write into: "\" read as "/", a relative path
// taken from the program's directory, AppDir when unset. No trailing "/"
// (except the root).
QString SaveDirectory(const TQVTIniFile& mainIni);

// True when `directory` names an existing directory; it is then stored as
// [Save] Path. Nothing is created: a missing directory fails the check.
bool CheckSavePath(TQVTIniFile& mainIni, const QString& directory);

} // namespace qvt
