// The automatic approach on the bundled settings, driven as the operator
// drives it: the parameter window's Down and Up buttons and menus, the
// coarse motion window's buttons. It lands from a few steps away at the
// bundled (slow) approach gain, and a surface out of reach or a loop of the
// wrong polarity ends with its reason, on the status line and in one box.
// Whatever the outcome, the simulated tip never crashes.

#include "app/CreateForms.h"
#include "core/IniFile.h"
#include "core/SharedState.h"
#include "core/Startup.h"
#include "device/InOutForm.h"
#include "mainwindow/MainQVTForm.h"
#include "motion/Approach.h"
#include "motion/CoarseForm.h"
#include "motion/Stepper.h"
#include "platform/MessageBoxes.h"
#include "scan/ApproachMenus.h"
#include "scan/DeviceWorkers.h"
#include "scan/ScanParaForm.h"
#include "sim/SimController.h"
#include "support/TestSupport.h"
#include "widgets/NumericEdit.h"

#include <QAction>
#include <QCoreApplication>
#include <QDir>
#include <QDockWidget>
#include <QHelpEvent>
#include <QLabel>
#include <QLocalSocket>
#include <QMenu>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QToolTip>

#include <gtest/gtest.h>

namespace qvt {
namespace {

class BundledApproach : public ::testing::Test {
protected:
    void TearDown() override
    {
        // Every approach outcome leaves the tip whole.
        if (sim::SimController* sim = Simulator()) {
            for (const sim::SimCrash& crash : sim->Crashes())
                ADD_FAILURE() << sim::SimController::CrashText(crash).toStdString();
            EXPECT_EQ(sim->CrashCount(), 0);
        }
        if (MainQVTForm != nullptr)
            MainQVTForm->close();
        DestroyAllForms();
        MicroscopeState.ZState = ZCoarseRetracted;
    }

    // The bundled settings on a fast clock; `sim` and `qvt` edit the copies.
    void Start(const std::function<void(QByteArray&)>& sim = nullptr,
               const std::function<void(QByteArray&)>& qvt = nullptr)
    {
        ASSERT_TRUE(test::CopyBundledSettings(dir_));
        QByteArray simIni = dir_.ReadFile("ini/sim.ini").replace("Mode=RealTime", "Mode=Fast");
        if (sim)
            sim(simIni);
        dir_.WriteFile("ini/sim.ini", simIni);
        if (qvt) {
            QByteArray qvtIni = dir_.ReadFile("ini/qvt.ini");
            qvt(qvtIni);
            dir_.WriteFile("ini/qvt.ini", qvtIni);
        }
        LoadDriverName(dir_.Path(), {"qvt"});
        int exitCode = -1;
        ASSERT_TRUE(CreateAllForms("qvt", exitCode));
        ASSERT_NE(ScanParaForm, nullptr);
        ASSERT_NE(CoarseForm, nullptr);
        ASSERT_NE(DeviceWorkers, nullptr);
    }

    void AutoApproachFromTheMenu()
    {
        ScanParaForm->PopupMenu1()->actions()[AutoApproachItem]->trigger();
        // The bound only proves that the approach ends.
        ASSERT_TRUE(test::RunLoopUntil([] { return !DeviceWorkers->Approach().Busy(); }, 120000));
        ScanParaForm->WenigWichtigTimerTimer();
    }

    // Down, Up (the piezo), then `steps` clicks of the coarse window's "^";
    // answers where the tip had landed.
    int32_t LandAndGoUp(int steps)
    {
        ScanParaForm->DownButton()->click();
        EXPECT_TRUE(test::RunLoopUntil([] { return !DeviceWorkers->Approach().Busy(); }, 120000));
        EXPECT_EQ(MicroscopeState.ZState.load(), ZApproached);
        ScanParaForm->UpButton()->click();
        EXPECT_TRUE(test::RunLoopUntil([] { return !DeviceWorkers->Approach().Busy(); }, 120000));
        EXPECT_EQ(MicroscopeState.ZState.load(), ZPiezoRetracted);
        const int32_t landed = Stepper->zCoarsePos;
        for (int i = 0; i < steps; ++i)
            CoarseForm->BitBtn(2)->click();
        EXPECT_EQ(Stepper->zCoarsePos, landed + steps);
        return landed;
    }

    // The simulated controller the program opened.
    static sim::SimController* Simulator()
    {
        return InOutForm != nullptr ? dynamic_cast<sim::SimController*>(InOutForm->Driver()) : nullptr;
    }

    QString StatusLine() const { return ScanParaForm->StatusBar()->text(); }
    QString CoarseCounter() const { return CoarseForm->StatusBar1()->text(); }

    test::TempDir dir_;
    ScriptedMessageResponder boxes_;
};

TEST_F(BundledApproach, LandsFromFiveStepsUpAtTheBundledGain)
{
    // Coarse steps longer than the bundled ones: five of them up leave the
    // surface beyond the piezo's reach, and the approach has to step.
    Start([](QByteArray& sim) { sim.replace("StepSize=3000", "StepSize=10000"); });
    const int32_t landed = LandAndGoUp(5);
    const int64_t downBefore = Simulator()->CoarseStepsDown();

    AutoApproachFromTheMenu();
    EXPECT_EQ(MicroscopeState.ZState.load(), ZApproached);
    EXPECT_EQ(DeviceWorkers->Approach().LastEnd(), TApproachEnd::Approached);
    EXPECT_EQ(StatusLine(), "Approached");
    // Three steps down of the five up: the piezo reaches the rest.
    EXPECT_EQ(Simulator()->CoarseStepsDown() - downBefore, 3);
    EXPECT_EQ(Stepper->zCoarsePos, landed + 2);
    EXPECT_TRUE(boxes_.Texts().isEmpty()) << boxes_.Texts().join("|").toStdString();
}

TEST_F(BundledApproach, ASurfaceOutOfReachEndsWithItsReason)
{
    // A smaller step budget than the bundled 30: every step costs a whole
    // settling of the loop in simulated time, which a sanitizer build on a
    // busy machine pays for dearly.
    Start([](QByteArray& sim) { sim.replace("Gap=0", "Gap=40"); },
          [](QByteArray& qvt) { qvt.replace("AppMaxSteps=30", "AppMaxSteps=6"); });
    AutoApproachFromTheMenu();
    EXPECT_NE(MicroscopeState.ZState.load(), ZApproached);
    EXPECT_EQ(DeviceWorkers->Approach().LastEnd(), TApproachEnd::OutOfReach);
    EXPECT_EQ(StatusLine(), ApproachFailureText(TApproachEnd::OutOfReach));
    EXPECT_EQ(boxes_.Texts(), QStringList{ApproachFailureText(TApproachEnd::OutOfReach)});
    // The step budget, no step more.
    EXPECT_EQ(Stepper->zCoarsePos, -6);
}

TEST_F(BundledApproach, ALoopOfTheWrongPolarityEndsWithItsReason)
{
    // The error input inverted: the loop pushes into the sample it meets.
    Start([](QByteArray& sim) { sim.replace("Gap=0", "Gap=5"); },
          [](QByteArray& qvt) { qvt.replace("ADC1CheckBox1=1", "ADC1CheckBox1=1\r\nADC1CheckBox2=1"); });
    // The main window on screen with the parameter window in its dock: the
    // long reason must not widen the dock and push the images right.
    MainQVTForm->show();
    QCoreApplication::processEvents();
    auto* dock = MainQVTForm->findChild<QDockWidget*>("ScanParaDock");
    ASSERT_NE(dock, nullptr);
    const QRect dockBefore = dock->geometry();
    const QRect downBefore = ScanParaForm->DownButton()->geometry();
    const int32_t from = Stepper->zCoarsePos;
    AutoApproachFromTheMenu();
    EXPECT_NE(MicroscopeState.ZState.load(), ZApproached);
    EXPECT_EQ(DeviceWorkers->Approach().LastEnd(), TApproachEnd::WrongPolarity);
    EXPECT_EQ(StatusLine(), ApproachFailureText(TApproachEnd::WrongPolarity));
    QCoreApplication::processEvents();
    EXPECT_EQ(dock->geometry(), dockBefore);
    EXPECT_EQ(ScanParaForm->DownButton()->geometry(), downBefore);
    // Cut short on the line, whole in the tooltip.
    QLabel* line = ScanParaForm->StatusBar();
    EXPECT_LT(line->width(), line->fontMetrics().horizontalAdvance(StatusLine()));
    const QPoint middle = line->rect().center();
    QHelpEvent help(QEvent::ToolTip, middle, line->mapToGlobal(middle));
    QCoreApplication::sendEvent(line, &help);
    EXPECT_EQ(QToolTip::text(), StatusLine());
    EXPECT_EQ(boxes_.Texts(), QStringList{ApproachFailureText(TApproachEnd::WrongPolarity)});
    // The sample is in reach from the start: caught as the loop pressed on
    // into it, long before the rail, retracted at once and held there, and
    // not one step made.
    EXPECT_TRUE(InOutForm->RetractFlag.load());
    EXPECT_EQ(Stepper->zCoarsePos, from);
    sim::SimController* sim = Simulator();
    ASSERT_NE(sim, nullptr);
    EXPECT_EQ(sim->CrashCount(), 0);
}

// From fifteen steps up the approach takes minutes of the instrument's time:
// the status line tells the step and the budget as it goes, and the coarse
// window's counter follows every step.
TEST_F(BundledApproach, AnApproachFromFifteenStepsUpShowsItsStepsAsItGoes)
{
    Start();
    const int32_t from = LandAndGoUp(15) + 15;

    ScanParaForm->PopupMenu1()->actions()[AutoApproachItem]->trigger();
    QStringList seen;
    int32_t lastPos = from;
    const auto watch = [&] {
        if (!DeviceWorkers->Approach().Busy())
            return true;
        // At each step: the status line (on its next tick) and the coarse counter.
        if (Stepper->zCoarsePos != lastPos) {
            lastPos = Stepper->zCoarsePos;
            ScanParaForm->WenigWichtigTimerTimer();
            seen << StatusLine();
            EXPECT_EQ(CoarseCounter(), "z: " + Stepper->FormatZPosition());
        }
        return false;
    };
    ASSERT_TRUE(test::RunLoopUntil(watch, 600000));
    ScanParaForm->WenigWichtigTimerTimer();
    EXPECT_EQ(MicroscopeState.ZState.load(), ZApproached);
    EXPECT_EQ(StatusLine(), "Approached");
    const int made = from - Stepper->zCoarsePos;
    ASSERT_GE(made, 5);
    ASSERT_EQ(seen.size(), made) << seen.join("|").toStdString();
    for (int step = 1; step <= made; ++step)
        EXPECT_TRUE(seen[step - 1].startsWith(QString("Approaching, step %1 of 30: ").arg(step)))
            << seen[step - 1].toStdString();
    EXPECT_EQ(CoarseCounter(), "z: " + Stepper->FormatZPosition());
}

// Requests of the command server and the main window's close arrive while
// the approach runs: each is handled between two of its passes, in the order
// they came, and the close ends the approach before the program goes.
TEST_F(BundledApproach, RequestsAndACloseDuringAnApproachAreHandledBetweenItsPassesInOrder)
{
    test::TempDir runtime;
    const QByteArray savedRuntime = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", QDir::cleanPath(runtime.Path()).toUtf8());
    Start([](QByteArray& sim) { sim.replace("Gap=0", "Gap=40"); });
    QLocalSocket client;
    client.connectToServer(runtime.Path() + "qvt-SIM.dde");
    ASSERT_TRUE(test::PumpUntil([&] { return client.state() == QLocalSocket::ConnectedState; }));

    ScanParaForm->PopupMenu1()->actions()[AutoApproachItem]->trigger();
    ASSERT_TRUE(DeviceWorkers->Approach().Busy()) << "the menu returns while the approach goes on";
    client.write("EXECUTE DdeItem BIAS:0.5\nREQUEST DdeItem DdeQVTControl\n");
    client.flush();
    QStringList replies;
    const auto replied = [&] {
        while (client.canReadLine())
            replies << QString::fromUtf8(client.readLine()).trimmed();
        return replies.contains(".");
    };
    ASSERT_TRUE(test::RunLoopUntil(replied, 60000)) << replies.join("|").toStdString();
    EXPECT_EQ(replies.first(), "OK");
    EXPECT_EQ(ScanParaForm->Edit("Edit2")->text(), "0.500");
    EXPECT_TRUE(DeviceWorkers->Approach().Busy()) << "answered between the passes, not after the approach";
    const int32_t stepsThen = Stepper->zCoarsePos;

    // The close: after the requests, the approach ends as the operator's stop
    // ends it, and the program closes.
    client.write("EXECUTE DdeItem BIAS:0.25\n");
    client.flush();
    bool closed = false;
    QTimer::singleShot(0, [&] { closed = MainQVTForm->close(); });
    ASSERT_TRUE(test::RunLoopUntil([&] { return closed; }, 60000));
    EXPECT_FALSE(DeviceWorkers->Approach().Busy());
    EXPECT_EQ(DeviceWorkers->Approach().LastEnd(), TApproachEnd::Aborted);
    EXPECT_NE(MicroscopeState.ZState.load(), ZApproached);
    EXPECT_EQ(ScanParaForm->Edit("Edit2")->text(), "0.250") << "the request before the close was handled first";
    EXPECT_LE(Stepper->zCoarsePos, stepsThen);
    EXPECT_TRUE(boxes_.Texts().isEmpty()) << boxes_.Texts().join("|").toStdString();
    client.abort();
    DestroyAllForms();
    qputenv("XDG_RUNTIME_DIR", savedRuntime);
}

// The same for a coarse move of the approach menu's own: the close ends its
// steps as the operator's stop ends them, and no step follows.
TEST_F(BundledApproach, ACloseDuringACoarseMoveOfTheApproachMenuEndsItsSteps)
{
    // On the instrument's clock: 20 ms a step, 20 s for the whole move.
    Start([](QByteArray& sim) { sim.replace("Mode=Fast", "Mode=RealTime"); },
          [](QByteArray& qvt) {
              qvt.replace("[ScanPara]", "[ScanPara]\r\nApproachItemCaption5=1000 down\r\nApproachItemSteps5=1000");
          });
    const int32_t from = Stepper->zCoarsePos;
    ScanParaForm->PopupMenu1()->actions()[ApproachUserFirst]->trigger();
    ASSERT_TRUE(test::RunLoopUntil([&] { return Stepper->zCoarsePos <= from - 3; }, 120000)) << "no steps made";

    bool closed = false;
    int32_t stepsAtClose = 0;
    QTimer::singleShot(0, [&] {
        closed = MainQVTForm->close();
        stepsAtClose = Stepper->zCoarsePos;
    });
    ASSERT_TRUE(test::RunLoopUntil([&] { return closed; }, 60000));
    // Long enough for several more of its steps (at 20 ms each) had it gone on.
    test::RunLoopUntil([] { return false; }, 500);
    EXPECT_EQ(Stepper->zCoarsePos, stepsAtClose) << "the coarse move went on after the close";
    EXPECT_GT(Stepper->zCoarsePos, from - 1000);
}

} // namespace
} // namespace qvt
