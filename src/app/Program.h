#pragma once
// The program's run from the settings to the end, as main() runs it: the
// single-instance lock, the windows, StartUp, the message loop and the one
// orderly shutdown that every way of ending (Exit, the close button, SIGINT,
// SIGTERM) goes through.

#include <QString>
#include <QStringList>

namespace qvt {

// `appDir` is the executable's folder with a trailing "/", `arguments` the
// command line (program name first). Returns the exit status.
int RunProgram(const QString& appDir, const QStringList& arguments);

} // namespace qvt
