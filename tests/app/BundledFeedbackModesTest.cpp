// Every feedback mode the bundled settings offer, as an operator uses it: the
// mode chosen in the Feedback window, a setpoint typed into the parameter
// window, Down, then one frame. The tip lands without a crash and the frame
// is the simulated sample: a plane tilted along both axes.

#include "app/BundledProgram.h"
#include "app/CreateForms.h"
#include "core/IniFile.h"
#include "core/SharedState.h"
#include "device/ChannelTable.h"
#include "device/InOutForm.h"
#include "mainwindow/MainQVTForm.h"
#include "motion/Approach.h"
#include "platform/MessageBoxes.h"
#include "scan/DeviceWorkers.h"
#include "scan/FeedbackForm.h"
#include "scan/GoXYThread.h"
#include "scan/ImageBuffers.h"
#include "scan/ScanParaForm.h"
#include "sim/SimController.h"
#include "support/KeyInput.h"
#include "support/TestSupport.h"
#include "widgets/NumericEdit.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QToolButton>

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

using namespace qvt;

namespace {

constexpr double TiltX = 0.02; // the bundled sample: Z digits per X and per Y digit
constexpr double TiltY = -0.01;
constexpr int Pixels = 32;

struct TModeCase {
    int Mode;
    const char* Edit;     // where the operator types the setpoint
    const char* Setpoint; // as typed
};

void PrintTo(const TModeCase& c, std::ostream* os)
{
    *os << "mode " << c.Mode;
}

class BundledFeedbackModes : public ::testing::TestWithParam<TModeCase> {
protected:
    void TearDown() override
    {
        if (MainQVTForm != nullptr) {
            EXPECT_TRUE(MainQVTForm->close());
        }
        DestroyAllForms();
        MicroscopeState.ZState = ZCoarseRetracted;
    }

    void Start()
    {
        ASSERT_TRUE(program_.Copied);
        {
            TQVTIniFile sim(program_.Dir.Path() + "ini/sim.ini");
            sim.WriteString("Clock", "Mode", "Fast");
            sim.WriteString("Surface", "StepHeight", "0");
        }
        ASSERT_TRUE(program_.Start());
        sim_ = dynamic_cast<sim::SimController*>(InOutForm->Driver());
        ASSERT_NE(sim_, nullptr);
        ASSERT_NE(feedbackForm, nullptr);
        QCoreApplication::processEvents();
    }

    static void Type(TNumericEdit* edit, const QString& text)
    {
        edit->setFocus();
        edit->selectAll();
        test::TypeAndEnter(edit, text);
    }

    // The plane through the image against the plane of the surface under the
    // frame: the pixel and line vectors in digits (OffsAngle 90).
    void ExpectTheSample()
    {
        TDaten& z = DeviceWorkers->GoXYThread().Channels[ImageChannelIndex(SlotZ, PlaneFwd)];
        z.ComputeSlopes();
        const double a = std::numbers::pi / 2.0;
        const double pixel = ScanParams.Range.load() / ChannelTable[SlotX].Factor.load() / ScanParams.Pixels.load();
        const double perColumn = pixel * (TiltX * std::cos(a) + TiltY * std::sin(a));
        const double perRow = pixel * (TiltX * std::sin(a) - TiltY * std::cos(a));
        EXPECT_NEAR(z.SlopeX.load(), perColumn, 0.05 * std::fabs(perColumn) + 1e-3);
        EXPECT_NEAR(z.SlopeY.load(), perRow, 0.05 * std::fabs(perRow) + 1e-3);
    }

    test::BundledProgram program_;
    ScriptedMessageResponder boxes_;
    sim::SimController* sim_ = nullptr;
};

} // namespace

TEST_P(BundledFeedbackModes, ApproachesAndScansTheSampleWithATypedSetpoint)
{
    const TModeCase& c = GetParam();
    Start();
    QComboBox* modes = feedbackForm->ComboBox1();
    modes->setCurrentIndex(c.Mode + 1);
    emit modes->activated(c.Mode + 1);
    ASSERT_EQ(MicroscopeState.FeedbackMode.load(), c.Mode);

    TNumericEdit* edit = ScanParaForm->Edit(c.Edit);
    Type(edit, c.Setpoint);
    ASSERT_EQ(edit->Color(), EditColor::White);
    double typed = 0.0;
    ASSERT_TRUE(ParseEditValue(c.Setpoint, edit->Rules, typed));
    double shown = 0.0;
    ASSERT_TRUE(ParseEditValue(edit->text(), edit->Rules, shown));
    EXPECT_NEAR(shown, typed, 1e-3 * std::fabs(typed)) << "the setpoint typed is one the controller can run";

    ScanParaForm->DownButton()->click();
    // The bound only proves that the approach ends.
    ASSERT_TRUE(test::RunLoopUntil([] { return !DeviceWorkers->Approach().Busy(); }, 300000));
    ASSERT_EQ(DeviceWorkers->Approach().LastEnd(), TApproachEnd::Approached) << boxes_.Texts().join("|").toStdString();
    ASSERT_EQ(MicroscopeState.ZState.load(), ZApproached);

    ASSERT_TRUE(ScanParaForm->EnterText("ComboBox1", QString::number(Pixels)));
    MainQVTForm->RepeatButton()->setChecked(false);
    MainQVTForm->ScanButton()->click();
    ASSERT_TRUE(test::RunLoopUntil(
        [] { return DeviceWorkers->GoXYThread().Suspended() && !MainQVTForm->ScanButtonDown(); }, 300000));
    ExpectTheSample();
    EXPECT_EQ(sim_->CrashCount(), 0);
    EXPECT_EQ(sim_->GuardViolationCount(), 0);
    EXPECT_TRUE(boxes_.Texts().isEmpty()) << boxes_.Texts().join("|").toStdString();
}

INSTANTIATE_TEST_SUITE_P(EveryMode, BundledFeedbackModes,
                         ::testing::Values(TModeCase{FeedbackSTM, "Edit1", "1"}, TModeCase{FeedbackSTM1, "Edit1", "1"},
                                           TModeCase{FeedbackSTM2, "Edit1", "1"},
                                           TModeCase{FeedbackCmAFM, "Edit1", "0.1"},
                                           TModeCase{FeedbackNcAFMR, "Edit1", "50"},
                                           TModeCase{FeedbackNcAFMX, "Edit1", "0.0003"},
                                           TModeCase{FeedbackNcAFMPLL, "Edit18", "0.0002"}));
