// The move engine, and the device window's operations built on it: tip
// moves and position, bias, Z, lift height and the scan mode.

#include "motion/MoveEngine.h"

#include "core/NumberText.h"
#include "core/SharedState.h"
#include "device/ChannelTable.h"
#include "device/InOutForm.h"
#include "platform/MessageBoxes.h"
#include "platform/WindowThread.h"
#include "platform/WorkerThread.h"

#include <QCoreApplication>
#include <QCursor>
#include <QGuiApplication>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <thread>

namespace qvt {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int StageCount = static_cast<int>(SpeedProfile.size());
constexpr auto PollInterval = std::chrono::microseconds(100); // worker threads' arrival poll
constexpr auto StopSettle = std::chrono::milliseconds(10);
constexpr double MoveTickMs = 1000.0 / ControllerClockHz;

int32_t ClampToInt32(double v)
{
    return static_cast<int32_t>(std::clamp(v, double(INT32_MIN), double(INT32_MAX)));
}

int32_t ClampToInt32(int64_t v)
{
    return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
}

// Steps of a move: round(d / step), within the request's 32 bits.
int32_t StepsFor(double d, double step)
{
    return ClampToInt32(Round(d / step));
}

bool OnWindowThread()
{
    return IsWindowThread();
}

// The length of a move, in single precision as the move generator's plan
// has always been made.
float Distance(int64_t dx, int64_t dy)
{
    return std::sqrt(static_cast<float>(dx) * static_cast<float>(dx) + static_cast<float>(dy) * static_cast<float>(dy));
}

// What one request (or run of requests) of a move will be.
struct Plan {
    bool Send = false;
    bool Jump = false;
    TMovePlan Runs;
};

} // namespace

TMoveEngine::TMoveEngine(TInOutForm& form) : form_(form) {}

// ---- the request ---------------------------------------------------------------------------

TGoXYRequest TMoveEngine::Request() const
{
    std::lock_guard lock(requestMutex_);
    TGoXYRequest r = request_;
    r.ListLength = listLength_;
    return r;
}

void TMoveEngine::Position(int32_t& x, int32_t& y) const
{
    std::lock_guard lock(requestMutex_);
    x = request_.X;
    y = request_.Y;
}

void TMoveEngine::SetPosition(int32_t x, int32_t y)
{
    std::lock_guard lock(requestMutex_);
    request_.X = x;
    request_.Y = y;
}

void TMoveEngine::SetReadList(int32_t listLength, const int32_t* addresses)
{
    std::lock_guard lock(requestMutex_);
    listLength_ = std::clamp(listLength, 0, GoXYReadings);
    for (int i = 0; i < GoXYReadings; ++i)
        request_.ReadAddresses[i] = (addresses != nullptr && i < listLength_) ? addresses[i] : 0;
}

// ---- sending -------------------------------------------------------------------------------

TMoveEngine::Target TMoveEngine::Clamp(int64_t x, int64_t y)
{
    auto limit = [this](int64_t v, const TIOScale& scale) {
        if (v > scale.MaxRaw.load()) {
            v = scale.MaxRaw.load();
            ClampCount.fetch_add(1);
        }
        if (v < scale.MinRaw.load()) {
            v = scale.MinRaw.load();
            ClampCount.fetch_add(1);
        }
        return v;
    };
    return {limit(x, ChannelTable[SlotX]), limit(y, ChannelTable[SlotY])};
}

void TMoveEngine::WaitForPrevious() const
{
    const int32_t previous = PrevSteps.load();
    if (previous > 0)
        form_.GoXYWaitEvent().Wait(previous); // a time-out is no error
}

bool TMoveEngine::SendLocked(int32_t steps, int32_t listLength, TGoXYReply& reply)
{
    request_.StepCount = steps;
    request_.ListLength = listLength;
    // Reset before sending: a move that ends at once must still find its
    // completion signal when the next move waits for it.
    if (steps > ShortMoveSteps)
        form_.GoXYWaitEvent().Reset();
    const bool ok = form_.Ioctl(IOCTL_GO_XY, &request_, sizeof request_, &reply, sizeof reply);
    PrevSteps.store(steps);
    return ok;
}

bool TMoveEngine::SendStop()
{
    TGoXYReply reply;
    std::lock_guard lock(requestMutex_);
    // Built in a copy: a move being prepared by another thread keeps its record.
    TGoXYRequest stop = request_;
    stop.StepCount = GoXYStop;
    stop.ListLength = 0;
    return form_.Ioctl(IOCTL_GO_XY, &stop, sizeof stop, &reply, sizeof reply);
}

// ---- moves ---------------------------------------------------------------------------------

int64_t TMovePlan::Ticks() const
{
    int64_t n = 0;
    for (int i = 0; i < Count; ++i)
        n += Runs[static_cast<size_t>(i)].Steps;
    return n;
}

TMovePlan PlanMoveRuns(int64_t dx, int64_t dy, int32_t ticks, int32_t tolerance, int32_t axisStep,
                       bool keepAxisParallel)
{
    TMovePlan plan;
    auto add = [&plan](int64_t steps, int64_t sx, int64_t sy) {
        if (steps > 0)
            plan.Runs[static_cast<size_t>(plan.Count++)] = {ClampToInt32(steps), ClampToInt32(sx), ClampToInt32(sy)};
    };
    const int64_t n = std::max<int32_t>(1, ticks);
    const int64_t sx = dx / n; // toward zero
    const int64_t sy = dy / n;
    const int64_t step = std::max<int32_t>(1, axisStep);
    const int64_t need = std::max((std::llabs(dx) + step - 1) / step, (std::llabs(dy) + step - 1) / step);
    const bool reaches = std::llabs(dx - sx * n) <= tolerance && std::llabs(dy - sy * n) <= tolerance;
    // Along one axis only a move that cannot arrive within its ticks keeps
    // them short of the target; one that can is spread over them exactly.
    if (reaches || (keepAxisParallel && (dx == 0 || dy == 0) && need > n)) {
        add(n, sx, sy);
        return plan;
    }

    // Exactly there: q digits per tick on each axis plus one more in the
    // first |r| ticks, with enough ticks that q + 1 stays within axisStep.
    const int64_t total = std::max(n, need);
    const int64_t qx = dx / total;
    const int64_t qy = dy / total;
    const int64_t rx = dx - qx * total;
    const int64_t ry = dy - qy * total;
    const int64_t ex = rx > 0 ? 1 : (rx < 0 ? -1 : 0);
    const int64_t ey = ry > 0 ? 1 : (ry < 0 ? -1 : 0);
    const int64_t both = std::min(std::llabs(rx), std::llabs(ry));
    const int64_t either = std::max(std::llabs(rx), std::llabs(ry));
    add(both, qx + ex, qy + ey);
    add(either - both, qx + (std::llabs(rx) > both ? ex : 0), qy + (std::llabs(ry) > both ? ey : 0));
    add(total - either, qx, qy);
    return plan;
}

bool TMoveEngine::SendRuns(const TMovePlan& plan, int32_t listLength, TGoXYReply& reply,
                           std::unique_lock<std::mutex>& lock)
{
    bool ok = true;
    for (int i = 0; i < plan.Count; ++i) {
        const TMoveRun& run = plan.Runs[static_cast<size_t>(i)];
        if (i > 0) {
            lock.unlock();
            WaitForPrevious();
            lock.lock();
        }
        request_.StepX = run.StepX;
        request_.StepY = run.StepY;
        ok = SendLocked(run.Steps, i + 1 == plan.Count ? listLength : 0, reply) && ok;
        request_.X = ClampToInt32(request_.X + static_cast<int64_t>(run.StepX) * run.Steps);
        request_.Y = ClampToInt32(request_.Y + static_cast<int64_t>(run.StepY) * run.Steps);
    }
    return ok;
}

bool TMoveEngine::MoveTo(int profile, int64_t x, int64_t y)
{
    const Target t = Clamp(x, y);
    const int32_t maxStep = MaxStep.load();
    TGoXYReply reply;

    // The plan is made from the position at the moment of sending: once to
    // see whether anything is to be sent, then again after the wait.
    auto planPlain = [&]() {
        Plan p;
        const int64_t dx = t.X - request_.X;
        const int64_t dy = t.Y - request_.Y;
        const float d = Distance(dx, dy);
        if (maxStep > 0 && d > maxStep) {
            p.Runs = PlanMoveRuns(dx, dy, StepsFor(d, maxStep), maxStep, maxStep, false);
            p.Send = true;
        } else {
            p.Send = d > 0;
            p.Jump = true;
        }
        return p;
    };
    auto sendJump = [&]() {
        request_.X = static_cast<int32_t>(t.X);
        request_.Y = static_cast<int32_t>(t.Y);
        return SendLocked(0, 0, reply);
    };

    bool profiled = false;
    {
        std::lock_guard lock(requestMutex_);
        const Plan p = planPlain();
        if (!p.Send)
            return true;
        profiled = profile != ProfilePlain && !p.Jump;
    }

    if (!profiled) {
        WaitForPrevious();
        std::unique_lock lock(requestMutex_);
        const Plan p = planPlain();
        if (!p.Send)
            return true;
        return p.Jump ? sendJump() : SendRuns(p.Runs, 0, reply, lock);
    }

    // Ten stages, each a tenth of the whole way: stage i divides what is left
    // by 10 − i, at a step of MaxStep times the stage's factor.
    bool ok = true;
    for (int i = 0; i < StageCount; ++i) {
        const double factor = profile == ProfileAccelerate ? SpeedProfile[i] : SpeedProfile[StageCount - 1 - i];
        auto planStage = [&]() {
            Plan p;
            const float fx = static_cast<float>(t.X - request_.X) / static_cast<float>(StageCount - i);
            const float fy = static_cast<float>(t.Y - request_.Y) / static_cast<float>(StageCount - i);
            const float d = std::sqrt(fx * fx + fy * fy);
            const int32_t n = StepsFor(d / maxStep, factor);
            if (n <= 0)
                return p;
            const int32_t axisStep = std::max(1, static_cast<int32_t>(maxStep * factor));
            p.Runs = PlanMoveRuns(static_cast<int64_t>(Round(fx)), static_cast<int64_t>(Round(fy)), n, maxStep,
                                  axisStep, false);
            p.Send = true;
            return p;
        };
        {
            std::lock_guard lock(requestMutex_);
            if (!planStage().Send)
                continue;
        }
        WaitForPrevious();
        std::unique_lock lock(requestMutex_);
        const Plan p = planStage();
        if (p.Send)
            ok = SendRuns(p.Runs, 0, reply, lock) && ok;
    }
    return ok;
}

bool TMoveEngine::MoveToChecked(int32_t pixel, int64_t x, int64_t y, TGoXYReply* reply)
{
    const Target t = Clamp(x, y);
    TGoXYReply local;
    TGoXYReply& out = reply != nullptr ? *reply : local;

    // A scan preparation can leave MaxStep at 0: a pixel move still makes
    // at least one step and never divides by zero.
    const int32_t maxStep = MaxStep.load();
    const int32_t step = std::max(1, maxStep);
    const int32_t moveSteps = std::max(1, MoveSteps.load());

    auto plan = [&]() {
        Plan p;
        const int64_t dx = t.X - request_.X;
        const int64_t dy = t.Y - request_.Y;
        const float d = Distance(dx, dy);
        if (d <= maxStep) {
            p.Send = d > 0;
            p.Jump = true;
            return p;
        }
        p.Send = true;
        const int32_t n = d < 2.0 * step * moveSteps ? moveSteps : std::max(1, StepsFor(d, step));
        // Every pixel arrives where it belongs, in its own ticks: a pixel of
        // fewer digits than ticks moves a digit in some ticks and none in the
        // rest, rather than stand still and leap a few pixels later. Only a
        // pixel along one axis that its ticks cannot carry at MaxStep keeps
        // them and falls short (the stepper's timing relies on it).
        p.Runs = PlanMoveRuns(dx, dy, n, 0, step, true);
        return p;
    };

    {
        std::lock_guard lock(requestMutex_);
        request_.PixelIndex = pixel;
        if (!plan().Send)
            return true;
    }
    WaitForPrevious();
    bool ok = true;
    {
        std::unique_lock lock(requestMutex_);
        request_.PixelIndex = pixel;
        const Plan p = plan();
        if (!p.Send)
            return true;
        if (p.Jump) {
            request_.X = static_cast<int32_t>(t.X);
            request_.Y = static_cast<int32_t>(t.Y);
            ok = SendLocked(0, listLength_, out);
        } else {
            ok = SendRuns(p.Runs, listLength_, out, lock);
        }
    }
    if (!ok)
        ShowMessage(MsgKind::Information, GoXYErrorText, MsgButtons::Ok);
    return ok;
}

int64_t TMoveEngine::GoTo(int64_t x, int64_t y, const std::atomic<bool>* abort)
{
    int32_t fromX = 0;
    int32_t fromY = 0;
    Position(fromX, fromY);
    MoveTo(ProfilePlain, x, y);

    // Generous: twice the move's own time at one step per tick, plus a grace,
    // so a controller that never answers cannot hold the caller for ever.
    int32_t toX = 0;
    int32_t toY = 0;
    Position(toX, toY);
    const double distance = std::hypot(double(toX) - fromX, double(toY) - fromY);
    const double moveMs = distance / std::max(1, MaxStep.load()) * MoveTickMs;
    const auto deadline = Clock::now() + std::chrono::milliseconds(ArrivalGraceMs.load()) +
                          std::chrono::microseconds(static_cast<int64_t>(std::min(2.0 * moveMs, 1.0e9) * 1000.0));

    const TIOScale& scaleX = ChannelTable[SlotX];
    const TIOScale& scaleY = ChannelTable[SlotY];
    // The target as the outputs can hold it: what "arrived" is measured against.
    const int64_t wantX =
        std::clamp<int64_t>(x, scaleX.MinRaw.load(), std::max(scaleX.MinRaw.load(), scaleX.MaxRaw.load()));
    const int64_t wantY =
        std::clamp<int64_t>(y, scaleY.MinRaw.load(), std::max(scaleY.MinRaw.load(), scaleY.MaxRaw.load()));
    auto aborted = [&]() { return abort != nullptr && abort->load(); };
    int64_t tested = 0;
    for (;;) {
        const int32_t readX = form_.ReadReg(scaleX.Address);
        const int32_t readY = form_.ReadReg(scaleY.Address);
        Position(toX, toY);
        const int64_t tolerance = MaxStep.load();
        tested = std::llabs(int64_t(toX) - readX);
        if (tested <= tolerance) {
            tested = std::llabs(int64_t(toY) - readY);
            // Where the steps led is not enough: a move that fell short of
            // the target reports how far off the tip stands.
            if (tested <= tolerance)
                return std::max(std::llabs(wantX - readX), std::llabs(wantY - readY));
        }
        if (aborted() || Clock::now() >= deadline)
            break;
        std::this_thread::sleep_for(PollInterval);
    }

    // Stopped short: halt the generator and believe where the controller is.
    SendStop();
    std::this_thread::sleep_for(StopSettle);
    PrevSteps.store(0);
    const int32_t atX = form_.ReadReg(ReadAddrX);
    const int32_t atY = form_.ReadReg(ReadAddrY);
    SetPosition(atX, atY);
    return tested;
}

bool TMoveEngine::Sync()
{
    const WorkerThread* scan = scanThread_.load();
    if (scan != nullptr && !scan->Suspended()) {
        SendStop();
        // A move waiting for the stopped one need not wait out its time.
        form_.GoXYWaitEvent().Set();
        return false;
    }
    PrevSteps.store(0);
    bool ok1 = false;
    bool ok2 = false;
    bool ok3 = false;
    bool ok4 = false;
    const int32_t x1 = form_.ReadReg(ReadAddrX, ok1);
    const int32_t y1 = form_.ReadReg(ReadAddrY, ok2);
    std::this_thread::sleep_for(StopSettle);
    const int32_t x2 = form_.ReadReg(ReadAddrX, ok3);
    const int32_t y2 = form_.ReadReg(ReadAddrY, ok4);
    // Failed reads would "agree" on a stale reply: only a sound, still pair counts.
    if (!(ok1 && ok2 && ok3 && ok4) || x1 != x2 || y1 != y2)
        return false;
    SetPosition(x1, y1);
    form_.GoXYWaitEvent().Reset();
    return true;
}

bool TMoveEngine::WithModule() const
{
    return form_.Caps.ExtendedRegisters();
}

void TMoveEngine::Reset(int32_t x, int32_t y)
{
    const int32_t maxStep = MaxStep.load();
    if (maxStep <= RampMinMaxStep)
        return;
    const bool window = OnWindowThread() && qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr;
    if (window)
        QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
    x = std::clamp(x, -RampTargetLimit, RampTargetLimit);
    y = std::clamp(y, -RampTargetLimit, RampTargetLimit);

    // The fast module keeps the scanner position in its filter page; without
    // it the move state is the best knowledge of where the outputs are.
    const bool module = WithModule();
    int32_t fromX = 0;
    int32_t fromY = 0;
    if (module) {
        fromX = form_.ReadReg(RegFilterX);
        fromY = form_.ReadReg(RegFilterY);
    } else {
        Position(fromX, fromY);
    }

    const double dx = double(x) - fromX;
    const double dy = double(y) - fromY;
    const int32_t n = StepsFor(std::sqrt(dx * dx + dy * dy), maxStep);
    if (n > 1) {
        const int64_t incX = static_cast<int64_t>(std::trunc(dx / n));
        const int64_t incY = static_cast<int64_t>(std::trunc(dy / n));
        int64_t atX = fromX;
        int64_t atY = fromY;
        for (int32_t i = 0; i < n; ++i) {
            atX += incX;
            atY += incY;
            form_.WriteReg(RegX, ClampToInt32(atX));
            form_.WriteReg(RegY, ClampToInt32(atY));
            if (module) {
                form_.WriteReg(RegFilterX, ClampToInt32(atX));
                form_.WriteReg(RegFilterY, ClampToInt32(atY));
            }
        }
    }
    form_.WriteReg(RegX, x);
    form_.WriteReg(RegY, y);
    // The outputs hold the target now (inside their limits): so does the move state.
    const TIOScale& scaleX = ChannelTable[SlotX];
    const TIOScale& scaleY = ChannelTable[SlotY];
    SetPosition(std::max(std::min(x, scaleX.MaxRaw.load()), scaleX.MinRaw.load()),
                std::max(std::min(y, scaleY.MaxRaw.load()), scaleY.MinRaw.load()));
    if (window)
        QGuiApplication::restoreOverrideCursor();
}

void TMoveEngine::WriteZClamped(int64_t z)
{
    const TIOScale& scale = ChannelTable[SlotZ];
    const int64_t value = std::max<int64_t>(std::min<int64_t>(z, scale.MaxRaw.load()), scale.MinRaw.load());
    const TWriteRegRecord record{RegZ, static_cast<int32_t>(value)};
    form_.Ioctl(IOCTL_WRITE_REG, &record, sizeof record, nullptr, 0);
}

void TMoveEngine::SetScanMode(int32_t mode)
{
    const int32_t previous = FlyOn.load();
    if (mode == 2 && previous != 2) {
        // Constant height: the loop holds, Z stands the lift height above
        // where it was.
        savedFeedbackMode_ = MicroscopeState.FeedbackMode;
        MicroscopeState.FeedbackMode = FeedbackNone;
        form_.SendFeedbackRecord();
        WriteZClamped(static_cast<int64_t>(form_.ReadReg(ReadAddrZ)) + FlyHeightRaw.load());
    } else if (mode != 2 && previous == 2) {
        MicroscopeState.FeedbackMode = savedFeedbackMode_;
        form_.SendFeedbackRecord();
    }
    FlyOn.store(mode);
}

} // namespace qvt
