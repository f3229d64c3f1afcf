#pragma once
// The program's handler of errors that reach the message loop: the error is
// shown, and a line goes to "error.log" beside the program when that file
// exists (creating it switches logging on, deleting it switches it off).

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>

namespace qvt {

// Up to this size the log is appended to; a larger one is started afresh,
// the old one kept beside it as the previous log (PreviousErrorLogPath).
constexpr qint64 ErrorLogMaxSize = 1000000;

// "error.log.1" beside "error.log": the log as it was when it was last restarted.
QString PreviousErrorLogPath(const QString& path);

// Date and time, TAB, the message, TAB, each sender name followed by TAB,
// then the address as 10 hexadecimal digits (no line end).
QString ErrorLogLine(const QDateTime& when, const QString& message, const QStringList& senderNames,
                     uint64_t address = 0);

// Appends `line` and a line end to the file at `path` when it exists;
// above ErrorLogMaxSize the file is restarted with the line, the old one
// becoming the previous log (a whole new file moved into place, so the log
// is never missing nor half written). False when nothing was written. Any thread.
bool AppendErrorLog(const QString& path, const QString& line);

class TAppErrorHandler {
public:
    // The log file; empty: AppDir + "error.log".
    QString LogPath;
    // Shows the error; unset: the program's error box.
    std::function<void(const QString& message)> ShowError;

    // Window thread only. An error raised while the box of an earlier one is
    // open is neither shown nor logged.
    void Handle(const QString& message, const QStringList& senderNames);
    bool Busy() const { return busy_; }

private:
    bool busy_ = false;
};

// The program's one handler (the application hands every error to it).
TAppErrorHandler& AppErrorHandler();

} // namespace qvt
