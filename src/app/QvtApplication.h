#pragma once
// The program's application object: every error that reaches the message
// loop is caught here and handed to the program's error handler, which shows
// it and logs it; the program goes on.

#include <QApplication>

namespace qvt {

class TQvtApplication : public QApplication {
    Q_OBJECT
public:
    TQvtApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

// The program has one way out. SIGINT and SIGTERM (Ctrl+C in the terminal, a
// session ending, lab automation) stop the boxes (an open one is dismissed,
// later ones only go to the log) and end every running message loop, the
// main one and those of open dialogs; main() then runs the same orderly
// shutdown as the operator's Exit. Installed first thing, so a signal during
// start-up ends in order too. A second signal ends the program at once.
// Each call arms it afresh for a new run.
void InstallShutdownOnSignals();
// Ends the main message loop (the operator closed the main window), whatever
// other windows are still open.
void EndProgram();
// A signal or the main window's close asked the program to end.
bool EndRequested();
// The main message loop; returns at once when the end was asked for already.
int RunMessageLoop();

// Lets go of what the mouse holds, while every window is still whole: a held
// button is released as when a box takes the focus mid-hold (its release,
// no click), a dragged slider or a held page step stops where it is. The
// shutdown does this before any window is written or freed.
void EndPointerHolds();

// Shows and logs `message` raised while `receiver` handled an event; from a
// thread other than the window thread it is passed to the window thread.
void ReportAppException(const QString& message, QObject* receiver);

} // namespace qvt
