#pragma once
// Finding the settings file at start and the fixed order in which the
// program's long-lived windows are created.

#include <QString>
#include <QStringList>

#include <array>

namespace qvt {

// The settings name: the first command-line parameter, else "qvt".
QString SettingsBaseName(const QStringList& arguments);

// The one place that decides which settings file a start uses, so the driver
// name and the settings the main window loads always come from the same file:
// AppDir + name + ".ini", then AppDir + "ini/" + name + ".ini", then
// AppDir + "ini/qvt.ini". Empty when none exists; a pipe or device counts
// (its read refuses it and says what it is), a folder does not.
QString ResolveSettingsFile(const QString& appDir, const QString& baseName);

// Sets AppDir and DeviceDriverName from the resolved settings file ([Main]
// DeviceDriverName, default "QVT"); with no settings file the name stays empty.
void LoadDriverName(const QString& appDir, const QStringList& arguments);

struct TFormOrderEntry {
    const char* ClassName;
    const char* InstanceName;
};
// The 33 long-lived windows in the order they are created: the device window
// comes right after the main window so the driver is open, the scales loaded
// and the worker threads made before any tool window reads a register.
extern const std::array<TFormOrderEntry, 33> FormCreationOrder;

// Position (0-based) of a class in FormCreationOrder, -1 when not listed.
int FormCreationIndex(const QString& className);

} // namespace qvt
