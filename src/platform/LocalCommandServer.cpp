#include "platform/LocalCommandServer.h"

#include "platform/MessageBoxes.h"
#include "platform/SingleInstance.h"

#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <fcntl.h>
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

QString SystemError(int error = errno)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

qint64 NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int OpenSpare()
{
    return ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

} // namespace

QString CommandServerSocketPath(const QString& driverName, QString* why)
{
    const QString dir = RuntimeDirectory(why);
    return dir.isEmpty() ? QString() : dir + "/qvt-" + SanitisedInstanceKey(driverName) + ".dde";
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
    return listenFd_ >= 0;
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
    if (path.isEmpty())
        return Fail("no private folder for the socket");
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

    // Bound and narrowed to the owner before it listens: until then a
    // connect is refused, so it is never reachable with wider rights. Each
    // connection is a plain descriptor, so that a client that shuts down its
    // sending side still gets every reply.
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, native.constData(), size_t(native.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return Fail("cannot make the socket: " + SystemError());
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const QString why = "cannot bind " + path + ": " + SystemError();
        ::close(fd);
        return Fail(why);
    }
    struct stat bound {};
    if (::chmod(native.constData(), S_IRUSR | S_IWUSR) != 0 || ::lstat(native.constData(), &bound) != 0 ||
        ::listen(fd, SOMAXCONN) != 0) {
        const QString why = "cannot listen on " + path + ": " + SystemError();
        ::close(fd);
        ::unlink(native.constData());
        return Fail(why);
    }
    listenFd_ = fd;
    socketDevice_ = bound.st_dev;
    socketInode_ = bound.st_ino;
    spareFd_ = OpenSpare();
    listenNotifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(listenNotifier_, &QSocketNotifier::activated, this, [this] { AcceptPending(); });
    path_ = path;
    return true;
}

void LocalCommandServer::Stop()
{
    while (!clients_.empty())
        Drop(clients_.begin()->first);
    order_.clear();
    queuedTotal_ = 0;
    if (listenNotifier_ != nullptr) {
        listenNotifier_->setEnabled(false);
        listenNotifier_->disconnect(this);
        listenNotifier_->deleteLater(); // its signal may be what brought us here
        listenNotifier_ = nullptr;
    }
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        listenFd_ = -1;
        // Only our own socket goes: another program may have taken the name since.
        const QByteArray native = QFile::encodeName(path_);
        struct stat info {};
        if (::lstat(native.constData(), &info) == 0 && S_ISSOCK(info.st_mode) && info.st_dev == socketDevice_ &&
            info.st_ino == socketInode_)
            ::unlink(native.constData());
    }
    if (spareFd_ >= 0) {
        ::close(spareFd_);
        spareFd_ = -1;
    }
    path_.clear();
}

LocalCommandServer::TClient* LocalCommandServer::Find(quint64 id)
{
    const auto it = clients_.find(id);
    return it == clients_.end() ? nullptr : &it->second;
}

void LocalCommandServer::AcceptPending()
{
    // Everything waiting is taken in one pass, so a pile of connections costs
    // one wake-up, not one each.
    while (listenFd_ >= 0) {
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            if (int(clients_.size()) >= MaxClients && !CloseIdleClient(IdleCloseMs)) {
                RefuseClient(fd, "all " + QString::number(MaxClients) + " places are taken");
                continue;
            }
            Accept(fd);
            continue;
        }
        const int error = errno;
        if (error == EAGAIN || error == EWOULDBLOCK)
            return;
        if (error == EINTR || error == ECONNABORTED || error == EPROTO)
            continue; // that connection only
        if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
            // Out of descriptors: the longest idle client gives way, else the
            // newcomer is taken on the spare descriptor and refused.
            if (CloseIdleClient(0))
                continue;
            if (spareFd_ >= 0) {
                ::close(spareFd_);
                spareFd_ = -1;
                const int refused = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (refused >= 0)
                    RefuseClient(refused, "the program has run out of descriptors");
                spareFd_ = OpenSpare();
                if (refused >= 0 && spareFd_ >= 0)
                    continue;
            }
            // Nothing to free now: listen again when a client has gone, so
            // the loop does not spin on a connection it cannot take.
            listenNotifier_->setEnabled(false);
            QTimer::singleShot(100, this, [this] {
                if (listenNotifier_ != nullptr)
                    listenNotifier_->setEnabled(true);
            });
            return;
        }
        ListenerBroke(error);
        return;
    }
}

bool LocalCommandServer::CloseIdleClient(qint64 minIdleMs)
{
    const qint64 now = NowMs();
    auto idlest = clients_.end();
    for (auto it = clients_.begin(); it != clients_.end(); ++it) {
        const TClient& c = it->second;
        const bool idle = !c.Running && c.Entries.empty() && c.Out.isEmpty() && c.Framer.Pending() == 0;
        if (idle && now - c.LastActiveMs >= minIdleMs &&
            (idlest == clients_.end() || c.LastActiveMs < idlest->second.LastActiveMs))
            idlest = it;
    }
    if (idlest == clients_.end())
        return false;
    Drop(idlest->first);
    return true;
}

void LocalCommandServer::RefuseClient(int fd, const QString& why)
{
    ++refusedClients_;
    // A pile of clients refused for one reason is one entry with its count.
    LogMessage(MsgKind::Warning, "Command server refused a client: " + why + ".");
    const QByteArray line = QByteArray(TooManyClientsReply) + '\n';
    [[maybe_unused]] const ssize_t sent =
        ::send(fd, line.constData(), size_t(line.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::close(fd);
}

void LocalCommandServer::ListenerBroke(int error)
{
    const QString why = "the command socket " + path_ + " failed: " + SystemError(error);
    Stop();
    error_ = why;
    emit ListenerFailed(why);
}

void LocalCommandServer::Accept(int fd)
{
    const quint64 id = nextId_++;
    TClient& client = clients_[id];
    client.Fd = fd;
    client.LastActiveMs = NowMs();
    client.ReadNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    client.WriteNotifier = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    client.WriteNotifier->setEnabled(false);
    connect(client.ReadNotifier, &QSocketNotifier::activated, this, [this, id] { Read(id); });
    connect(client.WriteNotifier, &QSocketNotifier::activated, this, [this, id] {
        Flush(id);
        CloseWhenDone(id);
    });
    // A client writes as soon as it is connected: what it sent is read now,
    // not on the next turn of the loop, which a signal may have ended meanwhile.
    Read(id);
}

void LocalCommandServer::Read(quint64 id)
{
    TClient* client = Find(id);
    if (client == nullptr || client->ReadEnd)
        return;
    char buffer[16384];
    const ssize_t n = ::read(client->Fd, buffer, sizeof buffer);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return;
        Drop(id); // the connection broke: nobody is left to answer
        return;
    }
    if (n == 0) {
        // End of input. What came complete is still executed and answered;
        // an unfinished line is dropped.
        client->ReadEnd = true;
        client->ReadNotifier->setEnabled(false);
    } else {
        client->LastActiveMs = NowMs();
        for (TLineFramer::TItem& item : client->Framer.Feed(QByteArray(buffer, n))) {
            client = Find(id); // a refusal that could not be written drops the client
            if (client == nullptr)
                return;
            Enqueue(id, *client, std::move(item));
        }
    }
    Drain();
    CloseWhenDone(id);
}

void LocalCommandServer::Enqueue(quint64 id, TClient& client, TLineFramer::TItem item)
{
    // Lines wait only while a handler is busy (nothing runs them otherwise
    // before Drain), so only then can a client make the queue grow.
    const bool full = draining_ && (client.Queued >= MaxQueuedPerClient || queuedTotal_ >= MaxQueuedTotal);
    if (full) {
        ++refused_;
        if (!client.Entries.empty() && client.Entries.back().Busy > 0)
            ++client.Entries.back().Busy;
        else
            client.Entries.push_back({{}, 1});
        AnswerBusyRuns(id);
        return;
    }
    client.Entries.push_back({std::move(item), 0});
    ++client.Queued;
    ++queuedTotal_;
    order_.push_back(id);
}

void LocalCommandServer::AnswerBusyRuns(quint64 id)
{
    TClient* client = Find(id);
    if (client == nullptr)
        return;
    // Refusals keep their place among the replies: only those at the front are due.
    QByteArray out;
    while (!client->Entries.empty() && client->Entries.front().Busy > 0) {
        const QByteArray line = QByteArray(BusyReply) + '\n';
        for (int i = 0; i < client->Entries.front().Busy; ++i)
            out += line;
        client->Entries.pop_front();
    }
    if (out.isEmpty())
        return;
    client->Out += out;
    Flush(id);
}

void LocalCommandServer::Drain()
{
    // A handler that runs a local event loop brings us back here with more
    // lines: they wait in the queue for the outer pass, so requests never nest.
    if (draining_)
        return;
    draining_ = true;
    const QPointer<LocalCommandServer> alive(this);
    while (!order_.empty()) {
        const quint64 id = order_.front();
        order_.pop_front();
        TClient* client = Find(id);
        if (client == nullptr || client->Entries.empty())
            continue; // dropped with its requests
        const TLineFramer::TItem item = std::move(client->Entries.front().Item);
        client->Entries.pop_front();
        --client->Queued;
        --queuedTotal_;
        client->Running = true; // its end of input must not close it meanwhile
        const QStringList reply = Execute(item);
        if (!alive)
            return; // destroyed by the handler's event loop
        client = Find(id);
        if (client == nullptr)
            continue; // dropped while its request ran (the connection broke)
        client->Running = false;
        Reply(id, reply);
        AnswerBusyRuns(id);
        CloseWhenDone(id);
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

void LocalCommandServer::Reply(quint64 id, const QStringList& lines)
{
    TClient* client = Find(id);
    if (client == nullptr)
        return;
    for (QString line : lines) {
        line.replace('\r', ' ').replace('\n', ' ');
        client->Out += line.toUtf8();
        client->Out += '\n';
    }
    Flush(id);
}

void LocalCommandServer::Flush(quint64 id)
{
    TClient* client = Find(id);
    if (client == nullptr)
        return;
    qsizetype sent = 0;
    while (sent < client->Out.size()) {
        const ssize_t n =
            ::send(client->Fd, client->Out.constData() + sent, size_t(client->Out.size() - sent), MSG_NOSIGNAL);
        if (n > 0) {
            sent += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        Drop(id); // the client is gone for good
        return;
    }
    client->Out.remove(0, sent);
    if (sent > 0)
        client->LastActiveMs = NowMs();
    if (client->Out.size() > MaxUnreadReplyBytes) {
        Drop(id); // never reads its replies: it must not grow our memory
        return;
    }
    client->WriteNotifier->setEnabled(!client->Out.isEmpty());
}

void LocalCommandServer::CloseWhenDone(quint64 id)
{
    const TClient* client = Find(id);
    if (client != nullptr && client->ReadEnd && !client->Running && client->Entries.empty() && client->Out.isEmpty())
        Drop(id);
}

void LocalCommandServer::Drop(quint64 id)
{
    const auto it = clients_.find(id);
    if (it == clients_.end())
        return;
    TClient& client = it->second;
    queuedTotal_ -= client.Queued;
    // A notifier may be the one whose signal brought us here.
    for (QSocketNotifier* notifier : {client.ReadNotifier, client.WriteNotifier}) {
        notifier->setEnabled(false);
        notifier->disconnect(this);
        notifier->deleteLater();
    }
    ::close(client.Fd);
    clients_.erase(it);
}

} // namespace qvt
