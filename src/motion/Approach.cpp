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
#include <cstdio>
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

bool TApproach::ContactSample(int readings)
{
    int positive = 0;
    for (int i = 0; i < readings; ++i) {
        int32_t reading = 0;
        if (!link_.Ioctl(IOCTL_READ_CONTACT, nullptr, 0, &reading, sizeof reading))
            continue;
        // A USB box reports contact with the opposite sign.
        const int64_t value = link_.Caps.Usb() ? -int64_t(reading) : int64_t(reading);
        positive += value > 0;
    }
    return positive * ContactReadings >= ContactMinPositive * readings;
}

bool TApproach::ContactTest()
{
    if (ContactSample(ContactReadings))
        ApproachState |= ApproachContact;
    return ApproachState == ApproachContact;
}

bool TApproach::ZAtEnd()
{
    const TZThresholds t = Thresholds();
    const int32_t z = link_.ReadReg(ReadAddrZ);
    return link_.RetractFlag.load() ? z < t.Lower : z > t.Upper;
}

// ---- commands and their passes ------------------------------------------------------------

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

void TApproach::Stop()
{
    if (busy_)
        stop_ = true;
}

void TApproach::Wait()
{
    while (busy_) {
        host_.WaitPass(waitFor_);
        Advance();
    }
}

void TApproach::WhenIdle(std::function<void()> then)
{
    if (!busy_) {
        then();
        return;
    }
    whenIdle_.push_back(std::move(then));
}

void TApproach::Run(Command what, int mode)
{
    if (what == Command::CoarseRetract && retracting_ > 0)
        return; // a retract is under way already
    if (busy_) {
        // Another motion runs: it stops at its next pass, and this one
        // follows once it has ended.
        stop_ = true;
        deferred_ = Deferred{what, mode};
        return;
    }
    busy_ = true;
    stop_ = false;
    Start(what, mode);
    Advance();
    if (!busy_)
        return;
    // On a host with an event loop the passes run from it, one a turn, so
    // whatever arrives meanwhile is handled between two passes.
    if (host_.StartPasses([this] { return LoopPass(); })) {
        onLoop_ = true;
        return;
    }
    Wait();
}

TWaitFor TApproach::LoopPass()
{
    Advance();
    return waitFor_;
}

void TApproach::Start(Command what, int mode)
{
    switch (what) {
    case Command::Approach:
        StartApproach(mode);
        break;
    case Command::Retract:
        StartRetract(false);
        break;
    case Command::CoarseRetract:
        ++retracting_;
        lastEnd_ = TApproachEnd::None;
        host_.ShowCursor(TMotionCursor::Retract);
        StartRetract(true);
        break;
    }
}

void TApproach::Advance()
{
    while (busy_) {
        switch (phase_) {
        case Phase::Idle:
            Done();
            break;
        case Phase::Settle: {
            const std::optional<int32_t> state = SettlePass();
            if (!state)
                return;
            Settled(*state);
            break;
        }
        case Phase::ApproachRetract:
            if (!ZAtEnd() && !stop_)
                return;
            StepToward();
            break;
        case Phase::ApproachSteps:
            if (PendingSteps > 0 && !stop_)
                return;
            // Stopped: no step may follow the operator's Esc.
            if (stop_)
                StopSteps();
            Engage();
            break;
        case Phase::RetractDown: {
            bool ok = false;
            const int32_t z = link_.ReadReg(ReadAddrZ, ok);
            // A controller that does not answer will not come down either.
            if (ok && z > retractTarget_ && !stop_)
                return;
            EndRetract();
            break;
        }
        case Phase::CoarseSteps:
            if (PendingSteps < 0 && !stop_)
                return;
            if (stop_)
                StopSteps();
            EndCoarseRetract();
            break;
        }
    }
}

void TApproach::WaitIn(Phase phase, TWaitFor what)
{
    phase_ = phase;
    waitFor_ = what;
}

void TApproach::Done()
{
    phase_ = Phase::Idle;
    if (deferred_) {
        const Deferred next = *deferred_;
        deferred_.reset();
        // The stop was meant for the motion that has just ended.
        stop_ = false;
        Start(next.What, next.Mode);
        return;
    }
    busy_ = false;
    stop_ = false;
    if (onLoop_) {
        onLoop_ = false;
        host_.StopPasses();
    }
    // What waited for the end runs now; it may start the next motion.
    std::vector<std::function<void()>> then;
    then.swap(whenIdle_);
    for (auto& f : then)
        f();
}

// ---- the motions ---------------------------------------------------------------------------

void TApproach::BeginSettle()
{
    const TIOScale& zScale = ChannelTable[SlotZ];
    const int64_t span = int64_t(zScale.MaxRaw.load()) - zScale.MinRaw.load();
    settle_.Tolerance = std::max<int64_t>(1, span / ZSettleFraction);
    // The integral part of the gain the loop runs with now: the window must
    // see a Z that it still moves, however small the gain.
    settle_.Ki = 0;
    {
        std::lock_guard lock(link_.FeedbackState.Mutex);
        const TFeedbackRecord& sent = link_.FeedbackState.Sent;
        const bool regulating =
            (sent.ControlWord & ModeFamilyMask) != FbWordHold && (sent.ControlWord & FbWordRetract) == 0;
        if (regulating)
            settle_.Ki = -int64_t(sent.IntegralGain) - sent.ProportionalGain;
    }
    settle_.Window = ZSettleWindowPasses(settle_.Ki);
    // A Z the window still sees moving has crossed its whole range within
    // this many windows; one that has not come to rest by then rings.
    settle_.GiveUp = std::max<int64_t>(ZSettleMinGiveUpPasses, int64_t(settle_.Window) * ZSettleFraction);
    settle_.Reference = link_.ReadReg(ReadAddrZ);
    settle_.Quiet = 0;
    settle_.Pass = 0;
    // Only a loop that moves Z can drive the tip into the sample.
    watch_ = PressWatch{};
    watch_.On = settle_.Ki > 0;
    WaitIn(Phase::Settle, TWaitFor::Instrument);
}

bool TApproach::Presses(int64_t z)
{
    PressWatch& w = watch_;
    const int64_t pass = settle_.Pass;
    if (!ContactSample(WatchContactReadings)) {
        if (!w.Free) {
            w.Free = true;
            w.FreeZ0 = z;
            w.FreePass0 = pass;
        }
        w.FreeZ = z;
        w.FreePass = pass;
        w.Touching = false;
        return false;
    }
    if (!w.Touching) {
        // A loop of the right sign slows down from here on; the pace it came
        // at is the most it may keep.
        w.Touching = true;
        const int64_t span = w.FreePass - w.FreePass0;
        if (w.Free && span >= WatchPacePasses)
            w.Pace = std::max({w.Pace, 0.0, double(w.FreeZ - w.FreeZ0) / double(span)});
        w.Free = false;
        w.TouchZ = z;
        w.TouchPass = pass;
        return false;
    }
    const int64_t since = pass - w.TouchPass;
    if (w.Pace < 0.0) {
        // In contact from the start: the loop's first passes set the pace.
        if (since < WatchPacePasses)
            return false;
        w.Pace = std::max(0.0, double(z - w.TouchZ) / double(since));
        w.TouchZ = z;
        w.TouchPass = pass;
        return false;
    }
    return double(z - w.TouchZ) > w.Pace * double(since) + double(settle_.Tolerance);
}

std::optional<int32_t> TApproach::SettlePass()
{
    if (stop_)
        return ApproachAborted;
    const int64_t z = link_.ReadReg(ReadAddrZ);
    if (watch_.On && Presses(z)) {
        // Every further pass would press harder: retract now, and hold it.
        link_.RetractFlag = true;
        link_.UpdateFeedback();
        return ApproachPressed | ApproachContact;
    }
    if (std::llabs(z - settle_.Reference) > settle_.Tolerance) {
        settle_.Reference = z;
        settle_.Quiet = 0;
    } else {
        ++settle_.Quiet;
    }
    if (settle_.Quiet < settle_.Window && settle_.Pass++ < settle_.GiveUp)
        return std::nullopt;
    const TZThresholds t = Thresholds();
    topRail_ = z >= int64_t(ChannelTable[SlotZ].MaxRaw.load()) - settle_.Tolerance;
    ApproachState = 0;
    ContactTest();
    const bool contact = (ApproachState & ApproachContact) != 0;
    if (ZAtEnd())
        return ApproachZAtEnd | (contact ? ApproachContact : 0);
    if (contact && z >= t.Lower && z <= t.Upper)
        return ApproachContact;
    // Engaged, at the bottom without contact: the loop drove Z away from a
    // sample it never felt.
    if (!contact && z < t.Lower && settle_.Ki > 0 && !link_.RetractFlag.load())
        return ApproachStalled | ApproachWrongRail;
    return ApproachStalled;
}

void TApproach::StartApproach(int mode)
{
    stepwise_ = mode == 1;
    host_.ShowCursor(stepwise_ ? TMotionCursor::StepApproach : TMotionCursor::FullApproach);
    lastEnd_ = TApproachEnd::None;
    if (stepwise_ && link_.RetractFlag.load()) {
        // Step by step relies on the engaged loop to find the surface; with
        // the piezo held back it would step blind into the sample.
        link_.RetractFlag = false;
        link_.UpdateFeedback();
    }
    budget_ = std::max(0, ReadSetting("Stepper", "AppMaxSteps", DefaultAppMaxSteps));
    stepsMade_ = 0;
    pressedBefore_ = false;
    // A Z still on its way (just engaged, say) is judged where it comes to rest.
    BeginSettle();
}

void TApproach::Settled(int32_t state)
{
    ApproachState = state;
    // Only a Z at the end of its range needs coarse steps: a tip already in
    // range is left where it is.
    if ((ApproachState & ~ApproachContact) != ApproachZAtEnd) {
        if (ApproachState == ApproachContact)
            Finish(TApproachEnd::Approached, ApproachState);
        else if (ApproachState & ApproachAborted)
            Finish(TApproachEnd::Aborted, ApproachState);
        else if (ApproachState & ApproachPressed)
            Finish(TApproachEnd::WrongPolarity, ApproachState);
        else if (ApproachState & ApproachWrongRail)
            Finish(TApproachEnd::WrongPolarity, ApproachStalled);
        else
            Finish(TApproachEnd::Stalled, ApproachState);
        return;
    }
    const bool contact = (ApproachState & ApproachContact) != 0;
    // Pressed into the sample on the top rail once more after a step brought
    // it closer: the loop pushes instead of holding the setpoint.
    const bool pressed = contact && topRail_;
    if (pressed && pressedBefore_) {
        Finish(TApproachEnd::WrongPolarity, ApproachState);
        return;
    }
    pressedBefore_ = pressed;
    if (stepsMade_ >= budget_) {
        Finish(TApproachEnd::OutOfReach, ApproachState);
        return;
    }
    // In contact above the working range, a step with the loop engaged would
    // push the sample into the tip: step with the piezo retracted.
    stepRetract_ = !stepwise_ || contact;
    ApproachState = 0;
    if (stepRetract_) {
        link_.RetractFlag = true;
        link_.UpdateFeedback();
        WaitIn(Phase::ApproachRetract, TWaitFor::Instrument);
        return;
    }
    StepToward();
}

void TApproach::StepToward()
{
    if (stop_) {
        Engage();
        return;
    }
    // A negative count would step away while the loop engages.
    PendingSteps = stepwise_ ? 1 : std::max(0, ReadSetting("Stepper", "AppSteps", DefaultAppSteps));
    stepsMade_ += PendingSteps;
    host_.StartStepTimer(std::max(1, ReadSetting("Coarse", "FastZ", DefaultFastZ)));
    WaitIn(Phase::ApproachSteps, TWaitFor::StepTimer);
}

void TApproach::Engage()
{
    if (!stop_)
        link_.DelayUs(std::max(0, ReadSetting("FeedPara", "ApproachDeadTime", DefaultApproachDeadTime)));
    if (stepRetract_) {
        link_.RetractFlag = false;
        link_.UpdateFeedback();
    }
    BeginSettle();
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
    Done();
    // A failure says why, once; a stop by the operator needs no word.
    if (const char* text = ApproachFailureText(end); *text != 0)
        ShowMessage(MsgKind::Warning, text);
}

const char* TApproach::StatusText() const
{
    if (busy_) {
        // What the motion does, and for a run of steps how far it got of how
        // many it may make: an approach out of reach takes minutes.
        char text[128] = "";
        switch (phase_) {
        case Phase::Settle:
        case Phase::ApproachRetract:
        case Phase::ApproachSteps: {
            const char* doing = phase_ == Phase::ApproachSteps     ? "stepping"
                                : phase_ == Phase::ApproachRetract ? "retracting the piezo"
                                : link_.RetractFlag.load()         ? "waiting for Z"
                                                                   : "feeling for the surface";
            const int made = stepsMade_ - std::max(0, int(PendingSteps));
            std::snprintf(text, sizeof text, "Approaching, step %d of %d: %s", made, budget_, doing);
            break;
        }
        case Phase::RetractDown:
            std::snprintf(text, sizeof text, "Retracting the piezo");
            break;
        case Phase::CoarseSteps:
            std::snprintf(text, sizeof text, "Retracting, step %d of %d", coarseSteps_ + std::min(0, int(PendingSteps)),
                          coarseSteps_);
            break;
        case Phase::Idle:
            break;
        }
        status_ = text;
        return status_.c_str();
    }
    // A failed approach's reason, only while Z is where it left it.
    if (MicroscopeState.ZState.load() != ZCoarseRetracted)
        return "";
    return ApproachFailureText(lastEnd_);
}

void TApproach::StartRetract(bool coarse)
{
    coarse_ = coarse;
    ++retracting_;
    lastEnd_ = TApproachEnd::None;
    host_.ShowCursor(TMotionCursor::Retract);
    retractTarget_ = Thresholds().RetractTarget;
    link_.RetractFlag = true;
    link_.UpdateFeedback();
    host_.SleepMs(RetractSettleMs);
    WaitIn(Phase::RetractDown, TWaitFor::Instrument);
}

void TApproach::EndRetract()
{
    MicroscopeState.ZState = ZPiezoRetracted;
    host_.RestoreCursor();
    --retracting_;
    if (!coarse_) {
        Done();
        return;
    }
    host_.SleepMs(RetractSettleMs);
    if (CoarseStepper)
        CoarseStepper->PowerOn();
    // A negative count would make the timer step toward the sample.
    coarseSteps_ = std::max(0, ReadSetting("Stepper", "RetSteps", DefaultRetSteps));
    PendingSteps = -coarseSteps_;
    host_.StartStepTimer(std::max(1, ReadSetting("Coarse", "FastZ", DefaultFastZ)));
    WaitIn(Phase::CoarseSteps, TWaitFor::StepTimer);
}

void TApproach::EndCoarseRetract()
{
    EngageZ();
    link_.RetractFlag = false;
    link_.UpdateFeedback();
    if (CoarseStepper)
        CoarseStepper->PowerOff();
    host_.RestoreCursor();
    MicroscopeState.ZState = ZCoarseRetracted;
    --retracting_;
    Done();
}

void TApproach::EngageZ()
{
    link_.RetractFlag = false;
    link_.UpdateFeedback();
    MicroscopeState.ZState = ZApproached;
}

void TApproach::StopSteps()
{
    host_.StopStepTimer();
    PendingSteps = 0;
}

void TApproach::StepTimerTick()
{
    const int32_t lost = CoarseStepper ? CoarseStepper->LinkLosses : 0;
    if (PendingSteps < 0) {
        if (CoarseStepper)
            CoarseStepper->StepUp();
        ++PendingSteps;
    } else if (PendingSteps > 0) {
        if (CoarseStepper)
            CoarseStepper->StepDown();
        --PendingSteps;
    }
    if (CoarseStepper && CoarseStepper->LinkLosses != lost) {
        // The motor's port is gone (the operator has been told): the run
        // ends here as a stop ends it, not with steps that go nowhere.
        StopSteps();
        Stop();
        return;
    }
    if (PendingSteps == 0)
        host_.StopStepTimer();
}

// ---- the device window's host ------------------------------------------------------------

TWindowApproachHost::TWindowApproachHost(TInOutForm& link, std::function<void()> tick)
    : link_(link), tick_(std::move(tick)), timer_(std::make_unique<QTimer>()), passes_(std::make_unique<QTimer>())
{
    QObject::connect(timer_.get(), &QTimer::timeout, timer_.get(), [this] { tick_(); });
    QObject::connect(passes_.get(), &QTimer::timeout, passes_.get(), [this] {
        if (next_ == TWaitFor::Instrument)
            link_.DelayUs(WaitPassUs);
        if (!pass_)
            return;
        next_ = pass_();
        // A wait for the instrument passes on its clock; one for the step
        // timer gives the window's clock a millisecond.
        passes_->setInterval(next_ == TWaitFor::Instrument ? 0 : WaitPassUs / 1000);
    });
}

TWindowApproachHost::~TWindowApproachHost()
{
    while (!shown_.empty())
        RestoreCursor();
}

void TWindowApproachHost::WaitPass(TWaitFor what)
{
    if (what == TWaitFor::Instrument) {
        link_.DelayUs(WaitPassUs);
        return;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(WaitPassUs));
    // No event runs here: the step timer's tick is made when it is due.
    const int64_t now = std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
    if (timer_->isActive() && now - lastTickUs_ >= int64_t(timer_->interval()) * 1000) {
        lastTickUs_ = now;
        tick_();
    }
}

bool TWindowApproachHost::StartPasses(std::function<TWaitFor()> pass)
{
    if (!RunOnEventLoop)
        return false;
    // Always the same motion's pass: kept, never replaced while it runs.
    if (!pass_)
        pass_ = std::move(pass);
    next_ = TWaitFor::Instrument;
    passes_->start(0);
    return true;
}

void TWindowApproachHost::StopPasses()
{
    passes_->stop();
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
