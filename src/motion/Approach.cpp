#include "motion/Approach.h"

#include "core/IniFile.h"
#include "core/SharedState.h"
#include "device/ChannelTable.h"
#include "device/InOutForm.h"
#include "motion/Stepper.h"
#include "platform/MessageBoxes.h"
#include "platform/WindowThread.h"
#include "protocol/ControlCodes.h"

#include <QCoreApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace qvt {

namespace {

constexpr int DefaultAppSteps = 1;
constexpr int DefaultRetSteps = 1;
constexpr int DefaultFastZ = 20;
constexpr int DefaultApproachDeadTime = 2;

} // namespace

TZThresholds ZThresholdsFor(int32_t minRaw, int32_t maxRaw)
{
    // In 64 bits: a range of the full 32-bit span must not wrap.
    const int64_t span = int64_t(maxRaw) - minRaw;
    TZThresholds t;
    t.Upper = static_cast<int32_t>(maxRaw - span / 10);
    t.Lower = static_cast<int32_t>(minRaw + span / 10);
    t.RetractTarget = static_cast<int32_t>(minRaw + span / 100);
    return t;
}

TApproach::TApproach(TInOutForm& link, IApproachHost& host) : link_(link), host_(host) {}

int TApproach::ReadSetting(const char* section, const char* key, int def) const
{
    return MainIni ? MainIni->ReadInteger(section, key, def) : def;
}

TZThresholds TApproach::Thresholds() const
{
    const TIOScale& z = ChannelTable[SlotZ];
    return ZThresholdsFor(z.MinRaw.load(), z.MaxRaw.load());
}

// ---- tests of the instrument --------------------------------------------------------

bool TApproach::ContactTest()
{
    int positive = 0;
    for (int i = 0; i < ContactReadings; ++i) {
        int32_t reading = 0;
        if (!link_.Ioctl(IOCTL_READ_CONTACT, nullptr, 0, &reading, sizeof reading))
            continue;
        // A USB box reports contact with the opposite sign.
        const int64_t value = link_.UsbBox == 1 ? -int64_t(reading) : int64_t(reading);
        positive += value > 0;
    }
    if (positive >= ContactMinPositive)
        ApproachState |= ApproachContact;
    return ApproachState == ApproachContact;
}

bool TApproach::ZAtEnd()
{
    const TZThresholds t = Thresholds();
    const int32_t z = link_.ReadReg(ReadAddrZ);
    return link_.RetractFlag.load() ? z < t.Lower : z > t.Upper;
}

// ---- the re-entry guard ------------------------------------------------------------------

void TApproach::AutoApproach(int mode)
{
    Run(Command::Approach, mode);
}

void TApproach::RetractZ()
{
    Run(Command::Retract, 0);
}

void TApproach::CoarseRetract()
{
    Run(Command::CoarseRetract, 0);
}

void TApproach::Run(Command what, int mode)
{
    if (what == Command::CoarseRetract && retracting_ > 0)
        return; // a retract is under way already
    if (busy_) {
        // Called from inside a wait of the running motion: stop that one and
        // carry this one out when it has unwound. Clearing AbortFlag here
        // would make the running approach go on once this returned.
        AbortFlag = true;
        deferred_ = Deferred{what, mode};
        return;
    }
    busy_ = true;
    Execute(what, mode);
    while (deferred_) {
        const Deferred next = *deferred_;
        deferred_.reset();
        // The abort was meant for the motion that has just ended.
        AbortFlag = false;
        Execute(next.What, next.Mode);
    }
    busy_ = false;
}

void TApproach::Execute(Command what, int mode)
{
    switch (what) {
    case Command::Approach:
        DoApproach(mode);
        break;
    case Command::Retract:
        DoRetract();
        break;
    case Command::CoarseRetract:
        DoCoarseRetract();
        break;
    }
}

// ---- the motions ---------------------------------------------------------------------------

int32_t TApproach::SettledState()
{
    const TZThresholds t = Thresholds();
    const TIOScale& zScale = ChannelTable[SlotZ];
    const int64_t span = int64_t(zScale.MaxRaw.load()) - zScale.MinRaw.load();
    const int64_t tolerance = std::max<int64_t>(1, span / ZSettleFraction);
    int64_t reference = link_.ReadReg(ReadAddrZ);
    int quiet = 0;
    for (int pass = 0;; ++pass) {
        if (AbortFlag.load())
            return ApproachAborted;
        const int64_t z = link_.ReadReg(ReadAddrZ);
        if (std::llabs(z - reference) > tolerance) {
            reference = z;
            quiet = 0;
        } else {
            ++quiet;
        }
        if (quiet >= ZSettlePasses || pass >= ZSettleMaxPasses) {
            ApproachState = 0;
            ContactTest();
            const bool contact = (ApproachState & ApproachContact) != 0;
            if (ZAtEnd())
                return ApproachZAtEnd | (contact ? ApproachContact : 0);
            if (contact && z >= t.Lower && z <= t.Upper)
                return ApproachContact;
            return ApproachStalled;
        }
        host_.WaitPass(TWaitFor::Instrument);
    }
}

void TApproach::DoApproach(int mode)
{
    const bool stepwise = mode == 1;
    host_.ShowCursor(stepwise ? TMotionCursor::StepApproach : TMotionCursor::FullApproach);
    AbortFlag = false;
    if (stepwise && link_.RetractFlag.load()) {
        // Step by step relies on the engaged loop to find the surface; with
        // the piezo held back it would step blind into the sample.
        link_.RetractFlag = false;
        link_.UpdateFeedback();
    }
    // A Z still on its way (just engaged, say) is judged where it comes to rest.
    ApproachState = SettledState();

    // Only a Z at the end of its range needs coarse steps: a tip already in
    // range is left where it is.
    while ((ApproachState & ~ApproachContact) == ApproachZAtEnd) {
        // In contact above the working range, a step with the loop engaged
        // would push the sample into the tip: step with the piezo retracted.
        const bool retract = !stepwise || (ApproachState & ApproachContact) != 0;
        ApproachState = 0;
        if (retract) {
            link_.RetractFlag = true;
            link_.UpdateFeedback();
            while (!ZAtEnd() && !AbortFlag.load())
                host_.WaitPass(TWaitFor::Instrument);
        }

        if (!AbortFlag.load()) {
            // A negative count would step away while the loop engages.
            PendingSteps = stepwise ? 1 : std::max(0, ReadSetting("Stepper", "AppSteps", DefaultAppSteps));
            host_.StartStepTimer(std::max(1, ReadSetting("Coarse", "FastZ", DefaultFastZ)));
            while (PendingSteps > 0 && !AbortFlag.load())
                host_.WaitPass(TWaitFor::StepTimer);
            // Stopped: no step may follow the operator's Esc.
            if (AbortFlag.load())
                StopSteps();
        }
        if (!AbortFlag.load())
            link_.DelayUs(std::max(0, ReadSetting("FeedPara", "ApproachDeadTime", DefaultApproachDeadTime)));
        if (retract) {
            link_.RetractFlag = false;
            link_.UpdateFeedback();
        }
        ApproachState = SettledState();
    }

    if (CoarseStepper)
        CoarseStepper->PowerOff();
    host_.Beep();
    host_.RestoreCursor();
    // Approached only in contact with Z inside its working range.
    MicroscopeState.ZState = ApproachState == ApproachContact ? ZApproached : ZCoarseRetracted;
}

void TApproach::DoRetract()
{
    ++retracting_;
    host_.ShowCursor(TMotionCursor::Retract);
    const int32_t target = Thresholds().RetractTarget;
    link_.RetractFlag = true;
    link_.UpdateFeedback();
    host_.SleepMs(RetractSettleMs);
    AbortFlag = false;
    for (;;) {
        bool ok = false;
        const int32_t z = link_.ReadReg(ReadAddrZ, ok);
        // A controller that does not answer will not come down either.
        if (!ok || z <= target || AbortFlag.load())
            break;
        host_.WaitPass(TWaitFor::Instrument);
    }
    MicroscopeState.ZState = ZPiezoRetracted;
    host_.RestoreCursor();
    --retracting_;
}

void TApproach::EngageZ()
{
    link_.RetractFlag = false;
    link_.UpdateFeedback();
    MicroscopeState.ZState = ZApproached;
}

void TApproach::DoCoarseRetract()
{
    ++retracting_;
    host_.ShowCursor(TMotionCursor::Retract);
    DoRetract();
    host_.SleepMs(RetractSettleMs);
    if (CoarseStepper)
        CoarseStepper->PowerOn();
    // A negative count would make the timer step toward the sample.
    PendingSteps = -std::max(0, ReadSetting("Stepper", "RetSteps", DefaultRetSteps));
    host_.StartStepTimer(std::max(1, ReadSetting("Coarse", "FastZ", DefaultFastZ)));
    while (PendingSteps < 0 && !AbortFlag.load())
        host_.WaitPass(TWaitFor::StepTimer);
    if (AbortFlag.load())
        StopSteps();
    EngageZ();
    link_.RetractFlag = false;
    link_.UpdateFeedback();
    if (CoarseStepper)
        CoarseStepper->PowerOff();
    host_.RestoreCursor();
    MicroscopeState.ZState = ZCoarseRetracted;
    --retracting_;
}

void TApproach::StopSteps()
{
    host_.StopStepTimer();
    PendingSteps = 0;
}

void TApproach::StepTimerTick()
{
    if (PendingSteps < 0) {
        if (CoarseStepper)
            CoarseStepper->StepUp();
        ++PendingSteps;
    } else if (PendingSteps > 0) {
        if (CoarseStepper)
            CoarseStepper->StepDown();
        --PendingSteps;
    }
    if (PendingSteps == 0)
        host_.StopStepTimer();
}

// ---- the device window's host ------------------------------------------------------------

TWindowApproachHost::TWindowApproachHost(TInOutForm& link, std::function<void()> tick)
    : link_(link), timer_(std::make_unique<QTimer>())
{
    QObject::connect(timer_.get(), &QTimer::timeout, timer_.get(), std::move(tick));
}

TWindowApproachHost::~TWindowApproachHost()
{
    while (!shown_.empty())
        RestoreCursor();
}

void TWindowApproachHost::WaitPass(TWaitFor what)
{
    if (QCoreApplication::instance() != nullptr && IsWindowThread())
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    if (what == TWaitFor::Instrument)
        link_.DelayUs(WaitPassUs);
    else
        std::this_thread::sleep_for(std::chrono::microseconds(WaitPassUs));
}

void TWindowApproachHost::SleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void TWindowApproachHost::StartStepTimer(int intervalMs)
{
    timer_->start(intervalMs);
}

void TWindowApproachHost::StopStepTimer()
{
    timer_->stop();
}

bool TWindowApproachHost::StepTimerRunning() const
{
    return timer_->isActive();
}

void TWindowApproachHost::ShowCursor(TMotionCursor cursor)
{
    const bool gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr && IsWindowThread();
    if (gui) {
        // The program's own approach cursors come with the main window's
        // start-up; until then the busy shape stands in for both.
        QGuiApplication::setOverrideCursor(
            QCursor(cursor == TMotionCursor::Retract ? Qt::SizeVerCursor : Qt::BusyCursor));
    }
    shown_.push_back(gui);
}

void TWindowApproachHost::RestoreCursor()
{
    if (shown_.empty())
        return;
    if (shown_.back())
        QGuiApplication::restoreOverrideCursor();
    shown_.pop_back();
}

void TWindowApproachHost::Beep()
{
    qvt::Beep();
}

} // namespace qvt
