// The joystick thread against the simulated controller, and the move
// request shared by several threads.

#include "support/DriverLinkFixture.h"

#include "device/InOutForm.h"
#include "motion/GoJoyThread.h"
#include "motion/MoveEngine.h"
#include "scan/DeviceWorkers.h"

#include <chrono>
#include <thread>

using namespace qvt;
using namespace qvt::test;

namespace {

// Polls until `done` holds; the bound only proves the wait ends (ticks are 10 ms).
template <class Pred> bool WaitFor(Pred done, int timeoutMs = 10000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return done();
}

class GoJoyThreadTest : public DriverLinkFixture {
protected:
    void SetUp() override
    {
        DriverLinkFixture::SetUp();
        savedAbort_ = AbortFlag.load();
        AbortFlag = false;
        sim_ = PlugSim(FastConfig());
        // The output read addresses a loaded table gives: DACn reads at 1 - n.
        for (int slot = 0; slot < DacCount; ++slot)
            ChannelTable[slot].Address = -slot;
        form_ = std::make_unique<TInOutForm>();
        EXPECT_TRUE(form_->OpenDriver());
        form_->Caps.BoxVersion = 26;
        workers_ = std::make_unique<TDeviceWorkers>(*form_);
    }
    void TearDown() override
    {
        workers_.reset(); // stops the joystick thread first
        form_.reset();
        EXPECT_EQ(sim_->GuardViolationCount(), 0);
        AbortFlag = savedAbort_;
        DriverLinkFixture::TearDown();
    }

    std::vector<int32_t> SentX() const
    {
        std::vector<int32_t> x;
        for (const sim::SimRequest& r : sim_->RequestLog())
            if (r.Code == IOCTL_GO_XY)
                x.push_back(r.In[0]);
        return x;
    }

    std::shared_ptr<sim::SimController> sim_;
    std::unique_ptr<TInOutForm> form_;
    std::unique_ptr<TDeviceWorkers> workers_;

private:
    bool savedAbort_ = false;
};

} // namespace

TEST(GoJoyStep, IsTheVelocityInUnitsOf256PerMaxStep)
{
    EXPECT_EQ(JoyStep(128, 1000), 500);
    EXPECT_EQ(JoyStep(-256, 1000), -1000);
    EXPECT_EQ(JoyStep(-1, 1000), -4); // -3.906 rounds to -4
    EXPECT_EQ(JoyStep(1, 128), 0);    // 0.5 rounds to even
    EXPECT_EQ(JoyStep(3, 128), 2);    // 1.5 rounds to even
    EXPECT_EQ(JoyStep(32767, 200000), 25599219);
}

TEST_F(GoJoyThreadTest, MovesEveryTickAtItsVelocityAndParksAtZero)
{
    TInOutForm& form = *form_;
    TDeviceWorkers& workers = *workers_;
    TGoJoyThread& joy = workers.GoJoyThread();
    workers.Moves().MaxStep = 1000;
    AbortFlag = true; // an Esc meant for someone else

    workers.StartJoyMove(128, 0, 0);
    ASSERT_TRUE(WaitFor([&] { return SentX().size() >= 3; })); // three ticks, however busy the machine
    EXPECT_FALSE(joy.Suspended());
    workers.StartJoyMove(0, 0, 0);
    ASSERT_TRUE(joy.WaitParked(1000));

    const std::vector<int32_t> x = SentX();
    ASSERT_GE(x.size(), 3u);
    for (size_t i = 0; i < x.size(); ++i)
        EXPECT_EQ(x[i], 500 * int32_t(i + 1)) << i; // one jump of 500 per tick
    EXPECT_EQ(form.ReadReg(ReadAddrX), 500 * int32_t(x.size()));
    EXPECT_TRUE(AbortFlag);

    // Parked, nothing more is sent.
    const size_t sent = x.size();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(SentX().size(), sent);

    // Z steps through register 32, held inside DAC1's limits.
    workers.Moves().MaxStep = 10000;
    ChannelTable[SlotZ].MinRaw = -25000;
    workers.StartJoyMove(0, 0, -256);
    ASSERT_TRUE(WaitFor([&] { return form.ReadReg(ReadAddrZ) == -25000; }));
    workers.StartJoyMove(0, 0, 0);
    ASSERT_TRUE(joy.WaitParked(1000));
    EXPECT_EQ(form.ReadReg(ReadAddrZ), -25000);
}

TEST_F(GoJoyThreadTest, AVelocityGivenWhileItParksIsNotLost)
{
    TInOutForm& form = *form_;
    TDeviceWorkers& workers = *workers_;
    TGoJoyThread& joy = workers.GoJoyThread();
    workers.Moves().MaxStep = 10;
    for (int i = 0; i < 20; ++i) {
        workers.StartJoyMove(0, 0, 0);
        workers.StartJoyMove(0, 256, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(WaitFor([&] { return form.ReadReg(ReadAddrY) > 0; }));
    EXPECT_FALSE(joy.Suspended());
    workers.StartJoyMove(0, 0, 0);
    EXPECT_TRUE(joy.WaitParked(1000));
    EXPECT_GT(form.ReadReg(ReadAddrY), 0);
}

TEST_F(GoJoyThreadTest, ThreadsShareTheMoveRequestSafely)
{
    // The joystick, a pixel-moving thread and the window thread all move at once.
    TInOutForm& form = *form_;
    TDeviceWorkers& workers = *workers_;
    TMoveEngine& moves = workers.Moves();
    moves.MaxStep = 50;
    moves.MoveSteps = 4;
    const int32_t list[] = {ReadAddrX, ReadAddrY, ReadListTerminator};
    moves.SetReadList(3, list);
    workers.StartJoyMove(64, 64, 0);

    std::atomic<bool> failed{false};
    std::thread scan([&] {
        TGoXYReply reply;
        for (int i = 0; i < 300; ++i)
            if (!moves.MoveToChecked(i + 1, (i % 40) * 100 - 2000, -(i % 30) * 100, &reply))
                failed = true;
    });
    for (int i = 0; i < 20; ++i) {
        workers.GoToXYRaw(1000 - i * 50, 500);
        workers.SyncXYPosition();
        moves.SendStop();
    }
    scan.join();
    workers.StartJoyMove(0, 0, 0);
    EXPECT_TRUE(workers.GoJoyThread().WaitParked(1000));
    EXPECT_FALSE(failed);
    EXPECT_TRUE(boxes_.Texts().isEmpty());

    // Once all is still, the move state and the controller agree again.
    workers.SyncXYPosition();
    int32_t x = 0;
    int32_t y = 0;
    moves.Position(x, y);
    EXPECT_EQ(x, form.ReadReg(ReadAddrX));
    EXPECT_EQ(y, form.ReadReg(ReadAddrY));
}
