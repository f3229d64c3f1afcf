#pragma once
// A line-oriented command server on a Unix domain socket that only its owner
// may reach: other programs of the same user drive the running program through
// it. It knows nothing of the commands; each complete line goes to a handler
// in the window thread and the lines the handler returns are the reply.
//
// Wire rules: lines end in LF, one CR right before the LF is dropped; a line
// may hold at most MaxLineBytes bytes (a longer one is answered with
// "ERROR line too long" and discarded up to its LF); any number of requests
// per connection, several connections at once. Requests are executed one at a
// time in the order their lines arrived, never nested in one another, even
// when a handler runs a local event loop; while one runs, the lines that
// arrive wait in a bounded queue and the rest are answered "ERROR busy".
// Every complete line is executed and its reply written out before the
// connection is closed, also when the client has already shut down its
// sending side. A partial line left by a client that disconnects is dropped.
//
// Resources that run out degrade the service, never end it: at most
// MaxClients connections are served; one more is answered
// "ERROR too many clients" and closed, unless a client has sat idle for
// IdleCloseMs, which is then closed to make room. When the process runs out of
// descriptors the longest idle client is closed first, else the newcomer is
// refused; the server keeps listening. Refusals are logged (LogMessage, so a
// pile of them is one entry with its count). Should the listening socket itself
// fail, ListenerFailed says why and the server stops.

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
#include <map>
#include <vector>

#include <sys/types.h>

class QSocketNotifier;

namespace qvt {

// <runtime directory>/qvt-<driver name, made safe for a file name>.dde; empty
// when the runtime folder is refused (`why` says why).
QString CommandServerSocketPath(const QString& driverName, QString* why = nullptr);

// Cuts a byte stream into request lines. Plain and socket-free so the wire
// rules can be checked on their own.
class TLineFramer {
public:
    static constexpr int MaxLineBytes = 4096;

    struct TItem {
        bool TooLong = false;
        QByteArray Line; // without LF and without the CR before it
    };

    // Takes the next bytes and returns the items they complete. An over-long
    // line is reported as soon as it is known to be too long; the rest of it is
    // skipped up to its LF, so memory stays bounded whatever a client sends.
    std::vector<TItem> Feed(const QByteArray& data);
    // Bytes held for a line not yet ended.
    int Pending() const { return int(pending_.size()); }

private:
    QByteArray pending_;
    bool skipping_ = false;
};

class LocalCommandServer : public QObject {
    Q_OBJECT
public:
    // Reply lines for one request line. Must not contain line breaks (they
    // are turned into blanks rather than let a reply break the framing).
    using Handler = std::function<QStringList(const QString& line)>;

    static constexpr const char* LineTooLongReply = "ERROR line too long";
    static constexpr const char* HandlerFailedReply = "ERROR request failed";
    static constexpr const char* BusyReply = "ERROR busy";
    // A client that lets this much reply text pile up unread is dropped.
    static constexpr qint64 MaxUnreadReplyBytes = 1 << 20;
    // Requests that may wait while a handler is busy, per client and in all;
    // a line beyond either is answered with BusyReply and dropped.
    static constexpr int MaxQueuedPerClient = 64;
    static constexpr int MaxQueuedTotal = 256;
    // Connections served at once, and the idle time after which one gives
    // way to a newcomer when all are taken.
    static constexpr int MaxClients = 128;
    static constexpr qint64 IdleCloseMs = 30000;
    static constexpr const char* TooManyClientsReply = "ERROR too many clients";

    // Lives in, and runs the handler in, the thread that creates it (the
    // window thread in the program).
    explicit LocalCommandServer(Handler handler, QObject* parent = nullptr);
    ~LocalCommandServer() override; // Stop()

    // Listens on `path` with the socket open to its owner only (mode 0600).
    // A socket left there by a killed program is replaced; a live one, a file
    // that is no socket, or a directory other users could write to is left
    // alone and Start fails (ErrorString says why).
    bool Start(const QString& path);
    // Disconnects every client, drops queued requests and removes the socket.
    void Stop();

    bool IsListening() const;
    QString Path() const { return path_; }
    QString ErrorString() const { return error_; }
    int ClientCount() const { return int(clients_.size()); }
    // Requests waiting for their turn, and lines refused as busy so far.
    int QueuedCount() const { return queuedTotal_; }
    qint64 RefusedCount() const { return refused_; }
    // Connections refused for want of room or descriptors so far.
    qint64 RefusedClients() const { return refusedClients_; }

signals:
    // The listening socket failed (`why`); the server has stopped.
    void ListenerFailed(const QString& why);

private:
    // In a client's order: a request, or a run of lines refused as busy
    // (counted, not kept, so a flood costs no memory).
    struct TEntry {
        TLineFramer::TItem Item;
        int Busy = 0;
    };
    struct TClient {
        int Fd = -1;
        QSocketNotifier* ReadNotifier = nullptr;
        QSocketNotifier* WriteNotifier = nullptr;
        TLineFramer Framer;
        std::deque<TEntry> Entries;
        int Queued = 0;       // requests among Entries
        QByteArray Out;       // reply bytes the client has not taken yet
        bool ReadEnd = false; // the client has sent all it will send
        bool Running = false; // one of its requests is being executed
        qint64 LastActiveMs = 0;
    };

    void AcceptPending();
    bool CloseIdleClient(qint64 minIdleMs);
    // Answers TooManyClientsReply, closes `fd` and logs why.
    void RefuseClient(int fd, const QString& why);
    void ListenerBroke(int error);
    void Accept(int fd);
    void Read(quint64 id);
    void Enqueue(quint64 id, TClient& client, TLineFramer::TItem item);
    void Drain();
    QStringList Execute(const TLineFramer::TItem& item);
    void Reply(quint64 id, const QStringList& lines);
    void AnswerBusyRuns(quint64 id);
    void Flush(quint64 id);
    void CloseWhenDone(quint64 id);
    void Drop(quint64 id);
    TClient* Find(quint64 id);
    bool Fail(const QString& why);

    Handler handler_;
    int listenFd_ = -1;
    QSocketNotifier* listenNotifier_ = nullptr;
    // Held back so that a connection can still be taken and refused when the
    // process has no descriptor left.
    int spareFd_ = -1;
    dev_t socketDevice_ = 0;
    ino_t socketInode_ = 0;
    QString path_;
    QString error_;
    std::map<quint64, TClient> clients_;
    quint64 nextId_ = 1;
    // One entry per queued request: whose it is, in arrival order.
    std::deque<quint64> order_;
    int queuedTotal_ = 0;
    qint64 refused_ = 0;
    qint64 refusedClients_ = 0;
    bool draining_ = false;
};

} // namespace qvt
