// Tip moves, their pacing, the position bookkeeping, bias, Z and the scan
// mode, against the simulated controller.

#include "support/DriverLinkFixture.h"
#include "support/UnsignalledMoveEndLink.h"

#include "device/InOutForm.h"
#include "motion/MoveEngine.h"
#include "platform/WorkerThread.h"
#include "scan/DeviceWorkers.h"

#include <QTimer>

#include <chrono>
#include <cmath>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <utility>

using namespace qvt;
using namespace qvt::test;

namespace {

using Clock = std::chrono::steady_clock;

class MoveEngineTest : public DriverLinkFixture {
protected:
    void SetUp() override
    {
        DriverLinkFixture::SetUp();
        savedSets_ = MicroscopeState.FeedbackSets;
        savedAbort_ = AbortFlag.load();
        AbortFlag = false;
    }
    void TearDown() override
    {
        workers_.reset();
        form_.reset();
        if (sim_) {
            EXPECT_EQ(sim_->GuardViolationCount(), 0);
        }
        MicroscopeState.FeedbackSets = savedSets_;
        AbortFlag = savedAbort_;
        DriverLinkFixture::TearDown();
    }

    // A device window on a simulator, created as at start-up; reached through
    // a driver that never signals a move's end by itself when `unsignalled`.
    TInOutForm& Open(sim::SimConfig config = FastConfig(), bool unsignalled = false)
    {
        config.AdcNoise = 0.0;
        sim_ = unsignalled ? PlugSimThrough<UnsignalledMoveEndLink>(config) : PlugSim(config);
        form_ = std::make_unique<TInOutForm>();
        form_->FormCreate();
        EXPECT_FALSE(form_->StartFailed());
        workers_ = std::make_unique<TDeviceWorkers>(*form_);
        workers_->FormCreate();
        sim_->ClearLog();
        return *form_;
    }

    // A scan thread under way (doing nothing), as Sync finds it during a scan.
    static std::unique_ptr<WorkerThread> RunningScan()
    {
        auto scan = std::make_unique<WorkerThread>([](WorkerThread& t) {
            while (!t.Terminated())
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        });
        scan->Resume();
        return scan;
    }

    // Until the controller's output DACn satisfies `reached`: a move under
    // way is seen to have begun, without guessing how far it got in a
    // given time. The bound only proves the wait ends.
    template <class Pred> void WaitUntilDac(int n, Pred reached)
    {
        const auto end = Clock::now() + std::chrono::seconds(20);
        while (!reached(sim_->Dac(n)) && Clock::now() < end)
            std::this_thread::sleep_for(std::chrono::microseconds(100));
    }

    std::vector<TGoXYRequest> Moves() const
    {
        std::vector<TGoXYRequest> moves;
        for (const sim::SimRequest& r : sim_->RequestLog()) {
            if (r.Code != IOCTL_GO_XY)
                continue;
            TGoXYRequest m;
            m.X = r.In[0];
            m.Y = r.In[1];
            m.StepX = r.In[2];
            m.StepY = r.In[3];
            m.StepCount = r.In[4];
            m.PixelIndex = r.In[5];
            m.ListLength = r.In[6];
            m.ReadAddresses[0] = r.In[7];
            moves.push_back(m);
        }
        return moves;
    }

    std::vector<std::pair<int32_t, int32_t>> Writes() const
    {
        std::vector<std::pair<int32_t, int32_t>> w;
        for (const sim::SimRequest& r : sim_->RequestLog())
            if (r.Code == IOCTL_WRITE_REG)
                w.emplace_back(r.In[0], r.In[1]);
        return w;
    }

    static sim::SimConfig RealTimeConfig()
    {
        sim::SimConfig c = FastConfig();
        c.Clock = sim::ClockMode::RealTime;
        return c;
    }

    std::shared_ptr<sim::SimController> sim_;
    std::unique_ptr<TInOutForm> form_;
    std::unique_ptr<TDeviceWorkers> workers_;

private:
    std::array<TFeedbackSet, FeedbackModeCount> savedSets_{};
    bool savedAbort_ = false;
};

} // namespace

TEST_F(MoveEngineTest, SplitsMovesIntoEqualStepsOrAJump)
{
    TInOutForm& form = Open();
    TDeviceWorkers& workers = *workers_;
    TMoveEngine& moves = workers.Moves();
    moves.MaxStep = 100;

    // Within MaxStep: a jump.
    EXPECT_TRUE(moves.MoveTo(ProfilePlain, 10, 0));
    // 1000 digits: ten steps of 100 from where the tip is.
    EXPECT_TRUE(moves.MoveTo(ProfilePlain, 1010, 0));
    // 1005 digits: still ten steps of 100, five digits short.
    EXPECT_TRUE(moves.MoveTo(ProfilePlain, 2015, 0));
    // Nothing to do: nothing sent.
    EXPECT_TRUE(moves.MoveTo(ProfilePlain, 2010, 0));

    const std::vector<TGoXYRequest> sent = Moves();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].X, 10);
    EXPECT_EQ(sent[0].StepCount, 0);
    EXPECT_EQ(sent[0].ListLength, 0);
    EXPECT_EQ(sent[1].X, 10);
    EXPECT_EQ(sent[1].StepX, 100);
    EXPECT_EQ(sent[1].StepCount, 10);
    EXPECT_EQ(sent[2].X, 1010);
    EXPECT_EQ(sent[2].StepX, 100);
    EXPECT_EQ(sent[2].StepCount, 10);
    int32_t x = 0;
    int32_t y = 0;
    moves.Position(x, y);
    EXPECT_EQ(x, 2010);
    EXPECT_EQ(sim_->Dac(3), 2010);
    EXPECT_EQ(moves.PrevSteps, 10);

    // The next move first waits up to PrevSteps ms for the last one's end ...
    form.GoXYWaitEvent().Reset();
    auto start = Clock::now();
    moves.MoveTo(ProfilePlain, 3010, 0);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(9));
    EXPECT_LT(waited, std::chrono::seconds(2)); // the wait ends
    // ... and a move of more than 20 steps resets the event before it is
    // sent, so the completion of a move that ends at once is not lost and
    // the next move does not wait out its 40 ms.
    // Single-digit steps make the wait that must not happen 4 s long, far
    // beyond what a busy machine adds to a move that does not wait.
    moves.MaxStep = 1;
    moves.MoveTo(ProfilePlain, 7010, 0);
    EXPECT_EQ(moves.PrevSteps, 4000);
    EXPECT_TRUE(form.GoXYWaitEvent().IsSet());
    start = Clock::now();
    moves.MoveTo(ProfilePlain, 9010, 0);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2)); // half the wait that must not happen
}

TEST_F(MoveEngineTest, MovesInEveryDirectionEndOnTheirTargetAtAnyMaxStep)
{
    TInOutForm& form = Open();
    TDeviceWorkers& workers = *workers_;
    TMoveEngine& moves = workers.Moves();
    for (const int32_t maxStep : {1, 2, 3, 100}) {
        moves.MaxStep = maxStep;
        for (const int profile : {int(ProfilePlain), int(ProfileAccelerate), int(ProfileDecelerate)}) {
            for (int k = 0; k < 16; ++k) {
                // From the centre out along one of 16 directions and back,
                // 5831 digits each way (the length of (5000, 3000)).
                const double a = k * M_PI / 8.0;
                const int64_t tx = std::llround(5831.0 * std::cos(a));
                const int64_t ty = std::llround(5831.0 * std::sin(a));
                for (const auto& [x, y] : {std::pair{tx, ty}, std::pair{int64_t{0}, int64_t{0}}}) {
                    sim_->ClearLog();
                    int32_t fromX = 0;
                    int32_t fromY = 0;
                    moves.Position(fromX, fromY);
                    ASSERT_TRUE(moves.MoveTo(profile, x, y));
                    const std::string where = "MaxStep " + std::to_string(maxStep) + " profile " +
                                              std::to_string(profile) + " direction " + std::to_string(k);
                    EXPECT_LE(std::llabs(sim_->Dac(3) - x), maxStep) << where;
                    EXPECT_LE(std::llabs(sim_->Dac(4) - y), maxStep) << where;
                    int32_t atX = 0;
                    int32_t atY = 0;
                    moves.Position(atX, atY);
                    EXPECT_EQ(atX, sim_->Dac(3)) << where;
                    EXPECT_EQ(atY, sim_->Dac(4)) << where;
                    // No faster than about sqrt(2) MaxStep per tick, and no
                    // more ticks than the plain move's round(d / MaxStep).
                    int64_t ticks = 0;
                    for (const TGoXYRequest& m : Moves()) {
                        EXPECT_LE(std::hypot(m.StepX, m.StepY), std::sqrt(2.0) * maxStep * 1.05 + 1.0) << where;
                        ticks += m.StepCount;
                    }
                    const double d = std::hypot(double(x) - fromX, double(y) - fromY);
                    if (profile == ProfilePlain) {
                        EXPECT_LE(ticks, std::llround(d / maxStep) + 1) << where;
                    }
                }
            }
        }
    }

    // The arrival test of GoToXYRaw now means arrival at the target.
    moves.MaxStep = 1;
    EXPECT_LE(workers.GoToXYRaw(5000, 3000), 1);
    EXPECT_EQ(form.ReadReg(ReadAddrX), 5000);
    EXPECT_EQ(form.ReadReg(ReadAddrY), 3000);
    moves.MaxStep = 2;
    EXPECT_LE(workers.GoToXYRaw(-5000, 3001), 2);
    EXPECT_LE(std::abs(form.ReadReg(ReadAddrX) + 5000), 2);
    EXPECT_LE(std::abs(form.ReadReg(ReadAddrY) - 3001), 2);
}

TEST_F(MoveEngineTest, PixelMovesArriveInTheirTicksAlongAnAxisAndDiagonally)
{
    Open();
    TMoveEngine& moves = workers_->Moves();
    moves.MaxStep = 1;
    moves.MoveSteps = 153;
    // A pixel of a 30 degree line at about one digit per tick: (132, 76) in
    // 153 ticks. Equal steps would truncate to nothing.
    TGoXYReply reply;
    ASSERT_TRUE(moves.MoveToChecked(1, 132, 76, &reply));
    EXPECT_EQ(sim_->Dac(3), 132);
    EXPECT_EQ(sim_->Dac(4), 76);
    int64_t ticks = 0;
    const std::vector<TGoXYRequest> sent = Moves();
    for (size_t i = 0; i < sent.size(); ++i) {
        ticks += sent[i].StepCount;
        EXPECT_LE(std::abs(sent[i].StepX), 1);
        EXPECT_LE(std::abs(sent[i].StepY), 1);
        EXPECT_EQ(sent[i].PixelIndex, 1);
    }
    EXPECT_EQ(ticks, 153); // the pixel keeps its time

    // Along one axis with fewer digits than ticks (a slow frame): 62 or 63
    // digits in 610 ticks. Each pixel arrives where it belongs in its own
    // ticks, never standing still for a few pixels and leaping after.
    moves.MoveSteps = 610;
    auto pixelTicks = [&](int pixel) {
        int64_t n = 0;
        for (const TGoXYRequest& m : Moves()) {
            if (m.PixelIndex == pixel)
                n += m.StepCount;
        }
        return n;
    };
    for (int a = 2; a <= 9; ++a) {
        const int64_t x = 132 + (a - 1) * 625 / 10;
        ASSERT_TRUE(moves.MoveToChecked(a, x, 76, &reply));
        EXPECT_EQ(sim_->Dac(3), x) << a;
        EXPECT_EQ(sim_->Dac(4), 76) << a;
        EXPECT_EQ(pixelTicks(a), 610) << a;
    }
    // Backward along Y likewise.
    for (int a = 10; a <= 13; ++a) {
        const int64_t y = 76 - (a - 9) * 7;
        ASSERT_TRUE(moves.MoveToChecked(a, sim_->Dac(3), y, &reply));
        EXPECT_EQ(sim_->Dac(4), y) << a;
        EXPECT_EQ(pixelTicks(a), 610) << a;
    }
    // More digits than ticks: spread as whole steps and one more, within MaxStep.
    moves.MaxStep = 3;
    moves.MoveSteps = 10;
    const int32_t from = sim_->Dac(3);
    ASSERT_TRUE(moves.MoveToChecked(14, from + 25, sim_->Dac(4), &reply));
    EXPECT_EQ(sim_->Dac(3), from + 25);
    EXPECT_EQ(pixelTicks(14), 10);
    for (const TGoXYRequest& m : Moves()) {
        if (m.PixelIndex == 14) {
            EXPECT_LE(std::abs(m.StepX), 3);
        }
    }
}

TEST_F(MoveEngineTest, ProfilesCoverTheWayInTenStagesSlowToFastOrFastToSlow)
{
    Open();
    TDeviceWorkers& workers = *workers_;
    TMoveEngine& moves = workers.Moves();
    moves.MaxStep = 100;

    moves.MoveTo(ProfileAccelerate, 30000, 0);
    const std::vector<TGoXYRequest> up = Moves();
    ASSERT_EQ(up.size(), 10u);
    int64_t reached = 0;
    for (size_t i = 0; i < up.size(); ++i) {
        EXPECT_EQ(up[i].X, reached) << i;
        // Each stage covers a tenth of the way, at MaxStep times its factor.
        EXPECT_NEAR(double(up[i].StepX) * up[i].StepCount, 3000.0, up[i].StepCount) << i;
        EXPECT_NEAR(up[i].StepX, 100 * SpeedProfile[i], 3.0) << i;
        reached += int64_t(up[i].StepX) * up[i].StepCount;
    }
    int32_t x = 0;
    int32_t y = 0;
    moves.Position(x, y);
    EXPECT_EQ(x, reached);
    EXPECT_LE(30000 - reached, up.back().StepCount);
    EXPECT_EQ(sim_->Dac(3), reached);

    // Decelerating back runs the factors in reverse.
    sim_->ClearLog();
    moves.MoveTo(-1, 0, 0);
    const std::vector<TGoXYRequest> down = Moves();
    ASSERT_EQ(down.size(), 10u);
    for (size_t i = 0; i < down.size(); ++i)
        EXPECT_NEAR(-down[i].StepX, 100 * SpeedProfile[9 - i], 3.0) << i;
    moves.Position(x, y);
    EXPECT_GE(x, 0);
    EXPECT_LE(x, down.back().StepCount);
}

TEST_F(MoveEngineTest, PixelMovesSampleTheListAndNeverDivideByZero)
{
    Open();
    TDeviceWorkers& workers = *workers_;
    TMoveEngine& moves = workers.Moves();
    const int32_t list[] = {ReadAddrX, ReadAddrZ, ReadListTerminator};
    moves.SetReadList(3, list);
    moves.MaxStep = 1;
    moves.MoveSteps = 2000;

    // 3000 digits: MoveSteps steps of trunc(1.5); 5000 digits: 5000 steps of 1.
    TGoXYReply reply;
    EXPECT_TRUE(moves.MoveToChecked(1, 3000, 0, &reply));
    EXPECT_EQ(reply.Readings[0], 2000);
    EXPECT_TRUE(moves.MoveToChecked(2, 7000, 0, &reply));
    EXPECT_EQ(reply.Readings[0], 7000);
    // No way to go: nothing sent, still a success.
    EXPECT_TRUE(moves.MoveToChecked(3, 7000, 0, &reply));
    // A plain move in between leaves the list for the next pixel.
    moves.MoveTo(ProfilePlain, 7001, 0);

    // MaxStep 0 (a too slow scan) still moves, one digit per step.
    moves.MaxStep = 0;
    moves.MoveSteps = 1;
    EXPECT_TRUE(moves.MoveToChecked(4, 7101, 0, &reply));
    EXPECT_EQ(reply.Readings[0], 7101);

    const std::vector<TGoXYRequest> sent = Moves();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0].StepCount, 2000);
    EXPECT_EQ(sent[0].StepX, 1);
    EXPECT_EQ(sent[0].PixelIndex, 1);
    EXPECT_EQ(sent[0].ListLength, 3);
    EXPECT_EQ(sent[0].ReadAddresses[0], ReadAddrX);
    EXPECT_EQ(sent[1].StepCount, 5000);
    EXPECT_EQ(sent[1].X, 2000);
    EXPECT_EQ(sent[2].ListLength, 0);
    EXPECT_EQ(sent[3].StepCount, 100);
    EXPECT_EQ(sent[3].ListLength, 3);
    EXPECT_EQ(moves.Request().PixelIndex, 4);

    // A failed request is reported.
    sim::SimFaults faults;
    faults.FailCode = IOCTL_GO_XY;
    sim_->SetFaults(faults);
    EXPECT_FALSE(moves.MoveToChecked(5, 0, 0));
    EXPECT_EQ(boxes_.Texts(), QStringList{"IOCTL_GO_XY error! - Wrong Device Driver ?"});
}

TEST_F(MoveEngineTest, ClampsTargetsToTheScannerLimitsAndCountsEachLimit)
{
    Open();
    TDeviceWorkers& workers = *workers_;
    TMoveEngine& moves = workers.Moves();
    ChannelTable[SlotY].MinRaw = -1000;
    ChannelTable[SlotY].MaxRaw = 1000;

    moves.MoveTo(ProfilePlain, 40000, 0);
    EXPECT_EQ(moves.ClampCount, 1);
    EXPECT_EQ(sim_->Dac(3), 32000);
    moves.MoveToChecked(1, -40000, 40000);
    EXPECT_EQ(moves.ClampCount, 3);
    EXPECT_EQ(sim_->Dac(3), -32000);
    EXPECT_EQ(sim_->Dac(4), 1000);
    moves.MoveTo(ProfileAccelerate, 0, -1000);
    EXPECT_EQ(moves.ClampCount, 3);
}

TEST_F(MoveEngineTest, GoToWaitsForArrivalAndAStopLeavesThePositionWithTheController)
{
    TInOutForm& form = Open(RealTimeConfig());
    TDeviceWorkers& workers = *workers_;
    TMoveEngine& moves = workers.Moves();

    // Arrival is within MaxStep of where the steps lead (six of 1000 here).
    moves.MaxStep = 1000;
    EXPECT_LE(workers.GoToXYRaw(6000, 0), 1000);
    EXPECT_LE(std::abs(form.ReadReg(ReadAddrX) - 6000), 1000);
    ASSERT_TRUE(form.GoXYWaitEvent().Wait(1000));
    EXPECT_EQ(form.ReadReg(ReadAddrX), 6000);
    double px = 0;
    double py = 0;
    ChannelTable[SlotX].Factor = 0.5f;
    workers.GetTipPosition(px, py);
    EXPECT_EQ(px, 3000.0);
    EXPECT_EQ(workers.TipRawX, 6000);
    // Physical units without offset; a target beyond DAC4 is held at its limit.
    moves.MaxStep = 100000;
    workers.GoToXYPhys(-1000.0, 1e12);
    EXPECT_EQ(form.ReadReg(ReadAddrX), -2000);
    EXPECT_EQ(form.ReadReg(ReadAddrY), 32000);
    EXPECT_EQ(moves.ClampCount, 0); // limited before the move, not by it

    // The window thread: its wait runs no messages; the caller's own stop,
    // set meanwhile, ends it.
    moves.MaxStep = 1;
    sim_->ClearLog();
    std::atomic<bool> esc{false};
    // The key comes once the tip is on its way (a thousand of its 32000
    // steps), however late the machine lets either thread run.
    std::thread operatorKey([&] {
        WaitUntilDac(4, [](int32_t y) { return y < 31000; });
        esc = true;
    });
    workers.GoToXYRaw(-2000, 0, &esc);
    operatorKey.join();
    EXPECT_FALSE(AbortFlag);
    EXPECT_EQ(moves.PrevSteps, 0);
    std::vector<TGoXYRequest> sent = Moves();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].StepCount, GoXYStop);
    EXPECT_EQ(sent[1].ListLength, 0);
    int32_t x = 0;
    int32_t y = 0;
    moves.Position(x, y);
    EXPECT_EQ(x, form.ReadReg(ReadAddrX));
    EXPECT_GT(y, 1000);
    EXPECT_LT(y, 31000);
    EXPECT_EQ(moves.Request().StepCount, sent[0].StepCount); // the stop went in a copy

    // Another thread: its own abort ends the wait, an Esc meant for someone else stays.
    AbortFlag = true;
    const int32_t before = y;
    std::atomic<bool> stop{false};
    std::thread mover([&] { workers.GoToXYRaw(-2000, -30000, &stop); });
    WaitUntilDac(4, [&](int32_t now) { return now < before; });
    stop = true;
    mover.join();
    EXPECT_TRUE(AbortFlag);
    moves.Position(x, y);
    EXPECT_EQ(y, form.ReadReg(ReadAddrY));
    EXPECT_LT(y, before);
    EXPECT_GT(y, -30000);

    // A controller that never answers cannot hold the caller for ever.
    moves.MaxStep = 1000;
    moves.ArrivalGraceMs = 50;
    sim::SimFaults faults;
    faults.FailAllRequests = true;
    sim_->SetFaults(faults);
    const auto start = Clock::now();
    std::thread dead([&] { workers.GoToXYRaw(3000, 3000); });
    dead.join();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
}

TEST_F(MoveEngineTest, SyncBelievesAStillControllerAndStopsARunningScan)
{
    TInOutForm& form = Open(RealTimeConfig());
    TDeviceWorkers& workers = *workers_;
    TMoveEngine& moves = workers.Moves();

    // Idle and still: the controller's position is taken.
    form.WriteReg(RegX, 1234);
    form.WriteReg(RegY, -567);
    moves.PrevSteps = 77;
    form.GoXYWaitEvent().Set();
    workers.SyncXYPosition();
    int32_t x = 0;
    int32_t y = 0;
    moves.Position(x, y);
    EXPECT_EQ(x, 1234);
    EXPECT_EQ(y, -567);
    EXPECT_EQ(moves.PrevSteps, 0);
    EXPECT_FALSE(form.GoXYWaitEvent().IsSet());

    // Still moving: the two readings disagree and the move state stays.
    moves.MaxStep = 10;
    moves.MoveTo(ProfilePlain, 21234, -567); // 2000 steps, 51 ms
    moves.SetPosition(0, 0);
    workers.SyncXYPosition();
    moves.Position(x, y);
    EXPECT_EQ(x, 0);
    ASSERT_TRUE(form.GoXYWaitEvent().Wait(1000));
    workers.SyncXYPosition();
    moves.Position(x, y);
    EXPECT_EQ(x, 21234);

    // A running scan: its move is stopped and a waiting move released.
    const std::unique_ptr<WorkerThread> scan = RunningScan();
    moves.SetScanThread(scan.get());
    moves.MaxStep = 1;
    moves.MoveTo(ProfilePlain, 1234, -567); // 0.5 s
    WaitUntilDac(3, [](int32_t x) { return x < 21234; });
    workers.SyncXYPosition();
    EXPECT_TRUE(form.GoXYWaitEvent().IsSet());
    const int32_t stopped = form.ReadReg(ReadAddrX);
    EXPECT_GT(stopped, 1234);
    EXPECT_LT(stopped, 21234);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(form.ReadReg(ReadAddrX), stopped);
    scan->Terminate();
    scan->Join();
    moves.SetScanThread(nullptr);
}

// The wake-up is the program's own: with a driver whose stop does not end
// the stopped move, the move waiting on it goes on at once all the same,
// rather than wait out the stopped move's time.
TEST_F(MoveEngineTest, SyncDuringAScanReleasesTheMoveWaitingOnTheMoveItStopped)
{
    TInOutForm& form = Open(RealTimeConfig(), true);
    TDeviceWorkers& workers = *workers_;
    TMoveEngine& moves = workers.Moves();
    const std::unique_ptr<WorkerThread> scan = RunningScan();
    moves.SetScanThread(scan.get());
    moves.MaxStep = 1;
    moves.MoveTo(ProfilePlain, 20000, 0); // 20000 steps: waited for up to 20 s
    // The scan's next move, one digit on, waits for that one.
    std::promise<void> sent;
    std::future<void> next = sent.get_future();
    std::thread mover([&] {
        moves.MoveTo(ProfilePlain, 20000, 1);
        sent.set_value();
    });
    workers.SyncXYPosition();
    // Ten times what the wake-up takes on the busiest machine, far below the 20 s.
    const bool released = next.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
    EXPECT_TRUE(released) << "the waiting move was not woken";
    form.GoXYWaitEvent().Set(); // ends the wait of a failed run
    mover.join();
    EXPECT_EQ(moves.Request().Y, 1);
    scan->Terminate();
    scan->Join();
    moves.SetScanThread(nullptr);
}

TEST_F(MoveEngineTest, ResetRampsThroughTheRegistersTheControllerHas)
{
    // With the fast module (type 29): from its position words, four registers per step.
    sim::SimConfig config = FastConfig();
    config.ControllerType = 29;
    Open(config);
    TDeviceWorkers& workers = *workers_;
    TMoveEngine& moves = workers.Moves();
    moves.MaxStep = 1000;
    moves.Reset(5000, -3000);
    std::vector<std::pair<int32_t, int32_t>> w = Writes();
    ASSERT_EQ(w.size(), 6u * 4 + 2); // round(5831 / 1000) = 6 steps
    EXPECT_EQ(w[0], std::make_pair(RegX, 833));
    EXPECT_EQ(w[1], std::make_pair(RegY, -500));
    EXPECT_EQ(w[2], std::make_pair(RegFilterX, 833));
    EXPECT_EQ(w[3], std::make_pair(RegFilterY, -500));
    EXPECT_EQ(w[24], std::make_pair(RegX, 5000));
    EXPECT_EQ(w[25], std::make_pair(RegY, -3000));
    int32_t x = 0;
    int32_t y = 0;
    moves.Position(x, y);
    EXPECT_EQ(x, 5000);
    EXPECT_EQ(y, -3000);

    // MaxStep 649 or less: nothing at all.
    sim_->ClearLog();
    moves.MaxStep = 649;
    moves.Reset(0, 0);
    EXPECT_TRUE(sim_->RequestLog().empty());

    // ResetGoXY goes home in one jump at MaxStep 200000.
    workers.ResetGoXY();
    EXPECT_EQ(moves.MaxStep, ResetMaxStep);
    EXPECT_EQ(Writes(), (std::vector<std::pair<int32_t, int32_t>>{{RegX, 0}, {RegY, 0}}));
    EXPECT_TRUE(boxes_.Texts().isEmpty());
}

TEST_F(MoveEngineTest, ResetWithoutTheFastModuleStartsFromTheMoveState)
{
    TInOutForm& form = Open(); // type 26
    TDeviceWorkers& workers = *workers_;
    TMoveEngine& moves = workers.Moves();
    moves.MaxStep = 1000;
    form.WriteReg(RegX, 1000);
    form.WriteReg(RegY, 1000);
    moves.SetPosition(1000, 1000);
    sim_->ClearLog();
    moves.Reset(-4000, 1000);
    const std::vector<std::pair<int32_t, int32_t>> w = Writes();
    ASSERT_EQ(w.size(), 5u * 2 + 2);
    EXPECT_EQ(w[0], std::make_pair(RegX, 0));
    EXPECT_EQ(w[1], std::make_pair(RegY, 1000));
    EXPECT_EQ(w[2], std::make_pair(RegX, -1000));
    EXPECT_EQ(w[11], std::make_pair(RegY, 1000));
    EXPECT_TRUE(boxes_.Texts().isEmpty()); // no "192 is outside address range!"
    int32_t x = 0;
    int32_t y = 0;
    moves.Position(x, y);
    EXPECT_EQ(x, -4000);
    EXPECT_EQ(sim_->Dac(3), -4000);
}

TEST_F(MoveEngineTest, BiasIsQuantisedInvertedAndKeptWithTheFeedbackSet)
{
    TInOutForm& form = Open();
    MicroscopeState.FeedbackMode = 0; // STM
    TIOScale& bias = ChannelTable[SlotBias];
    bias.Factor = 0.001f;
    bias.Invers = true;

    EXPECT_NEAR(form.SetBias(-1.0), -1.0, 1e-6);
    EXPECT_EQ(sim_->Dac(2), 1000);
    EXPECT_FLOAT_EQ(MicroscopeState.FeedbackSets[FeedbackSetIndex(0)].Bias, -1.0f);
    EXPECT_EQ(sim_->Feedback().ControlWord, 0x1200); // negative bias, input not inverted

    EXPECT_NEAR(form.SetBias(1.2345), 1.234, 1e-6); // 1234.5 digits round to even
    EXPECT_EQ(sim_->Dac(2), -1234);
    EXPECT_EQ(sim_->Feedback().ControlWord, 0x1000);

    EXPECT_NEAR(form.SetBias(100.0), 32.0, 1e-4);
    EXPECT_EQ(sim_->Dac(2), -32000);
    EXPECT_FLOAT_EQ(MicroscopeState.FeedbackSets[FeedbackSetIndex(0)].Bias, 32.0f);
}

TEST_F(MoveEngineTest, ConstantHeightHoldsTheLoopAndLiftsZInsideItsLimits)
{
    sim::SimConfig config = FastConfig();
    config.Surface.Base = 1000;
    TInOutForm& form = Open(config);
    TDeviceWorkers& workers = *workers_;
    TMoveEngine& moves = workers.Moves();
    ASSERT_EQ(MicroscopeState.FeedbackMode, 3);
    form.DelayUs(1000);
    const int32_t tracked = 1000 + static_cast<int32_t>(TrackingPush);
    EXPECT_EQ(form.ReadReg(ReadAddrZ), tracked); // the loop tracks the sample

    // Up is toward the sample: the lift goes down.
    EXPECT_EQ(workers.SetFlyHeight(-500.0), -500.0);
    workers.SetScanMode(2);
    EXPECT_EQ(moves.FlyOn, 2);
    EXPECT_EQ(MicroscopeState.FeedbackMode, -1);
    EXPECT_EQ(sim_->Feedback().ControlWord, 0);
    EXPECT_EQ(form.ReadReg(ReadAddrZ), tracked - 500);
    workers.SetScanMode(2); // already there: Z stays
    EXPECT_EQ(form.ReadReg(ReadAddrZ), tracked - 500);

    workers.SetScanMode(1);
    EXPECT_EQ(MicroscopeState.FeedbackMode, 3);
    EXPECT_EQ(sim_->Feedback().ControlWord, 0x2000);
    form.DelayUs(1000);
    EXPECT_EQ(form.ReadReg(ReadAddrZ), tracked);

    // The largest lift is Z's whole span (one beyond it could never run),
    // and the Z it lifts to is clamped to DAC1 instead of wrapping round.
    ChannelTable[SlotZ].Factor = 0.5f;
    const double span = double(ChannelTable[SlotZ].MaxRaw.load()) - ChannelTable[SlotZ].MinRaw.load();
    EXPECT_EQ(workers.SetFlyHeight(1e12), span * 0.5);
    EXPECT_EQ(workers.SetFlyHeight(-1e12), -span * 0.5);
    EXPECT_EQ(workers.SetFlyHeight(-span * 0.5), -span * 0.5);
    workers.SetFlyHeight(-1e12);
    workers.SetScanMode(2);
    EXPECT_EQ(form.ReadReg(ReadAddrZ), -32000);
    form.SetZ(-1e9);
    EXPECT_EQ(form.ReadReg(ReadAddrZ), -32000);
    form.SetZ(100.0);
    EXPECT_EQ(form.ReadReg(ReadAddrZ), 200);
    workers.SetScanMode(0);
    EXPECT_EQ(moves.FlyOn, 0);
}
