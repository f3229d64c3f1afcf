#pragma once
// Every modal message of the program goes through here. In the program a Qt
// message box is shown (by the window thread, whichever thread asks); in tests
// a scripted responder records the texts and gives the answers it was told to.
// Where no box can be answered (no screen: the offscreen platform, no display;
// or the program is ending) the text goes to the error log and to standard
// error with its kind, and the box takes the answer that confirms nothing.

#include <QString>
#include <QStringList>

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

namespace qvt {

enum class MsgKind { Information, Warning, Error, Confirmation };
enum class MsgButtons { Ok, OkCancel, YesNo, YesNoCancel, AbortRetryIgnore };
enum class MsgResult { Ok, Cancel, Yes, No, Abort, Retry, Ignore };

// Shows a modal box and returns the button pressed. Called from a worker
// thread, the box is shown by the window thread and the worker waits for it.
MsgResult ShowMessage(MsgKind kind, const QString& text, MsgButtons buttons = MsgButtons::Ok);
// ShowMessage (OK only) for a caller that writes the error log itself: where
// no box can be shown the text goes to standard error only, so it is logged once.
MsgResult ShowMessageLoggedByCaller(MsgKind kind, const QString& text);
// The system's short warning sound.
void Beep();
// Shows a box that keeps nothing else from being used (no modal loop) and
// returns at once; `closed` runs in the window thread when it is dismissed.
void ShowMessageAside(MsgKind kind, const QString& text, std::function<void()> closed = {});
// The texts of the modal boxes that wait for an answer now, oldest first.
QStringList WaitingBoxTexts();

// The answer of a box dismissed without a choice: Ok for an OK box, else
// Cancel, No (Yes/No) or Abort, so nothing is confirmed on the operator's behalf.
MsgResult DismissedAnswer(MsgButtons buttons);
// "Information", "Warning", "Error" or "Confirmation".
QString MsgKindName(MsgKind kind);
// Writes "<kind>: <text>" to standard error and hands it to the message log
// (the program's error log); any thread. The same line again and again is one
// episode (TEpisodes on the machine's steady clock): written the first time,
// then as a line with its count and first and last time.
void LogMessage(MsgKind kind, const QString& text);
// Writes the summaries due of the repeated lines: of those quiet for a while
// (`end`: of all of them, as the program ends). Any thread.
void TellMessageEpisodes(bool end = false);
// For tests: the clock of the episodes, in nanoseconds (empty: the steady clock).
void SetMessageClockForTests(std::function<int64_t()> clock);
// Where LogMessage lines go besides standard error; set once at start,
// before any worker runs. Repeats counted so far are forgotten.
void SetMessageLog(std::function<void(const QString& line)> log);
// From now on no box is shown: the program is ending and nobody may be asked
// (false: boxes again, for a new run).
void StopShowingBoxes(bool stop = true);
bool BoxesStopped();
// Window thread only: a box nobody can see would wait for ever.
bool NoScreen();
// True while a TNoModalBoxes of the calling thread lives.
bool ModalBoxesRefused();

// While one lives, boxes asked for by the thread that made it are not shown:
// their texts are kept here and each answers as if dismissed (DismissedAnswer).
// For requests from other programs, which must never wait on the operator.
// Scopes nest; the innermost one collects.
class TNoModalBoxes {
public:
    TNoModalBoxes();
    ~TNoModalBoxes();
    TNoModalBoxes(const TNoModalBoxes&) = delete;
    TNoModalBoxes& operator=(const TNoModalBoxes&) = delete;

    QStringList Texts() const { return texts_; }
    // Used by ShowMessage.
    MsgResult Refuse(const QString& text, MsgButtons buttons);

private:
    TNoModalBoxes* outer_;
    QStringList texts_;
};

// Installed for its lifetime: boxes are not shown but recorded and answered
// from the queue (an empty queue answers Ok, or Yes where there is no Ok).
class ScriptedMessageResponder {
public:
    ScriptedMessageResponder();
    ~ScriptedMessageResponder();
    ScriptedMessageResponder(const ScriptedMessageResponder&) = delete;
    ScriptedMessageResponder& operator=(const ScriptedMessageResponder&) = delete;

    void QueueAnswer(MsgResult answer);
    // Runs while each modal box is asked for, before it is answered: what
    // the operator could do while the box stands open.
    std::function<void(const QString& text)> WhileOpen;
    QStringList Texts() const;
    QString LastText() const;
    QList<MsgKind> Kinds() const;
    int BeepCount() const;
    void Clear();

    // Used by ShowMessage/Beep.
    MsgResult Answer(MsgKind kind, const QString& text, MsgButtons buttons);
    void RecordBeep();

private:
    mutable std::mutex mutex_;
    std::deque<MsgResult> answers_;
    QStringList texts_;
    QList<MsgKind> kinds_;
    int beeps_ = 0;
};

} // namespace qvt
