#pragma once
// One running program per driver name. The lock is an flock() on a file in
// the user's runtime directory, so the kernel drops it when the holder dies;
// beside it a local socket with the same key lets a second start ask the first
// to restore and raise its main window.

#include <QObject>
#include <QString>

class QLocalServer;

namespace qvt {

// $XDG_RUNTIME_DIR when IsPrivateDirectory accepts it, else /tmp/qvt-<uid>
// made private by PrivateDirectory. No trailing "/". Empty when that folder
// is refused too (`why` says why).
QString RuntimeDirectory(QString* why = nullptr);
// Checks without following links that `path` is an absolute, real directory
// of this user with mode 0700; false (and `why`) otherwise.
bool IsPrivateDirectory(const QString& path, QString* why = nullptr);
// Creates `path` with mode 0700 when it is missing, then checks it as
// IsPrivateDirectory does. A folder planted by someone else, or a link to
// one, is never used and never chmod-ed.
bool PrivateDirectory(const QString& path, QString* why = nullptr);
// A driver name made safe for a file name ("\\.\QVT" → "__._QVT").
QString SanitisedInstanceKey(const QString& driverName);

class SingleInstance : public QObject {
    Q_OBJECT
public:
    explicit SingleInstance(const QString& driverName, QObject* parent = nullptr);
    ~SingleInstance() override;

    // Takes the lock. True when this is the only instance for the name (an
    // empty name takes no lock and is always true); then it also listens for
    // restore requests. False when another process holds the lock. When no
    // private folder or lock file can be had the program runs unlocked: true,
    // and `why` says so.
    bool Acquire(QString* why = nullptr);
    // Sent by a second start: asks the running instance to restore itself.
    static bool AskRunningInstanceToRestore(const QString& driverName, int timeoutMs = 2000);

signals:
    void restoreRequested();

private:
    QString driverName_;
    QString lockPath_;
    int lockFd_ = -1;
    QLocalServer* server_ = nullptr;
};

} // namespace qvt
