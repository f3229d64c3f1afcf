// The spectroscopy window as an operator meets it: the program started on
// the bundled settings, the window opened from the main window's button, a
// force curve measured on the simulated microscope.

#include "app/BundledProgram.h"
#include "app/CreateForms.h"
#include "core/IniFile.h"
#include "core/SharedState.h"
#include "core/Startup.h"
#include "device/InOutForm.h"
#include "lockin/LockInOptionForm.h"
#include "mainwindow/MainQVTForm.h"
#include "motion/Approach.h"
#include "platform/MessageBoxes.h"
#include "scan/DeviceWorkers.h"
#include "scan/ScanParaForm.h"
#include "sim/SimController.h"
#include "spectro/SpektForm.h"
#include "spectro/SpektOptionForm.h"
#include "support/TestSupport.h"
#include "widgets/NumericEdit.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <algorithm>

using namespace qvt;

TEST(BundledSpectroscopy, TheButtonOpensTheWindowAndAForceCurveIsPlotted)
{
    test::BundledProgram program;
    ASSERT_TRUE(program.Copied);
    ScriptedMessageResponder boxes;
    ASSERT_TRUE(program.Start());
    ASSERT_NE(SpektForm, nullptr);
    EXPECT_FALSE(SpektForm->isVisible());

    auto* button = qobject_cast<QAbstractButton*>(MainQVTForm->Control("SpectButton"));
    ASSERT_NE(button, nullptr);
    ASSERT_TRUE(button->isEnabled());
    button->click();
    EXPECT_TRUE(SpektForm->isVisible());
    EXPECT_EQ(SpektForm->windowTitle(), "Spectroscopy");

    // Force against distance: out 3 nm and back, recording the feedback input.
    SpektForm->ComboBox1->setCurrentText("X(z)");
    SpektForm->ComboBox1Change();
    SpektForm->ChannelBoxes[0]->setCurrentIndex(1);
    SpektForm->ComboBox2Change(0);
    SpektForm->Edit4->Apply("100");
    SpektForm->Edit5->Apply("0");
    SpektForm->Edit6->Apply("3");
    SpektForm->ScanButton->click();
    ASSERT_TRUE(test::PumpUntil([] { return !SpektForm->Measuring(); }));
    QCoreApplication::processEvents();
    EXPECT_EQ(SpektForm->StatusBar->text(), "1 / 1");
    const auto& deflection = SpektForm->SpektData.Col[3];
    const int n = SpektForm->Points();
    const auto [low, high] = std::minmax_element(deflection.begin(), deflection.begin() + n);
    EXPECT_LT(*low, *high);

    // The fitted slope taken as the sensitivity by a click on the fit label:
    // the lock-in options show it, whatever the feedback mode.
    ASSERT_NE(LockInOptionForm, nullptr);
    TNumericEdit* scaleY = LockInOptionForm->Edit("Edit1");
    ASSERT_NE(scaleY, nullptr);
    EXPECT_EQ(scaleY->text(), "0");
    SpektForm->FitButton->click();
    ASSERT_TRUE(SpektForm->Fit().Valid);
    boxes.Clear();
    QTest::mouseClick(SpektForm->Label21, Qt::LeftButton);
    EXPECT_EQ(scaleY->text(), QString::number(SpektForm->Fit().Slope, 'g', 4));

    const QImage shot = SpektForm->grab().toImage();
    QDir().mkpath("temp");
    EXPECT_TRUE(shot.save("temp/BundledSpectroscopy.png"));

    button->click();
    EXPECT_FALSE(SpektForm->isVisible());
    EXPECT_TRUE(MainQVTForm->close());
    DestroyAllForms();
    EXPECT_TRUE(boxes.Texts().size() <= 1) << boxes.LastText().toStdString();
}

// Channel 3 turned from Error to the Z sensor while "continue acquire" runs:
// the run ends there, and the column saved under "Error" holds what the
// Error input read (the same as channel 1, which reads it too), not the Z
// sensor's readings in Error's scale.
TEST(BundledSpectroscopy, AChannelChangedDuringContinueAcquireEndsTheRunAndKeepsItsColumnsTrue)
{
    test::BundledProgram program;
    ASSERT_TRUE(program.Copied);
    ScriptedMessageResponder boxes;
    ASSERT_TRUE(program.Start());
    ASSERT_NE(SpektForm, nullptr);
    qobject_cast<QAbstractButton*>(MainQVTForm->Control("SpectButton"))->click();
    ASSERT_TRUE(SpektForm->isVisible());
    SpektForm->ComboBox1->setCurrentText("X(z)");
    SpektForm->ComboBox1Change();
    SpektForm->Edit4->Apply("100");
    SpektForm->Edit5->Apply("0");
    SpektForm->Edit6->Apply("3");

    // Options: three channels, files with a header under a name of the test's.
    SpektForm->SpeedButton4->click();
    ASSERT_NE(SpektOptionForm, nullptr);
    SpektOptionForm->ChannelButtons[2]->click();
    if (!SpektOptionForm->CheckBoxSaveHeader->isChecked())
        SpektOptionForm->CheckBoxSaveHeader->click();
    if (SpektOptionForm->CheckBoxNumbered->isChecked())
        SpektOptionForm->CheckBoxNumbered->click();
    const QString base = program.Dir.Path() + "midrun";
    QTest::keyClick(SpektOptionForm->EditFileName, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(SpektOptionForm->EditFileName, base);
    const auto pick = [](QComboBox* box, const QString& text) {
        ASSERT_GE(box->findText(text), 0) << text.toStdString();
        while (box->currentIndex() < box->findText(text))
            QTest::keyClick(box, Qt::Key_Down);
        while (box->currentIndex() > box->findText(text))
            QTest::keyClick(box, Qt::Key_Up);
    };
    pick(SpektForm->ChannelBoxes[0], "Error");
    pick(SpektForm->ChannelBoxes[1], "Signal 2");
    pick(SpektForm->ChannelBoxes[2], "Error");

    int curves = 0;
    QObject::connect(SpektForm, &TSpektForm::curveDone, [&curves](int) { ++curves; });
    QTest::mouseClick(SpektForm->RepeatButton, Qt::LeftButton);
    QTest::mouseClick(SpektForm->ScanButton, Qt::LeftButton);
    ASSERT_TRUE(test::PumpUntil([&] { return curves >= 2; }));
    pick(SpektForm->ChannelBoxes[2], "Z sensor");
    EXPECT_FALSE(SpektForm->Measuring());
    EXPECT_EQ(SpektForm->StatusBar->text(), "Run ended: channel 3 changed; the curves measured so far are kept");
    // Given the time a run that went on would take for a few more curves.
    QTest::qWait(200);
    EXPECT_FALSE(SpektForm->Measuring());

    QTest::mouseClick(SpektForm->SaveButton, Qt::LeftButton);
    QFile file(base + ".txt");
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromLatin1(file.readAll()).split("\r\n", Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), SpektForm->Measured().Points + 1);
    EXPECT_EQ(lines[0], "Error\tSignal 2\tError");
    int differing = 0;
    for (int i = 1; i < lines.size(); ++i) {
        const QStringList row = lines[i].split('\t');
        ASSERT_EQ(row.size(), 3);
        differing += row[0] != row[2];
    }
    EXPECT_EQ(differing, 0);

    EXPECT_TRUE(MainQVTForm->close());
    DestroyAllForms();
}

// An X(z) curve with the loop off, typed as an operator would on the
// approached tip: dz1 toward the sample is limited at its edit to the press
// the settings allow, and the curve at that limit leaves the tip whole.
TEST(BundledSpectroscopy, ARampTowardTheSampleIsLimitedAtItsEditToWhatTheTipBears)
{
    test::BundledProgram program;
    ASSERT_TRUE(program.Copied);
    {
        TQVTIniFile sim(program.Dir.Path() + "ini/sim.ini");
        sim.WriteString("Clock", "Mode", "Fast");
    }
    ScriptedMessageResponder boxes;
    ASSERT_TRUE(program.Start());
    auto* sim = dynamic_cast<sim::SimController*>(InOutForm->Driver());
    ASSERT_NE(sim, nullptr);
    ScanParaForm->DownButton()->click();
    ASSERT_TRUE(test::RunLoopUntil([] { return !DeviceWorkers->Approach().Busy(); }, 120000));
    ASSERT_EQ(MicroscopeState.ZState.load(), ZApproached);
    ASSERT_EQ(sim->CrashCount(), 0);

    auto* button = qobject_cast<QAbstractButton*>(MainQVTForm->Control("SpectButton"));
    ASSERT_NE(button, nullptr);
    button->click();
    SpektForm->ComboBox1->setCurrentText("X(z)");
    SpektForm->ComboBox1Change();
    SpektForm->Edit4->Apply("100");
    SpektForm->Edit6->Apply("3");
    const auto type = [](TNumericEdit* edit, const QString& text) {
        edit->selectAll();
        QTest::keyClicks(edit, text);
        QTest::keyClick(edit, Qt::Key_Return);
    };
    const double limit = -MainIni->ReadFloat("Spekt", "ZPressMax", 0.0);
    ASSERT_LT(limit, 0.0); // the bundled settings name the press the tip bears
    const QString edge = QString::number(limit, 'g', 5);
    // The limit itself is kept as typed; one step beyond it and far beyond are limited.
    for (const QString& typed : {edge, QString::number(limit - 0.01, 'g', 6), QString("-316.6")}) {
        SCOPED_TRACE(typed.toStdString());
        type(SpektForm->Edit5, typed);
        EXPECT_EQ(SpektForm->Edit5->text(), edge);
        EXPECT_EQ(UserIni->ReadString("X(z)", "Edit5", "none"), edge);
        EXPECT_NEAR(SpektForm->Dz1, limit, 1e-4); // a whole Z digit
    }
    boxes.Clear();
    SpektForm->ScanButton->click();
    ASSERT_TRUE(test::PumpUntil([] { return !SpektForm->Measuring(); }));
    QCoreApplication::processEvents();
    EXPECT_EQ(SpektForm->StatusBar->text(), "1 / 1");
    EXPECT_EQ(sim->CrashCount(), 0);
    // What the curve played reached the limit.
    const auto& dz = SpektForm->SpektData.Col[1];
    EXPECT_NEAR(*std::min_element(dz.begin(), dz.begin() + SpektForm->Points()), limit, 0.01);

    EXPECT_TRUE(MainQVTForm->close());
    DestroyAllForms();
    MicroscopeState.ZState = ZCoarseRetracted;
    EXPECT_TRUE(boxes.Texts().isEmpty()) << boxes.Texts().join(" / ").toStdString();
}
