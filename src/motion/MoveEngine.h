#pragma once
// The tip's lateral moves through the controller's move generator, and the
// move state that goes with them: the GO_XY request (whose X, Y are the
// program's notion of where the tip is), the pacing of successive moves on
// the driver's GoXYWaitEvent, the splitting of long moves into steps with an
// optional ten-stage speed profile, and the direct ramp of the X/Y outputs
// through their registers.
//
// The device window owns one engine (TInOutForm::Moves()); the scan thread,
// the joystick thread and the window thread all move through it. The request
// is guarded by one lock, held only while a request is built and sent, never
// while a move is awaited; the per-pixel path takes it uncontended, allocates
// nothing and logs nothing.

#include "protocol/ControlCodes.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>

namespace qvt {

class TInOutForm;
class WorkerThread;

// Step-size factors of the ten stages of an accelerating move (reversed when
// decelerating). Below 1: more, smaller steps.
inline constexpr std::array<double, 10> SpeedProfile = {0.1947, 0.5287, 0.8004, 0.9605, 1.029,
                                                        1.0431, 1.0337, 1.0193, 1.0079, 1.0013};

enum MoveProfile : int {
    ProfilePlain = 0,
    ProfileAccelerate = 1,
    ProfileDecelerate = 2, // any profile other than 0 and 1 decelerates
};

constexpr int32_t GoXYStop = -1;         // StepCount of a stop request
constexpr int32_t ShortMoveSteps = 20;   // moves of no more steps than this are not awaited
constexpr int32_t ResetMaxStep = 200000; // MaxStep after ResetGoXY
constexpr int32_t RampMinMaxStep = 649;  // Reset ramps only above this MaxStep
constexpr int32_t RampTargetLimit = 1073000000;
constexpr int32_t FlyHeightLimit = 0x1FFFFFFF;
inline const char* const GoXYErrorText = "IOCTL_GO_XY error! - Wrong Device Driver ?";

// A move as the move generator takes it: up to three runs of equal steps,
// one request each. Equal steps of trunc(d / ticks) fall short by up to one
// digit per tick on each axis (a diagonal whose shorter side has fewer
// digits than the move has ticks does not move on that side at all); that
// remainder is spread over the ticks one digit at a time instead, so the
// move ends on its target without any step growing beyond the axis limit.
struct TMoveRun {
    int32_t Steps = 0;
    int32_t StepX = 0;
    int32_t StepY = 0;
};
struct TMovePlan {
    std::array<TMoveRun, 3> Runs{};
    int Count = 0;
    int64_t Ticks() const;
};
// (dx, dy) in `ticks` ticks (at least 1). Equal steps trunc(d / ticks) when
// they end within `tolerance` of the target on each axis, or when
// `keepAxisParallel` and the move is along one axis and needs more ticks at
// `axisStep` digits per tick than it has; else exactly there, in at least as
// many ticks as either axis needs at `axisStep` digits per tick.
TMovePlan PlanMoveRuns(int64_t dx, int64_t dy, int32_t ticks, int32_t tolerance, int32_t axisStep,
                       bool keepAxisParallel);

class TMoveEngine {
public:
    explicit TMoveEngine(TInOutForm& form);
    TMoveEngine(const TMoveEngine&) = delete;
    TMoveEngine& operator=(const TMoveEngine&) = delete;

    // ---- move state ---------------------------------------------------------------------
    std::atomic<int32_t> PrevSteps{0};          // steps of the last move sent: its wait in ms
    std::atomic<int32_t> MaxStep{ResetMaxStep}; // largest step, digits; arrival tolerance
    std::atomic<int32_t> MoveSteps{1};          // fewest steps of a pixel move
    std::atomic<int32_t> ClampCount{0};         // targets clamped since the scan last cleared it
    std::atomic<int32_t> FlyHeightRaw{0};       // lift height, Z digits
    std::atomic<int32_t> FlyOn{0};              // 0 plain, 1 lift pass, 2 constant height
    // Extra time GoToXYRaw waits for the outputs beyond the move's own duration.
    std::atomic<int32_t> ArrivalGraceMs{2000};

    // ---- the request ----------------------------------------------------------------------
    TGoXYRequest Request() const;
    void Position(int32_t& x, int32_t& y) const;
    void SetPosition(int32_t x, int32_t y);
    // The channels a pixel move samples: `listLength` entries with the
    // terminator, as the scan's channel list gives them. Plain moves send an
    // empty list and leave this one in place.
    void SetReadList(int32_t listLength, const int32_t* addresses);

    // ---- moves ----------------------------------------------------------------------------
    // Clamped to the X/Y limits. Plain, accelerating or decelerating; false
    // when a request failed.
    bool MoveTo(int profile, int64_t x, int64_t y);
    // A pixel move that samples the read list into `reply` (when given);
    // a failed request is reported with a box. Nothing is sent for d = 0.
    bool MoveToChecked(int32_t pixel, int64_t x, int64_t y, TGoXYReply* reply = nullptr);
    // Stops the move in progress, at once and without pacing.
    bool SendStop();

    // Moves with MoveTo and waits until the X/Y outputs read back within
    // MaxStep of the position sent. Returns how far (digits, larger axis)
    // the outputs stand from the target (limited to the outputs): above
    // MaxStep the tip did not arrive. A stopped wait returns the last
    // distance tested. The wait polls the outputs and delivers no events
    // (bounded by twice the move's time and a grace); it ends early on
    // `abort` (the caller's own stop), never on the shared AbortFlag, so an
    // Esc meant for another operation stays intact. A stopped or timed-out
    // wait stops the move and takes the position from the controller.
    int64_t GoTo(int64_t x, int64_t y, const std::atomic<bool>* abort = nullptr);

    // Makes the move state agree with the controller (see SyncXYPosition).
    // True once the tip position was taken over from a still controller.
    bool Sync();
    // The scan thread, once it exists: while it runs, Sync stops its move
    // instead of reading the position.
    void SetScanThread(const WorkerThread* thread) { scanThread_.store(thread); }

    // Ramps the X/Y outputs through their registers to (x, y), MaxStep per
    // step; only when MaxStep > 649 (register writes, no wait in between).
    // Afterwards the request holds the target.
    void Reset(int32_t x, int32_t y);

    // Writes Z (register 32) without the register-range check, clamped to
    // DAC1's limits in 64 bits, so a lifted Z can never wrap around.
    void WriteZClamped(int64_t z);

    // Enters or leaves constant height (mode 2).
    void SetScanMode(int32_t mode);

private:
    struct Target {
        int64_t X;
        int64_t Y;
    };
    Target Clamp(int64_t x, int64_t y);
    // Waits up to PrevSteps ms for the previous move; never under the lock.
    void WaitForPrevious() const;
    // With requestMutex_ held: sends request_ with these steps and list.
    bool SendLocked(int32_t steps, int32_t listLength, TGoXYReply& reply);
    // Sends the runs of `plan` from where the request stands, each after the
    // previous move; only the last carries `listLength` and fills `reply`.
    // The first run is sent with the lock `lock` already holds.
    bool SendRuns(const TMovePlan& plan, int32_t listLength, TGoXYReply& reply, std::unique_lock<std::mutex>& lock);
    bool WithModule() const;

    TInOutForm& form_;
    mutable std::mutex requestMutex_;
    TGoXYRequest request_;
    int32_t listLength_ = 0;
    std::atomic<const WorkerThread*> scanThread_{nullptr};
    int32_t savedFeedbackMode_ = 0; // window thread: the mode constant height replaced
};

} // namespace qvt
