// The idle-time power saver on the simulated controller, with a clock of its own.

#include "support/DriverLinkFixture.h"

#include "device/InOutForm.h"
#include "motion/Approach.h"
#include "motion/PowerSaver.h"
#include "motion/Stepper.h"
#include "scan/DeviceWorkers.h"
#include "scan/GoXYThread.h"

#include <QTimer>

using namespace qvt;
using namespace qvt::test;

namespace {

struct PowerDownWindow : IPowerDownView {
    void SetLabels(const QString& first, const QString& second) override
    {
        First = first;
        Second = second;
    }
    void ShowView() override { ++Shows; }
    QString First;
    QString Second;
    int Shows = 0;
};

class PowerSaverOnSim : public DriverLinkFixture {
protected:
    std::shared_ptr<sim::SimController> Start()
    {
        ini_->WriteInteger("Coarse", "FastZ", 1);
        ini_->WriteInteger("Stepper", "On", 39);
        ini_->WriteInteger("Stepper", "RetSteps", 2);
        ini_->WriteInteger("QVTSaver", "CoarseRetract", 1);
        ini_->WriteString("QVTSaver", "IdleTime", "29.6"); // rounded: 30
        ini_->WriteInteger("QVTSaver", "PiezoOff", 1);
        ini_->WriteInteger("QVTSaver", "PiezoVoltage", -1000);
        ini_->WriteInteger("QVTSaver", "LASEROff", 1);
        sim::SimConfig config = FastConfig();
        config.LogRequests = false;
        config.Surface.Base = 24000.0;
        config.Coarse.StepSize = 3000.0;
        config.Coarse.Gap = 2.0;
        auto sim = PlugSim(config);
        form.FormCreate();
        EXPECT_FALSE(form.StartFailed());
        workers.FormCreate();
        saver.View = &window;
        return sim;
    }

    // One tick of the status timer at `minutes` on the saver's clock.
    void TickAt(double minutes)
    {
        now = minutes;
        saver.Tick();
    }

    TInOutForm form;
    TDeviceWorkers workers{form};
    double now = 0.0;
    TPowerSaver saver{form, workers.Approach(), workers.Moves(), [this] { return workers.GoXYThread().ScanActive(); },
                      [this] { return now; }};
    PowerDownWindow window;
};

} // namespace

TEST_F(PowerSaverOnSim, CountsDownPowersDownOnceAndPowersUpAgain)
{
    auto sim = Start();
    workers.AutoApproach(0);
    ASSERT_EQ(MicroscopeState.ZState, ZApproached);
    const int32_t mode = MicroscopeState.FeedbackMode;

    TickAt(1000.0); // the first tick is activity
    EXPECT_EQ(saver.IdleClock, 1000.0);
    TickAt(1015.0);
    EXPECT_EQ(window.Shows, 0);

    // The last ten minutes count down, the last two in seconds.
    TickAt(1020.6);
    EXPECT_EQ(window.First, "Microscope will power down in");
    EXPECT_EQ(window.Second, "9 minutes");
    EXPECT_EQ(window.Shows, 1);
    TickAt(1028.0);
    EXPECT_EQ(window.Second, "120 seconds");
    TickAt(1029.25);
    EXPECT_EQ(window.Second, "45 seconds");
    TickAt(1030.5); // past the deadline, not yet a minute
    EXPECT_EQ(MicroscopeState.ZState, ZApproached);

    TickAt(1031.5);
    EXPECT_EQ(MicroscopeState.ZState, ZPoweredDown);
    EXPECT_EQ(saver.WindowState, PowerDownDone);
    EXPECT_EQ(sim->CoarseStepsUp(), 2);
    EXPECT_EQ(sim->Register(RegDigitalOut) & OutBitLaser, 0);
    EXPECT_EQ(MicroscopeState.FeedbackMode, -1);
    EXPECT_EQ(sim->Dac(1), -1000);
    EXPECT_EQ(sim->Dac(3), -1000);
    EXPECT_EQ(sim->Dac(4), -1000);
    EXPECT_EQ(window.First, "Microscope powered down");
    EXPECT_EQ(window.Second, "2 minutes ago."); // 1.5 rounds to even

    TickAt(1032.5);
    EXPECT_EQ(window.Second, "2 minutes ago.");
    TickAt(1030.0 + 119.4);
    EXPECT_EQ(window.Second, "119 minutes ago.");
    TickAt(1030.0 + 150.0);
    EXPECT_EQ(window.Second, "2 houres ago."); // 2.5 hours, to even
    EXPECT_EQ(sim->CoarseStepsUp(), 2);

    // 500 minutes on the idle clock count as activity and the countdown
    // starts afresh, but a powered-down instrument is not retracted again.
    TickAt(1501.0);
    EXPECT_EQ(saver.IdleClock, 1501.0);
    TickAt(1525.0);
    EXPECT_EQ(saver.WindowState, PowerDownCounting);
    TickAt(1535.0);
    EXPECT_EQ(sim->CoarseStepsUp(), 2);
    EXPECT_EQ(MicroscopeState.ZState, ZPoweredDown);

    saver.PowerUp();
    EXPECT_EQ(MicroscopeState.ZState, ZCoarseRetracted);
    EXPECT_EQ(MicroscopeState.FeedbackMode, mode);
    EXPECT_EQ(sim->Feedback().ControlWord & 0xF000, 0x2000);
    EXPECT_EQ(sim->Register(RegDigitalOut) & OutBitLaser, OutBitLaser);
    EXPECT_EQ(window.First, "Microscope is powered on.");
    EXPECT_EQ(window.Second, "Check LAser Alignment and use AutoAppreoach");
    EXPECT_EQ(sim->GuardViolationCount(), 0);
}

// The stored piezo voltage goes to the Z, X and Y outputs as it is where it
// lies within each output's limits, and as that output's limit where it does
// not: a hand-edited value never drives an output beyond what it may run.
TEST_F(PowerSaverOnSim, ThePiezoVoltageIsKeptWithinEachOutputsLimits)
{
    ini_->WriteString("Scale", "DAC1Edit3", "-20000");
    ini_->WriteString("Scale", "DAC1Edit4", "30000");
    ini_->WriteString("Scale", "DAC3Edit3", "-25000");
    ini_->WriteString("Scale", "DAC3Edit4", "25000");
    ini_->WriteString("Scale", "DAC4Edit3", "-10000");
    ini_->WriteString("Scale", "DAC4Edit4", "10000");
    auto sim = Start();
    struct TCase {
        int32_t Stored;
        int32_t Z, X, Y;
    };
    const TCase cases[] = {
        {10000, 10000, 10000, 10000},     {10001, 10001, 10001, 10000},     {25000, 25000, 25000, 10000},
        {25001, 25001, 25000, 10000},     {30000, 30000, 25000, 10000},     {30001, 30000, 25000, 10000},
        {-20000, -20000, -20000, -10000}, {-20001, -20000, -20001, -10000}, {-2147483647, -20000, -25000, -10000}};
    double base = 1000.0;
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Stored);
        ini_->WriteInteger("QVTSaver", "PiezoVoltage", c.Stored);
        now = base;
        saver.ResetIdleClock();
        TickAt(base + 25.0);
        ASSERT_EQ(saver.WindowState, PowerDownCounting);
        TickAt(base + 31.5);
        ASSERT_EQ(MicroscopeState.ZState, ZPoweredDown);
        EXPECT_EQ(sim->Dac(1), c.Z);
        EXPECT_EQ(sim->Dac(3), c.X);
        EXPECT_EQ(sim->Dac(4), c.Y);
        saver.PowerUp();
        base += 1000.0;
    }
    EXPECT_EQ(sim->GuardViolationCount(), 0);
}

TEST_F(PowerSaverOnSim, StaysQuietWhenOffOrWhileAMotionRuns)
{
    auto sim = Start();
    ini_->WriteInteger("QVTSaver", "IdleTime", 0);
    TickAt(1000.0);
    TickAt(1100.0);
    EXPECT_EQ(saver.IdleClock, 0.0);

    ini_->WriteInteger("QVTSaver", "IdleTime", 30);
    ini_->WriteInteger("QVTSaver", "CoarseRetract", 0);
    TickAt(1000.0);
    EXPECT_EQ(saver.IdleClock, 0.0);
    saver.PowerDown();
    EXPECT_EQ(sim->CoarseStepsUp(), 0);
    EXPECT_NE(MicroscopeState.ZState, ZPoweredDown);

    // Ticks that arrive between the passes of an approach count as activity.
    ini_->WriteInteger("QVTSaver", "CoarseRetract", 1);
    TickAt(1000.0);
    now = 1040.0;
    TApproach& approach = workers.Approach();
    QTimer status;
    QObject::connect(&status, &QTimer::timeout, [&] { saver.Tick(); });
    status.start(0);
    workers.RunMotionsOnEventLoop();
    approach.AutoApproach(0);
    EXPECT_TRUE(RunLoopUntil([&] { return !approach.Busy(); }));
    status.stop();
    EXPECT_EQ(MicroscopeState.ZState, ZApproached);
    EXPECT_EQ(saver.IdleClock, 1040.0);
    EXPECT_EQ(sim->CoarseStepsUp(), 0);
    EXPECT_EQ(window.Shows, 0);
}

TEST(PowerSaverText, CountdownAndSinceTexts)
{
    EXPECT_EQ(PowerDownCountdownText(-9.99), "10 minutes");
    EXPECT_EQ(PowerDownCountdownText(-2.01), "2 minutes");
    EXPECT_EQ(PowerDownCountdownText(-0.01), "1 seconds");
    EXPECT_EQ(PoweredDownSinceText(119.49), "119 minutes ago.");
    EXPECT_EQ(PoweredDownSinceText(119.5), "2 houres ago."); // 120 rounded: hours
    EXPECT_EQ(PoweredDownSinceText(499.0), "8 houres ago.");
}
