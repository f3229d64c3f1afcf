// Scripts as the operator runs them: the program on the bundled settings and
// the simulated microscope, a script chosen in the navigator and started and
// stopped with its Run/Stop button; the script thread moves the tip, scans a
// frame, measures a curve and sweeps the resonance through the windows.

#include "app/BundledProgram.h"
#include "support/DriverLinkFixture.h"
#include "support/ScriptSamples.h"

#include "app/CreateForms.h"
#include "core/SharedState.h"
#include "device/InOutForm.h"
#include "lockin/DncForm.h"
#include "mainwindow/MainQVTForm.h"
#include "mainwindow/MiscForm.h"
#include "navigator/SelForm.h"
#include "platform/MessageBoxes.h"
#include "scan/DeviceWorkers.h"
#include "scan/GoXYThread.h"
#include "script/ScriptThread.h"
#include "spectro/SpektForm.h"

#include "support/Xvfb.h"

#include <QCheckBox>
#include <QDir>
#include <QGuiApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>
#include <QToolButton>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

using namespace qvt;
using namespace qvt::test;

namespace {

class ScriptRun : public DriverLinkFixture {
protected:
    void SetUp() override
    {
        DriverLinkFixture::SetUp();
        ASSERT_TRUE(CopyBundledSettings(dir_));
        QDir(dir_.Path()).mkpath("scripts");
        QDir(dir_.Path()).mkpath("data");
        sim_ = PlugSim(FastConfig());
        int exitCode = 0;
        ASSERT_TRUE(CreateAllForms("qvt", exitCode));
        MainQVTForm->show();
        ASSERT_NE(ScriptThread, nullptr);
        pixels_ = ScanParams.Pixels;
        speed_ = ScanParams.Speed;
    }

    void TearDown() override
    {
        if (MainQVTForm != nullptr)
            MainQVTForm->close();
        DestroyAllForms();
        ScanParams.Pixels = pixels_;
        ScanParams.Speed = speed_;
        DriverLinkFixture::TearDown();
    }

    // Chooses scripts/<name> in the navigator and presses Run.
    void Start(const QString& name, const QByteArray& text)
    {
        dir_.WriteFile("scripts/" + name, text);
        SelForm->ScriptChosen(dir_.Path() + "scripts/" + name);
        SelForm->RunStopButton()->click();
        ASSERT_TRUE(SelForm->RunStopButton()->isChecked()) << Memo().join("\n").toStdString();
    }
    bool Finished()
    {
        return PumpUntil([] { return !ScriptThread->Active(); }, 60000);
    }
    QStringList Memo() const { return SelForm->Memo1()->toPlainText().split('\n'); }

    // The script thread shut down as the exit shuts it down, while its script
    // waits for a frame no one will finish. A wait the shutdown does not wake
    // is ended after ten seconds (a wake-up takes milliseconds) and fails.
    void ExpectTheShutdownWakesTheWaitingScript()
    {
        ASSERT_NE(ScriptThread, nullptr);
        ASSERT_TRUE(ScriptThread->Active());
        ManualResetEvent& frameEnd = InOutForm->PictureReadyEvent;
        std::promise<void> joined;
        std::future<void> over = joined.get_future();
        std::atomic<bool> rescued{false};
        std::thread watchdog([&] {
            if (over.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
                rescued = true;
                frameEnd.Set();
            }
        });
        ScriptThread->Shutdown();
        joined.set_value();
        watchdog.join();
        EXPECT_FALSE(rescued) << "the shutdown did not wake the script waiting for its frame";
    }

    std::shared_ptr<sim::SimController> sim_;
    int16_t pixels_ = 0;
    float speed_ = 0.0f;
};

} // namespace

TEST_F(ScriptRun, AScriptMovesTheTipScansAFrameMeasuresACurveAndSweepsTheResonance)
{
    Start("device.scr", "BEGIN\r\n"
                        "  SCANPARA('PIXEL', 32);\r\n"
                        "  SCANPARA('SPEED', 40);\r\n"
                        "  GOXY(0.75, 0.25);\r\n"
                        "  GETCHANNEL(-2);\r\n"
                        "  WRITELN('x ', C);\r\n"
                        "  GETCHANNEL(-3);\r\n"
                        "  WRITELN('y ', C);\r\n"
                        "  SETCHANNEL(9, 700);\r\n"
                        "  MOVE('CZ', 5);\r\n"
                        "  SCANIMAGE;\r\n"
                        "  WRITELN('frame done');\r\n"
                        "  SPECTSTART;\r\n"
                        "  WRITELN('curve done');\r\n"
                        "  DNCSTART;\r\n"
                        "  WRITELN('sweep done');\r\n"
                        "  SCANPARA('SPEED', 'fast');\r\n"
                        "END.\r\n");
    ASSERT_TRUE(Finished());
    EXPECT_FALSE(SelForm->RunStopButton()->isChecked()) << "the button goes up when the run ends";
    const QStringList memo = Memo();
    ASSERT_EQ(memo.size(), 6) << memo.join("\n").toStdString();
    EXPECT_EQ(memo[2], "frame done");
    EXPECT_EQ(memo[3], "curve done");
    EXPECT_EQ(memo[4], "sweep done");
    EXPECT_EQ(memo[5], "Error 16 (number expected) at line 17.    Program stopped!");

    // The parameter window took the values, the tip went to three quarters
    // of the scanner field in X and a quarter in Y, register 41 got its limit.
    EXPECT_EQ(ScanParams.Pixels.load(), 32);
    EXPECT_EQ(ScanParams.Speed.load(), 40.0f);
    const TPosition goal = SelForm->FractionToPosition(0.75, 0.25);
    EXPECT_NE(goal.X, 0.0);
    // The X and Y outputs as the controller had them after the move.
    ASSERT_TRUE(memo[0].startsWith("x ") && memo[1].startsWith("y ")) << memo.join("\n").toStdString();
    EXPECT_NEAR(memo[0].mid(2).toDouble(), goal.X, std::abs(goal.X) * 0.01);
    EXPECT_NEAR(memo[1].mid(2).toDouble(), goal.Y, std::abs(goal.Y) * 0.01);
    EXPECT_EQ(sim_->Register(41), 511);
    EXPECT_EQ(sim_->CoarseStepsUp(), 5);
    // A whole frame, a curve and a sweep went through the controller.
    EXPECT_GE(CountCode(*sim_, IOCTL_GO_XY), 32 * 32);
    EXPECT_FALSE(SpektForm->Measuring());
    EXPECT_EQ(SpektForm->StatusBar->text(), "1 / 1");
    EXPECT_FALSE(dncForm->Acquiring());
    EXPECT_GT(CountCode(*sim_, IOCTL_LOCKIN_FREQUENCY), 100);

    SelForm->show();
    QDir().mkpath("temp");
    EXPECT_TRUE(SelForm->grab().toImage().save("temp/ScriptRun.png"));

    QFile data(dir_.Path() + "data/NoName.txt");
    ASSERT_TRUE(data.open(QIODevice::ReadOnly));
    EXPECT_TRUE(data.readAll().endsWith("frame done\r\ncurve done\r\nsweep done\r\n"));
}

TEST_F(ScriptRun, StopEndsAScanWaitAtOnceAndAMissingControlIsError31)
{
    // A crawl: the frame would take hours, the wait has no limit.
    Start("slow.scr", "BEGIN\r\n"
                      "  SCANPARA('SPEED', 0.05);\r\n"
                      "  WRITELN('scanning');\r\n"
                      "  SCANIMAGE;\r\n"
                      "  WRITELN('stopped');\r\n"
                      "END.\r\n");
    ASSERT_TRUE(PumpUntil([&] { return Memo().contains("scanning") && MainQVTForm->ScanButtonDown(); }));
    ASSERT_TRUE(ScriptThread->Active());
    SelForm->RunStopButton()->click();
    ASSERT_TRUE(Finished());
    EXPECT_EQ(Memo(), (QStringList{"scanning", "Try to stop Script! Please wait."}));
    EXPECT_FALSE(SelForm->RunStopButton()->isChecked());
    // The scan itself goes on until the operator stops it.
    EXPECT_TRUE(MainQVTForm->ScanButtonDown());
    MainQVTForm->ScanButton()->click();

    // A menu item the approach menu does not have, and a refused value: the statement fails cleanly.
    Start("later.scr", "BEGIN\r\n  MOVE('APPROACH', 99);\r\nEND.\r\n");
    ASSERT_TRUE(Finished());
    EXPECT_EQ(Memo().last(), "Error 31 (Value out of range) at line 2.    Program stopped!");
    Start("red.scr", "BEGIN\r\n  SCANPARA('RANGE', -100);\r\nEND.\r\n");
    ASSERT_TRUE(Finished());
    EXPECT_EQ(Memo().last(), "Error 31 (Value out of range) at line 2.    Program stopped!");
}

TEST_F(ScriptRun, AStoppedScanLinePausesItsScanAndTheNextScanLineCompletes)
{
    ASSERT_NE(DeviceWorkers, nullptr);
    TGoXYThread* scan = &DeviceWorkers->GoXYThread();
    // A crawl: the lines would take hours.
    Start("many.scr", "BEGIN\r\n"
                      "  SCANPARA('PIXEL', 32);\r\n"
                      "  SCANPARA('SPEED', 0.05);\r\n"
                      "  SCANLINE(100000);\r\n"
                      "END.\r\n");
    ASSERT_TRUE(PumpUntil([&] { return MainQVTForm->ScanButtonDown() && !scan->Suspended(); }));
    SelForm->RunStopButton()->click();
    ASSERT_TRUE(Finished());
    EXPECT_FALSE(MainQVTForm->ScanButtonDown()) << "the scan the statement started runs on";
    EXPECT_FALSE(scan->Running.load());
    EXPECT_TRUE(PumpUntil([&] { return scan->Suspended(); })) << "the scan thread never parked";

    Start("three.scr", "BEGIN\r\n"
                       "  SCANPARA('SPEED', 40);\r\n"
                       "  SCANLINE(3);\r\n"
                       "  WRITELN('lines done');\r\n"
                       "END.\r\n");
    ASSERT_TRUE(Finished());
    EXPECT_EQ(Memo(), QStringList{"lines done"});
    EXPECT_EQ(ScriptThread->LastError(), 0);
    EXPECT_EQ(boxes_.Texts(), QStringList{}) << "no box waits for the operator";
    EXPECT_EQ(ScanParams.LinesLeft.load(), 0);
    EXPECT_FALSE(MainQVTForm->ScanButtonDown());
    EXPECT_TRUE(PumpUntil([&] { return scan->Suspended(); }));

    // A scan the operator runs is not the script's to take over: the
    // statement fails at once, with what the main window said, and leaves it.
    MainQVTForm->RepeatButton()->setChecked(true);
    MainQVTForm->ScanButton()->click();
    ASSERT_TRUE(PumpUntil([&] { return !scan->Suspended(); }));
    Start("refused.scr", "BEGIN\r\n  SCANLINE(3);\r\n  WRITELN('lines done');\r\nEND.\r\n");
    ASSERT_TRUE(Finished());
    EXPECT_EQ(Memo(),
              (QStringList{"Scan was not paused!?", "Error 31 (Value out of range) at line 2.    Program stopped!"}));
    EXPECT_EQ(boxes_.Texts(), QStringList{});
    EXPECT_TRUE(MainQVTForm->ScanButtonDown());
    MainQVTForm->RepeatButton()->setChecked(false);
    MainQVTForm->ScanButton()->click();
    EXPECT_TRUE(PumpUntil([&] { return scan->Suspended(); }));

    // The program closes while a SCANLINE waits: the script ends, the close pauses the scan.
    Start("many.scr", "BEGIN\r\n  SCANPARA('SPEED', 0.05);\r\n  SCANLINE(100000);\r\nEND.\r\n");
    ASSERT_TRUE(PumpUntil([&] { return MainQVTForm->ScanButtonDown() && !scan->Suspended(); }));
    EXPECT_TRUE(MainQVTForm->close());
    ExpectTheShutdownWakesTheWaitingScript();
    DestroyAllForms(); // joins the script thread
    EXPECT_EQ(ScriptThread, nullptr);
}

TEST_F(ScriptRun, AStoppedMoveSpectroscopyOrSweepEndsWithTheScriptAndABusyWindowRefusesTheNext)
{
    // A million coarse steps: Stop ends them at the next step, the windows usable meanwhile.
    Start("steps.scr", "BEGIN\r\n  MOVE('CZ', 1000000);\r\n  WRITELN('moved');\r\nEND.\r\n");
    ASSERT_TRUE(PumpUntil([&] { return sim_->CoarseStepsUp() > 0; }));
    SelForm->RunStopButton()->click();
    ASSERT_TRUE(Finished());
    EXPECT_LT(sim_->CoarseStepsUp(), 1000000);
    EXPECT_EQ(Memo(), QStringList{"Try to stop Script! Please wait."});

    // "continue acquire" down: the statement's run would never end by itself.
    SpektForm->RepeatButton->setChecked(true);
    Start("curves.scr", "BEGIN\r\n  WRITELN('measuring');\r\n  SPECTSTART;\r\nEND.\r\n");
    ASSERT_TRUE(PumpUntil([&] { return Memo().contains("measuring") && SpektForm->Measuring(); }));
    SelForm->RunStopButton()->click();
    ASSERT_TRUE(Finished()) << Memo().join(" | ").toStdString();
    EXPECT_FALSE(SpektForm->Measuring()) << "the run went on after the script was stopped";
    EXPECT_FALSE(SpektForm->ScanButton->isChecked());

    auto* dncRepeat = dncForm->findChild<QToolButton*>("RepeatButton");
    ASSERT_NE(dncRepeat, nullptr);
    dncRepeat->setChecked(true);
    Start("sweeps.scr", "BEGIN\r\n  WRITELN('sweeping');\r\n  DNCSTART;\r\nEND.\r\n");
    ASSERT_TRUE(PumpUntil([&] { return Memo().contains("sweeping") && dncForm->Acquiring(); }));
    SelForm->RunStopButton()->click();
    ASSERT_TRUE(Finished());
    EXPECT_FALSE(dncForm->Acquiring()) << "the sweep went on after the script was stopped";
    EXPECT_FALSE(dncForm->ScanButtonDown());

    // Both are ready for the next run.
    SpektForm->RepeatButton->setChecked(false);
    dncRepeat->setChecked(false);
    Start("both.scr", "BEGIN\r\n  SPECTSTART;\r\n  WRITELN('curve done');\r\n  DNCSTART;\r\n"
                      "  WRITELN('sweep done');\r\nEND.\r\n");
    ASSERT_TRUE(Finished());
    EXPECT_EQ(Memo(), (QStringList{"curve done", "sweep done"}));

    // A run the operator started is not the script's: error 31, nothing waits.
    SpektForm->RepeatButton->setChecked(true);
    SpektForm->ScanButton->click();
    ASSERT_TRUE(SpektForm->Measuring());
    Start("busy.scr", "BEGIN\r\n  SPECTSTART;\r\n  WRITELN('curve done');\r\nEND.\r\n");
    ASSERT_TRUE(Finished());
    EXPECT_EQ(Memo(), QStringList{"Error 31 (Value out of range) at line 2.    Program stopped!"});
    SpektForm->CancelButton1Click();
    SpektForm->RepeatButton->setChecked(false);

    // A sweep the window refuses: its box's words in the memo, not a box nobody answers.
    Start("range.scr", "BEGIN\r\n  DNCPARA(1, 30000);\r\n  DNCPARA(2, 20000);\r\n  DNCSTART;\r\n"
                       "  WRITELN('sweep done');\r\nEND.\r\n");
    ASSERT_TRUE(Finished());
    EXPECT_EQ(Memo(), (QStringList{"Start frequency bigger than stop frequency!",
                                   "Error 31 (Value out of range) at line 4.    Program stopped!"}));
    EXPECT_EQ(boxes_.Texts(), QStringList{});
}

// The same on a screen, where a box waits for someone to answer it and no
// test does: the program on its bundled settings (the simulator on its fast
// clock), in a test process of its own on the "xcb" platform against an X
// server the test below starts.
TEST(ScriptRunOnScreen, DISABLED_AStoppedScanLineThenTheNext)
{
    ASSERT_EQ(QGuiApplication::platformName(), "xcb");
    BundledProgram program;
    ASSERT_TRUE(program.Copied);
    TempDir& dir = program.Dir;
    dir.WriteFile("ini/sim.ini", dir.ReadFile("ini/sim.ini").replace("Mode=RealTime", "Mode=Fast"));
    QDir(dir.Path()).mkpath("data");
    const QString many = dir.WriteFile("scripts/many.scr", "BEGIN\r\n"
                                                           "  SCANPARA('PIXEL', 32);\r\n"
                                                           "  SCANPARA('SPEED', 0.05);\r\n"
                                                           "  SCANLINE(100000);\r\n"
                                                           "END.\r\n");
    const QString three = dir.WriteFile("scripts/three.scr", "BEGIN\r\n  SCANPARA('SPEED', 40);\r\n  SCANLINE(3);\r\n"
                                                             "  WRITELN('lines done');\r\nEND.\r\n");
    ASSERT_TRUE(program.Create());
    MainQVTForm->show();
    SelForm->show();
    ASSERT_NE(DeviceWorkers, nullptr);
    TGoXYThread* scan = &DeviceWorkers->GoXYThread();
    const auto run = [&](const QString& path) {
        SelForm->ScriptChosen(path);
        QTest::mouseClick(SelForm->RunStopButton(), Qt::LeftButton);
    };
    // The bounds only prove that the waits end.
    run(many);
    ASSERT_TRUE(PumpUntil([&] { return MainQVTForm->ScanButtonDown() && !scan->Suspended(); }, 60000));
    QTest::mouseClick(SelForm->RunStopButton(), Qt::LeftButton);
    ASSERT_TRUE(PumpUntil([] { return !ScriptThread->Active(); }, 60000));
    EXPECT_FALSE(MainQVTForm->ScanButtonDown()) << "the scan the statement started runs on";
    // At once, while the paused scan may still be parking.
    run(three);
    ASSERT_TRUE(PumpUntil([] { return !ScriptThread->Active(); }, 60000));
    EXPECT_EQ(SelForm->Memo1()->toPlainText(), "lines done");
    EXPECT_TRUE(PumpUntil([&] { return !MainQVTForm->ScanButtonDown() && scan->Suspended(); }, 60000));
    // The end as the program's exit has it: no box from here on.
    StopShowingBoxes();
    MainQVTForm->close();
    DestroyAllForms();
}

TEST(ScriptRunOnScreen, AStoppedScanLineAndTheNextCompleteWithNobodyAnsweringBoxes)
{
    if (!test::XvfbScreen::Available())
        GTEST_SKIP() << "no Xvfb here (tools/install-deps.sh installs it)";
    test::XvfbScreen screen("1280x1024");
    ASSERT_FALSE(screen.Display().isEmpty()) << "Xvfb named no display";

    QProcess test;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "xcb");
    env.insert("DISPLAY", screen.Display());
    test.setProcessEnvironment(env);
    test.setProcessChannelMode(QProcess::MergedChannels);
    test.start(
        QCoreApplication::applicationFilePath(),
        {"--gtest_also_run_disabled_tests", "--gtest_filter=ScriptRunOnScreen.DISABLED_AStoppedScanLineThenTheNext"});
    // A box nobody answers keeps it waiting until this bound.
    const bool ended = test.waitForFinished(300000);
    if (!ended) {
        test.kill();
        test.waitForFinished(30000);
    }
    const std::string out = QString::fromLocal8Bit(test.readAll()).toStdString();
    ASSERT_TRUE(ended) << "the script still waits:\n" << out;
    EXPECT_EQ(test.exitStatus(), QProcess::NormalExit) << out;
    EXPECT_EQ(test.exitCode(), 0) << out;
    EXPECT_NE(out.find("[  PASSED  ] 1 test"), std::string::npos) << out;
}

TEST_F(ScriptRun, AutoSaveSetsTheSaveButtonWithoutSavingAndClosingStopsAWaitingScript)
{
    ASSERT_FALSE(MainQVTForm->SaveButtonDown());
    Start("save.scr", "BEGIN SCANPARA('AUTOSAVE', 1); END.");
    ASSERT_TRUE(Finished());
    EXPECT_EQ(ScriptThread->LastError(), 0) << Memo().join("\n").toStdString();
    EXPECT_TRUE(MainIni->ReadBool("Save", "AutoSaveScan", false));
    EXPECT_TRUE(MainQVTForm->SaveButtonDown());
    // The button's handler follows the setting (a save now, the mouse-up's
    // job, would have switched the automatic save off again).
    Start("save.scr", "BEGIN SCANPARA('AUTOSAVE', 0); END.");
    ASSERT_TRUE(Finished());
    EXPECT_FALSE(MainQVTForm->SaveButtonDown());

    // The program closes while a script waits for a frame that takes hours.
    Start("slow.scr", "BEGIN SCANPARA('SPEED', 0.05); WRITELN('scanning'); SCANIMAGE; END.");
    ASSERT_TRUE(PumpUntil([&] { return Memo().contains("scanning") && MainQVTForm->ScanButtonDown(); }));
    EXPECT_TRUE(MainQVTForm->close());
    ExpectTheShutdownWakesTheWaitingScript();
    DestroyAllForms(); // joins the script thread
    EXPECT_EQ(ScriptThread, nullptr);
}

TEST_F(ScriptRun, TheShippedSamplesGiveTheirOutputOnTheInstrument)
{
    const QString samples(QVT_RESOURCES_DIR "/scripts/");
    const QString scripts = dir_.Path() + "scripts/";
    const QStringList names = QDir(samples).entryList({"*.scr"}, QDir::Files);
    for (const QString& name : names)
        QFile::copy(samples + name, scripts + name);
    for (const QString& name : names) {
        QFile file(samples + name);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const TSampleExpectation expected = ReadSampleExpectation(file.readAll(), scripts);
        if (!expected.Runs)
            continue;
        SelForm->ScriptChosen(scripts + name);
        SelForm->RunStopButton()->click();
        ASSERT_TRUE(Finished()) << name.toStdString() << ": " << Memo().join(" | ").toStdString();
        EXPECT_EQ(Memo(), expected.Memo) << name.toStdString() << ": " << Memo().join(" | ").toStdString();
        QFile data(dir_.Path() + "data/" + ScriptThread->DataName() + ".txt");
        QStringList lines;
        if (data.open(QIODevice::ReadOnly))
            lines = QString::fromLatin1(data.readAll()).split("\r\n");
        if (!lines.isEmpty() && lines.last().isEmpty())
            lines.removeLast();
        EXPECT_EQ(lines, expected.Data) << name.toStdString() << ": " << lines.join(" | ").toStdString();
    }
    // The scan the samples started ends here.
    if (MainQVTForm->ScanButtonDown())
        MainQVTForm->ScanButton()->click();
}

TEST_F(ScriptRun, ShiftClickOnTheSaveButtonTicksTheMiscWindowsAutoSaveBox)
{
    auto* box = MiscForm->findChild<QCheckBox*>("AutoSave");
    ASSERT_NE(box, nullptr);
    ASSERT_FALSE(box->isChecked());
    QToolButton* save = MainQVTForm->SaveButton();
    save->setEnabled(true);
    QTest::mouseClick(save, Qt::LeftButton, Qt::ShiftModifier);
    EXPECT_TRUE(MainIni->ReadBool("Save", "AutoSaveScan", false));
    EXPECT_TRUE(box->isChecked());
    QTest::mouseClick(save, Qt::LeftButton, Qt::ShiftModifier);
    EXPECT_FALSE(box->isChecked());
}
