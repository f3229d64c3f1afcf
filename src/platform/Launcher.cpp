#include "platform/Launcher.h"

#include "platform/ThreadPriority.h"

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

struct TLaunch {
    QString Program;
    QStringList Arguments;
    QString Directory;
};

// What is started for `program`: looked up first (a detached start reports
// a missing program only to the child, and the operator is to be told);
// at idle priority through nice(1), itself started without a shell, as no
// code of ours runs in the child.
bool PrepareLaunch(const QString& program, const QStringList& arguments, const QString& workingDirectory,
                   bool idlePriority, TLaunch& l)
{
    const QString executable = ResolveExecutable(program);
    if (executable.isEmpty())
        return false;
    l.Program = executable;
    l.Arguments = arguments;
    const QString nice = idlePriority ? QStandardPaths::findExecutable("nice") : QString();
    if (!nice.isEmpty()) {
        // nice(1) adds to our own nice: idle is 19 whatever ours is (a
        // larger sum is taken as 19).
        l.Arguments = QStringList{"-n", QString::number(19 - ProcessNice()), executable} + arguments;
        l.Program = nice;
    }
    l.Directory = workingDirectory.isEmpty() ? QDir::currentPath() : QDir(workingDirectory).absolutePath();
    return true;
}

} // namespace

bool StartProgram(const QString& program, const QStringList& arguments, const QString& workingDirectory,
                  bool idlePriority)
{
    TLaunch l;
    return PrepareLaunch(program, arguments, workingDirectory, idlePriority, l) &&
           QProcess::startDetached(l.Program, l.Arguments, l.Directory);
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
    TLaunch l;
    if (Running() || !PrepareLaunch(program, arguments, workingDirectory, idlePriority, l))
        return false;
    process_->setProgram(l.Program);
    process_->setArguments(l.Arguments);
    process_->setWorkingDirectory(l.Directory);
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
