// A tip pushed into the sample on the bundled settings: the simulated
// instrument's record of it reaches the operator as one line in the error
// log and the main window's status line; a loop that rings and crashes at
// every swing is one episode with its count, not a flood.

#include "app/BundledProgram.h"
#include "app/CreateForms.h"
#include "core/IniFile.h"
#include "core/SharedState.h"
#include "core/Startup.h"
#include "device/InOutForm.h"
#include "mainwindow/MainQVTForm.h"
#include "motion/Stepper.h"
#include "platform/MessageBoxes.h"
#include "scan/ScanParaForm.h"
#include "sim/SimController.h"
#include "support/TestSupport.h"
#include "widgets/NumericEdit.h"

#include <QCoreApplication>
#include <QFile>
#include <QLabel>
#include <QStatusBar>
#include <QTest>

#include <gtest/gtest.h>

using namespace qvt;

namespace {

// The simulator on its fast clock, each request taking `requestUs` of its
// time; "error.log" present (logging on) and holding `log`.
void OnTheFastClockWithALog(const test::TempDir& dir, const QByteArray& log, int requestUs = 0)
{
    TQVTIniFile sim(dir.Path() + "ini/sim.ini");
    sim.WriteString("Clock", "Mode", "Fast");
    sim.WriteInteger("Clock", "RequestLatencyUs", requestUs);
    dir.WriteFile("error.log", log);
}

} // namespace

TEST(BundledCrash, ACoarseStepIntoTheTouchingTipIsLoggedAndShownOnce)
{
    test::BundledProgram program;
    ASSERT_TRUE(program.Copied);
    const test::TempDir& dir = program.Dir;
    OnTheFastClockWithALog(dir, "");
    QFile log(dir.Path() + "error.log");
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

TEST(BundledCrash, ALoopThatRingsForAMinuteIsOneEpisodeAndTheLogKeepsWhatCameBefore)
{
    test::BundledProgram program;
    ASSERT_TRUE(program.Copied);
    const test::TempDir& dir = program.Dir;
    // Every request takes a millisecond of the instrument's time, so requests
    // alone carry its clock through the minute.
    const QByteArray earlier = "earlier entry 1\r\nearlier entry 2\r\n";
    OnTheFastClockWithALog(dir, earlier, 1000);
    ScriptedMessageResponder boxes;
    ASSERT_TRUE(program.Start());
    auto* sim = dynamic_cast<sim::SimController*>(InOutForm->Driver());
    ASSERT_NE(sim, nullptr);
    const int64_t crashesBefore = sim->CrashCount();

    // The operator types a Ki far beyond what the loop can follow.
    auto* ki = ScanParaForm->findChild<TNumericEdit*>("Edit5");
    ASSERT_NE(ki, nullptr);
    ScanParaForm->show();
    const QString kiBefore = ki->text();
    const int32_t wordBefore = sim->Feedback().IntegralGain;
    ki->setFocus();
    ki->selectAll();
    QTest::keyClicks(ki, "1e9");
    QTest::keyClick(ki, Qt::Key_Return);
    ASSERT_NE(sim->Feedback().IntegralGain, wordBefore) << "the Ki typed never reached the loop";

    // A minute of the instrument's time, the program's messages handled as they come.
    const auto runFor = [&](int64_t us) {
        const int64_t end = sim->NowUs() + us;
        for (int n = 0; n < 1000000 && sim->NowUs() < end; ++n) {
            InOutForm->ReadReg(0);
            if (n % 50 == 0)
                QCoreApplication::processEvents();
        }
        QCoreApplication::processEvents();
        return sim->NowUs() >= end;
    };
    ASSERT_TRUE(runFor(60000000));
    const int64_t crashes = sim->CrashCount() - crashesBefore;
    ASSERT_GT(crashes, 1000) << "the loop did not ring";

    // The operator's Ki back: the ringing stops, and after a quiet while the
    // episode ends with its count.
    ki->setFocus();
    ki->selectAll();
    QTest::keyClicks(ki, kiBefore);
    QTest::keyClick(ki, Qt::Key_Return);
    ASSERT_TRUE(runFor(5000000));
    EXPECT_LT(sim->CrashCount() - crashesBefore - crashes, crashes / 10) << "the loop still rings";

    const QByteArray log = dir.ReadFile("error.log");
    EXPECT_TRUE(log.startsWith(earlier)) << "the entries before the ringing are gone";
    const QStringList lines = QString::fromUtf8(log).split("\r\n", Qt::SkipEmptyParts);
    const QStringList records = lines.filter("\tSPM-Box\t");
    const QStringList crashLines = lines.filter("\ttip crashed");
    ASSERT_GE(crashLines.size(), 2) << records.join("\n").toStdString();
    // The first as it came, then at most one line per half minute and the last.
    EXPECT_LE(crashLines.size(), 4) << records.join("\n").toStdString();
    EXPECT_LE(records.size(), 8) << records.join("\n").toStdString();
    const QString total = ": " + QString::number(sim->CrashCount() - crashesBefore) + " times from ";
    EXPECT_TRUE(crashLines.last().contains(total))
        << crashLines.last().toStdString() << " lacks " << total.toStdString();
    EXPECT_FALSE(crashLines.last().contains(" so far")) << crashLines.last().toStdString();
    const auto* field = MainQVTForm->statusBar()->findChild<QLabel*>("SimRecordField");
    ASSERT_NE(field, nullptr);
    EXPECT_TRUE(field->text().contains(" times from ")) << field->text().toStdString();

    sim->ClearCrashes();
    sim->ClearGuardViolations();
    EXPECT_TRUE(MainQVTForm->close());
    DestroyAllForms();
}
