#pragma once
// One running program per driver name. The lock is an flock() on a file in
// the user's runtime directory, so the kernel drops it when the holder dies;
// beside it a local socket with the same key lets a second start ask the first
// to restore and raise its main window.

#include <QObject>
#include <QString>

class QLocalServer;

namespace qvt {

// $XDG_RUNTIME_DIR, else /tmp/qvt-<uid> made private by PrivateDirectory. No
// trailing "/". Empty when that folder is refused (`why` says why).
QString RuntimeDirectory(QString* why = nullptr);
// Creates `path` with mode 0700 when it is missing, then checks without
// following links that it is a real directory of this user with mode 0700.
// False (and `why`) otherwise: a folder planted by someone else, or a link to
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
    // restore requests. False when another process holds the lock.
    bool Acquire();
    // Sent by a second start: asks the running instance to restore itself.
    static bool AskRunningInstanceToRestore(const QString& driverName, int timeoutMs = 2000);

signals:
    void restoreRequested();

private:
    QString driverName_;
    int lockFd_ = -1;
    QLocalServer* server_ = nullptr;
};

} // namespace qvt
