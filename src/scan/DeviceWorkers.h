#pragma once
// The device window's workers: the move engine, the joystick, display and
// scan threads, the stepper, the approach and the power saver. They all talk
// to the controller through the device window, so they are made once it
// exists and go before it: FormCreate after the device window's FormCreate,
// FormDestroy before its FormDestroy. Every worker is stopped and joined
// before what it uses is freed.

#include <QObject>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

namespace qvt {

class TInOutForm;
class TMoveEngine;
class TGoJoyThread;
class TGoXYThread;
class TFastScanThread;
class TShowThread;
class TApproach;
class TPowerSaver;
class TWindowApproachHost;
class IStickSlipDrive;
class TStepper;

class TDeviceWorkers : public QObject {
    Q_OBJECT

public:
    explicit TDeviceWorkers(TInOutForm& link, QObject* parent = nullptr);
    ~TDeviceWorkers();
    TDeviceWorkers(const TDeviceWorkers&) = delete;
    TDeviceWorkers& operator=(const TDeviceWorkers&) = delete;

    // Once the device window has opened the link (nothing when it failed):
    // the stepper (the controller type is known now), the laser, the scan's tick.
    void FormCreate();
    // Motors and laser off while the link is still there, the z counter
    // stored, every thread stopped and joined.
    void FormDestroy();

    TInOutForm& Link() const { return link_; }

    // ---- tip moves -------------------------------------------------------------------
    TMoveEngine& Moves();
    TGoJoyThread& GoJoyThread();
    // Moves to raw X/Y and waits until the outputs are there; returns the last
    // distance tested. Off the window thread only `abort` ends the wait early.
    int64_t GoToXYRaw(int64_t x, int64_t y, const std::atomic<bool>* abort = nullptr);
    // Physical X/Y (offset not applied) to raw, limited, then GoToXYRaw.
    int64_t GoToXYPhys(double x, double y, const std::atomic<bool>* abort = nullptr);
    void SyncXYPosition();
    // Physical X/Y of the move state (raw times the DAC3/DAC4 factor).
    void GetTipPosition(double& x, double& y);
    void ResetGoXY();
    // The lift height in Z units; returns the value as quantised.
    double SetFlyHeight(double value);
    // 0 plain, 1 lift pass after every line, 2 constant height.
    void SetScanMode(int32_t mode);
    // Joystick velocities (256 = MaxStep per 10 ms); all 0 parks the thread.
    void StartJoyMove(int32_t vx, int32_t vy, int32_t vz);
    // The raw pair of the last GetTipPosition.
    std::atomic<int32_t> TipRawX{0};
    std::atomic<int32_t> TipRawY{0};

    // ---- the scan --------------------------------------------------------------------
    TGoXYThread& GoXYThread();
    TShowThread& ShowThread();
    // The Scan button's start: plans the frame and resumes the scan thread;
    // false when the geometry refused it.
    bool StartScan();
    // Plans the frame from the scan parameters (every parameter change).
    bool PrepareScan();
    // True when a scan was running; it has stopped within the wait.
    bool PauseScan();
    // The fast scan: the Scan button starts it instead of the move-by-move
    // scan while FastModeOn (the main window's Fast button) says so.
    TFastScanThread& FastScanThread();
    std::function<bool()> FastModeOn;
    static constexpr int FastStopWaitMs = 2000;

    // ---- approach, retract and power saver -------------------------------------------
    // Mode 1: step by step; any other: full approach with the piezo retracted
    // during the coarse steps.
    void AutoApproach(int mode);
    void RetractZ();
    void EngageZ();
    void CoarseRetract();
    // The operator's stop of the motion under way, and the wait for its end
    // (no event is delivered meanwhile).
    void StopMotion();
    void WaitForMotion();
    // Motions started from the windows go on from the event loop (the
    // program's assembly sets it; without it they end before they return).
    void RunMotionsOnEventLoop();
    bool MotionsOnEventLoop() const;
    // Each tick of the step timer Timer2.
    void schTimer();
    // Forwards to the stepper's laser switch.
    void SetLaser(bool on);
    // The laser's state as last switched (off without a stepper).
    bool LaserOn() const;
    // The scan parameter window's status timer calls it every 100 ms.
    void PowerSaverTick();
    void PowerDown();
    void PowerUp();
    TApproach& Approach();
    TPowerSaver& PowerSaver();

private:
    void FreeStepper();

    TInOutForm& link_;
    std::unique_ptr<TMoveEngine> moves_;
    // Stopped and joined before the engine and the link it uses go.
    std::unique_ptr<TGoJoyThread> goJoy_;
    // The display thread, then the scan thread that tells it its lines; both
    // go before the move engine they use.
    std::unique_ptr<TShowThread> show_;
    std::unique_ptr<TGoXYThread> goXY_;
    std::unique_ptr<TFastScanThread> fast_;
    // Wakes the display thread and completes pauses while the scan runs.
    // Timer2, the waits and cursors of the motions; the motions; the power saver.
    std::unique_ptr<TWindowApproachHost> approachHost_;
    std::unique_ptr<TApproach> approach_;
    std::unique_ptr<TPowerSaver> powerSaver_;
    // The scan piezo as stick-slip drive of the stepper, over the scan thread.
    std::unique_ptr<IStickSlipDrive> stickSlip_;
    // The program-wide Stepper these workers made (FormCreate) and free.
    TStepper* stepper_ = nullptr;
};

extern TDeviceWorkers* DeviceWorkers;

} // namespace qvt
