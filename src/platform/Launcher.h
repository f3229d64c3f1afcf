#pragma once
// Starting another program (viewer, editor, help) detached from this one.
// The program gets its arguments as a list: no shell ever reads a command
// line, so text from the settings cannot run anything but the program named.

#include <QString>
#include <QStringList>

class QProcess;

namespace qvt {

// Starts `program` (a path, or a name looked up in PATH) with `arguments`
// in `workingDirectory`; with `idlePriority` it runs at the lowest
// scheduling priority. False when the program cannot be found or started.
bool StartProgram(const QString& program, const QStringList& arguments, const QString& workingDirectory = ".",
                  bool idlePriority = false);

// A program whose end is waited for (a numerics tool whose output file is
// read after it exits). Polled from the window thread's timer; nothing
// blocks. Deleting it while the program runs kills the program.
class TWatchedProgram {
public:
    TWatchedProgram();
    ~TWatchedProgram();
    TWatchedProgram(const TWatchedProgram&) = delete;
    TWatchedProgram& operator=(const TWatchedProgram&) = delete;

    // False when the program cannot be found or started.
    bool Start(const QString& program, const QStringList& arguments, const QString& workingDirectory,
               bool idlePriority);
    bool Running() const;
    // Exit status once it ended; -1 after a crash.
    int ExitCode() const;

private:
    QProcess* process_;
};

// Opens a local file or a URL with the desktop's handler.
bool OpenWithDesktop(const QString& fileOrUrl);

} // namespace qvt
