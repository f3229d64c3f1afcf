#include "script/ScriptWindowDevice.h"

#include "core/SharedState.h"
#include "device/InOutForm.h"
#include "lockin/DncForm.h"
#include "mainwindow/MainQVTForm.h"
#include "motion/Stepper.h"
#include "platform/MessageBoxes.h"
#include "platform/WindowThread.h"
#include "scan/DeviceWorkers.h"
#include "scan/GoXYThread.h"
#include "spectro/SpektForm.h"
#include "widgets/NumericEdit.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QRadioButton>
#include <QToolButton>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <thread>
#include <utility>

namespace qvt {

namespace {

bool IsRed(const QWidget* widget)
{
    if (const auto* edit = qobject_cast<const TNumericEdit*>(widget))
        return edit->Color() == EditColor::Red;
    return widget->palette().color(QPalette::Base) == QColor(Qt::red);
}

void PressEnter(QWidget* widget)
{
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &press);
}

// Enter with the text in an edit: a red edit afterwards means not done.
int EnterText(QLineEdit* edit, const QString& text)
{
    if (auto* numeric = qobject_cast<TNumericEdit*>(edit))
        return numeric->Apply(text) ? ControlDone : ControlNotDone;
    edit->setText(text);
    PressEnter(edit);
    return IsRed(edit) ? ControlNotDone : ControlDone;
}

} // namespace

QWidget* FindScriptWindow(const QString& name)
{
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (QWidget* w : windows)
        if (w->objectName() == name)
            return w;
    // Docked windows (the parameter window) live inside another one.
    for (QWidget* w : windows)
        if (auto* inner = w->findChild<QWidget*>(name))
            return inner;
    return nullptr;
}

QObject* FindScriptControl(QWidget* window, const QString& name)
{
    return window != nullptr ? window->findChild<QObject*>(name) : nullptr;
}

int SetScriptControl(QWidget* window, QObject* control, const QString& text)
{
    if (control == nullptr)
        return ControlNotDone;
    bool isInt = false;
    const int value = text.trimmed().toInt(&isInt);
    if (auto* combo = qobject_cast<QComboBox*>(control)) {
        const QString owner = window->objectName();
        if (owner == ScriptWindows::Spekt || owner == ScriptWindows::Dnc) {
            // These windows choose by item index and run their change handler.
            if (!isInt)
                return ControlDone;
            combo->setCurrentIndex(value);
            emit combo->activated(combo->currentIndex());
            emit combo->textActivated(combo->currentText());
            return IsRed(combo) ? ControlNotDone : ControlDone;
        }
        if (QLineEdit* edit = combo->lineEdit())
            return EnterText(edit, text);
        const int index = combo->findText(text);
        if (index < 0)
            return ControlNotDone;
        combo->setCurrentIndex(index);
        emit combo->activated(index);
        emit combo->textActivated(combo->currentText());
        return ControlDone;
    }
    if (auto* edit = qobject_cast<QLineEdit*>(control))
        return EnterText(edit, text);
    if (auto* radio = qobject_cast<QRadioButton*>(control)) {
        if (isInt) {
            radio->setChecked(value != 0);
            // Checking a radio button is its click.
            if (radio->isChecked())
                emit radio->clicked(true);
        }
        return ControlDone;
    }
    if (auto* button = qobject_cast<QAbstractButton*>(control)) {
        // The Save buttons keep the state their own handler gives them.
        if (isInt && button->isCheckable() && button->objectName() != "SaveButton")
            button->setChecked(value != 0);
        emit button->clicked(button->isChecked());
        return ControlDone;
    }
    return ControlNotHandled;
}

int GetScriptControl(QObject* control, QString& text)
{
    if (control == nullptr)
        return ControlNotDone;
    if (auto* combo = qobject_cast<QComboBox*>(control)) {
        text = combo->currentText();
        const bool red = IsRed(combo) || (combo->lineEdit() != nullptr && IsRed(combo->lineEdit()));
        return red ? ControlNotDone : ControlDone;
    }
    if (auto* edit = qobject_cast<QLineEdit*>(control)) {
        text = edit->text();
        return IsRed(edit) ? ControlNotDone : ControlDone;
    }
    if (auto* button = qobject_cast<QAbstractButton*>(control)) {
        text = button->isChecked() ? "1" : "0";
        return ControlDone;
    }
    return ControlNotHandled;
}

// ---- the device --------------------------------------------------------------------------------------

TScriptWindowDevice::TScriptWindowDevice(TInOutForm& link, TDeviceWorkers& workers) : link_(link), workers_(workers) {}

void TScriptWindowDevice::SetStopFlags(const std::atomic<bool>* stopRequested, const std::atomic<bool>* running,
                                       const std::atomic<bool>* terminating)
{
    stopRequested_ = stopRequested;
    running_ = running;
    terminating_ = terminating;
}

bool TScriptWindowDevice::Cancelled() const
{
    return (stopRequested_ != nullptr && stopRequested_->load()) || (running_ != nullptr && !running_->load());
}

void TScriptWindowDevice::KeepingBoxes(const std::function<void()>& fn)
{
    TNoModalBoxes noBoxes;
    fn();
    const QStringList texts = noBoxes.Texts();
    std::lock_guard lock(boxMutex_);
    // One memo line each.
    for (const QString& text : texts)
        boxTexts_ << text.simplified();
}

bool TScriptWindowDevice::Sync(const std::function<void()>& fn)
{
    return SendToWindowThread([&] { KeepingBoxes(fn); }, [this] { return Cancelled(); });
}

bool TScriptWindowDevice::SyncUnlessClosing(const std::function<void()>& fn)
{
    return SendToWindowThread([&] { KeepingBoxes(fn); },
                              [this] { return terminating_ != nullptr && terminating_->load(); });
}

QStringList TScriptWindowDevice::TakeBoxTexts()
{
    std::lock_guard lock(boxMutex_);
    return std::exchange(boxTexts_, QStringList());
}

void TScriptWindowDevice::WaitWhile(const std::function<bool()>& busy, bool untilClosing)
{
    // A call is given up only while the window thread is busy: the stop
    // itself ends the wait.
    const auto over = [&] { return untilClosing ? terminating_ != nullptr && terminating_->load() : Cancelled(); };
    while (!over()) {
        bool still = false;
        const bool ran = untilClosing ? SyncUnlessClosing([&] { still = busy(); }) : Sync([&] { still = busy(); });
        if (!ran || !still)
            return;
        SleepMs(TScriptStatements::PollMs);
    }
}

void TScriptWindowDevice::WaitScanParked(bool evenIfStopped)
{
    // A scan whose lines or frame are done parks a moment later; until then
    // the Scan button would be refused ("Scan was not paused!?").
    TGoXYThread& scan = workers_.GoXYThread();
    const auto givenUp = [&] {
        return (terminating_ != nullptr && terminating_->load()) || (!evenIfStopped && Cancelled());
    };
    while (!scan.Suspended() && !scan.Running.load() && !givenUp())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

int TScriptWindowDevice::SetControlValue(const QString& window, const QString& name, const QString& text)
{
    int result = ControlNotDone;
    Sync([&] {
        QWidget* w = FindScriptWindow(window);
        result = SetScriptControl(w, FindScriptControl(w, name), text);
    });
    return result;
}

int TScriptWindowDevice::GetControlValue(const QString& window, const QString& name, QString& text)
{
    int result = ControlNotDone;
    Sync([&] { result = GetScriptControl(FindScriptControl(FindScriptWindow(window), name), text); });
    return result;
}

bool TScriptWindowDevice::ControlVisible(const QString& window, const QString& name)
{
    bool visible = false;
    Sync([&] {
        QWidget* w = FindScriptWindow(window);
        auto* control = qobject_cast<QWidget*>(FindScriptControl(w, name));
        visible = control != nullptr && control->isVisibleTo(w);
    });
    return visible;
}

int TScriptWindowDevice::ClickMenuItem(const QString& window, const QString& menu, int index)
{
    int result = ControlNotDone;
    Sync([&] {
        auto* popup = qobject_cast<QMenu*>(FindScriptControl(FindScriptWindow(window), menu));
        if (popup == nullptr)
            return;
        const QList<QAction*> items = popup->actions();
        if (index < 0 || index >= items.size())
            return;
        QAction* item = items[index];
        if (item->isSeparator() || !item->isEnabled())
            return;
        item->trigger();
        result = ControlDone;
    });
    return result;
}

void TScriptWindowDevice::ClearMemo()
{
    Sync([&] {
        if (ClearMemoHook)
            ClearMemoHook();
    });
}

void TScriptWindowDevice::Beep()
{
    Sync([] { QApplication::beep(); });
}

void TScriptWindowDevice::CoarseSteps(TCoarseAxis axis, int n)
{
    // One step per call: the windows stay usable between steps, and a stop
    // (or the close) ends the move at the next one rather than after a
    // million steps made inside one call.
    const bool forth = n > 0;
    // A link that goes during the run ends it: the steps left would each try
    // to open the port again.
    std::optional<int32_t> lost;
    bool linkGone = false;
    for (int left = std::abs(n); left > 0 && !Cancelled() && !linkGone; --left) {
        const bool done = Sync([&] {
            if (Stepper == nullptr)
                return;
            if (!lost)
                lost = Stepper->LinkLosses;
            else if (Stepper->LinkLosses != *lost) {
                linkGone = true;
                return;
            }
            switch (axis) {
            case TCoarseAxis::X:
                forth ? Stepper->StepsRight(1) : Stepper->StepsLeft(1);
                break;
            case TCoarseAxis::Y:
                forth ? Stepper->StepsBackward(1) : Stepper->StepsForward(1);
                break;
            case TCoarseAxis::Z:
                forth ? Stepper->StepsUp(1) : Stepper->StepsDown(1);
                break;
            }
            linkGone = Stepper->LinkLosses != *lost;
        });
        if (!done)
            return;
    }
}

void TScriptWindowDevice::ProcessMessages()
{
    // A round trip: what the window thread had queued before has run.
    Sync([] {});
}

int32_t TScriptWindowDevice::ReadReg(int32_t reg)
{
    return link_.ReadReg(reg);
}

void TScriptWindowDevice::WriteReg(int32_t reg, int32_t value)
{
    link_.WriteReg(reg, value);
}

void TScriptWindowDevice::SetDacPhys(int channel, double value)
{
    link_.SetDacPhys(channel, value);
}

double TScriptWindowDevice::CurrentBias()
{
    // The feedback sets belong to the window thread.
    double bias = 0.0;
    SyncUnlessClosing(
        [&] { bias = MicroscopeState.FeedbackSets[FeedbackSetIndex(MicroscopeState.FeedbackMode.load())].Bias; });
    return bias;
}

void TScriptWindowDevice::SetBias(double volts)
{
    // The bias is part of the feedback set the window thread owns; a pulse
    // cut short by a stop still puts the bias back.
    SyncUnlessClosing([&] { link_.SetBias(volts); });
}

void TScriptWindowDevice::DelayUs(int32_t us)
{
    link_.DelayUs(us);
}

void TScriptWindowDevice::FractionToPosition(double fx, double fy, double& x, double& y)
{
    x = y = 0.0;
    Sync([&] {
        if (FractionToPositionHook)
            FractionToPositionHook(fx, fy, x, y);
    });
}

void TScriptWindowDevice::GoToXYPhys(double x, double y)
{
    workers_.GoToXYPhys(x, y, stopRequested_ != nullptr ? stopRequested_ : &never_);
}

bool TScriptWindowDevice::StartScan(int32_t lines)
{
    // A frame the script waited for is over once its picture is ready, but
    // the scan thread parks a moment later. A scan that still runs is refused.
    WaitScanParked(false);
    bool started = false;
    Sync([&] {
        if (MainQVTForm == nullptr)
            return;
        // Scan refuses a scan that still runs: its line count and repeat
        // stay as its operator set them.
        const bool parked = workers_.GoXYThread().Suspended();
        if (parked) {
            ScanParams.LinesLeft = lines;
            MainQVTForm->RepeatButton()->setChecked(false);
        }
        MainQVTForm->ScanButton()->setChecked(true);
        MainQVTForm->Scan(TScanSender::Script);
        // A scan that cannot start puts the button up again.
        started = parked && MainQVTForm->ScanButtonDown();
    });
    return started;
}

bool TScriptWindowDevice::FastSpeedButtonDown()
{
    bool down = false;
    Sync([&] { down = MainQVTForm != nullptr && MainQVTForm->FastSpeedButtonDown(); });
    return down;
}

void TScriptWindowDevice::PauseScan()
{
    // The scan that ended by itself is let park first: only a scan that
    // still runs needs the pause (and its "Try to Stop Scan" notice).
    WaitScanParked(true);
    SyncUnlessClosing([] {
        if (MainQVTForm == nullptr || !MainQVTForm->ScanButtonDown())
            return;
        MainQVTForm->ScanButton()->setChecked(false);
        MainQVTForm->Scan(TScanSender::Script);
    });
}

void TScriptWindowDevice::ResetPictureReady()
{
    link_.PictureReadyEvent.Reset();
}

bool TScriptWindowDevice::WaitPictureReady(int timeoutMs)
{
    // The navigator's Stop and the shutdown set the event after their flags
    // (WakeWaits): one wait on it ends with the frame, the stop or the time-out.
    if (Cancelled())
        return false;
    const bool ready = link_.PictureReadyEvent.Wait(timeoutMs);
    return ready && !Cancelled();
}

bool TScriptWindowDevice::SpectroscopyRun()
{
    const auto spekt = [] { return qobject_cast<TSpektForm*>(FindScriptWindow(ScriptWindows::Spekt)); };
    bool started = false;
    Sync([&] {
        TSpektForm* form = spekt();
        if (form == nullptr || form->Measuring())
            return;
        form->DoButtonClick(true);
        started = form->Measuring();
    });
    if (!started)
        return false;
    WaitWhile([&] { return spekt() != nullptr && spekt()->Measuring(); });
    // Stopped with the script: the run ends as the operator's Stop ends it,
    // so the next run finds the window ready.
    SyncUnlessClosing([&] {
        if (TSpektForm* form = spekt(); form != nullptr && form->Measuring())
            form->CancelButton1Click();
    });
    return true;
}

bool TScriptWindowDevice::ResonanceSweep()
{
    const auto dnc = [] { return qobject_cast<TdncForm*>(FindScriptWindow(ScriptWindows::Dnc)); };
    const auto busy = [&] { return dnc() != nullptr && (dnc()->Acquiring() || dnc()->ScanButtonDown()); };
    bool started = false;
    Sync([&] {
        TdncForm* form = dnc();
        if (form == nullptr || form->Acquiring())
            return;
        form->SetScanButton(true);
        started = busy();
    });
    if (!started)
        return false;
    WaitWhile(busy);
    // Stopped with the script: the sweep is aborted as Esc aborts it, and
    // the statement ends once it has.
    bool aborted = false;
    SyncUnlessClosing([&] {
        if (TdncForm* form = dnc(); form != nullptr && form->ScanButtonDown()) {
            form->SetScanButton(false);
            aborted = true;
        }
    });
    if (aborted)
        WaitWhile(busy, true);
    return true;
}

bool TScriptWindowDevice::SetLaserButton(bool on)
{
    bool exists = false;
    Sync([&] {
        QWidget* crosshairs = FindScriptWindow("CrosshairsForm");
        if (crosshairs == nullptr)
            return;
        exists = true;
        SetScriptControl(crosshairs, FindScriptControl(crosshairs, "LaserButton"), on ? "1" : "0");
    });
    return exists;
}

void TScriptWindowDevice::SleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

double TScriptWindowDevice::Seconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void TScriptWindowDevice::WakeWaits()
{
    link_.PictureReadyEvent.Set();
}

QDateTime TScriptWindowDevice::LocalNow()
{
    return QDateTime::currentDateTime();
}

} // namespace qvt
