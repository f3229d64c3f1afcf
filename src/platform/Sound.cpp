#include "platform/Sound.h"

#include "platform/HandOver.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>

#include <atomic>

namespace qvt {

namespace {

std::atomic<RecordedSounds*> recorder{nullptr};

// The running player; lives in the window thread as a child of the
// application, so it goes with it.
QPointer<QProcess> player;

QString PlayerProgram()
{
    static const QString program = QStandardPaths::findExecutable("aplay");
    return program;
}

// Runs in the window thread.
bool StartPlayer(const QByteArray& wav)
{
    if (player && player->state() != QProcess::NotRunning)
        return false; // do not cut off what is playing
    const QString program = PlayerProgram();
    if (program.isEmpty())
        return false;
    if (!player) {
        player = new QProcess(QCoreApplication::instance());
        // A machine without audio makes the player complain; that is no
        // concern of the operator's.
        player->setStandardOutputFile(QProcess::nullDevice());
        player->setStandardErrorFile(QProcess::nullDevice());
    }
    player->start(program, {"-q", "-"});
    player->write(wav);
    player->closeWriteChannel();
    return true;
}

} // namespace

bool PlayWavFromMemory(const QByteArray& wav)
{
    if (auto* r = recorder.load())
        return r->Play(wav);
    auto* app = QCoreApplication::instance();
    if (app == nullptr)
        return false;
    if (QThread::currentThread() == app->thread())
        return StartPlayer(wav);
    // The player belongs to the window thread; from elsewhere the click is
    // queued there and the caller does not wait for it.
    HandOverPost([&] { QMetaObject::invokeMethod(app, [wav] { StartPlayer(wav); }, Qt::QueuedConnection); });
    return true;
}

RecordedSounds::RecordedSounds()
{
    recorder.store(this);
}

RecordedSounds::~RecordedSounds()
{
    RecordedSounds* self = this;
    recorder.compare_exchange_strong(self, nullptr);
}

void RecordedSounds::SetBusy(bool busy)
{
    std::lock_guard lock(mutex_);
    busy_ = busy;
}

std::vector<QByteArray> RecordedSounds::Played() const
{
    std::lock_guard lock(mutex_);
    return played_;
}

int RecordedSounds::Dropped() const
{
    std::lock_guard lock(mutex_);
    return dropped_;
}

bool RecordedSounds::Play(const QByteArray& wav)
{
    std::lock_guard lock(mutex_);
    if (busy_) {
        ++dropped_;
        return false;
    }
    played_.push_back(wav);
    return true;
}

} // namespace qvt
