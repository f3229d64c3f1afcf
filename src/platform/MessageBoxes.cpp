#include "platform/MessageBoxes.h"

#include "platform/Episodes.h"
#include "platform/WindowThread.h"

#include <QApplication>
#include <QHash>
#include <QMessageBox>
#include <QScreen>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>

namespace qvt {

namespace {
std::atomic<ScriptedMessageResponder*> responder{nullptr};
thread_local TNoModalBoxes* noBoxes = nullptr;
std::atomic<bool> boxesStopped{false};
std::function<void(const QString&)> messageLog;

// Standard error only, "qvt: <kind>: <text>" on one line.
void PrintMessage(const QString& line)
{
    std::fprintf(stderr, "qvt: %s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
}

// One line each: the program's texts break lines with "\r".
QString MessageLine(MsgKind kind, const QString& text)
{
    QString line = MsgKindName(kind) + ": " + text;
    line.replace("\r\n", " ").replace('\r', ' ').replace('\n', ' ');
    return line;
}

// `toLog`: false where the caller writes the error log itself.
MsgResult Unshown(MsgKind kind, const QString& text, MsgButtons buttons, bool toLog)
{
    if (toLog)
        LogMessage(kind, text);
    else
        PrintMessage(MessageLine(kind, text));
    return DismissedAnswer(buttons);
}

QMessageBox::StandardButtons ToQt(MsgButtons b)
{
    switch (b) {
    case MsgButtons::Ok: return QMessageBox::Ok;
    case MsgButtons::OkCancel: return QMessageBox::Ok | QMessageBox::Cancel;
    case MsgButtons::YesNo: return QMessageBox::Yes | QMessageBox::No;
    case MsgButtons::YesNoCancel: return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
    case MsgButtons::AbortRetryIgnore: return QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore;
    }
    return QMessageBox::Ok;
}

MsgResult FromQt(int b)
{
    switch (b) {
    case QMessageBox::Cancel: return MsgResult::Cancel;
    case QMessageBox::Yes: return MsgResult::Yes;
    case QMessageBox::No: return MsgResult::No;
    case QMessageBox::Abort: return MsgResult::Abort;
    case QMessageBox::Retry: return MsgResult::Retry;
    case QMessageBox::Ignore: return MsgResult::Ignore;
    default: return MsgResult::Ok;
    }
}

// The box as the program shows it; its texts use "\r" as their line break.
QMessageBox* MakeBox(MsgKind kind, const QString& text, MsgButtons buttons, QWidget* parent)
{
    QString shown = text;
    shown.replace("\r\n", "\n").replace('\r', '\n');
    QMessageBox::Icon icon = QMessageBox::Information;
    QString title = "Information";
    switch (kind) {
    case MsgKind::Information: break;
    case MsgKind::Warning: icon = QMessageBox::Warning; title = "Warning"; break;
    case MsgKind::Error: icon = QMessageBox::Critical; title = "Error"; break;
    case MsgKind::Confirmation: icon = QMessageBox::Question; title = "Confirm"; break;
    }
    return new QMessageBox(icon, title, shown, ToQt(buttons), parent);
}

MsgResult ShowQtBox(MsgKind kind, const QString& text, MsgButtons buttons)
{
    std::unique_ptr<QMessageBox> box(MakeBox(kind, text, buttons, QApplication::activeWindow()));
    const int pressed = box->exec();
    // The program began to end while the box was open: nobody chose.
    if (boxesStopped.load())
        return DismissedAnswer(buttons);
    return FromQt(pressed);
}

std::mutex waitingMutex;
QStringList waitingTexts;

// A modal box asked for and not yet answered.
class TWaitingBox {
public:
    explicit TWaitingBox(const QString& text) : text_(text)
    {
        std::lock_guard lock(waitingMutex);
        waitingTexts.push_back(text_);
    }
    ~TWaitingBox()
    {
        std::lock_guard lock(waitingMutex);
        waitingTexts.removeAt(waitingTexts.lastIndexOf(text_));
    }
    TWaitingBox(const TWaitingBox&) = delete;
    TWaitingBox& operator=(const TWaitingBox&) = delete;

private:
    QString text_;
};
} // namespace

bool NoScreen()
{
    const QString platform = QGuiApplication::platformName();
    return platform == QLatin1String("offscreen") || platform == QLatin1String("minimal") ||
           QGuiApplication::primaryScreen() == nullptr;
}

bool ModalBoxesRefused()
{
    return noBoxes != nullptr;
}

namespace {
MsgResult AskOrTell(MsgKind kind, const QString& text, MsgButtons buttons, bool toLog)
{
    if (noBoxes != nullptr)
        return noBoxes->Refuse(text, buttons);
    const TWaitingBox waiting(text);
    if (auto* r = responder.load()) {
        if (r->WhileOpen)
            r->WhileOpen(text);
        return r->Answer(kind, text, buttons);
    }
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr)
        return buttons == MsgButtons::YesNo || buttons == MsgButtons::YesNoCancel ? MsgResult::Yes : MsgResult::Ok;
    if (boxesStopped.load())
        return Unshown(kind, text, buttons, toLog);
    MsgResult result = DismissedAnswer(buttons);
    SendToWindowThread([&] {
        result = NoScreen() || boxesStopped.load() ? Unshown(kind, text, buttons, toLog)
                                                   : ShowQtBox(kind, text, buttons);
    });
    return result;
}
} // namespace

MsgResult ShowMessage(MsgKind kind, const QString& text, MsgButtons buttons)
{
    return AskOrTell(kind, text, buttons, true);
}

MsgResult ShowMessageLoggedByCaller(MsgKind kind, const QString& text)
{
    return AskOrTell(kind, text, MsgButtons::Ok, false);
}

MsgResult DismissedAnswer(MsgButtons buttons)
{
    switch (buttons) {
    case MsgButtons::Ok:
        return MsgResult::Ok;
    case MsgButtons::OkCancel:
        return MsgResult::Cancel;
    case MsgButtons::YesNo:
        return MsgResult::No;
    case MsgButtons::YesNoCancel:
        return MsgResult::Cancel;
    case MsgButtons::AbortRetryIgnore:
        return MsgResult::Abort;
    }
    return MsgResult::Cancel;
}

QString MsgKindName(MsgKind kind)
{
    switch (kind) {
    case MsgKind::Information: return QStringLiteral("Information");
    case MsgKind::Warning: return QStringLiteral("Warning");
    case MsgKind::Error: return QStringLiteral("Error");
    case MsgKind::Confirmation: return QStringLiteral("Confirmation");
    }
    return QString();
}

namespace {

std::mutex episodesMutex;
TEpisodes messageEpisodes;
std::function<int64_t()> messageClock;

int64_t MessageClockNs()
{
    if (messageClock)
        return messageClock();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void WriteMessageLines(const QStringList& lines)
{
    for (const QString& line : lines) {
        PrintMessage(line);
        if (messageLog)
            messageLog(line);
    }
}

} // namespace

void LogMessage(MsgKind kind, const QString& text)
{
    const QString line = MessageLine(kind, text);
    QStringList due;
    {
        std::lock_guard lock(episodesMutex);
        messageEpisodes.Note(
            qHash(line), MessageClockNs(), [&line] { return line; }, due);
    }
    WriteMessageLines(due);
}

void TellMessageEpisodes(bool end)
{
    QStringList due;
    {
        std::lock_guard lock(episodesMutex);
        if (end)
            messageEpisodes.EndAll(due);
        else
            messageEpisodes.Tick(MessageClockNs(), due);
    }
    WriteMessageLines(due);
}

void SetMessageClockForTests(std::function<int64_t()> clock)
{
    std::lock_guard lock(episodesMutex);
    messageClock = std::move(clock);
}

void SetMessageLog(std::function<void(const QString& line)> log)
{
    messageLog = std::move(log);
    // A new log starts with no repeats counted against it.
    std::lock_guard lock(episodesMutex);
    messageEpisodes = TEpisodes();
}

void StopShowingBoxes(bool stop)
{
    boxesStopped.store(stop);
}

bool BoxesStopped()
{
    return boxesStopped.load();
}

QStringList WaitingBoxTexts()
{
    std::lock_guard lock(waitingMutex);
    return waitingTexts;
}

void ShowMessageAside(MsgKind kind, const QString& text, std::function<void()> closed)
{
    if (auto* r = responder.load()) {
        r->Answer(kind, text, MsgButtons::Ok);
        if (closed)
            PostToWindowThread(std::move(closed)); // dismissed as soon as events run
        return;
    }
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
        if (closed)
            closed();
        return;
    }
    PostToWindowThread([kind, text, closed = std::move(closed)] {
        if (NoScreen() || boxesStopped.load()) {
            Unshown(kind, text, MsgButtons::Ok, true);
            if (closed)
                closed();
            return;
        }
        QMessageBox* box = MakeBox(kind, text, MsgButtons::Ok, nullptr);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setWindowModality(Qt::NonModal);
        if (closed)
            QObject::connect(box, &QMessageBox::finished, box, [closed] { closed(); });
        box->show();
    });
}

void Beep()
{
    if (auto* r = responder.load()) {
        r->RecordBeep();
        return;
    }
    PostToWindowThread([] { QApplication::beep(); });
}

TNoModalBoxes::TNoModalBoxes() : outer_(noBoxes)
{
    noBoxes = this;
}

TNoModalBoxes::~TNoModalBoxes()
{
    noBoxes = outer_;
}

MsgResult TNoModalBoxes::Refuse(const QString& text, MsgButtons buttons)
{
    texts_.push_back(text);
    return DismissedAnswer(buttons);
}

ScriptedMessageResponder::ScriptedMessageResponder() { responder.store(this); }
ScriptedMessageResponder::~ScriptedMessageResponder()
{
    ScriptedMessageResponder* self = this;
    responder.compare_exchange_strong(self, nullptr);
}

void ScriptedMessageResponder::QueueAnswer(MsgResult answer)
{
    std::lock_guard lock(mutex_);
    answers_.push_back(answer);
}

QStringList ScriptedMessageResponder::Texts() const
{
    std::lock_guard lock(mutex_);
    return texts_;
}

QString ScriptedMessageResponder::LastText() const
{
    std::lock_guard lock(mutex_);
    return texts_.isEmpty() ? QString() : texts_.back();
}

QList<MsgKind> ScriptedMessageResponder::Kinds() const
{
    std::lock_guard lock(mutex_);
    return kinds_;
}

int ScriptedMessageResponder::BeepCount() const
{
    std::lock_guard lock(mutex_);
    return beeps_;
}

void ScriptedMessageResponder::Clear()
{
    std::lock_guard lock(mutex_);
    texts_.clear();
    kinds_.clear();
    answers_.clear();
    beeps_ = 0;
}

MsgResult ScriptedMessageResponder::Answer(MsgKind kind, const QString& text, MsgButtons buttons)
{
    std::lock_guard lock(mutex_);
    texts_.push_back(text);
    kinds_.push_back(kind);
    if (!answers_.empty()) {
        MsgResult r = answers_.front();
        answers_.pop_front();
        return r;
    }
    return buttons == MsgButtons::YesNo || buttons == MsgButtons::YesNoCancel ? MsgResult::Yes : MsgResult::Ok;
}

void ScriptedMessageResponder::RecordBeep()
{
    std::lock_guard lock(mutex_);
    ++beeps_;
}

} // namespace qvt
