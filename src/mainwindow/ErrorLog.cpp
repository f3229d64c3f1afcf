#include "mainwindow/ErrorLog.h"

#include "core/SharedState.h"
#include "platform/CheckedWrite.h"
#include "platform/MessageBoxes.h"

#include <QFile>
#include <QFileInfo>
#include <QLocale>

#include <cstdio>
#include <mutex>

#include <unistd.h>

namespace qvt {

QString ErrorLogLine(const QDateTime& when, const QString& message, const QStringList& senderNames, uint64_t address)
{
    const QLocale locale = QLocale::system();
    QString line = locale.toString(when.date(), QLocale::ShortFormat) + " " + when.time().toString("HH:mm:ss") + "\t" +
                   message + "\t";
    for (const QString& name : senderNames)
        line += name + "\t";
    line += QString::number(address, 16).toUpper().rightJustified(10, '0');
    return line;
}

QString PreviousErrorLogPath(const QString& path)
{
    return path + ".1";
}

namespace {

// One writer at a time: two restarts at once would each keep the other's
// fresh file as the previous one.
std::mutex logMutex;

bool RestartErrorLog(const QString& path, const QByteArray& bytes)
{
    TCheckedFile fresh(path);
    if (!fresh.Write(bytes))
        return false;
    const QByteArray name = QFile::encodeName(path);
    const QByteArray previous = QFile::encodeName(PreviousErrorLogPath(path));
    ::unlink(previous.constData());
    // A second name for the old file keeps the log in place until the new
    // one replaces it; without hard links it moves aside for that moment.
    bool moved = false;
    if (::link(name.constData(), previous.constData()) != 0) {
        if (::rename(name.constData(), previous.constData()) != 0)
            return false;
        moved = true;
    }
    if (fresh.Commit())
        return true;
    if (moved) // the log stays switched on
        ::rename(previous.constData(), name.constData());
    return false;
}

} // namespace

bool AppendErrorLog(const QString& path, const QString& line)
{
    std::lock_guard lock(logMutex);
    const QFileInfo info(path);
    if (!info.isFile())
        return false;
    const QByteArray bytes = (line + "\r\n").toUtf8();
    if (info.size() > ErrorLogMaxSize)
        return RestartErrorLog(path, bytes);
    QFile file(path);
    if (!file.open(QIODevice::Append))
        return false;
    const bool ok = file.write(bytes) == bytes.size();
    file.close(); // flushed and closed after every entry
    return ok;
}

void TAppErrorHandler::Handle(const QString& message, const QStringList& senderNames)
{
    if (busy_)
        return;
    busy_ = true;
    if (ShowError)
        ShowError(message);
    else
        ShowMessageLoggedByCaller(MsgKind::Error, message); // the line below is its log entry
    busy_ = false;
    AppendErrorLog(LogPath.isEmpty() ? AppDir + "error.log" : LogPath,
                   ErrorLogLine(QDateTime::currentDateTime(), message, senderNames));
}

TAppErrorHandler& AppErrorHandler()
{
    static TAppErrorHandler handler;
    return handler;
}

} // namespace qvt
