#pragma once
// Bringing the tip to the surface and taking it away again. The automatic
// approach alternates coarse steps of the z motor with engagements of the Z
// loop until the controller reports contact while Z is inside its working
// range; the piezo retract, the engage and the coarse retract complete the set.
//
// The approach judges the tip only once Z has settled after an engage or a
// step: a Z still rising is neither at its end nor in contact. Settled in
// contact above the working range, it steps on (with the piezo retracted, so
// no step ever meets a touching tip); settled in contact inside it, the tip
// has landed; settled anywhere else (the loop holds Z, or the sample is so
// close that Z rests below the range), it could not approach and says so by
// leaving ZState at 2.
//
// All of it runs in the window thread. Every wait lets the window's events
// run (the Stop key, the step timer) and ends on AbortFlag. Only one motion
// runs at a time: a command that arrives while another one waits (from a
// menu clicked during the wait) stops the running one and is carried out
// once that one has unwound, so it can never make the first one go on.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
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
    // One pass of a wait: the window's events run and a short time passes.
    virtual void WaitPass(TWaitFor what) = 0;
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
    ApproachStalled = 0x8, // Z settled without contact, or in contact below the working range
};

constexpr int ContactReadings = 100;
constexpr int ContactMinPositive = 30; // positive readings that make a contact
constexpr int RetractSettleMs = 200;
// Z has settled when it stayed within a five-hundredth of its range for this
// many wait passes (about 100 ms of the instrument's time) ...
constexpr int ZSettlePasses = 100;
constexpr int32_t ZSettleFraction = 500;
// ... and is taken as settled after this many (20 s) whatever it does.
constexpr int ZSettleMaxPasses = 20000;

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

    // A motion runs (its waits let the window's events in).
    bool Busy() const { return busy_; }

    // Reads the contact 100 times (negated on a USB box): 30 or more positive
    // readings set the contact bit. True when the state bits are exactly "contact".
    bool ContactTest();
    // Retracted: Z below the lower threshold; engaged: above the upper one.
    bool ZAtEnd();

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

    // The re-entry guard around every command.
    void Run(Command what, int mode);
    void Execute(Command what, int mode);
    void DoApproach(int mode);
    void DoRetract();
    void DoCoarseRetract();
    void StopSteps();
    // Waits until Z has settled and returns the state bits it settled in.
    int32_t SettledState();
    TZThresholds Thresholds() const;
    int ReadSetting(const char* section, const char* key, int def) const;

    TInOutForm& link_;
    IApproachHost& host_;
    bool busy_ = false;
    int retracting_ = 0; // nesting of retracts under way
    std::optional<Deferred> deferred_;
};

// The device window's side: its step timer Timer2, the message loop of the
// window thread and the application's cursor.
class TWindowApproachHost final : public IApproachHost {
public:
    // Each tick of Timer2 calls `tick` (the device window's schTimer).
    TWindowApproachHost(TInOutForm& link, std::function<void()> tick);
    ~TWindowApproachHost() override;
    TWindowApproachHost(const TWindowApproachHost&) = delete;
    TWindowApproachHost& operator=(const TWindowApproachHost&) = delete;

    // The events of the window thread run, then about a millisecond passes:
    // on the instrument's clock (a hardware-timed delay, so a simulator that
    // runs as fast as possible moves on too) when the wait is for the
    // instrument, on the window's clock when it is for the step timer.
    void WaitPass(TWaitFor what) override;
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
    std::unique_ptr<QTimer> timer_;
    std::vector<bool> shown_; // per ShowCursor: an override cursor was set
};

} // namespace qvt
