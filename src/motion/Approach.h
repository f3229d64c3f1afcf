#pragma once
// Bringing the tip to the surface and taking it away again. The automatic
// approach alternates coarse steps of the z motor with engagements of the Z
// loop until the controller reports contact while Z is inside its working
// range; the piezo retract, the engage and the coarse retract complete the set.
//
// The approach judges the tip only once the Z loop has come to rest after an
// engage or a step: a Z still rising, however slowly a small gain moves it,
// is neither at its end nor in contact. One thing is judged on the way: a
// loop that keeps driving Z toward the sample once the tip touches, faster
// than it came, has the wrong polarity and would press the tip in up to the
// rail; the piezo is retracted at once and the approach ends there, before
// any harm and without another step. At rest in contact above the working
// range, it steps on (with the piezo retracted, so no step ever meets a
// touching tip); at rest in contact inside it, the tip has landed. Anything
// else ends the approach as failed, with the reason in one message and on the
// status line, and ZState left at 2: the surface still out of reach after the
// step budget, Z at the wrong rail (driven away from the sample with the loop
// engaged, or pressed into it on the top rail step after step: the loop's
// polarity is wrong), or Z at rest without a landing (the loop holds Z, or
// the sample is so close that Z rests below the range).
//
// All of it runs in the window thread, as a state machine: each wait is a
// phase that one pass (a millisecond of the instrument's time, or of the
// window's while the step timer works) tests and leaves when its condition
// holds. On a host with an event loop the passes run from that loop, so the
// Stop key, the step timer, a command-server request or a close are handled
// between two passes; a caller that needs the end (the exit, the power saver)
// drives the remaining passes itself with Wait, which delivers no events.
// Only one motion runs at a time: a command that arrives while another one
// runs stops that one (Stop) and is carried out once it has ended.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QTimer;

namespace qvt {

class TInOutForm;
class TStepper;

// The cursor a motion shows while it runs.
enum class TMotionCursor { StepApproach, FullApproach, Retract };

// What a wait waits for: the instrument (Z to move, the contact to come) or
// the step timer, whose ticks keep the window's own time.
enum class TWaitFor { Instrument, StepTimer };

// What the motions need from the window around them.
class IApproachHost {
public:
    virtual ~IApproachHost() = default;
    // One pass of a wait the motion drives itself: a short time passes and a
    // step timer that is due ticks; no event is delivered.
    virtual void WaitPass(TWaitFor what) = 0;
    // A host with an event loop calls `pass` from it until StopPasses, one
    // pass a turn of the loop; `pass` answers what its next pass waits for.
    // False: the host has no loop to run them, the motion drives them.
    virtual bool StartPasses(std::function<TWaitFor()> pass)
    {
        (void)pass;
        return false;
    }
    virtual void StopPasses() {}
    virtual void SleepMs(int ms) = 0;
    // The step timer (Timer2): each tick calls TApproach::StepTimerTick.
    virtual void StartStepTimer(int intervalMs) = 0;
    virtual void StopStepTimer() = 0;
    virtual bool StepTimerRunning() const = 0;
    // Cursors nest: each Show is undone by one Restore.
    virtual void ShowCursor(TMotionCursor cursor) = 0;
    virtual void RestoreCursor() = 0;
    virtual void Beep() = 0;
};

// The approach state bits.
enum ApproachStateBits : int32_t {
    ApproachContact = 0x1, // the controller reports contact
    ApproachZAtEnd = 0x2,  // Z at the end of its range (no contact yet)
    ApproachAborted = 0x4,
    ApproachStalled = 0x8,    // Z settled without contact, or in contact below the working range
    ApproachWrongRail = 0x10, // with Stalled: the engaged loop drove Z away from the sample
    ApproachPressed = 0x20,   // the engaged loop drove Z on into the sample it touches
};

// How an approach ended.
enum class TApproachEnd { None, Approached, Aborted, OutOfReach, WrongPolarity, Stalled };
// The operator's text for a failed approach (empty for the others).
const char* ApproachFailureText(TApproachEnd end);

constexpr int ContactReadings = 100;
constexpr int ContactMinPositive = 30; // positive readings that make a contact
constexpr int RetractSettleMs = 200;
// Z is at rest when it stayed within a five-hundredth of its range for a
// window of wait passes (1 ms of the instrument's time each) that is at least
// this long ...
constexpr int ZSettlePasses = 100;
constexpr int32_t ZSettleFraction = 500;
// ... and covers this many time constants of the loop's integral gain (an
// error of e input digits moves Z by about e digits per time constant, so a
// loop still working shows within the window whatever its gain) ...
constexpr int ZSettleTimeConstants = 3;
// ... and a Z that never comes to rest (a loop that rings) is given up on
// once a Z moving at the slowest pace the window sees would have crossed its
// whole range, never before 20 s.
constexpr int ZSettleMinGiveUpPasses = 20000;
// While the engaged loop moves Z the contact is sampled every pass with this
// many readings (the same share positive makes a contact) ...
constexpr int WatchContactReadings = 10;
// ... and Z's pace toward the sample is taken over at least this many passes.
constexpr int WatchPacePasses = 20;
// Coarse steps toward the sample an approach may make before it gives the
// surface up as out of reach ("Stepper"/"AppMaxSteps").
constexpr int DefaultAppMaxSteps = 10000;

// Wait passes of the rest window for a loop whose integral gain word is
// `integralGain` (the controller's unit: 0.0203 Hz of bandwidth each).
int ZSettleWindowPasses(int64_t integralGain);

// The Z-at-end thresholds (10 % from either end) and the retract target (1 %
// above the minimum) of a Z range, in raw digits.
struct TZThresholds {
    int32_t Upper = 0;
    int32_t Lower = 0;
    int32_t RetractTarget = 0;
};
TZThresholds ZThresholdsFor(int32_t minRaw, int32_t maxRaw);

class TApproach {
public:
    TApproach(TInOutForm& link, IApproachHost& host);
    TApproach(const TApproach&) = delete;
    TApproach& operator=(const TApproach&) = delete;

    // Mode 1: one coarse step per cycle with the loop left engaged; any
    // other mode: a full approach with the piezo retracted during the steps.
    void AutoApproach(int mode);
    // Retracts the piezo and waits until Z is down (ZState 1).
    void RetractZ();
    // Engages the loop (ZState -1).
    void EngageZ();
    // Piezo retract, then "RetSteps" coarse steps away (ZState 2). Does
    // nothing while a retract is already under way.
    void CoarseRetract();
    // The step timer's tick: one pending coarse step.
    void StepTimerTick();

    // A motion runs.
    bool Busy() const { return busy_; }
    // The operator's stop: the running motion ends at its next pass (an
    // approach stopped so ends "aborted", a step timer stops at once).
    void Stop();
    // Drives the running motion (and any that follows it) to its end, with
    // waits that deliver no events.
    void Wait();
    // Runs `then` once no motion runs any more (at once when none does).
    void WhenIdle(std::function<void()> then);

    // Reads the contact 100 times (negated on a USB box): 30 or more positive
    // readings set the contact bit. True when the state bits are exactly "contact".
    bool ContactTest();
    // Retracted: Z below the lower threshold; engaged: above the upper one.
    bool ZAtEnd();

    // How the last approach ended. The status line's text: while a motion
    // runs, what it does ("Approaching, step 3 of 30: stepping"); after a
    // failed approach its reason while nothing else has moved Z; else empty.
    TApproachEnd LastEnd() const { return lastEnd_; }
    const char* StatusText() const;

    // Coarse steps still to be made by the step timer: > 0 toward the
    // sample, < 0 away from it.
    int32_t PendingSteps = 0;
    int32_t ApproachState = 0; // ApproachStateBits
    // The coarse z motor; none: the steps are counted but not made.
    TStepper* CoarseStepper = nullptr;

private:
    enum class Command { Approach, Retract, CoarseRetract };
    struct Deferred {
        Command What;
        int Mode;
    };
    // The phase a motion waits in.
    enum class Phase { Idle, Settle, ApproachRetract, ApproachSteps, RetractDown, CoarseSteps };
    // The rest window of a settle phase.
    struct SettleWindow {
        int64_t Tolerance = 1;
        int64_t Ki = 0; // integral gain the loop runs with; 0: it does not move Z
        int Window = ZSettlePasses;
        int64_t GiveUp = ZSettleMinGiveUpPasses;
        int64_t Reference = 0;
        int Quiet = 0;
        int64_t Pass = 0;
    };
    // Z's way toward the sample while the engaged loop moves it: the pace it
    // came at without contact, and where the contact began.
    struct PressWatch {
        bool On = false;
        bool Free = false; // the last pass had no contact
        int64_t FreeZ0 = 0, FreePass0 = 0, FreeZ = 0, FreePass = 0;
        double Pace = -1.0; // digits a pass; < 0: not known yet
        bool Touching = false;
        int64_t TouchZ = 0, TouchPass = 0;
    };

    void Run(Command what, int mode);
    void Start(Command what, int mode);
    // Runs the motion on until it has to wait, or has ended.
    void Advance();
    TWaitFor LoopPass();
    void WaitIn(Phase phase, TWaitFor what);
    // The motion has ended: the one deferred follows, or the waiters run.
    void Done();

    void StartApproach(int mode);
    // Starts a settle phase: it ends with the state bits Z rests in.
    void BeginSettle();
    std::optional<int32_t> SettlePass();
    // A pass of the watch: true when Z runs on into the sample it touches.
    bool Presses(int64_t z);
    // `readings` contact readings of which at least 30 % are positive.
    bool ContactSample(int readings);
    void Settled(int32_t state);
    void StepToward();
    void Engage();
    void Finish(TApproachEnd end, int32_t state);
    void StartRetract(bool coarse);
    void EndRetract();
    void EndCoarseRetract();
    void StopSteps();
    TZThresholds Thresholds() const;
    int ReadSetting(const char* section, const char* key, int def) const;

    TInOutForm& link_;
    IApproachHost& host_;
    bool busy_ = false;
    bool stop_ = false;
    bool onLoop_ = false; // the host's loop runs the passes
    Phase phase_ = Phase::Idle;
    TWaitFor waitFor_ = TWaitFor::Instrument;
    int retracting_ = 0; // nesting of retracts under way
    std::optional<Deferred> deferred_;
    std::vector<std::function<void()>> whenIdle_;
    TApproachEnd lastEnd_ = TApproachEnd::None;
    // The approach under way.
    bool stepwise_ = false;
    bool stepRetract_ = false; // its steps are made with the piezo retracted
    int budget_ = 0;
    int stepsMade_ = 0;
    bool topRail_ = false;       // the last rest was on the top of Z's range
    bool pressedBefore_ = false; // ... and in contact, before the last step
    SettleWindow settle_;
    PressWatch watch_;
    mutable std::string status_; // the status line's text while a motion runs
    // The retract under way.
    bool coarse_ = false;
    int32_t retractTarget_ = 0;
    int coarseSteps_ = 0; // of the coarse retract
};

// The device window's side: its step timer Timer2, the passes on the event loop of the
// window thread and the application's cursor.
class TWindowApproachHost final : public IApproachHost {
public:
    // Each tick of Timer2 calls `tick` (the device window's schTimer).
    TWindowApproachHost(TInOutForm& link, std::function<void()> tick);
    ~TWindowApproachHost() override;
    TWindowApproachHost(const TWindowApproachHost&) = delete;
    TWindowApproachHost& operator=(const TWindowApproachHost&) = delete;

    // About a millisecond passes: on the instrument's clock (a hardware-
    // timed delay, so a simulator that runs as fast as possible moves on
    // too) when the wait is for the instrument, on the window's clock when it
    // is for the step timer, which ticks here when due (no event runs).
    void WaitPass(TWaitFor what) override;
    // Only once the program runs its event loop (RunOnEventLoop).
    bool StartPasses(std::function<TWaitFor()> pass) override;
    void StopPasses() override;
    // The program's assembly sets it: motions started from the window return
    // at once and go on from the event loop.
    bool RunOnEventLoop = false;
    void SleepMs(int ms) override;
    void StartStepTimer(int intervalMs) override;
    void StopStepTimer() override;
    bool StepTimerRunning() const override;
    void ShowCursor(TMotionCursor cursor) override;
    void RestoreCursor() override;
    void Beep() override;

    QTimer& Timer2() { return *timer_; }

    static constexpr int32_t WaitPassUs = 1000;

private:
    TInOutForm& link_;
    std::function<void()> tick_;
    std::unique_ptr<QTimer> timer_;
    std::unique_ptr<QTimer> passes_;
    std::function<TWaitFor()> pass_;
    TWaitFor next_ = TWaitFor::Instrument;
    int64_t lastTickUs_ = 0;  // window clock of the last step-timer tick made in a pass
    std::vector<bool> shown_; // per ShowCursor: an override cursor was set
};

} // namespace qvt
