#include "platform/SingleInstance.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qvt {

namespace {
const QByteArray restoreRequest = "restore\n";

QString SocketPath(const QString& driverName)
{
    const QString dir = RuntimeDirectory();
    return dir.isEmpty() ? QString() : dir + "/qvt-" + SanitisedInstanceKey(driverName) + ".instance";
}

void SetWhy(QString* why, const QString& text)
{
    if (why != nullptr)
        *why = text;
}
} // namespace

bool PrivateDirectory(const QString& path, QString* why)
{
    const QByteArray native = QFile::encodeName(path);
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST) {
        SetWhy(why, "cannot create " + path + ": " + QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    struct stat info {};
    if (::lstat(native.constData(), &info) != 0) {
        SetWhy(why, "cannot examine " + path + ": " + QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    if (S_ISLNK(info.st_mode) || !S_ISDIR(info.st_mode)) {
        SetWhy(why, path + " is no directory of its own (a link or a file stands there)");
        return false;
    }
    if (info.st_uid != ::geteuid()) {
        SetWhy(why, path + " belongs to another user");
        return false;
    }
    if ((info.st_mode & 07777) != 0700) {
        SetWhy(why, path + " is not private to this user (its mode is not 0700)");
        return false;
    }
    return true;
}

QString RuntimeDirectory(QString* why)
{
    const QByteArray xdg = qgetenv("XDG_RUNTIME_DIR");
    if (!xdg.isEmpty() && QDir(QString::fromLocal8Bit(xdg)).exists())
        return QString::fromLocal8Bit(xdg);
    const QString dir = QString("/tmp/qvt-%1").arg(::getuid());
    QString reason;
    if (!PrivateDirectory(dir, &reason)) {
        qWarning("Runtime folder refused: %s", qPrintable(reason));
        SetWhy(why, reason);
        return QString();
    }
    return dir;
}

QString SanitisedInstanceKey(const QString& driverName)
{
    QString key;
    for (QChar c : driverName)
        key += (c.isLetterOrNumber() && c.unicode() < 128) || c == '-' || c == '.' ? c : QChar('_');
    return key;
}

SingleInstance::SingleInstance(const QString& driverName, QObject* parent)
    : QObject(parent), driverName_(driverName)
{
}

SingleInstance::~SingleInstance()
{
    if (server_ != nullptr)
        server_->close();
    if (lockFd_ >= 0)
        ::close(lockFd_);
}

bool SingleInstance::Acquire()
{
    if (driverName_.isEmpty())
        return true;
    const QString dir = RuntimeDirectory();
    if (dir.isEmpty())
        return true; // no private folder to lock in: run rather than refuse to start
    const QString lockPath = dir + "/qvt-" + SanitisedInstanceKey(driverName_) + ".lock";
    lockFd_ = ::open(lockPath.toLocal8Bit().constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd_ < 0)
        return true; // no runtime directory to lock in: run rather than refuse to start
    if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        ::close(lockFd_);
        lockFd_ = -1;
        return false;
    }
    // We hold the lock, so a socket left by a killed instance is stale.
    const QString path = SocketPath(driverName_);
    QLocalServer::removeServer(path);
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (server_->listen(path)) {
        connect(server_, &QLocalServer::newConnection, this, [this] {
            while (QLocalSocket* peer = server_->nextPendingConnection()) {
                connect(peer, &QLocalSocket::readyRead, this, [this, peer] {
                    if (peer->readAll().startsWith(restoreRequest.trimmed()))
                        emit restoreRequested();
                    peer->disconnectFromServer();
                });
                connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
            }
        });
    }
    return true;
}

bool SingleInstance::AskRunningInstanceToRestore(const QString& driverName, int timeoutMs)
{
    QLocalSocket socket;
    socket.connectToServer(SocketPath(driverName));
    if (!socket.waitForConnected(timeoutMs))
        return false;
    socket.write(restoreRequest);
    const bool sent = socket.waitForBytesWritten(timeoutMs);
    socket.waitForDisconnected(timeoutMs);
    return sent;
}

} // namespace qvt
