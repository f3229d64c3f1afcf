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

// Where there is nothing to show windows on, the program runs without a
// screen, as on the offscreen platform, where Qt would abort before any of
// the program's code runs: with no DISPLAY, WAYLAND_DISPLAY or platform
// chosen (ssh, a service, cron), and when the display or the platform chosen
// cannot be reached. RunProgram then says so in one line. Call before the
// application object exists.
void FallBackToNoScreen();

} // namespace qvt
