// The retract and approach commands: their menus from the settings, what
// each command does (against a recording of the actions), and the commands
// of the parameter window against the simulated instrument.

#include "support/DriverLinkFixture.h"

#include "motion/Stepper.h"
#include "scan/ApproachMenus.h"
#include "scan/ScanParaForm.h"
#include "scan/ScanStatus.h"
#include "script/ScriptWindowDevice.h"
#include "sim/SimSerialPeer.h"

#include <QLabel>
#include <QMenu>
#include <QToolButton>

#include <atomic>
#include <memory>
#include <thread>

using namespace qvt;
using namespace qvt::test;

namespace {

class RecordedActions final : public IApproachActions {
public:
    void RetractZ() override { Log << "RetractZ"; }
    void EngageZ() override { Log << "EngageZ"; }
    void AutoApproach(bool fast) override
    {
        Log << (fast ? "AutoApproach(fast)" : "AutoApproach");
        Stopped = fast && EscInFastPhase; // the operator's Esc arrives inside the loop
    }
    void CoarseRetract() override { Log << "CoarseRetract"; }
    void PowerOn() override { Log << "PowerOn"; }
    void PowerOff() override { Log << "PowerOff"; }
    void StepUp() override { Log << "StepUp"; }
    void StepDown() override
    {
        Log << "StepDown";
        ++Steps;
    }
    bool LaserOn() override { return Laser; }
    void WaitMs(int ms) override { Log << QString("Wait %1").arg(ms); }
    void StopMotion() override {}
    void AfterMotion(std::function<void()> then) override { then(); }
    bool ApproachStopped() override { return Stopped; }
    void Later(std::function<void()> next) override
    {
        if (AbortAfterSteps >= 0 && Steps >= AbortAfterSteps && Esc)
            Esc(); // the operator's Esc arrives between two steps
        next();
    }
    bool ApproachKiActive() override { return ApproachKi; }
    void ToggleKi() override
    {
        ApproachKi = !ApproachKi;
        Log << (ApproachKi ? "Ki approach" : "Ki normal");
    }
    void RefreshCoarseWindow() override { ++Refreshes; }
    int32_t LinkLosses() override { return 0; }

    QStringList Log;
    bool Laser = true;
    bool ApproachKi = false;
    bool EscInFastPhase = false;
    bool Stopped = false;
    std::function<void()> Esc;
    int AbortAfterSteps = -1;
    int Steps = 0;
    int Refreshes = 0;
};

class ApproachCommandsTest : public DriverLinkFixture {
protected:
    void SetUp() override
    {
        DriverLinkFixture::SetUp();
        AbortFlag = false;
        savedZ_ = MicroscopeState.ZState.load();
    }
    void TearDown() override
    {
        MicroscopeState.ZState = savedZ_;
        AbortFlag = false;
        DriverLinkFixture::TearDown();
    }
    void Set(const char* section, const QString& key, const QString& value) { ini_->WriteString(section, key, value); }

    RecordedActions actions;
    int32_t savedZ_ = 0;
};

} // namespace

TEST_F(ApproachCommandsTest, MenusHoldTheBuiltInItemsAndTheSettingsItemsUpToTheFirstGap)
{
    TApproachMenuModel plain = ReadApproachMenus(ini_.get());
    EXPECT_EQ(plain.Retract, QStringList({"Piezo", "One Step"}));
    EXPECT_EQ(plain.Approach.size(), 5);
    EXPECT_EQ(plain.RetractDefault, 0);

    Set("ScanPara", "RetractItemCaption2", "&10 up");
    Set("ScanPara", "RetractItemSteps2", "25");
    Set("ScanPara", "RetractItemCaption3", "100 up");
    Set("ScanPara", "RetractItemCaption5", "not reached");
    Set("ScanPara", "RetractItemDefault", "2");
    Set("ScanPara", "ApproachItemCaption5", "20 down");
    Set("ScanPara", "ApproachItemSteps5", "20");
    const TApproachMenuModel m = ReadApproachMenus(ini_.get());
    EXPECT_EQ(m.Retract, QStringList({"Piezo", "One Step", "&10 up", "100 up"}));
    EXPECT_EQ(m.RetractSteps[2], 25);
    EXPECT_EQ(m.RetractSteps[3], DefaultItemSteps);
    EXPECT_EQ(m.Approach.value(5), "20 down");
    EXPECT_EQ(m.ApproachSteps[5], 20);
    TApproachCommands c(actions, m);
    EXPECT_EQ(c.RetractHint(), "10 up");
    EXPECT_EQ(c.ApproachHint(), "Auto Approach");

    // A default that names no item falls back to the piezo retract.
    Set("ScanPara", "RetractItemDefault", "9");
    EXPECT_EQ(ReadApproachMenus(ini_.get()).RetractDefault, 0);
}

TEST_F(ApproachCommandsTest, RetractsSetTheStateAndTheApproachThatFollows)
{
    Set("ScanPara", "RetractItemCaption2", "10 up");
    Set("ScanPara", "RetractItemSteps2", "25");
    TApproachCommands c(actions, ReadApproachMenus(ini_.get()));

    c.RunRetractItem(0);
    EXPECT_EQ(actions.Log, QStringList({"RetractZ"}));
    EXPECT_EQ(c.CheckedRetract(), 0);
    EXPECT_EQ(c.ApproachDefault(), 0);
    EXPECT_EQ(c.ApproachHint(), "Piezo");
    MicroscopeState.ZState = ZPiezoRetracted;
    EXPECT_TRUE(c.PiezoApproachEnabled());

    // The button runs the piezo approach now, which hands the default back.
    actions.Log.clear();
    c.ApproachButtonClick();
    EXPECT_EQ(actions.Log, QStringList({"EngageZ"}));
    EXPECT_EQ(c.CheckedRetract(), -1);
    EXPECT_EQ(c.ApproachDefault(), AutoApproachItem);
    EXPECT_EQ(actions.Refreshes, 1);

    actions.Log.clear();
    c.RunRetractItem(2);
    EXPECT_EQ(actions.Log, QStringList({"CoarseRetract"}));
    EXPECT_EQ(ini_->ReadInteger("Stepper", "RetSteps", 0), 25);
    EXPECT_EQ(MicroscopeState.ZState.load(), ZCoarseRetracted);
    EXPECT_FALSE(c.PiezoApproachEnabled());
    EXPECT_EQ(c.ApproachHint(), "Auto Approach");
    EXPECT_FALSE(AbortFlag.load());
}

TEST_F(ApproachCommandsTest, SingleStepsRetractStepAndEngageWithTheSettleTimeLimited)
{
    TApproachCommands c(actions, ReadApproachMenus(ini_.get()));
    c.RunRetractItem(1);
    EXPECT_EQ(actions.Log, QStringList({"RetractZ", "PowerOn", "StepUp", "Wait 20", "EngageZ", "PowerOff"}));
    actions.Log.clear();
    Set("Coarse", "SlowZ", "0");
    c.RunApproachItem(1);
    EXPECT_EQ(actions.Log, QStringList({"RetractZ", "PowerOn", "StepDown", "Wait 1", "EngageZ", "PowerOff"}));
    actions.Log.clear();
    Set("Coarse", "SlowZ", "500");
    c.OneStep1Click();
    EXPECT_TRUE(actions.Log.contains("Wait 100"));
}

TEST_F(ApproachCommandsTest, AutomaticApproachesSwitchKiAndAnEscInTheFastPhaseEndsBoth)
{
    TApproachCommands c(actions, ReadApproachMenus(ini_.get()));
    c.RunApproachItem(AutoApproachItem);
    EXPECT_EQ(actions.Log, QStringList({"Ki approach", "AutoApproach", "Ki normal"}));
    EXPECT_EQ(c.CheckedApproach(), AutoApproachItem);
    EXPECT_FALSE(c.UserApproachEnabled());

    actions.Log.clear();
    c.RunApproachItem(FastApproachItem);
    EXPECT_EQ(actions.Log, QStringList({"Ki approach", "AutoApproach(fast)", "AutoApproach", "Ki normal"}));

    // Esc during the fast phase: no full approach after it, no check mark.
    actions.Log.clear();
    actions.EscInFastPhase = true;
    c.RunApproachItem(FastApproachItem);
    EXPECT_EQ(actions.Log, QStringList({"Ki approach", "AutoApproach(fast)", "Ki normal"}));
    EXPECT_EQ(c.CheckedApproach(), -1);

    // A retract makes the user moves available again.
    c.RunRetractItem(0);
    EXPECT_TRUE(c.UserApproachEnabled());
}

TEST_F(ApproachCommandsTest, UserApproachMakesOneStepMoreThanConfiguredAndStopsOnAbort)
{
    Set("ScanPara", "ApproachItemCaption5", "10 down");
    Set("ScanPara", "ApproachItemSteps5", "10");
    Set("Coarse", "FastZ", "0");
    TApproachCommands c(actions, ReadApproachMenus(ini_.get()));
    c.RunApproachItem(5);
    EXPECT_EQ(actions.Steps, 11);
    EXPECT_EQ(actions.Log.first(), "PowerOn");
    EXPECT_EQ(actions.Log[1], "RetractZ");
    EXPECT_EQ(actions.Log[3], "Wait 1");
    EXPECT_EQ(actions.Log.mid(actions.Log.size() - 2), QStringList({"EngageZ", "PowerOff"}));
    EXPECT_EQ(c.CheckedApproach(), 5);

    // Esc between two steps: no further step, the loop engaged again.
    actions.Log.clear();
    actions.Steps = 0;
    actions.AbortAfterSteps = 3;
    actions.Esc = [&c] { c.Stop(); };
    c.RunApproachItem(5);
    EXPECT_EQ(actions.Steps, 3);
    EXPECT_EQ(actions.Log.mid(actions.Log.size() - 2), QStringList({"EngageZ", "PowerOff"}));
    EXPECT_FALSE(AbortFlag.load());
}

// The settle time of a single step ([Coarse] SlowZ) and the time between the
// steps of a menu approach (FastZ) are 1..100 ms, as stored settings may say more.
TEST_F(ApproachCommandsTest, StepTimesOfTheMenusAreTakenAtTheirLimits)
{
    Set("ScanPara", "ApproachItemCaption5", "1 down");
    Set("ScanPara", "ApproachItemSteps5", "0");
    for (const auto& [stored, kept] :
         {std::pair{"100", 100}, std::pair{"101", 100}, std::pair{"1", 1}, std::pair{"0", 1}, std::pair{"99", 99}}) {
        SCOPED_TRACE(stored);
        Set("Coarse", "SlowZ", stored);
        Set("Coarse", "FastZ", stored);
        TApproachCommands c(actions, ReadApproachMenus(ini_.get()));
        actions.Log.clear();
        c.RunRetractItem(1);
        EXPECT_EQ(actions.Log,
                  QStringList({"RetractZ", "PowerOn", "StepUp", QString("Wait %1").arg(kept), "EngageZ", "PowerOff"}));
        actions.Log.clear();
        c.RunApproachItem(5);
        EXPECT_EQ(actions.Log.count(QString("Wait %1").arg(kept)), 1) << actions.Log.join(", ").toStdString();
    }
}

// ---- on the simulated instrument --------------------------------------------------------------

namespace {

// The scan parameters a parameter window sets, put back afterwards.
struct SavedScanParams {
    int16_t Pixels = ScanParams.Pixels, CurrentLine = ScanParams.CurrentLine;
    float Range = ScanParams.Range, Speed = ScanParams.Speed, XCenter = ScanParams.XCenter,
          YCenter = ScanParams.YCenter, Angle = ScanParams.Angle;
    ~SavedScanParams()
    {
        ScanParams.Pixels = Pixels;
        ScanParams.CurrentLine = CurrentLine;
        ScanParams.Range = Range;
        ScanParams.Speed = Speed;
        ScanParams.XCenter = XCenter;
        ScanParams.YCenter = YCenter;
        ScanParams.Angle = Angle;
    }
};

class ApproachButtonsOnSim : public ApproachCommandsTest {
protected:
    void Start()
    {
        sim::SimConfig config = FastConfig();
        config.Coarse.Gap = 20; // far from the surface
        // As the bundled settings: the idle output word leaves the z phase free.
        ini_->WriteInteger("Stepper", "On", 39);
        sim_ = PlugSim(config);
        device_ = std::make_unique<TInOutForm>();
        device_->FormCreate();
        workers_ = std::make_unique<TDeviceWorkers>(*device_);
        workers_->FormCreate();
        ASSERT_FALSE(device_->StartFailed());
        ASSERT_NE(Stepper, nullptr);
        Stepper->SetLaser(true);
        form_ = std::make_unique<TScanParaForm>();
        form_->SetDevice(device_.get());
        form_->SetWorkers(workers_.get());
        form_->FormCreate();
        sim_->ClearLog();
    }
    void TearDown() override
    {
        if (form_)
            form_->FormDestroy();
        form_.reset();
        CloseDevice(workers_, device_);
        ApproachCommandsTest::TearDown();
    }
    // Indexes in the request log of feedback records with and without the retract bit.
    std::vector<int> FeedbackWrites(bool retract) const
    {
        std::vector<int> at;
        const auto log = sim_->RequestLog();
        for (size_t i = 0; i < log.size(); ++i)
            if (log[i].Code == IOCTL_SET_FEEDBACK && ((log[i].In[0] & 0x8000) != 0) == retract)
                at.push_back(static_cast<int>(i));
        return at;
    }
    // Indexes of the writes of register 40 that turned the z phase.
    std::vector<int> StepWrites() const
    {
        std::vector<int> at;
        const auto log = sim_->RequestLog();
        int32_t phase = -1;
        for (size_t i = 0; i < log.size(); ++i) {
            if (log[i].Code != IOCTL_WRITE_REG || log[i].In[0] != RegDigitalOut)
                continue;
            const int32_t now = log[i].In[1] & 0xC;
            if (phase >= 0 && now != phase)
                at.push_back(static_cast<int>(i));
            phase = now;
        }
        return at;
    }

    std::shared_ptr<sim::SimController> sim_;
    std::unique_ptr<TInOutForm> device_;
    std::unique_ptr<TDeviceWorkers> workers_;
    std::unique_ptr<TScanParaForm> form_;
    SavedScanParams savedParams_;
};

} // namespace

TEST_F(ApproachButtonsOnSim, CoarseMovesFromTheMenusReachTheMotorWithThePiezoRetracted)
{
    Set("ScanPara", "ApproachItemCaption5", "4 down");
    Set("ScanPara", "ApproachItemSteps5", "4");
    Set("Coarse", "FastZ", "1");
    Start();
    QList<QAction*> approach = form_->PopupMenu1()->actions();
    ASSERT_EQ(approach.size(), 6);
    EXPECT_EQ(approach[5]->text(), "4 down");
    EXPECT_EQ(form_->DownButton()->toolTip(), "Auto Approach");

    const double gap = sim_->CoarseGapSteps();
    approach[5]->trigger();
    EXPECT_EQ(sim_->CoarseStepsDown(), 5);
    EXPECT_DOUBLE_EQ(sim_->CoarseGapSteps(), gap - 5);
    // Every step between the retract and the engage.
    const std::vector<int> steps = StepWrites();
    const std::vector<int> retracts = FeedbackWrites(true);
    const std::vector<int> engages = FeedbackWrites(false);
    ASSERT_FALSE(steps.empty());
    ASSERT_FALSE(retracts.empty());
    ASSERT_FALSE(engages.empty());
    EXPECT_LT(retracts.front(), steps.front());
    EXPECT_GT(engages.back(), steps.back());
    EXPECT_EQ(MicroscopeState.ZState.load(), ZApproached);
    EXPECT_TRUE(approach[5]->isChecked());
    form_->PopupMenu1()->aboutToShow();
    EXPECT_FALSE(approach[0]->isEnabled()) << "approached: no piezo approach to run";

    // One step up from the retract menu; then the piezo retract by the button.
    form_->PopupMenu2()->actions()[1]->trigger();
    EXPECT_EQ(sim_->CoarseStepsUp(), 1);
    EXPECT_EQ(MicroscopeState.ZState.load(), ZApproached);
    form_->RetractButtonClick();
    EXPECT_EQ(MicroscopeState.ZState.load(), ZPiezoRetracted);
    EXPECT_EQ(form_->DownButton()->toolTip(), "Piezo");
    form_->PopupMenu1()->aboutToShow();
    EXPECT_TRUE(form_->PopupMenu1()->actions()[0]->isEnabled());
    EXPECT_TRUE(form_->PopupMenu2()->actions()[0]->isChecked());
}

TEST_F(ApproachButtonsOnSim, ApproachWithTheLaserOffAndNoSendsNothing)
{
    Start();
    Stepper->SetLaser(false);
    sim_->ClearLog();
    boxes_.QueueAnswer(MsgResult::No);
    form_->PopupMenu1()->actions()[AutoApproachItem]->trigger();
    EXPECT_EQ(boxes_.LastText(), LaserOffQuestion);
    EXPECT_TRUE(StepWrites().empty());
    EXPECT_TRUE(FeedbackWrites(false).empty());
    EXPECT_TRUE(FeedbackWrites(true).empty());
}

TEST_F(ApproachButtonsOnSim, StatusTickShowsWhereZWentTheTipsStateAndTheHints)
{
    Start();
    QString mainHint, scanHint;
    form_->ShowMainHint = [&](const QString& h) { mainHint = h; };
    form_->SetScanButtonHint = [&](const QString& h) { scanHint = h; };
    form_->RetractButtonClick(); // piezo retract: Z at the bottom of its range
    form_->WenigWichtigTimerTimer();
    form_->WenigWichtigTimerTimer(); // only what Z did since the last tick
    EXPECT_EQ(form_->StatusBar()->text(), "Piezo Retracted");
    EXPECT_LE(form_->Image1()->Hi(), 2);
    EXPECT_EQ(form_->Image1()->FillColour(), QColor(128, 128, 128));
    EXPECT_TRUE(mainHint.startsWith("Time per Image: ")) << mainHint.toStdString();
    EXPECT_EQ(scanHint, "Start Scan");

    // Engaged (the loop holds Z with the window's Ki of 0), then Z put near its top.
    form_->PopupMenu1()->actions()[0]->trigger();
    EXPECT_EQ(MicroscopeState.ZState.load(), ZApproached);
    device_->WriteReg(RegZ, 30000);
    form_->WenigWichtigTimerTimer();
    EXPECT_EQ(form_->StatusBar()->text(), "Approached");
    EXPECT_GE(form_->Image1()->Hi(), 90);
    EXPECT_EQ(form_->Image1()->FillColour(), QColor(255, 0, 0)) << "the low end came from the bottom";
    form_->WenigWichtigTimerTimer();
    EXPECT_GE(form_->Image1()->Lo(), 90) << "the next tick sees only where Z went since";
    EXPECT_EQ(form_->Image1()->FillColour(), QColor(255, 255, 0));
}

// The z motor on a serial positioner whose adapter is pulled out during a
// coarse move from the approach menu: told once, at the step that met it, and
// the remaining steps are not tried; the run ends as a stop ends it.
TEST_F(ApproachButtonsOnSim, AnAdapterUnpluggedDuringAMenuCoarseMoveEndsItsRemainingSteps)
{
    auto positioner = std::make_unique<sim::SimPositioner>();
    ASSERT_TRUE(positioner->Ok());
    Set("Stepper", "COMDevice", positioner->SlavePath());
    Set("Stepper", "Down", "44");
    Set("ScanPara", "ApproachItemCaption5", "20 down");
    Set("ScanPara", "ApproachItemSteps5", "20");
    Set("Coarse", "FastZ", "1");
    Start();
    workers_->RunMotionsOnEventLoop(); // as in the program: the steps go on from the event loop
    form_->PopupMenu1()->actions()[5]->trigger();
    ASSERT_TRUE(PumpUntil([&] { return Stepper->zCoarsePos <= -3; }));
    ASSERT_TRUE(boxes_.Texts().isEmpty()) << boxes_.Texts().join("|").toStdString();

    positioner.reset(); // unplugged
    ASSERT_TRUE(PumpUntil([&] { return !boxes_.Texts().isEmpty(); }));
    const int32_t at = Stepper->zCoarsePos;
    ASSERT_GT(at, -21) << "the adapter went before the run ended";
    // Long enough for the rest of the run, had it gone on.
    PumpUntil([] { return false; }, 300);
    EXPECT_EQ(boxes_.Texts(), QStringList{"Com1 is gone: the command was dropped and the port closed."});
    EXPECT_EQ(Stepper->zCoarsePos, at);
    EXPECT_FALSE(Stepper->PortOpen);
    EXPECT_EQ(MicroscopeState.ZState.load(), ZApproached);
}

// A script's coarse move ends at the step whose link went, as the menu's does,
// instead of trying to open the port again for every step left.
TEST_F(ApproachButtonsOnSim, AnAdapterUnpluggedDuringAScriptsCoarseMoveEndsItsRemainingSteps)
{
    auto positioner = std::make_unique<sim::SimPositioner>();
    ASSERT_TRUE(positioner->Ok());
    Set("Stepper", "COMDevice", positioner->SlavePath());
    Set("Stepper", "Down", "44");
    Set("Coarse", "FastZ", "1");
    Start();
    TScriptWindowDevice script(*device_, *workers_);
    std::atomic<bool> ended{false};
    std::thread run([&] {
        script.CoarseSteps(TCoarseAxis::Z, -20);
        ended = true;
    });
    ASSERT_TRUE(PumpUntil([&] { return Stepper->zCoarsePos <= -3; }));
    positioner.reset(); // unplugged
    const bool done = PumpUntil([&] { return ended.load(); });
    run.join();
    ASSERT_TRUE(done);
    EXPECT_GT(Stepper->zCoarsePos, -20) << "the adapter went before the run ended";
    EXPECT_EQ(script.TakeBoxTexts().join(" | ").toStdString(),
              "Com1 is gone: the command was dropped and the port closed.");
    EXPECT_FALSE(Stepper->PortOpen);
}
