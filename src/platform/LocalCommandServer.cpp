#include "platform/LocalCommandServer.h"

#include "platform/SingleInstance.h"

#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace qvt {

namespace {

// Only a stale socket answers a connect with "refused"; a live one accepts.
bool SocketAnswers(const QByteArray& path)
{
    sockaddr_un address{};
    if (path.size() >= qsizetype(sizeof address.sun_path))
        return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const bool answered = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return answered;
}

QString SystemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

QString CommandServerSocketPath(const QString& driverName)
{
    return RuntimeDirectory() + "/qvt-" + SanitisedInstanceKey(driverName) + ".dde";
}

// ---- framing ------------------------------------------------------------------------------

std::vector<TLineFramer::TItem> TLineFramer::Feed(const QByteArray& data)
{
    // One byte beyond the limit may be the CR of a line that is just long enough.
    constexpr qsizetype Keep = MaxLineBytes + 2;
    std::vector<TItem> items;
    qsizetype pos = 0;
    while (pos < data.size()) {
        const qsizetype lf = data.indexOf('\n', pos);
        const qsizetype end = lf < 0 ? data.size() : lf;
        if (!skipping_) {
            const qsizetype room = std::max<qsizetype>(0, Keep - pending_.size());
            pending_.append(data.constData() + pos, std::min(room, end - pos));
        }
        if (lf < 0) {
            if (!skipping_ && pending_.size() > MaxLineBytes + 1) {
                items.push_back({true, {}});
                pending_.clear();
                skipping_ = true;
            }
            break;
        }
        if (skipping_) {
            skipping_ = false;
        } else {
            QByteArray line = std::move(pending_);
            pending_.clear();
            if (line.endsWith('\r'))
                line.chop(1);
            if (line.size() > MaxLineBytes)
                items.push_back({true, {}});
            else
                items.push_back({false, std::move(line)});
        }
        pos = lf + 1;
    }
    return items;
}

// ---- server -------------------------------------------------------------------------------

LocalCommandServer::LocalCommandServer(Handler handler, QObject* parent) : QObject(parent), handler_(std::move(handler))
{
}

LocalCommandServer::~LocalCommandServer()
{
    Stop();
}

bool LocalCommandServer::IsListening() const
{
    return server_ != nullptr && server_->isListening();
}

bool LocalCommandServer::Fail(const QString& why)
{
    error_ = why;
    return false;
}

bool LocalCommandServer::Start(const QString& path)
{
    Stop();
    error_.clear();
    const QByteArray native = QFile::encodeName(path);
    if (native.size() >= qsizetype(sizeof(sockaddr_un::sun_path)))
        return Fail("socket path too long: " + path);

    // Anyone who may write to the directory could swap the socket for their own.
    const QByteArray dir = QFile::encodeName(QFileInfo(path).absolutePath());
    struct stat info {};
    if (::lstat(dir.constData(), &info) != 0)
        return Fail("no directory for the socket: " + SystemError());
    if (!S_ISDIR(info.st_mode) || info.st_uid != ::geteuid() || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return Fail("the directory " + QFile::decodeName(dir) + " is not private to this user");

    if (::lstat(native.constData(), &info) == 0) {
        if (!S_ISSOCK(info.st_mode))
            return Fail(path + " exists and is no socket");
        if (SocketAnswers(native))
            return Fail("another program is listening on " + path);
        if (::unlink(native.constData()) != 0 && errno != ENOENT)
            return Fail("cannot remove the stale socket: " + SystemError());
    }

    server_ = new QLocalServer(this);
    // Qt binds under a private name, sets the owner's rights and renames the
    // socket into place, so it is never reachable with wider rights.
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(path)) {
        const QString why = server_->errorString();
        delete server_;
        server_ = nullptr;
        return Fail(why);
    }
    // Read and write are all a socket needs; the execute bit Qt leaves has no use.
    ::chmod(native.constData(), S_IRUSR | S_IWUSR);
    path_ = path;
    connect(server_, &QLocalServer::newConnection, this, &LocalCommandServer::Accept);
    return true;
}

void LocalCommandServer::Stop()
{
    queue_.clear();
    std::vector<TClient> clients = std::move(clients_);
    clients_.clear();
    for (TClient& c : clients) {
        if (c.Socket) {
            c.Socket->disconnect(this);
            c.Socket->abort();
            c.Socket->deleteLater();
        }
    }
    if (server_ != nullptr) {
        server_->close(); // removes the socket file
        delete server_;
        server_ = nullptr;
    }
    path_.clear();
}

void LocalCommandServer::Accept()
{
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        clients_.push_back({socket, {}});
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { Read(socket); });
        connect(socket, &QLocalSocket::disconnected, this, [this, socket] { Forget(socket); });
        // A client that connected and went before we looked has nothing to say.
        if (socket->state() != QLocalSocket::ConnectedState)
            Forget(socket);
        else if (socket->bytesAvailable() > 0)
            Read(socket);
    }
}

void LocalCommandServer::Read(QLocalSocket* socket)
{
    const auto it =
        std::find_if(clients_.begin(), clients_.end(), [socket](const TClient& c) { return c.Socket == socket; });
    if (it == clients_.end())
        return;
    for (TLineFramer::TItem& item : it->Framer.Feed(socket->readAll()))
        queue_.push_back({socket, std::move(item)});
    Drain();
}

void LocalCommandServer::Forget(QLocalSocket* socket)
{
    const auto it =
        std::find_if(clients_.begin(), clients_.end(), [socket](const TClient& c) { return c.Socket == socket; });
    if (it == clients_.end())
        return;
    clients_.erase(it);
    socket->disconnect(this);
    socket->deleteLater();
}

void LocalCommandServer::Drain()
{
    // A handler that runs a local event loop brings us back here with more
    // lines: they wait in the queue for the outer pass, so requests never nest.
    if (draining_)
        return;
    draining_ = true;
    const QPointer<LocalCommandServer> alive(this);
    while (!queue_.empty()) {
        TRequest request = std::move(queue_.front());
        queue_.pop_front();
        if (!request.Socket)
            continue; // the client went; its requests go with it
        const QStringList reply = Execute(request.Item);
        if (!alive)
            return; // destroyed by the handler's event loop
        if (request.Socket)
            Reply(request.Socket, reply);
    }
    draining_ = false;
}

QStringList LocalCommandServer::Execute(const TLineFramer::TItem& item)
{
    if (item.TooLong)
        return {LineTooLongReply};
    try {
        return handler_ ? handler_(QString::fromUtf8(item.Line)) : QStringList{HandlerFailedReply};
    } catch (...) {
        return {HandlerFailedReply};
    }
}

void LocalCommandServer::Reply(QLocalSocket* socket, const QStringList& lines)
{
    QByteArray out;
    for (QString line : lines) {
        line.replace('\r', ' ').replace('\n', ' ');
        out += line.toUtf8();
        out += '\n';
    }
    socket->write(out);
    if (socket->bytesToWrite() > MaxUnreadReplyBytes)
        socket->abort(); // never reads its replies: it must not grow our memory
}

} // namespace qvt
