#include "app/BundledProgram.h"
#include "app/CreateForms.h"
#include "core/IniFile.h"
#include "core/SharedState.h"
#include "core/Startup.h"
#include "device/InOutForm.h"
#include "lockin/DncControls.h"
#include "lockin/DncForm.h"
#include "lockin/LinkFormula.h"
#include "lockin/LockInOptionForm.h"
#include "lockin/MultiLockInForm.h"
#include "mainwindow/MainQVTForm.h"
#include "platform/MessageBoxes.h"
#include "protocol/ControlCodes.h"
#include "sim/SimController.h"
#include "support/TestSupport.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QTabWidget>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <cmath>

namespace qvt {
namespace {

// The program on the bundled settings with the simulator's clock as fast as
// it can run (everything else as shipped), after one resonance sweep.
void SweepOnceOnTheBundledSettings(test::BundledProgram& program)
{
    test::TempDir& dir = program.Dir;
    ASSERT_TRUE(program.Copied);
    dir.WriteFile("ini/sim.ini", dir.ReadFile("ini/sim.ini").replace("Mode=RealTime", "Mode=Fast"));
    ASSERT_TRUE(program.Create());
    ASSERT_NE(dncForm, nullptr);
    TdncForm& dnc = *dncForm;
    dnc.show();
    dnc.SetScanButton(true);
    ASSERT_TRUE(test::PumpUntil([&] { return !dnc.Acquiring() && !dnc.ScanButtonDown(); }, 120000));
}

// The first resonance sweep an operator makes with the bundled settings: the
// simulated cantilever's peak at 21 kHz, the phase through 90° there, and a
// click on the peak hands the operating frequency to the controller.
TEST(BundledResonance, TheBundledSettingsSweepTheSimulatedCantilever)
{
    test::BundledProgram program;
    test::TempDir& dir = program.Dir;
    ScriptedMessageResponder boxes;
    ASSERT_NO_FATAL_FAILURE(SweepOnceOnTheBundledSettings(program));
    TdncForm& dnc = *dncForm;

    EXPECT_EQ(dnc.SweepStart, 18000.0);
    EXPECT_EQ(dnc.SweepStop, 24000.0);
    // Nine points across the 105 Hz peak: the Q shown is a measured one.
    EXPECT_TRUE(dnc.StatusText(0).startsWith("Q: ")) << dnc.StatusText(0).toStdString();
    EXPECT_FALSE(dnc.StatusText(0).contains("~")) << dnc.StatusText(0).toStdString();
    EXPECT_NEAR(dnc.StatusText(0).mid(3).toDouble(), 200.0, 50.0) << dnc.StatusText(0).toStdString();
    const TDncPeak peak = FindPeakIndex(dnc.Curves.Newest(), dnc.DataPoints);
    // The bundled 10 ms filter lags the sweep by about a point and a half.
    EXPECT_NEAR(peak.Index * dnc.SweepStep + dnc.SweepStart, 21000.0, 2.5 * dnc.SweepStep);
    EXPECT_NEAR(dnc.Curves.Phase[static_cast<size_t>(peak.Index)], 90000.0, 30000.0);
    // In the picture the peak reaches the top row.
    ASSERT_TRUE(dnc.DisplayScale);
    EXPECT_LE(DncRow(dnc.Curves.Newest()[static_cast<size_t>(peak.Index)], *dnc.DisplayScale), 1);

    // With auto phase on, the click zeroes the phase there and the options
    // window shows the phase taken.
    MainIni->WriteInteger("dncopt", "AutoPhase", 1);
    MainIni->WriteString("dncopt", "phase", "0");
    ASSERT_NE(LockInOptionForm, nullptr);
    auto* phaseEdit = LockInOptionForm->findChild<QLineEdit*>("EditPhase");
    ASSERT_NE(phaseEdit, nullptr);
    phaseEdit->setText("0");
    const int column = DncColumn(peak.Index, dnc.PointShift);
    dnc.Image1MouseDown(column, 20, Qt::LeftButton, false);
    dnc.Image1MouseUp(column, 20, Qt::LeftButton);
    EXPECT_NEAR(LockInState.DriveFrequency, 21000.0, 2 * dnc.SweepStep);
    QCoreApplication::processEvents();
    const QString taken = MainIni->ReadString("dncopt", "phase", "0");
    EXPECT_NE(taken.toDouble(), 0.0);
    EXPECT_EQ(phaseEdit->text(), taken);

    // The saved curve reads back with the numbers the window holds.
    MainIni->WriteString("dncopt", "SaveName", dir.Path() + "resonance");
    MainIni->WriteInteger("dncopt", "DelimiterSave", 1); // TAB
    dnc.SaveButtonClick(false);
    QFile saved(dir.Path() + "resonance.txt");
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromLatin1(saved.readAll()).split("\r\n", Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), dnc.DataPoints);
    // The file's rows are points 1..DataPoints.
    ASSERT_GT(peak.Index, 0);
    const QStringList atPeak = lines[peak.Index - 1].split('\t');
    EXPECT_NEAR(atPeak.value(0).toDouble(), peak.Index * dnc.SweepStep + dnc.SweepStart, 0.01);
    EXPECT_NEAR(atPeak.value(1).toDouble(), dnc.Curves.Newest()[static_cast<size_t>(peak.Index)], 1e-6);

    const QImage shot = dnc.grab().toImage();
    QDir().mkpath("temp");
    EXPECT_TRUE(shot.save("temp/BundledResonance.png"));

    EXPECT_TRUE(MainQVTForm->close());
    DestroyAllForms();
    // The only box: the bundled feedback is contact mode, so the click sets
    // no setpoint.
    ASSERT_EQ(boxes.Texts().size(), 1) << boxes.Texts().join("|").toStdString();
    EXPECT_EQ(boxes.LastText(), QString::fromUtf8("Feedback doesn\u00B4t use amplitude."));
}

// A Shift-click on the spectrum tunes the multi lock-in's LIA 1 to the
// clicked frequency instead of setting a setpoint.
TEST(BundledResonance, AShiftClickOnTheSpectrumTunesLiaOneOfTheMultiLockIn)
{
    test::BundledProgram program;
    ScriptedMessageResponder boxes;
    ASSERT_NO_FATAL_FAILURE(SweepOnceOnTheBundledSettings(program));
    ASSERT_NE(MultiLockInForm, nullptr);
    TdncForm& dnc = *dncForm;
    const double before = MultiLockInParams.Frequency[0];

    // A column left of the peak, away from where LIA 1 stands already.
    const TDncPeak peak = FindPeakIndex(dnc.Curves.Newest(), dnc.DataPoints);
    const int column = DncColumn(peak.Index, dnc.PointShift) - 40;
    QWidget* image = dnc.findChild<QWidget*>("Image1");
    ASSERT_NE(image, nullptr);
    QTest::mouseClick(image, Qt::LeftButton, Qt::ShiftModifier, QPoint(column, 20));
    QCoreApplication::processEvents();

    const double clicked = DncFrequencyAtColumn(column, dnc.PointShift, dnc.SweepStep, dnc.SweepStart);
    EXPECT_LT(clicked, 21000.0);
    ASSERT_GT(std::abs(clicked - before), 1.0);
    EXPECT_EQ(dnc.OperatingFrequency, clicked);
    EXPECT_NEAR(MultiLockInParams.Frequency[0], clicked, 0.01);
    EXPECT_NEAR(MainIni->ReadFloat("MultiLockin", "Freq1", 0.0), clicked, 1e-6);
    auto* sim = dynamic_cast<sim::SimController*>(InOutForm->Driver());
    ASSERT_NE(sim, nullptr);
    EXPECT_EQ(sim->Register(RegLia1Freq), std::lround(clicked * MultiLockInWordScale));
    // The click set no setpoint: no box about the feedback's amplitude.
    EXPECT_TRUE(boxes.Texts().isEmpty()) << boxes.Texts().join("|").toStdString();

    EXPECT_TRUE(MainQVTForm->close());
    DestroyAllForms();
}

// The resonance window's options button opens its options window; on the Q
// page the gain read-out follows the input gain chosen in the resonance window.
TEST(BundledResonance, TheOptionsButtonOpensTheOptionsWhoseQGainFollowsTheInputGain)
{
    test::BundledProgram program;
    ScriptedMessageResponder boxes;
    ASSERT_TRUE(program.Copied);
    ASSERT_TRUE(program.Create());
    ASSERT_NE(dncForm, nullptr);
    ASSERT_NE(LockInOptionForm, nullptr);
    TdncForm& dnc = *dncForm;
    TLockInOptionForm& options = *LockInOptionForm;
    dnc.show();
    ASSERT_FALSE(options.isVisible());
    QTest::mouseClick(dnc.findChild<QToolButton*>("SpeedButton1"), Qt::LeftButton);
    EXPECT_TRUE(options.isVisible());

    ASSERT_TRUE(options.Pages()->isTabVisible(2));
    options.Pages()->setCurrentIndex(2);
    if (!options.Check("CheckBox3")->isChecked())
        options.Check("CheckBox3")->click();
    const int gain = dnc.InputRadio(1)->isChecked() ? 10 : 1;
    const QString before = options.Label("Label14")->text();
    dnc.InputRadio(gain)->click();
    ASSERT_TRUE(dnc.InputRadio(gain)->isChecked());
    EXPECT_NE(options.Label("Label14")->text(), before);
    EXPECT_TRUE(options.Label("Label14")->text().startsWith("Gain: "));
    DestroyAllForms();
}

// The input gain the operator left is the controller's from the start, not
// only the radio shown: the lock-in's amplitude is read at that gain.
TEST(BundledResonance, TheStoredInputGainReachesTheControllerAtStart)
{
    test::BundledProgram program;
    ASSERT_TRUE(program.Copied);
    program.Dir.WriteFile(
        "ini/qvt.ini", program.Dir.ReadFile("ini/qvt.ini").replace("InputRadio1=1", "InputRadio1=0\r\nInputRadio10=1"));
    ASSERT_TRUE(program.Create());
    ASSERT_NE(dncForm, nullptr);
    auto* sim = dynamic_cast<sim::SimController*>(InOutForm->Driver());
    ASSERT_NE(sim, nullptr);
    EXPECT_TRUE(dncForm->InputRadio(10)->isChecked());
    EXPECT_EQ(sim->ControlWord() & InputGainMask, InputGainBits(10, InOutForm->Caps));
    EXPECT_NE(sim->ControlWord() & InputGainMask, InputGainBits(1, InOutForm->Caps));
    DestroyAllForms();
}

} // namespace
} // namespace qvt
