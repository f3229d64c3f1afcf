// Approach, retract and the step timer against the simulated controller.

#include "support/DriverLinkFixture.h"

#include "device/InOutForm.h"
#include "motion/Approach.h"
#include "motion/Stepper.h"
#include "scan/DeviceWorkers.h"
#include "sim/SimSerialPeer.h"

#include <QTimer>

#include <climits>
#include <functional>
#include <memory>
#include <random>

using namespace qvt;
using namespace qvt::test;

namespace {

// Waits without a window: each pass lets the step timer tick (when it runs),
// then whatever the test scripted, then a millisecond of instrument time.
class ScriptedHost final : public IApproachHost {
public:
    explicit ScriptedHost(TInOutForm& link) : link_(link) {}

    void WaitPass(TWaitFor) override
    {
        if (++Passes > 200000) {
            // A wait that never ends is a failure, not a hang.
            ADD_FAILURE() << "endless wait";
            if (Approach != nullptr)
                Approach->Stop();
        }
        if (timer_ && Approach != nullptr)
            Approach->StepTimerTick();
        if (OnPass)
            OnPass();
        link_.DelayUs(1000);
    }
    void SleepMs(int ms) override { Sleeps.push_back(ms); }
    void StartStepTimer(int intervalMs) override
    {
        timer_ = true;
        Intervals.push_back(intervalMs);
    }
    void StopStepTimer() override { timer_ = false; }
    bool StepTimerRunning() const override { return timer_; }
    void ShowCursor(TMotionCursor cursor) override
    {
        Cursors.push_back(cursor);
        ++CursorDepth;
    }
    void RestoreCursor() override { --CursorDepth; }
    void Beep() override { ++Beeps; }

    TApproach* Approach = nullptr;
    std::function<void()> OnPass;
    int Passes = 0;
    std::vector<int> Sleeps;
    std::vector<int> Intervals;
    std::vector<TMotionCursor> Cursors;
    int CursorDepth = 0;
    int Beeps = 0;

private:
    TInOutForm& link_;
    bool timer_ = false;
};

class ApproachOnSim : public DriverLinkFixture {
protected:
    void SetUp() override
    {
        DriverLinkFixture::SetUp();
        AbortFlag = false;
        host.Approach = &approach;
        ini_->WriteInteger("Coarse", "FastZ", 1);
        ini_->WriteInteger("Coarse", "SlowZ", 0);
        // A phase-stepped z motor: "On" must leave the z nibble of register 40
        // free (kind 57 would hold bits 2-3 high and the rotor still).
        ini_->WriteInteger("Stepper", "On", 39);
    }

    void TearDown() override
    {
        AbortFlag = false;
        DriverLinkFixture::TearDown();
    }

    // The surface meets the loop at `base` once the coarse motor has made
    // `gap` steps of `stepSize` toward it.
    std::shared_ptr<sim::SimController> Start(double base, double stepSize, double gap)
    {
        sim::SimConfig config = FastConfig();
        config.LogRequests = false;
        config.AdcNoise = 0.0;
        config.Surface.Base = base;
        config.Coarse.StepSize = stepSize;
        config.Coarse.Gap = gap;
        auto sim = PlugSim(config);
        form.FormCreate();
        EXPECT_FALSE(form.StartFailed());
        workers.FormCreate();
        approach.CoarseStepper = Stepper;
        return sim;
    }

    void Land(int mode = 0)
    {
        approach.AutoApproach(mode);
        ASSERT_EQ(MicroscopeState.ZState, ZApproached);
    }

    TInOutForm form;
    TDeviceWorkers workers{form};
    ScriptedHost host{form};
    TApproach approach{form, host};
};

// A controller that answers the contact with a given number of positive
// readings in every hundred and reads Z as told.
class ContactBox : public DeviceDriver {
public:
    bool Control(uint32_t code, const void* in, size_t, void* out, size_t outSize, size_t* returned) override
    {
        int32_t reply = 0;
        if (code == IOCTL_READ_CONTACT)
            reply = (reads_++ % ContactReadings) < Positive ? Sign : 0;
        else if (code == IOCTL_READ_REG && *static_cast<const int32_t*>(in) == ReadAddrZ)
            reply = Z;
        if (outSize == 4)
            *static_cast<int32_t*>(out) = reply;
        if (returned)
            *returned = outSize;
        return true;
    }
    size_t BulkRead(void*, size_t, int) override { return 0; }
    ManualResetEvent& GoXYWaitEvent() override { return event_; }

    int Positive = 0;
    int32_t Sign = 1;
    int32_t Z = 0;

private:
    int reads_ = 0;
    ManualResetEvent event_;
};

} // namespace

TEST(ApproachThresholds, TenPercentFromEitherEndAndOnePercentAboveTheMinimum)
{
    const TZThresholds t = ZThresholdsFor(-32000, 32000);
    EXPECT_EQ(t.Upper, 25600);
    EXPECT_EQ(t.Lower, -25600);
    EXPECT_EQ(t.RetractTarget, -31360);
    // The widest range does not wrap.
    const TZThresholds w = ZThresholdsFor(INT_MIN, INT_MAX);
    EXPECT_EQ(w.Upper, 1717986918);
    EXPECT_EQ(w.Lower, -1717986919);
    EXPECT_EQ(w.RetractTarget, -2104533976);
}

TEST_F(ApproachOnSim, ContactNeedsThirtyPositiveReadingsAndZAtEndFollowsTheRetract)
{
    auto box = std::make_shared<ContactBox>();
    PlugInDevice("CONTACTBOX", box);
    DeviceDriverName = "CONTACTBOX";
    ASSERT_TRUE(form.OpenDriver());

    box->Positive = 29;
    EXPECT_FALSE(approach.ContactTest());
    EXPECT_EQ(approach.ApproachState, 0);
    box->Positive = 30;
    EXPECT_TRUE(approach.ContactTest());
    EXPECT_EQ(approach.ApproachState, ApproachContact);
    // The test answers for "contact" alone.
    approach.ApproachState = ApproachZAtEnd;
    EXPECT_FALSE(approach.ContactTest());
    EXPECT_EQ(approach.ApproachState, ApproachZAtEnd | ApproachContact);

    box->Z = 25601;
    EXPECT_TRUE(approach.ZAtEnd());
    box->Z = 25600;
    EXPECT_FALSE(approach.ZAtEnd());
    form.RetractFlag = true;
    EXPECT_FALSE(approach.ZAtEnd());
    box->Z = -25601;
    EXPECT_TRUE(approach.ZAtEnd());
    form.RetractFlag = false;
    UnplugDevice("CONTACTBOX");

    // A USB box reports contact with the opposite sign.
    auto usb = std::make_shared<ContactBox>();
    PlugInDevice("CONTACTUSB", usb);
    DeviceDriverName = "CONTACTUSB";
    ASSERT_TRUE(form.OpenDriver());
    ASSERT_EQ(form.Caps.UsbBox, 1);
    approach.ApproachState = 0;
    usb->Positive = 100;
    EXPECT_FALSE(approach.ContactTest());
    usb->Sign = -1;
    EXPECT_TRUE(approach.ContactTest());
    UnplugDevice("CONTACTUSB");
}

TEST_F(ApproachOnSim, FullApproachLandsAfterTheStepsTheGapNeedsAndStops)
{
    // Within reach from Base 24000 on, below the upper tenth of the range:
    // a gap of five steps takes exactly five (at 30000 and 27000 the tip
    // touches, but above the working range).
    auto sim = Start(24000.0, 3000.0, 5.0);
    for (int i = 0; i < 10; ++i)
        host.WaitPass(TWaitFor::Instrument);
    ASSERT_EQ(sim->Dac(1), 32000); // hanging at full extension
    Land();
    EXPECT_EQ(sim->CoarseStepsDown(), 5);
    EXPECT_EQ(sim->CoarseStepsUp(), 0);
    EXPECT_EQ(Stepper->zCoarsePos, -5);
    EXPECT_EQ(sim->Dac(1), 24000 + static_cast<int32_t>(TrackingPush));
    EXPECT_TRUE(sim->InContact());
    EXPECT_EQ(approach.ApproachState, ApproachContact);
    EXPECT_FALSE(form.RetractFlag);
    EXPECT_EQ(approach.PendingSteps, 0);
    EXPECT_FALSE(host.StepTimerRunning());
    EXPECT_EQ(host.Intervals, std::vector<int>(5, 1));
    EXPECT_EQ(host.Cursors, std::vector<TMotionCursor>{TMotionCursor::FullApproach});
    EXPECT_EQ(host.CursorDepth, 0);
    EXPECT_EQ(host.Beeps, 1);
    EXPECT_FALSE(approach.Busy());

    // Landed, it stays: a second approach finds Z in range and steps no more.
    Land();
    EXPECT_EQ(sim->CoarseStepsDown(), 5);
    EXPECT_EQ(sim->GuardViolationCount(), 0);
}

TEST_F(ApproachOnSim, StepByStepStepsEngagedUntilTheSurfaceIsInReach)
{
    auto sim = Start(24000.0, 3000.0, 5.0);
    int retractedAtStep = -1;
    host.OnPass = [&] {
        if (retractedAtStep < 0 && form.RetractFlag.load())
            retractedAtStep = static_cast<int>(sim->CoarseStepsDown());
    };
    ini_->WriteInteger("Stepper", "AppSteps", 4); // one step per cycle whatever it says
    Land(1);
    // The loop meets the surface as soon as it is within reach, at 30000;
    // that is above the working range, and a step toward a touching tip
    // would crash it: the last two steps are made with the piezo retracted.
    EXPECT_EQ(retractedAtStep, 3);
    EXPECT_EQ(sim->CoarseStepsDown(), 5);
    EXPECT_EQ(sim->Dac(1), 24000 + static_cast<int32_t>(TrackingPush));
    EXPECT_TRUE(sim->InContact());
    EXPECT_EQ(host.Cursors, std::vector<TMotionCursor>{TMotionCursor::StepApproach});

    // From a piezo retract it engages first rather than step blind.
    approach.RetractZ();
    host.OnPass = nullptr;
    Land(1);
    EXPECT_FALSE(form.RetractFlag);
    EXPECT_TRUE(sim->InContact());
    EXPECT_EQ(sim->GuardViolationCount(), 0);
}

TEST_F(ApproachOnSim, ApproachWithZInRangeWaitsForZToSettleAndStepsNot)
{
    // Started right after the engage, Z still rising: it lands by itself.
    auto sim = Start(0.0, 3000.0, 0.0);
    MicroscopeState.ZState = ZCoarseRetracted;
    Land();
    EXPECT_GE(host.Passes, ZSettlePasses);
    EXPECT_EQ(sim->CoarseStepsDown(), 0);
    EXPECT_TRUE(host.Intervals.empty());
    EXPECT_EQ(sim->Dac(1), static_cast<int32_t>(TrackingPush));

    // With the loop off, Z rests in range without contact: no approach.
    MicroscopeState.FeedbackMode = -1;
    form.RetractFlag = true;
    form.UpdateFeedback(); // the retract brings Z down ...
    for (int i = 0; i < 5; ++i)
        host.WaitPass(TWaitFor::Instrument);
    form.RetractFlag = false;
    form.UpdateFeedback(); // ... and the held loop leaves it half way
    approach.AutoApproach(0);
    EXPECT_EQ(approach.ApproachState, ApproachStalled);
    EXPECT_EQ(MicroscopeState.ZState, ZCoarseRetracted);
    EXPECT_EQ(sim->CoarseStepsDown(), 0);
}

TEST_F(ApproachOnSim, TwentyApproachesFromRandomGapsLandInsideTheWorkingRange)
{
    // The default step settings: one step a cycle, the default dead time.
    auto sim = Start(0.0, 3000.0, 12.0);
    ini_->DeleteKey("Coarse", "FastZ");
    const TZThresholds t = ZThresholdsFor(-32000, 32000);
    std::mt19937 random(16);
    std::uniform_int_distribution<int> gaps(1, 25);
    for (int run = 0; run < 20; ++run) {
        ini_->WriteInteger("Stepper", "RetSteps", gaps(random));
        approach.CoarseRetract();
        ASSERT_EQ(MicroscopeState.ZState, ZCoarseRetracted);
        approach.AutoApproach(0);
        ASSERT_EQ(MicroscopeState.ZState, ZApproached) << "run " << run;
        const int32_t z = sim->Dac(1);
        EXPECT_GE(z, t.Lower) << "run " << run;
        EXPECT_LE(z, t.Upper) << "run " << run;
        EXPECT_TRUE(sim->InContact()) << "run " << run;
        ASSERT_EQ(sim->CrashCount(), 0) << "run " << run;
    }
}

TEST_F(ApproachOnSim, WithTheLoopOffTheApproachStopsShortOfTheSampleAndSaysSo)
{
    // Hanging at full extension, then the loop is switched off there.
    auto sim = Start(0.0, 3000.0, 12.0);
    for (int i = 0; i < 10; ++i)
        host.WaitPass(TWaitFor::Instrument);
    MicroscopeState.FeedbackMode = -1;
    form.UpdateFeedback();
    ASSERT_EQ(sim->Dac(1), 32000);

    // Step by step with Z held at the top: once the sample touches the tip,
    // no further step is made toward it; retracted and "engaged" again, the
    // held loop leaves Z at the bottom: no contact, no approach.
    approach.AutoApproach(1);
    EXPECT_EQ(approach.ApproachState, ApproachStalled);
    EXPECT_EQ(MicroscopeState.ZState, ZCoarseRetracted);
    EXPECT_EQ(sim->CrashCount(), 0);
    EXPECT_FALSE(sim->InContact());
}

// The error input inverted: once it touches, the loop pushes the tip on into
// the sample, faster the further it gets. The approach sees Z run on past the
// contact, retracts at once and steps no more, in either mode, at the scan's
// gain as at a slow one; the fixture fails on any crash.
TEST_F(ApproachOnSim, ALoopOfTheWrongPolarityIsRetractedAsItPressesAndNoStepFollows)
{
    // In reach after two steps, at 27000: pressed to the rail 5000 digits
    // in; one step more and the rail would be 11000 digits into the sample.
    auto sim = Start(21000.0, 6000.0, 3.0);
    ChannelTable[SlotOfChannelIndex(0)].Invers = true;
    struct Case {
        int Mode;
        float Ki;
        int64_t Steps;
    };
    // Step by step the loop hangs engaged at the rail as the sample comes:
    // touching there is no proof of a wrong sign, the next engage is.
    for (const Case c : {Case{0, 2000.0f, 2}, Case{0, 200.0f, 2}, Case{1, 2000.0f, 3}}) {
        SCOPED_TRACE(testing::Message() << "mode " << c.Mode << ", Ki " << c.Ki);
        MicroscopeState.FeedbackSets[FeedbackSetIndex(3)].Ki = c.Ki;
        form.RetractFlag = false;
        form.UpdateFeedback();
        host.Passes = 0;
        const int64_t before = sim->CoarseStepsDown();
        approach.AutoApproach(c.Mode);
        EXPECT_EQ(approach.LastEnd(), TApproachEnd::WrongPolarity);
        EXPECT_EQ(MicroscopeState.ZState, ZCoarseRetracted);
        EXPECT_EQ(sim->CoarseStepsDown() - before, c.Steps);
        // Held retracted: the loop must not find the sample again by itself.
        EXPECT_TRUE(form.RetractFlag);
        for (int i = 0; i < 100; ++i)
            host.WaitPass(TWaitFor::Instrument);
        EXPECT_FALSE(sim->InContact());
        EXPECT_EQ(sim->CrashCount(), 0);
        // Back to where it started, for the next case.
        ini_->WriteInteger("Stepper", "RetSteps", int(c.Steps));
        approach.CoarseRetract();
    }
}

TEST_F(ApproachOnSim, EscStopsTheApproachAndNoStepFollows)
{
    auto sim = Start(24000.0, 3000.0, 50.0);
    ini_->WriteInteger("Stepper", "AppSteps", 5);
    host.OnPass = [&] {
        if (sim->CoarseStepsDown() == 2)
            approach.Stop(); // the operator's Esc
    };
    approach.AutoApproach(0);
    EXPECT_EQ(MicroscopeState.ZState, ZCoarseRetracted);
    EXPECT_TRUE(approach.ApproachState & ApproachAborted);
    EXPECT_EQ(approach.PendingSteps, 0);
    EXPECT_FALSE(host.StepTimerRunning());
    EXPECT_EQ(host.CursorDepth, 0);
    // The timer is off: the steps that were still due are never made.
    host.OnPass = nullptr;
    for (int i = 0; i < 10; ++i)
        host.WaitPass(TWaitFor::Instrument);
    EXPECT_EQ(sim->CoarseStepsDown(), 2);
    EXPECT_EQ(sim->GuardViolationCount(), 0);
}

// The z motor on a serial positioner whose adapter is pulled out during the
// approach's steps: told at once, and the approach ends there as a stop ends it.
TEST_F(ApproachOnSim, AnAdapterUnpluggedDuringTheApproachStepsEndsItAtOnce)
{
    auto positioner = std::make_unique<sim::SimPositioner>();
    ASSERT_TRUE(positioner->Ok());
    ini_->WriteString("Stepper", "COMDevice", positioner->SlavePath());
    ini_->WriteInteger("Stepper", "Down", 44);
    ini_->WriteInteger("Stepper", "AppMaxSteps", 50);
    auto sim = Start(0.0, 3000.0, 50.0);
    host.OnPass = [&] {
        if (positioner && Stepper->zCoarsePos <= -3)
            positioner.reset();
    };
    approach.AutoApproach(0);
    EXPECT_EQ(approach.LastEnd(), TApproachEnd::Aborted);
    EXPECT_EQ(boxes_.Texts(), QStringList{"Com1 is gone: the command was dropped and the port closed."});
    EXPECT_EQ(Stepper->zCoarsePos, -3);
    EXPECT_EQ(approach.PendingSteps, 0);
    EXPECT_FALSE(host.StepTimerRunning());
    EXPECT_EQ(host.CursorDepth, 0);
}

TEST_F(ApproachOnSim, RetractAndCoarseRetractWorkFromAnyState)
{
    auto sim = Start(24000.0, 3000.0, 5.0);
    Land();

    approach.RetractZ();
    EXPECT_EQ(MicroscopeState.ZState, ZPiezoRetracted);
    EXPECT_TRUE(form.RetractFlag);
    EXPECT_LE(sim->Dac(1), -31360);
    EXPECT_FALSE(sim->InContact());
    EXPECT_EQ(host.Sleeps, std::vector<int>{200});
    EXPECT_EQ(host.Cursors.back(), TMotionCursor::Retract);
    EXPECT_EQ(host.CursorDepth, 0);

    approach.EngageZ();
    EXPECT_EQ(MicroscopeState.ZState, ZApproached);
    EXPECT_FALSE(form.RetractFlag);
    for (int i = 0; i < 100; ++i)
        host.WaitPass(TWaitFor::Instrument);
    EXPECT_TRUE(sim->InContact());

    ini_->WriteInteger("Stepper", "RetSteps", 3);
    approach.CoarseRetract();
    EXPECT_EQ(MicroscopeState.ZState, ZCoarseRetracted);
    EXPECT_EQ(sim->CoarseStepsUp(), 3);
    EXPECT_EQ(Stepper->zCoarsePos, -2);
    EXPECT_FALSE(form.RetractFlag);
    EXPECT_EQ(host.Sleeps, (std::vector<int>{200, 200, 200}));
    EXPECT_EQ(host.CursorDepth, 0);
    for (int i = 0; i < 100; ++i)
        host.WaitPass(TWaitFor::Instrument);
    EXPECT_FALSE(sim->InContact()); // 33000 is beyond the reach of Z

    // Once more from "coarse retracted"; a negative count never steps toward the sample.
    approach.CoarseRetract();
    EXPECT_EQ(sim->CoarseStepsUp(), 6);
    ini_->WriteInteger("Stepper", "RetSteps", -4);
    approach.CoarseRetract();
    EXPECT_EQ(sim->CoarseStepsUp(), 6);
    EXPECT_EQ(sim->CoarseStepsDown(), 5);
    EXPECT_EQ(MicroscopeState.ZState, ZCoarseRetracted);
    EXPECT_EQ(sim->GuardViolationCount(), 0);
}

TEST_F(ApproachOnSim, ACommandDuringAWaitStopsTheRunningOneAndRunsAfterIt)
{
    auto sim = Start(24000.0, 3000.0, 50.0);
    ini_->WriteInteger("Stepper", "RetSteps", 2);

    // The retract menu clears the abort before its coarse retract; the
    // approach must not take that as leave to go on.
    bool sent = false;
    bool returnedWhileBusy = false;
    host.OnPass = [&] {
        if (!sent && sim->CoarseStepsDown() == 1) {
            sent = true;
            AbortFlag = false;
            approach.CoarseRetract();
            returnedWhileBusy = approach.Busy();
        }
    };
    approach.AutoApproach(0);
    EXPECT_TRUE(returnedWhileBusy);
    EXPECT_EQ(sim->CoarseStepsDown(), 1);
    EXPECT_EQ(sim->CoarseStepsUp(), 2);
    EXPECT_EQ(MicroscopeState.ZState, ZCoarseRetracted);
    EXPECT_FALSE(approach.Busy());
    EXPECT_EQ(host.CursorDepth, 0);

    // A piezo retract asked for during an approach: the approach ends, then Z comes down.
    host.OnPass = nullptr;
    for (int i = 0; i < 100; ++i) // the loop extends to the end of its range first
        host.WaitPass(TWaitFor::Instrument);
    sent = false;
    host.OnPass = [&] {
        if (!sent && sim->CoarseStepsDown() == 2) {
            sent = true;
            approach.RetractZ();
        }
    };
    approach.AutoApproach(0);
    EXPECT_EQ(sim->CoarseStepsDown(), 2);
    EXPECT_EQ(MicroscopeState.ZState, ZPiezoRetracted);
    EXPECT_LE(sim->Dac(1), -31360);

    // A coarse retract while a retract is under way is ignored.
    int calls = 0;
    host.OnPass = [&] {
        if (calls++ == 0)
            approach.CoarseRetract();
    };
    approach.EngageZ();
    approach.RetractZ();
    EXPECT_EQ(sim->CoarseStepsUp(), 2);
    EXPECT_EQ(MicroscopeState.ZState, ZPiezoRetracted);
    EXPECT_FALSE(AbortFlag);
    EXPECT_EQ(sim->GuardViolationCount(), 0);
}

TEST_F(ApproachOnSim, StepTimerWorksOffPendingSteps)
{
    auto sim = Start(24000.0, 3000.0, 50.0);
    host.StartStepTimer(1);
    approach.PendingSteps = 2;
    approach.StepTimerTick();
    EXPECT_EQ(approach.PendingSteps, 1);
    EXPECT_TRUE(host.StepTimerRunning());
    approach.StepTimerTick();
    EXPECT_EQ(approach.PendingSteps, 0);
    EXPECT_FALSE(host.StepTimerRunning());
    approach.StepTimerTick();
    EXPECT_EQ(sim->CoarseStepsDown(), 2);

    approach.PendingSteps = -1;
    approach.StepTimerTick();
    EXPECT_EQ(approach.PendingSteps, 0);
    EXPECT_EQ(sim->CoarseStepsUp(), 1);
    EXPECT_EQ(Stepper->zCoarsePos, -1);
}

TEST_F(ApproachOnSim, DeviceWindowRunsTheMotionsOnItsOwnTimerAndSwitchesTheLaser)
{
    auto sim = Start(24000.0, 3000.0, 3.0);
    EXPECT_EQ(sim->Register(RegDigitalOut) & OutBitLaser, OutBitLaser);
    workers.SetLaser(false);
    EXPECT_EQ(sim->Register(RegDigitalOut) & OutBitLaser, 0);
    EXPECT_FALSE(Stepper->GetLaserOn());
    workers.SetLaser(true);
    EXPECT_TRUE(Stepper->GetLaserOn());

    workers.AutoApproach(0);
    EXPECT_EQ(MicroscopeState.ZState, ZApproached);
    EXPECT_EQ(sim->CoarseStepsDown(), 3);
    ini_->WriteInteger("Stepper", "RetSteps", 2);
    workers.CoarseRetract();
    EXPECT_EQ(MicroscopeState.ZState, ZCoarseRetracted);
    EXPECT_EQ(sim->CoarseStepsUp(), 2);
    EXPECT_FALSE(workers.Approach().Busy());
    // The laser bit rode along with every step.
    EXPECT_EQ(sim->Register(RegDigitalOut) & OutBitLaser, OutBitLaser);
    EXPECT_EQ(sim->GuardViolationCount(), 0);
}

TEST_F(ApproachOnSim, DeviceWindowLendsTheParkedScanPiezoToStickSlipSteps)
{
    auto sim = Start(0.0, 3000.0, 0.0);
    sim->SetLogging(true);
    ini_->WriteInteger("Stepper", "Right", 29);
    ini_->WriteInteger("Coarse", "PIAmpl", 5000);
    TStepper stepper(form, MainIni); // bound now; the device window's own is bound at its creation
    ASSERT_NE(Stepper->StickSlip, nullptr);
    stepper.StickSlip = Stepper->StickSlip;
    stepper.StepRight(); // out in one step, back in 2000
    EXPECT_EQ(CountCode(*sim, IOCTL_GO_XY), 2);
    EXPECT_EQ(sim->Dac(3), 0);
    EXPECT_EQ(sim->Dac(4), 0);
    EXPECT_EQ(sim->GuardViolationCount(), 0);
}
