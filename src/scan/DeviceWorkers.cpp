#include "scan/DeviceWorkers.h"

#include "core/IniFile.h"
#include "core/NumberText.h"
#include "core/SharedState.h"
#include "device/ChannelTable.h"
#include "device/InOutForm.h"
#include "motion/Approach.h"
#include "motion/GoJoyThread.h"
#include "motion/MoveEngine.h"
#include "motion/PowerSaver.h"
#include "motion/Stepper.h"
#include "scan/FastScanThread.h"
#include "scan/GoXYThread.h"
#include "scan/ShowThread.h"

#include <algorithm>
#include <cmath>

namespace qvt {

TDeviceWorkers* DeviceWorkers = nullptr;

namespace {

// The scan piezo as the stepper's stick-slip drive: shaken through the scan
// thread's move engine, and only while that thread is parked.
class TScanPiezoDrive final : public IStickSlipDrive {
public:
    TScanPiezoDrive(TGoXYThread& scan, TFastScanThread& fast) : scan_(scan), fast_(fast) {}
    bool XYScanSuspended() const override { return scan_.Suspended(); }
    bool FastScanSuspended() const override { return fast_.Suspended(); }
    void MoveStickSlip(int32_t moveSteps, int32_t x, int32_t y) override
    {
        scan_.Moves().MoveSteps = moveSteps;
        scan_.Moves().MoveToChecked(0, x, y);
    }

private:
    TGoXYThread& scan_;
    TFastScanThread& fast_;
};

} // namespace

TDeviceWorkers::TDeviceWorkers(TInOutForm& link, QObject* parent)
    : QObject(parent), link_(link), moves_(std::make_unique<TMoveEngine>(link)),
      goJoy_(std::make_unique<TGoJoyThread>(link, *moves_)), show_(std::make_unique<TShowThread>()),
      goXY_(std::make_unique<TGoXYThread>(link, *moves_))
{
    goXY_->SetShowThread(show_.get());
    fast_ = std::make_unique<TFastScanThread>(link, *goXY_, *show_, ScanParams);
    approachHost_ = std::make_unique<TWindowApproachHost>(link, [this] { schTimer(); });
    approach_ = std::make_unique<TApproach>(link, *approachHost_);
    powerSaver_ = std::make_unique<TPowerSaver>(link, *approach_, *moves_, [this] { return goXY_->ScanActive(); });
    stickSlip_ = std::make_unique<TScanPiezoDrive>(*goXY_, *fast_);
    link.MoveTipTo = [this](int64_t x, int64_t y) { GoToXYRaw(x, y); };
    link.PositionSensors = [this] {
        TInOutForm::TPositionSensors s;
        s.On = goXY_->HardLinOn.load();
        s.ChannelX = goXY_->TrackChannelX.load();
        s.ChannelY = goXY_->TrackChannelY.load();
        s.KiGo = goXY_->KiGo.load();
        return s;
    };
    if (DeviceWorkers == nullptr)
        DeviceWorkers = this;
}

TDeviceWorkers::~TDeviceWorkers()
{
    // Without FormDestroy (workers that never finished their life): the
    // stepper still stores its z counter.
    FreeStepper();
    link_.MoveTipTo = nullptr;
    link_.PositionSensors = nullptr;
    // Every worker is joined before what it uses goes.
    fast_.reset();
    goXY_.reset();
    show_.reset();
    goJoy_.reset();
    if (DeviceWorkers == this)
        DeviceWorkers = nullptr;
}

void TDeviceWorkers::FormCreate()
{
    if (!link_.IsOpen())
        return;
    // The controller type is known now (the motor registers depend on it).
    FreeStepper();
    stepper_ = new TStepper(link_, MainIni);
    Stepper = stepper_;
    stepper_->StickSlip = stickSlip_.get();
    approach_->CoarseStepper = stepper_;
    SetLaser(true);
}

void TDeviceWorkers::FormDestroy()
{
    // The motors and the laser go off while the link is still there; the
    // stepper stores its z counter while the settings still exist. A motion
    // still under way ends with its next pass.
    StopMotion();
    WaitForMotion();
    approachHost_->StopStepTimer();
    if (stepper_ != nullptr) {
        stepper_->PowerOff();
        SetLaser(false);
    }
    FreeStepper();
    fast_->Terminate();
    goXY_->Terminate();
    show_->Terminate();
    goJoy_->Terminate();
}

void TDeviceWorkers::FreeStepper()
{
    if (stepper_ == nullptr)
        return;
    approach_->CoarseStepper = nullptr;
    if (Stepper == stepper_)
        Stepper = nullptr;
    delete stepper_; // stores zCoarsePos
    stepper_ = nullptr;
}

// ---- tip moves ----------------------------------------------------------------------

TMoveEngine& TDeviceWorkers::Moves()
{
    return *moves_;
}

TGoJoyThread& TDeviceWorkers::GoJoyThread()
{
    return *goJoy_;
}

int64_t TDeviceWorkers::GoToXYRaw(int64_t x, int64_t y, const std::atomic<bool>* abort)
{
    return moves_->GoTo(x, y, abort);
}

int64_t TDeviceWorkers::GoToXYPhys(double x, double y, const std::atomic<bool>* abort)
{
    auto toRaw = [](double v, const TIOScale& scale) {
        double raw = Round(v / double(scale.Factor.load()));
        if (std::isnan(raw))
            raw = 0.0;
        raw = std::min(raw, double(scale.MaxRaw.load()));
        return static_cast<int64_t>(std::max(raw, double(scale.MinRaw.load())));
    };
    return GoToXYRaw(toRaw(x, ChannelTable[SlotX]), toRaw(y, ChannelTable[SlotY]), abort);
}

void TDeviceWorkers::SyncXYPosition()
{
    moves_->Sync();
}

void TDeviceWorkers::GetTipPosition(double& x, double& y)
{
    int32_t rawX = 0;
    int32_t rawY = 0;
    moves_->Position(rawX, rawY);
    TipRawX = rawX;
    TipRawY = rawY;
    x = rawX * double(ChannelTable[SlotX].Factor.load());
    y = rawY * double(ChannelTable[SlotY].Factor.load());
}

void TDeviceWorkers::ResetGoXY()
{
    moves_->MaxStep = ResetMaxStep;
    moves_->Reset(0, 0);
}

double TDeviceWorkers::SetFlyHeight(double value)
{
    const TIOScale& z = ChannelTable[SlotZ];
    const double factor = z.Factor.load();
    double raw = Round(value / factor);
    if (std::isnan(raw))
        return moves_->FlyHeightRaw.load() * factor;
    // The lift rides on the recorded Z: one beyond Z's whole span could never
    // be run, so it is kept at the span.
    const double span = std::clamp(double(z.MaxRaw.load()) - z.MinRaw.load(), 0.0, double(FlyHeightLimit));
    raw = std::clamp(raw, -span, span);
    moves_->FlyHeightRaw = static_cast<int32_t>(raw);
    return raw * factor;
}

void TDeviceWorkers::SetScanMode(int32_t mode)
{
    moves_->SetScanMode(mode);
}

void TDeviceWorkers::StartJoyMove(int32_t vx, int32_t vy, int32_t vz)
{
    goJoy_->Start(vx, vy, vz);
}

// ---- the scan -----------------------------------------------------------------------

TGoXYThread& TDeviceWorkers::GoXYThread()
{
    return *goXY_;
}

TShowThread& TDeviceWorkers::ShowThread()
{
    return *show_;
}

bool TDeviceWorkers::StartScan()
{
    if (FastModeOn && FastModeOn() && fast_->Available()) {
        fast_->Start();
        return true;
    }
    return goXY_->StartScan();
}

TFastScanThread& TDeviceWorkers::FastScanThread()
{
    return *fast_;
}

bool TDeviceWorkers::PrepareScan()
{
    const bool ok = goXY_->PrepareScan();
    // In fast mode the controller's generator scans: it must follow the new
    // parameters as the move-by-move scan does.
    if (FastModeOn && FastModeOn() && fast_->Available())
        fast_->Prepare();
    return ok;
}

bool TDeviceWorkers::PauseScan()
{
    if (!fast_->Suspended()) {
        // The stream stops with the module's request; the thread parks at
        // its next empty read (a frame hand-over under way gives up meanwhile).
        fast_->Stop();
        fast_->WaitSuspended(FastStopWaitMs);
        return true;
    }
    return goXY_->PauseScan();
}

// ---- approach, retract and power saver ------------------------------------------------

void TDeviceWorkers::AutoApproach(int mode)
{
    approach_->AutoApproach(mode);
}

void TDeviceWorkers::RetractZ()
{
    approach_->RetractZ();
}

void TDeviceWorkers::EngageZ()
{
    approach_->EngageZ();
}

void TDeviceWorkers::CoarseRetract()
{
    approach_->CoarseRetract();
}

void TDeviceWorkers::StopMotion()
{
    approach_->Stop();
}

void TDeviceWorkers::WaitForMotion()
{
    approach_->Wait();
}

void TDeviceWorkers::RunMotionsOnEventLoop()
{
    approachHost_->RunOnEventLoop = true;
}

bool TDeviceWorkers::MotionsOnEventLoop() const
{
    return approachHost_->RunOnEventLoop;
}

void TDeviceWorkers::schTimer()
{
    approach_->StepTimerTick();
}

void TDeviceWorkers::SetLaser(bool on)
{
    if (stepper_ != nullptr)
        stepper_->SetLaser(on);
}

bool TDeviceWorkers::LaserOn() const
{
    return stepper_ != nullptr && stepper_->GetLaserOn();
}

void TDeviceWorkers::PowerSaverTick()
{
    powerSaver_->Tick();
}

void TDeviceWorkers::PowerDown()
{
    powerSaver_->PowerDown();
}

void TDeviceWorkers::PowerUp()
{
    powerSaver_->PowerUp();
}

TApproach& TDeviceWorkers::Approach()
{
    return *approach_;
}

TPowerSaver& TDeviceWorkers::PowerSaver()
{
    return *powerSaver_;
}

} // namespace qvt
