#include "support/DriverLinkFixture.h"

#include "motion/CoarseForm.h"
#include "motion/Stepper.h"
#include "support/KeyInput.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <memory>

using namespace qvt;
using namespace qvt::test;

namespace {

class CoarseOnSim : public DriverLinkFixture {
protected:
    void Start(sim::SimConfig config = FastConfig())
    {
        sim = PlugSim(config);
        form.FormCreate();
        ASSERT_FALSE(form.StartFailed());
        stepper = std::make_unique<TStepper>(form, ini_.get());
        coarse = std::make_unique<TCoarseForm>();
        coarse->SetStepper(stepper.get());
        coarse->NowMs = [this] { return now; };
        coarse->FormCreate();
    }

    void TearDown() override
    {
        coarse.reset();
        stepper.reset();
        form.FormDestroy();
        DriverLinkFixture::TearDown();
    }

    std::shared_ptr<sim::SimController> sim;
    TInOutForm form;
    std::unique_ptr<TStepper> stepper;
    std::unique_ptr<TCoarseForm> coarse;
    int64_t now = 0;
};

} // namespace

TEST_F(CoarseOnSim, HoldingRetractRepeatsBurstsAndTheReleaseAddsOne)
{
    ini_->WriteInteger("Coarse", "StepsZ", 2);
    ini_->WriteInteger("Coarse", "SlowZ", 200);
    ini_->WriteInteger("Coarse", "FastZ", 20);
    Start();
    const double gap = sim->CoarseGapSteps();

    coarse->PressStepButton(2, false, true);
    EXPECT_EQ(coarse->RepeatInterval(), 200);
    now = 199;
    coarse->Timer1DXTimer();
    EXPECT_EQ(sim->CoarseStepsUp(), 0) << "no repeat before one interval";
    now = 200;
    coarse->Timer1DXTimer();
    EXPECT_EQ(sim->CoarseStepsUp(), 2);
    now = 399; // the next is due an interval after that burst
    coarse->Timer1DXTimer();
    EXPECT_EQ(sim->CoarseStepsUp(), 2);
    now = 400;
    coarse->Timer1DXTimer();
    EXPECT_EQ(sim->CoarseStepsUp(), 4);
    EXPECT_EQ(coarse->StatusBar1()->text(), "z: 4"); // each step shows the count as the release does
    coarse->ReleaseStepButton(true);
    EXPECT_EQ(sim->CoarseStepsUp(), 6) << "exactly one burst on release";
    coarse->Timer1DXTimer();
    EXPECT_EQ(sim->CoarseStepsUp(), 6);
    EXPECT_DOUBLE_EQ(sim->CoarseGapSteps(), gap + 6);
    EXPECT_EQ(stepper->zCoarsePos, 6);
    EXPECT_EQ(coarse->StatusBar1()->text(), "z: 6");

    // Shift: the fast delay; the joystick's deflection sets it between both.
    coarse->PressStepButton(1, true, false);
    EXPECT_EQ(coarse->RepeatInterval(), 20);
    coarse->SetRepeatFromDeflection(0);
    EXPECT_EQ(coarse->RepeatInterval(), 200);
    coarse->ReleaseStepButton(false);
    EXPECT_EQ(sim->CoarseStepsDown(), 0);

    coarse->StatusBarDblClick();
    EXPECT_EQ(stepper->zCoarsePos, 0);
    EXPECT_EQ(coarse->StatusBar1()->text(), "z: 0");
}

TEST_F(CoarseOnSim, LosingTheWindowStopsAHoldAndLeavesTheStepperOff)
{
    Start();
    coarse->StepButtonClick(2);
    ASSERT_EQ(sim->Register(RegDigitalOut) & 3, 3) << "the z phase is driven after a step";
    coarse->PressStepButton(2, false, true);
    ASSERT_TRUE(coarse->Repeating());
    sim->ClearLog();
    QEvent deactivate(QEvent::ActivationChange);
    QApplication::sendEvent(coarse.get(), &deactivate);
    EXPECT_FALSE(coarse->Repeating());
    // Powered off: the z phase's enables dropped.
    ASSERT_FALSE(sim->RequestLog().empty());
    EXPECT_EQ(sim->Register(RegDigitalOut) & 3, 0);
    // The mouse-up that finally comes adds no burst, and no timer steps on.
    now = 10000;
    coarse->Timer1DXTimer();
    coarse->ReleaseStepButton(true);
    EXPECT_EQ(sim->CoarseStepsUp(), 1);
    EXPECT_EQ(sim->Register(RegDigitalOut) & 3, 0);

    // Hidden in the middle of a hold: the same.
    coarse->show();
    coarse->PressStepButton(2, false, true);
    coarse->hide();
    EXPECT_FALSE(coarse->Repeating());
}

TEST_F(CoarseOnSim, ButtonsFollowTheTipAndTheTranslatorSetting)
{
    ini_->WriteBool("Coarse", "xyTranslator", true);
    ini_->WriteBool("Coarse", "LevelStation", true);
    Start();
    MicroscopeState.ZState = ZApproached;
    coarse->FormActivate();
    for (int n : {3, 4, 5, 6, 8, 9, 10, 11})
        EXPECT_FALSE(coarse->BitBtn(n)->isEnabled()) << n;
    // A disabled button does not step, whoever presses it.
    coarse->StepButtonClick(3);
    EXPECT_EQ(sim->CoarseAxisSteps(sim::SimCoarseAxes::X), 0);

    MicroscopeState.ZState = ZCoarseRetracted;
    coarse->FormActivate();
    for (int n : {3, 4, 5, 6, 8, 9, 10, 11})
        EXPECT_TRUE(coarse->BitBtn(n)->isEnabled()) << n;
    coarse->StepButtonClick(3); // left
    coarse->StepButtonClick(3);
    coarse->StepButtonClick(6); // backward
    EXPECT_EQ(sim->CoarseAxisSteps(sim::SimCoarseAxes::X), -2);
    EXPECT_EQ(sim->CoarseAxisSteps(sim::SimCoarseAxes::Y), -1);
    // Level "back up" turns leg C back; its first pattern only energises it
    // (the others stand at their start pattern already).
    coarse->StepButtonClick(8);
    coarse->StepButtonClick(8);
    coarse->StepButtonClick(8);
    EXPECT_EQ(sim->CoarseAxisSteps(sim::SimCoarseAxes::LegC), -2);
    EXPECT_EQ(sim->CoarseAxisSteps(sim::SimCoarseAxes::LegA), 0);
    coarse->StepButtonClick(11); // right down, left up: A back, B forward
    EXPECT_EQ(sim->CoarseAxisSteps(sim::SimCoarseAxes::LegA), -1);
    EXPECT_EQ(sim->CoarseAxisSteps(sim::SimCoarseAxes::LegB), 1);

    ini_->WriteBool("Coarse", "xyTranslator", false);
    coarse->FormActivate();
    EXPECT_FALSE(coarse->BitBtn(3)->isEnabled());
    EXPECT_TRUE(coarse->BitBtn(8)->isEnabled());
}

TEST_F(CoarseOnSim, DelayEditsTakeLimitedNumbersAndKeepTheOldValueOnText)
{
    Start();
    QLineEdit* slowX = coarse->Edit("Edit1");
    EXPECT_EQ(slowX->text(), "200");
    slowX->setText("0");
    coarse->EditEnter("Edit1");
    EXPECT_EQ(slowX->text(), "1");
    EXPECT_EQ(ini_->ReadInteger("Coarse", "SlowX", 0), 1);
    EXPECT_EQ(coarse->EditState("Edit1"), TDelayEditState::Taken);

    slowX->setText("abc");
    coarse->EditEnter("Edit1");
    EXPECT_EQ(coarse->EditState("Edit1"), TDelayEditState::Refused);
    EXPECT_EQ(ini_->ReadInteger("Coarse", "SlowX", 0), 1);

    coarse->Edit("Edit3")->setText("5000");
    coarse->EditEnter("Edit3");
    EXPECT_EQ(ini_->ReadInteger("Stepper", "slSteps", 0), 999);
}

// Each delay edit takes 1..10000 ms and the pulse edit 1..999: the limit
// itself is taken as typed, one beyond is kept as the limit, and the edit,
// the settings and the repeat of a held button all say the same. Delays
// stored beyond the limits are limited the same way when the window starts.
TEST_F(CoarseOnSim, DelayAndPulseEditsKeepTheirLimitsTypedOrStored)
{
    ini_->WriteBool("Coarse", "xyTranslator", true);
    ini_->WriteBool("Coarse", "LevelStation", true);
    ini_->WriteInteger("Coarse", "SlowX", 0);
    ini_->WriteInteger("Coarse", "FastZ", 10001);
    ini_->WriteInteger("Coarse", "SlowLevel", -5);
    ini_->WriteInteger("Coarse", "FastLevel", 20000);
    Start();
    coarse->SetAdvanced(true);
    coarse->show();

    // The repeat of a held button with the mouse (the slow delay) and at full
    // deflection of the joystick (the fast one).
    const auto heldInterval = [&](int button, bool fast) {
        QTest::mousePress(coarse->BitBtn(button), Qt::LeftButton);
        if (fast)
            coarse->SetRepeatFromDeflection(127);
        const int interval = coarse->RepeatInterval();
        // Released off the button: no burst of its own.
        QTest::mouseRelease(coarse->BitBtn(button), Qt::LeftButton, {}, QPoint(-10, -10));
        return interval;
    };
    struct TStored {
        const char* Edit;
        const char* Key;
        int Kept;
    };
    for (const TStored& s : {TStored{"Edit1", "SlowX", 1}, TStored{"Edit5", "FastZ", 10000}}) {
        SCOPED_TRACE(s.Key);
        EXPECT_EQ(coarse->Edit(s.Edit)->text(), QString::number(s.Kept));
        EXPECT_EQ(ini_->ReadInteger("Coarse", s.Key, 0), s.Kept);
    }
    EXPECT_EQ(heldInterval(3, false), 1);
    EXPECT_EQ(heldInterval(2, true), 10000);
    // The level buttons have no edits; their stored delays are limited where they are used.
    EXPECT_EQ(heldInterval(8, false), 1);
    EXPECT_EQ(ini_->ReadInteger("Coarse", "SlowLevel", 0), -5);

    struct TDelay {
        const char* Edit;
        const char* Key;
        int Button;
        bool Fast;
    };
    const TDelay delays[] = {{"Edit1", "SlowX", 3, false}, {"Edit2", "FastX", 4, true},  {"Edit7", "SlowY", 5, false},
                             {"Edit8", "FastY", 6, true},  {"Edit4", "SlowZ", 1, false}, {"Edit5", "FastZ", 2, true}};
    const std::pair<const char*, int> typed[] = {
        {"10000", 10000}, {"10001", 10000}, {"1", 1}, {"0", 1}, {"9999", 9999}};
    for (const TDelay& d : delays) {
        for (const auto& [text, kept] : typed) {
            SCOPED_TRACE(QString("%1 %2").arg(d.Key, text).toStdString());
            QLineEdit* edit = coarse->Edit(d.Edit);
            edit->selectAll();
            TypeAndEnter(edit, text);
            EXPECT_EQ(edit->text(), QString::number(kept));
            EXPECT_EQ(coarse->EditState(d.Edit), TDelayEditState::Taken);
            EXPECT_EQ(ini_->ReadInteger("Coarse", d.Key, 0), kept);
            EXPECT_EQ(heldInterval(d.Button, d.Fast), kept);
        }
    }

    QLineEdit* pulses = coarse->Edit("Edit3");
    for (const auto& [text, kept] :
         {std::pair{"999", 999}, std::pair{"1000", 999}, std::pair{"1", 1}, std::pair{"0", 1}}) {
        SCOPED_TRACE(text);
        pulses->selectAll();
        TypeAndEnter(pulses, text);
        EXPECT_EQ(pulses->text(), QString::number(kept));
        EXPECT_EQ(ini_->ReadInteger("Stepper", "slSteps", 0), kept);
    }
}

TEST_F(CoarseOnSim, EscClosesTheWindowWithTheStepperOffAndTheMainButtonUp)
{
    Start();
    std::vector<bool> button;
    coarse->SetCoarseButton = [&](bool down) { button.push_back(down); };
    coarse->show();
    EXPECT_EQ(button, std::vector<bool>({true}));
    EXPECT_EQ(coarse->width(), CoarseSimpleWidth(coarse->BitBtn(5)->width()));
    coarse->SetAdvanced(true);
    EXPECT_EQ(coarse->width(), CoarseAdvancedWidth);
    coarse->StepButtonClick(2);
    ASSERT_EQ(sim->Register(RegDigitalOut) & 3, 3) << "the z phase is driven after a step";
    coarse->PressStepButton(1, false, true);
    QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(coarse.get(), &esc);
    EXPECT_FALSE(coarse->isVisible());
    EXPECT_EQ(button, std::vector<bool>({true, false}));
    EXPECT_FALSE(coarse->Repeating());
    EXPECT_EQ(sim->Register(RegDigitalOut) & 3, 0);
}

TEST_F(CoarseOnSim, AHoldCutOffByEscCloseOrTheWindowGoingStepsNoMoreAndKeepsItsCount)
{
    sim::SimConfig config = FastConfig();
    config.Coarse.Gap = 100; // far from the surface: the steps toward it are safe
    Start(config);
    const double gap = sim->CoarseGapSteps();
    // Held with the mouse, one repeat, then the hold is cut off: by Esc, by
    // the window's close, or by the window going (the program's end).
    enum End { Esc, Close, Destroy };
    int steps = 0;
    for (End end : {Esc, Close, Destroy}) {
        SCOPED_TRACE(end);
        coarse->show();
        coarse->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(coarse.get()));
        now += 1000;
        QTest::mousePress(coarse->BitBtn(1), Qt::LeftButton);
        ASSERT_TRUE(coarse->Repeating());
        now += 200;
        coarse->Timer1DXTimer();
        ++steps;
        ASSERT_EQ(sim->CoarseStepsDown(), steps);
        if (end == Esc) {
            QTest::keyClick(coarse.get(), Qt::Key_Escape);
            EXPECT_FALSE(coarse->isVisible());
        } else if (end == Close) {
            EXPECT_TRUE(coarse->close());
        } else {
            coarse->FormDestroy();
            coarse.reset();
        }
        // The mouse-up that comes after adds no burst, and no timer steps on.
        if (coarse) {
            EXPECT_FALSE(coarse->Repeating());
            now += 10000;
            coarse->Timer1DXTimer();
            QTest::mouseRelease(coarse->BitBtn(1), Qt::LeftButton);
        }
        EXPECT_EQ(sim->CoarseStepsDown(), steps);
        EXPECT_EQ(stepper->zCoarsePos, -steps);
        EXPECT_EQ(sim->Register(RegDigitalOut) & 3, 0) << "the stepper stays off";
    }
    EXPECT_DOUBLE_EQ(sim->CoarseGapSteps(), gap - steps);
    EXPECT_EQ(stepper->CoarseStatus, nullptr);
}
