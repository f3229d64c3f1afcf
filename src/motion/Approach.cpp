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
// Bandwidth (Hz) per unit of the integral gain word, at a loop gain of one Z
// digit per input digit; one controller tick is 1 / 39062.5 s.
constexpr double KiBandwidthHz = 0.0203;
// The family bits of the record's control word (0: the loop holds Z).
constexpr int32_t ModeFamilyMask = 0xF000;

} // namespace

const char* ApproachFailureText(TApproachEnd end)
{
    switch (end) {
    case TApproachEnd::OutOfReach:
        return "Approach failed: the surface is out of reach.";
    case TApproachEnd::WrongPolarity:
        return "Approach failed: Z went to the wrong end of its range. Check the feedback polarity.";
    case TApproachEnd::Stalled:
        return "Approach failed: Z came to rest without contact.";
    default:
        return "";
    }
}

int ZSettleWindowPasses(int64_t integralGain)
{
    if (integralGain <= 0)
        return ZSettlePasses; // the loop does not move Z
    // One time constant, in passes of a millisecond.
    const double tauMs = 1000.0 / (2.0 * 3.14159265358979323846 * KiBandwidthHz * double(integralGain));
    const double window = std::ceil(ZSettleTimeConstants * tauMs);
    return static_cast<int>(std::clamp(window, double(ZSettlePasses), 1.0e6));
}

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

int32_t TApproach::SettledState(bool* topRail)
{
    const TZThresholds t = Thresholds();
    const TIOScale& zScale = ChannelTable[SlotZ];
    const int64_t span = int64_t(zScale.MaxRaw.load()) - zScale.MinRaw.load();
    const int64_t tolerance = std::max<int64_t>(1, span / ZSettleFraction);
    // The integral part of the gain the loop runs with now: the window must
    // see a Z that it still moves, however small the gain.
    int64_t ki = 0;
    {
        std::lock_guard lock(link_.FeedbackState.Mutex);
        const TFeedbackRecord& sent = link_.FeedbackState.Sent;
        const bool regulating = (sent.ControlWord & ModeFamilyMask) != FbWordHold && (sent.ControlWord & FbWordRetract) == 0;
        if (regulating)
            ki = -int64_t(sent.IntegralGain) - sent.ProportionalGain;
    }
    const int window = ZSettleWindowPasses(ki);
    // A Z the window still sees moving has crossed its whole range within
    // this many windows; one that has not come to rest by then rings.
    const int64_t giveUp = std::max<int64_t>(ZSettleMinGiveUpPasses, int64_t(window) * ZSettleFraction);
    int64_t reference = link_.ReadReg(ReadAddrZ);
    int quiet = 0;
    for (int64_t pass = 0;; ++pass) {
        if (AbortFlag.load())
            return ApproachAborted;
        const int64_t z = link_.ReadReg(ReadAddrZ);
        if (std::llabs(z - reference) > tolerance) {
            reference = z;
            quiet = 0;
        } else {
            ++quiet;
        }
        if (quiet >= window || pass >= giveUp) {
            if (topRail != nullptr)
                *topRail = z >= int64_t(zScale.MaxRaw.load()) - tolerance;
            ApproachState = 0;
            ContactTest();
            const bool contact = (ApproachState & ApproachContact) != 0;
            if (ZAtEnd())
                return ApproachZAtEnd | (contact ? ApproachContact : 0);
            if (contact && z >= t.Lower && z <= t.Upper)
                return ApproachContact;
            // Engaged, at the bottom without contact: the loop drove Z away
            // from a sample it never felt.
            if (!contact && z < t.Lower && ki > 0 && !link_.RetractFlag.load())
                return ApproachStalled | ApproachWrongRail;
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
    lastEnd_ = TApproachEnd::None;
    if (stepwise && link_.RetractFlag.load()) {
        // Step by step relies on the engaged loop to find the surface; with
        // the piezo held back it would step blind into the sample.
        link_.RetractFlag = false;
        link_.UpdateFeedback();
    }
    const int budget = std::max(0, ReadSetting("Stepper", "AppMaxSteps", DefaultAppMaxSteps));
    int stepsMade = 0;
    // A Z still on its way (just engaged, say) is judged where it comes to rest.
    bool topRail = false;
    ApproachState = SettledState(&topRail);
    bool pressedBefore = false; // the last rest was on the top rail in contact too

    // Only a Z at the end of its range needs coarse steps: a tip already in
    // range is left where it is.
    while ((ApproachState & ~ApproachContact) == ApproachZAtEnd) {
        const bool contact = (ApproachState & ApproachContact) != 0;
        // Pressed into the sample on the top rail once more after a step
        // brought it closer: the loop pushes instead of holding the setpoint.
        const bool pressed = contact && topRail;
        if (pressed && pressedBefore) {
            Finish(TApproachEnd::WrongPolarity, ApproachState);
            return;
        }
        pressedBefore = pressed;
        if (stepsMade >= budget) {
            Finish(TApproachEnd::OutOfReach, ApproachState);
            return;
        }
        // In contact above the working range, a step with the loop engaged
        // would push the sample into the tip: step with the piezo retracted.
        const bool retract = !stepwise || contact;
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
            stepsMade += PendingSteps;
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
        ApproachState = SettledState(&topRail);
    }

    if (ApproachState == ApproachContact)
        Finish(TApproachEnd::Approached, ApproachState);
    else if (ApproachState & ApproachAborted)
        Finish(TApproachEnd::Aborted, ApproachState);
    else if (ApproachState & ApproachWrongRail)
        Finish(TApproachEnd::WrongPolarity, ApproachStalled);
    else
        Finish(TApproachEnd::Stalled, ApproachState);
}

void TApproach::Finish(TApproachEnd end, int32_t state)
{
    ApproachState = state;
    lastEnd_ = end;
    if (CoarseStepper)
        CoarseStepper->PowerOff();
    host_.Beep();
    host_.RestoreCursor();
    // Approached only in contact with Z inside its working range.
    MicroscopeState.ZState = end == TApproachEnd::Approached ? ZApproached : ZCoarseRetracted;
    // A failure says why, once; a stop by the operator needs no word.
    if (const char* text = ApproachFailureText(end); *text != 0)
        ShowMessage(MsgKind::Warning, text);
}

const char* TApproach::StatusText() const
{
    // Only while Z is where the failed approach left it.
    if (MicroscopeState.ZState.load() != ZCoarseRetracted)
        return "";
    return ApproachFailureText(lastEnd_);
}

void TApproach::DoRetract()
{
    ++retracting_;
    lastEnd_ = TApproachEnd::None;
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
    lastEnd_ = TApproachEnd::None;
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
