#include "script/ScriptWindowDevice.h"

#include "core/SharedState.h"
#include "device/InOutForm.h"
#include "lockin/DncForm.h"
#include "mainwindow/MainQVTForm.h"
#include "motion/Stepper.h"
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
#include <thread>

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

bool TScriptWindowDevice::Sync(const std::function<void()>& fn)
{
    return SendToWindowThread(fn, [this] { return Cancelled(); });
}

bool TScriptWindowDevice::SyncUnlessClosing(const std::function<void()>& fn)
{
    return SendToWindowThread(fn, [this] { return terminating_ != nullptr && terminating_->load(); });
}

void TScriptWindowDevice::WaitWhile(const std::function<bool()>& busy)
{
    for (;;) {
        bool still = false;
        if (!Sync([&] { still = busy(); }) || !still)
            return;
        SleepMs(TScriptStatements::PollMs);
    }
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
    Sync([&] {
        if (Stepper == nullptr || n == 0)
            return;
        switch (axis) {
        case TCoarseAxis::X:
            n > 0 ? Stepper->StepsRight(n) : Stepper->StepsLeft(-n);
            break;
        case TCoarseAxis::Y:
            n > 0 ? Stepper->StepsBackward(n) : Stepper->StepsForward(-n);
            break;
        case TCoarseAxis::Z:
            n > 0 ? Stepper->StepsUp(n) : Stepper->StepsDown(-n);
            break;
        }
    });
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

void TScriptWindowDevice::StartScan()
{
    // A frame the script waited for is over once its picture is ready, but
    // the scan thread parks a moment later; pressed before that, the button
    // would be refused ("Scan was not paused!?") and the script wait for a
    // picture that never comes. A scan that still runs is left to say so.
    TGoXYThread& scan = workers_.GoXYThread();
    while (!scan.Suspended() && !scan.Running.load() && !Cancelled())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    Sync([] {
        if (MainQVTForm == nullptr)
            return;
        MainQVTForm->RepeatButton()->setChecked(false);
        MainQVTForm->ScanButton()->setChecked(true);
        MainQVTForm->Scan(TScanSender::Script);
    });
}

void TScriptWindowDevice::ReleaseScanButton()
{
    Sync([] {
        if (MainQVTForm != nullptr)
            MainQVTForm->ScanButton()->setChecked(false);
    });
}

bool TScriptWindowDevice::FastSpeedButtonDown()
{
    bool down = false;
    Sync([&] { down = MainQVTForm != nullptr && MainQVTForm->FastSpeedButtonDown(); });
    return down;
}

void TScriptWindowDevice::PauseScan()
{
    // As the operator's Scan button does it.
    Sync([] {
        if (MainQVTForm == nullptr)
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
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!Cancelled()) {
        int slice = TScriptStatements::PollMs;
        if (timeoutMs >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            if (left <= 0)
                return false;
            slice = static_cast<int>(std::min<long long>(left, slice));
        }
        if (link_.PictureReadyEvent.Wait(slice))
            return true;
    }
    return false;
}

void TScriptWindowDevice::SpectroscopyRun()
{
    bool started = false;
    Sync([&] {
        auto* spekt = qobject_cast<TSpektForm*>(FindScriptWindow(ScriptWindows::Spekt));
        if (spekt == nullptr || spekt->Measuring())
            return;
        spekt->DoButtonClick(true);
        started = true;
    });
    if (started)
        WaitWhile([] {
            auto* spekt = qobject_cast<TSpektForm*>(FindScriptWindow(ScriptWindows::Spekt));
            return spekt != nullptr && spekt->Measuring();
        });
}

void TScriptWindowDevice::ResonanceSweep()
{
    bool started = false;
    Sync([&] {
        auto* dnc = qobject_cast<TdncForm*>(FindScriptWindow(ScriptWindows::Dnc));
        if (dnc == nullptr || dnc->Acquiring())
            return;
        dnc->SetScanButton(true);
        started = true;
    });
    if (started)
        WaitWhile([] {
            auto* dnc = qobject_cast<TdncForm*>(FindScriptWindow(ScriptWindows::Dnc));
            return dnc != nullptr && (dnc->Acquiring() || dnc->ScanButtonDown());
        });
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
