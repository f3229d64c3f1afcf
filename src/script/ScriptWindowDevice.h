#pragma once
// The script statements' device in the program: window controls found by
// their object names among the application's windows (so a window that comes
// later is reached once it exists, with no change here), operated in the
// window thread through synchronised calls; the link's registers, bias and
// moves called from the script thread directly.
//
// A synchronised call blocks only the script thread and gives up when the
// script is stopped or the thread shut down; nothing here runs the window
// thread's messages from the script thread. What a statement started is
// ended with it when the script is stopped (those calls give up only at the
// close, which ends the instrument's work itself).

#include "script/ScriptStatements.h"

#include <QStringList>

#include <atomic>
#include <functional>
#include <mutex>

class QObject;
class QWidget;

namespace qvt {

class TInOutForm;
class TDeviceWorkers;

class TScriptWindowDevice : public IScriptDevice {
public:
    TScriptWindowDevice(TInOutForm& link, TDeviceWorkers& workers);

    // What ends a synchronised call or a wait early: the thread's stop and
    // run flags; its shut-down ends even the calls a stop must not skip.
    void SetStopFlags(const std::atomic<bool>* stopRequested, const std::atomic<bool>* running,
                      const std::atomic<bool>* terminating);

    // ---- hooks set by the program's assembly (run in the window thread) -------------------
    // The navigator: its memo cleared, and a frame fraction to a position.
    std::function<void()> ClearMemoHook;
    std::function<void(double fx, double fy, double& x, double& y)> FractionToPositionHook;

    int SetControlValue(const QString& window, const QString& name, const QString& text) override;
    int GetControlValue(const QString& window, const QString& name, QString& text) override;
    bool ControlVisible(const QString& window, const QString& name) override;
    int ClickMenuItem(const QString& window, const QString& menu, int index) override;
    void ClearMemo() override;
    void Beep() override;
    void CoarseSteps(TCoarseAxis axis, int n) override;
    void ProcessMessages() override;

    int32_t ReadReg(int32_t reg) override;
    void WriteReg(int32_t reg, int32_t value) override;
    void SetDacPhys(int channel, double value) override;
    double CurrentBias() override;
    void SetBias(double volts) override;
    void DelayUs(int32_t us) override;
    void FractionToPosition(double fx, double fy, double& x, double& y) override;
    void GoToXYPhys(double x, double y) override;

    bool StartScan(int32_t lines) override;
    bool FastSpeedButtonDown() override;
    void PauseScan() override;
    void ResetPictureReady() override;
    bool WaitPictureReady(int timeoutMs) override;

    bool SpectroscopyRun() override;
    bool ResonanceSweep() override;
    bool SetLaserButton(bool on) override;

    void SleepMs(int ms) override;
    double Seconds() override;
    QDateTime LocalNow() override;
    void WakeWaits() override;
    QStringList TakeBoxTexts() override;

private:
    bool Cancelled() const;
    // Runs `fn` in the window thread, its boxes kept (TakeBoxTexts); false
    // when the call was given up.
    bool Sync(const std::function<void()>& fn);
    // The same, given up only when the thread shuts down.
    bool SyncUnlessClosing(const std::function<void()>& fn);
    // `fn` with its boxes kept, in the window thread.
    void KeepingBoxes(const std::function<void()>& fn);
    // Polls `busy` in the window thread every PollMs until it is false or the
    // script stops; with `untilClosing` only the program's close ends the wait.
    void WaitWhile(const std::function<bool()>& busy, bool untilClosing = false);
    // Waits while the scan thread parks on its own (its lines or frame done);
    // given up at close, and on a stop unless `evenIfStopped`.
    void WaitScanParked(bool evenIfStopped);

    TInOutForm& link_;
    TDeviceWorkers& workers_;
    const std::atomic<bool>* stopRequested_ = nullptr;
    const std::atomic<bool>* running_ = nullptr;
    const std::atomic<bool>* terminating_ = nullptr;
    // GoToXYPhys's abort: the stop flag, or this when none was given.
    std::atomic<bool> never_{false};
    std::mutex boxMutex_;
    QStringList boxTexts_;
};

// ---- window thread: the controls by name ---------------------------------------------------------
// The first widget named `name`: a top-level window, else a widget inside one.
QWidget* FindScriptWindow(const QString& name);
// The first object named `name` inside `window` (widgets, menus, actions).
QObject* FindScriptControl(QWidget* window, const QString& name);
// Sets the control as the operator would and runs its handler; a ControlResult.
int SetScriptControl(QWidget* window, QObject* control, const QString& text);
int GetScriptControl(QObject* control, QString& text);

} // namespace qvt
