// A tip pushed into the sample on the bundled settings: the simulated
// instrument's record of it reaches the operator as one line in the error
// log and the main window's status line.

#include "app/BundledProgram.h"
#include "app/CreateForms.h"
#include "core/IniFile.h"
#include "core/SharedState.h"
#include "core/Startup.h"
#include "device/InOutForm.h"
#include "mainwindow/MainQVTForm.h"
#include "motion/Stepper.h"
#include "platform/MessageBoxes.h"
#include "sim/SimController.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QFile>
#include <QLabel>
#include <QStatusBar>

#include <gtest/gtest.h>

using namespace qvt;

TEST(BundledCrash, ACoarseStepIntoTheTouchingTipIsLoggedAndShownOnce)
{
    test::BundledProgram program;
    ASSERT_TRUE(program.Copied);
    const test::TempDir& dir = program.Dir;
    {
        TQVTIniFile sim(dir.Path() + "ini/sim.ini");
        sim.WriteString("Clock", "Mode", "Fast");
    }
    QFile log(dir.Path() + "error.log"); // present: logging is on
    ASSERT_TRUE(log.open(QIODevice::WriteOnly));
    log.close();
    ScriptedMessageResponder boxes;
    ASSERT_TRUE(program.Create());
    StartUp();
    auto* sim = dynamic_cast<sim::SimController*>(InOutForm->Driver());
    ASSERT_NE(sim, nullptr);
    ASSERT_NE(Stepper, nullptr);

    // The coarse motor brings the sample up to the retracted tip, and one step more.
    for (int i = 0; i < 200 && sim->CrashCount() == 0; ++i)
        Stepper->StepDown();
    ASSERT_EQ(sim->CrashCount(), 1);
    QCoreApplication::processEvents();

    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(log.readAll()).split("\r\n", Qt::SkipEmptyParts);
    log.close();
    ASSERT_EQ(lines.size(), 1) << lines.join(" / ").toStdString();
    EXPECT_TRUE(lines[0].contains("\ttip crashed at Z ")) << lines[0].toStdString();
    EXPECT_TRUE(lines[0].contains("\tSPM-Box\t"));
    const auto* field = MainQVTForm->statusBar()->findChild<QLabel*>("SimRecordField");
    ASSERT_NE(field, nullptr);
    EXPECT_TRUE(field->text().startsWith("tip crashed at Z ")) << field->text().toStdString();

    // Nothing new: nothing more is told.
    InOutForm->ReadReg(0);
    QCoreApplication::processEvents();
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(log.readAll()).count("\r\n"), 1);
    log.close();

    sim->ClearCrashes();
    EXPECT_TRUE(MainQVTForm->close());
    DestroyAllForms();
}
