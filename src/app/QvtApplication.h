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

// SIGINT and SIGTERM (Ctrl+C in the terminal, a session ending) ask the main
// window to close, so the exit sequence runs as if the operator had closed it.
void InstallCloseOnSignals();

// Shows and logs `message` raised while `receiver` handled an event; from a
// thread other than the window thread it is passed to the window thread.
void ReportAppException(const QString& message, QObject* receiver);

} // namespace qvt
