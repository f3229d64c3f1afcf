#pragma once
// Creation of the program's long-lived windows, in their fixed order.

#include <QObject>
#include <QString>
#include <QStringList>

#include <vector>

namespace qvt {

// The program ends with this status when no settings file was found.
constexpr int MissingSettingsExitCode = 2;
// ... and with this one when the device window could not start.
constexpr int DeviceStartExitCode = 1;

// The class names of the long-lived windows in the order they were created.
const std::vector<QString>& CreatedForms();

// Creates every long-lived window that exists in this build, in the fixed
// order, for the settings name `baseName`. Returns false when start-up cannot
// go on; `exitCode` then says how the program ends.
bool CreateAllForms(const QString& baseName, int& exitCode);
// The start-up steps that run once every window exists (the main window's StartUp).
void StartUp();
// Writes what the windows keep, shuts the device window down and destroys
// the windows, last created first.
void DestroyAllForms();

} // namespace qvt
