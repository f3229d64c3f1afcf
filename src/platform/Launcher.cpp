#include "platform/Launcher.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

namespace qvt {

namespace {

QString ResolveExecutable(const QString& program)
{
    if (program.contains('/')) {
        const QFileInfo info(program);
        return info.isFile() && info.isExecutable() ? info.absoluteFilePath() : QString();
    }
    return QStandardPaths::findExecutable(program);
}

} // namespace

bool StartProgram(const QString& program, const QStringList& arguments, const QString& workingDirectory,
                  bool idlePriority)
{
    // Looked up first: a detached start reports a missing program only to
    // the child, and the operator is to be told.
    const QString executable = ResolveExecutable(program);
    if (executable.isEmpty())
        return false;
    QString launched = executable;
    QStringList args = arguments;
    if (idlePriority) {
        // A detached start runs no code of ours in the child, so the priority
        // is set by nice(1), itself started without a shell.
        const QString nice = QStandardPaths::findExecutable("nice");
        if (!nice.isEmpty()) {
            args.prepend(executable);
            args.prepend("19");
            args.prepend("-n");
            launched = nice;
        }
    }
    const QString dir = workingDirectory.isEmpty() ? QDir::currentPath() : QDir(workingDirectory).absolutePath();
    return QProcess::startDetached(launched, args, dir);
}

TWatchedProgram::TWatchedProgram() : process_(new QProcess) {}

TWatchedProgram::~TWatchedProgram()
{
    if (process_->state() != QProcess::NotRunning) {
        process_->kill();
        process_->waitForFinished(1000);
    }
    delete process_;
}

bool TWatchedProgram::Start(const QString& program, const QStringList& arguments, const QString& workingDirectory,
                            bool idlePriority)
{
    if (Running())
        return false;
    const QString executable = ResolveExecutable(program);
    if (executable.isEmpty())
        return false;
    QStringList args = arguments;
    QString launched = executable;
    const QString nice = idlePriority ? QStandardPaths::findExecutable("nice") : QString();
    if (!nice.isEmpty()) {
        args = QStringList{"-n", "19", executable} + arguments;
        launched = nice;
    }
    process_->setProgram(launched);
    process_->setArguments(args);
    process_->setWorkingDirectory(workingDirectory.isEmpty() ? QDir::currentPath()
                                                             : QDir(workingDirectory).absolutePath());
    // Its output is of no interest here and must not fill a pipe.
    process_->setStandardOutputFile(QProcess::nullDevice());
    process_->setStandardErrorFile(QProcess::nullDevice());
    process_->start();
    return process_->waitForStarted(5000);
}

bool TWatchedProgram::Running() const
{
    // A zero wait collects an exit without needing the event loop.
    if (process_->state() != QProcess::NotRunning)
        process_->waitForFinished(0);
    return process_->state() != QProcess::NotRunning;
}

int TWatchedProgram::ExitCode() const
{
    return process_->exitStatus() == QProcess::NormalExit ? process_->exitCode() : -1;
}

bool OpenWithDesktop(const QString& fileOrUrl)
{
    const QUrl url = QUrl::fromUserInput(fileOrUrl, QDir::currentPath(), QUrl::AssumeLocalFile);
    return url.isValid() && QDesktopServices::openUrl(url);
}

} // namespace qvt
