#include "mainwindow/ErrorLog.h"

#include "core/SharedState.h"
#include "platform/MessageBoxes.h"

#include <QFile>
#include <QFileInfo>
#include <QLocale>

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

bool AppendErrorLog(const QString& path, const QString& line)
{
    const QFileInfo info(path);
    if (!info.isFile())
        return false;
    QFile file(path);
    const QIODevice::OpenMode mode =
        info.size() > ErrorLogMaxSize ? QIODevice::WriteOnly | QIODevice::Truncate : QIODevice::Append;
    if (!file.open(mode))
        return false;
    const QByteArray bytes = (line + "\r\n").toUtf8();
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
