// The automatic approach on the bundled settings, driven as the operator
// drives it: the parameter window's Down and Up buttons and menus, the
// coarse motion window's buttons. It lands from a few steps away at the
// bundled (slow) approach gain, and a surface out of reach or a loop of the
// wrong polarity ends with its reason, on the status line and in one box.

#include "app/CreateForms.h"
#include "core/IniFile.h"
#include "core/SharedState.h"
#include "core/Startup.h"
#include "mainwindow/MainQVTForm.h"
#include "motion/Approach.h"
#include "motion/CoarseForm.h"
#include "motion/Stepper.h"
#include "platform/MessageBoxes.h"
#include "scan/ApproachMenus.h"
#include "scan/DeviceWorkers.h"
#include "scan/ScanParaForm.h"
#include "support/TestSupport.h"

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QToolButton>

#include <gtest/gtest.h>

namespace qvt {
namespace {

class BundledApproach : public ::testing::Test {
protected:
    void TearDown() override
    {
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
        ASSERT_TRUE(test::PumpUntil([] { return !DeviceWorkers->Approach().Busy(); }, 120000));
        ScanParaForm->WenigWichtigTimerTimer();
    }

    QString StatusLine() const { return ScanParaForm->StatusBar()->text(); }

    test::TempDir dir_;
    ScriptedMessageResponder boxes_;
};

TEST_F(BundledApproach, LandsFromFiveStepsUpAtTheBundledGain)
{
    Start();
    ScanParaForm->DownButton()->click();
    ASSERT_TRUE(test::PumpUntil([] { return !DeviceWorkers->Approach().Busy(); }, 120000));
    ASSERT_EQ(MicroscopeState.ZState.load(), ZApproached);
    ScanParaForm->UpButton()->click();
    ASSERT_EQ(MicroscopeState.ZState.load(), ZPiezoRetracted);
    const int32_t landed = Stepper->zCoarsePos;
    for (int i = 0; i < 5; ++i)
        CoarseForm->BitBtn(2)->click();
    ASSERT_EQ(Stepper->zCoarsePos, landed + 5);

    AutoApproachFromTheMenu();
    EXPECT_EQ(MicroscopeState.ZState.load(), ZApproached);
    EXPECT_EQ(DeviceWorkers->Approach().LastEnd(), TApproachEnd::Approached);
    EXPECT_EQ(StatusLine(), "Approached");
    // Within the steps back to where it had landed, and not one beyond.
    EXPECT_GE(Stepper->zCoarsePos, landed);
    EXPECT_LT(Stepper->zCoarsePos, landed + 5);
    EXPECT_TRUE(boxes_.Texts().isEmpty()) << boxes_.Texts().join("|").toStdString();
}

TEST_F(BundledApproach, ASurfaceOutOfReachEndsWithItsReason)
{
    Start([](QByteArray& sim) { sim.replace("Gap=0", "Gap=40"); });
    AutoApproachFromTheMenu();
    EXPECT_NE(MicroscopeState.ZState.load(), ZApproached);
    EXPECT_EQ(DeviceWorkers->Approach().LastEnd(), TApproachEnd::OutOfReach);
    EXPECT_EQ(StatusLine(), ApproachFailureText(TApproachEnd::OutOfReach));
    EXPECT_EQ(boxes_.Texts(), QStringList{ApproachFailureText(TApproachEnd::OutOfReach)});
    // The step budget of the bundled machine, no step more.
    EXPECT_EQ(Stepper->zCoarsePos, -30);
}

TEST_F(BundledApproach, ALoopOfTheWrongPolarityEndsWithItsReason)
{
    // The error input inverted: the loop pushes into the sample it meets.
    Start([](QByteArray& sim) { sim.replace("Gap=0", "Gap=5"); },
          [](QByteArray& qvt) { qvt.replace("ADC1CheckBox1=1", "ADC1CheckBox1=1\r\nADC1CheckBox2=1"); });
    AutoApproachFromTheMenu();
    EXPECT_NE(MicroscopeState.ZState.load(), ZApproached);
    EXPECT_EQ(DeviceWorkers->Approach().LastEnd(), TApproachEnd::WrongPolarity);
    EXPECT_EQ(StatusLine(), ApproachFailureText(TApproachEnd::WrongPolarity));
    EXPECT_EQ(boxes_.Texts(), QStringList{ApproachFailureText(TApproachEnd::WrongPolarity)});
}

} // namespace
} // namespace qvt
