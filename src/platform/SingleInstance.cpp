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

bool IsPrivateDirectory(const QString& path, QString* why)
{
    const QByteArray native = QFile::encodeName(path);
    if (!path.startsWith('/')) {
        SetWhy(why, "\"" + path + "\" is no absolute folder name");
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

bool PrivateDirectory(const QString& path, QString* why)
{
    const QByteArray native = QFile::encodeName(path);
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST) {
        SetWhy(why, "cannot create " + path + ": " + QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    return IsPrivateDirectory(path, why);
}

QString RuntimeDirectory(QString* why)
{
    QString xdgReason;
    QString xdg = QString::fromLocal8Bit(qgetenv("XDG_RUNTIME_DIR"));
    while (xdg.size() > 1 && xdg.endsWith('/'))
        xdg.chop(1);
    // The session's folder only when it is as private as our own would be:
    // sockets and the lock must not sit where another user can swap them.
    if (!xdg.isEmpty()) {
        if (IsPrivateDirectory(xdg, &xdgReason))
            return xdg;
        xdgReason = "XDG_RUNTIME_DIR refused: " + xdgReason + "; ";
    }
    const QString dir = QString("/tmp/qvt-%1").arg(::getuid());
    QString reason;
    if (!PrivateDirectory(dir, &reason)) {
        reason = xdgReason + "runtime folder refused: " + reason;
        qWarning("%s", qPrintable(reason));
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
    if (lockFd_ >= 0) {
        // Removed while still held: a start that opened it meanwhile finds,
        // once it holds the lock, that it locked a file no longer there and
        // tries again.
        ::unlink(QFile::encodeName(lockPath_).constData());
        ::close(lockFd_);
    }
}

bool SingleInstance::Acquire(QString* why)
{
    if (driverName_.isEmpty())
        return true;
    // Without a private folder to lock in the program runs rather than refuse to start.
    QString reason;
    const QString dir = RuntimeDirectory(&reason);
    if (dir.isEmpty()) {
        SetWhy(why, "Single-instance lock skipped: " + reason);
        return true;
    }
    lockPath_ = dir + "/qvt-" + SanitisedInstanceKey(driverName_) + ".lock";
    const QByteArray native = QFile::encodeName(lockPath_);
    for (int attempt = 0; attempt < 10; ++attempt) {
        const int fd = ::open(native.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
        struct stat opened {};
        if (fd < 0 || ::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_uid != ::geteuid()) {
            const QString error = fd < 0 ? QString::fromLocal8Bit(std::strerror(errno)) : "no file of this user";
            if (fd >= 0)
                ::close(fd);
            SetWhy(why, "Single-instance lock skipped: cannot use " + lockPath_ + ": " + error);
            return true;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            return false;
        }
        // The holder before us may have removed the file between our open and our lock.
        struct stat named {};
        if (::lstat(native.constData(), &named) == 0 && named.st_dev == opened.st_dev &&
            named.st_ino == opened.st_ino) {
            lockFd_ = fd;
            break;
        }
        ::close(fd);
    }
    if (lockFd_ < 0) {
        SetWhy(why, "Single-instance lock skipped: " + lockPath_ + " keeps changing");
        return true;
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
