// The fast scan as an operator meets it: the program started on the bundled
// settings with the simulated controller set up as a type-29 box, the Fast
// button down, frames streamed into the image windows, the scan stopped.

#include "app/BundledProgram.h"
#include "app/CreateForms.h"
#include "calib/ScannerForm.h"
#include "core/IniFile.h"
#include "core/SharedState.h"
#include "core/Startup.h"
#include "device/ChannelTable.h"
#include "device/InOutForm.h"
#include "mainwindow/MainQVTForm.h"
#include "platform/MessageBoxes.h"
#include "scan/DeviceWorkers.h"
#include "scan/FastScanThread.h"
#include "scan/GoXYThread.h"
#include "scan/ScanParaForm.h"
#include "scan/SmartFeedbackForm.h"
#include "support/TestSupport.h"
#include "widgets/NumericEdit.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QTest>
#include <QToolButton>
#include <QtEndian>

#include <gtest/gtest.h>

using namespace qvt;

namespace {
// The simulated controller as a type-29 box on a fast clock; `topography`
// makes the topography one of the channels the module streams.
void UseFastType29(test::TempDir& dir, bool topography)
{
    TQVTIniFile sim(dir.Path() + "ini/sim.ini");
    sim.WriteInteger("Controller", "Type", 29);
    sim.WriteString("Clock", "Mode", "Fast");
    if (topography) {
        TQVTIniFile main(dir.Path() + "ini/qvt.ini");
        main.WriteBool("Scale", "DAC1CheckBoxFast", true);
    }
}
} // namespace

TEST(BundledFastScan, TheFastButtonStreamsFrameAfterFrameIntoTheImageWindowsAndStops)
{
    test::TempDir dir;
    ASSERT_TRUE(test::CopyBundledSettings(dir));
    {
        TQVTIniFile sim(dir.Path() + "ini/sim.ini");
        sim.WriteInteger("Controller", "Type", 29);
        sim.WriteString("Clock", "Mode", "Fast");
        // The topography is one of the channels the module streams.
        TQVTIniFile main(dir.Path() + "ini/qvt.ini");
        main.WriteBool("Scale", "DAC1CheckBoxFast", true);
        // A type-29 box reads its slow and fast z sensors on inputs 20 and 22.
        main.WriteInteger("Scale", "ADC20Edit0", 20);
        main.WriteInteger("Scale", "ADC21Edit0", 22);
    }
    test::TempDir runtime;
    struct RestoreRuntime {
        QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
        ~RestoreRuntime() { qputenv("XDG_RUNTIME_DIR", saved); }
    } restoreRuntime;
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.Path().chopped(1)));
    ScriptedMessageResponder boxes;
    LoadDriverName(dir.Path(), {"qvt"});
    int exitCode = -1;
    ASSERT_TRUE(CreateAllForms("qvt", exitCode));
    MainQVTForm->resize(1600, 1000);
    MainQVTForm->show();
    QCoreApplication::processEvents();
    auto linkTime = std::make_shared<double>(0.0);
    InOutForm->LinkClock = [linkTime] { return *linkTime += 20e-6; };
    StartUp();
    ASSERT_NE(SmartFeedbackForm, nullptr);
    EXPECT_TRUE(SmartFeedbackForm->ModulePresent());

    QToolButton* fast = MainQVTForm->FastSpeedButton();
    ASSERT_TRUE(fast->isEnabled());
    ASSERT_TRUE(ScanParaForm->EnterText("ComboBox1", "64"));
    ASSERT_TRUE(ScanParaForm->EnterText("Edit4", "20"));
    fast->click();
    ASSERT_TRUE(MainQVTForm->FastSpeedButtonDown());
    MainQVTForm->RepeatButton()->setChecked(true);
    MainQVTForm->ScanButton()->click();
    TFastScanThread& thread = DeviceWorkers->FastScanThread();
    ASSERT_TRUE(test::PumpUntil([&thread] { return thread.FramesDone() >= 3; }));
    EXPECT_TRUE(DeviceWorkers->GoXYThread().Suspended()); // the controller scans, not the moves
    QCoreApplication::processEvents();
    QDir().mkpath("temp");
    EXPECT_TRUE(MainQVTForm->grab().toImage().save("temp/BundledFastScan.png"));
    SmartFeedbackForm->show();
    SmartFeedbackForm->Timer1Timer();
    EXPECT_TRUE(SmartFeedbackForm->grab().toImage().save("temp/BundledHighSpeedSettings.png"));
    SmartFeedbackForm->hide();

    // The Topography windows got the stream: the forward buffer is no longer flat.
    const TImageMatrixPtr z = DeviceWorkers->GoXYThread().Channels[ImageChannelIndex(SlotZ, PlaneFwd)].Data();
    ASSERT_TRUE(z);
    EXPECT_NE(z->At(10, 5), z->At(10, 50));

    MainQVTForm->ScanButton()->click(); // released: the stream stops
    ASSERT_TRUE(test::PumpUntil([&thread] { return thread.Suspended(); }));
    QCoreApplication::processEvents();
    EXPECT_FALSE(MainQVTForm->ScanButtonDown());
    fast->click();
    EXPECT_FALSE(MainQVTForm->FastSpeedButtonDown());
    EXPECT_EQ(OsziRequest.HighSpeedControl.load() & (HscDmaOn | HscScanOn), 0);

    EXPECT_TRUE(MainQVTForm->close());
    DestroyAllForms();
    EXPECT_TRUE(boxes.Texts().isEmpty()) << boxes.Texts().join(" / ").toStdString();
}

TEST(BundledFastScan, WithoutAFastChannelTheFastButtonSaysSoAndLeavesTheWindows)
{
    test::BundledProgram program;
    ASSERT_TRUE(program.Copied);
    UseFastType29(program.Dir, false);
    ScriptedMessageResponder boxes;
    ASSERT_TRUE(program.Create());
    MainQVTForm->show();
    StartUp();
    QCoreApplication::processEvents();
    const int windows = static_cast<int>(MainQVTForm->ImageWindows().size());
    ASSERT_GT(windows, 0); // the topography's windows of the bundled choice
    const int32_t control = OsziRequest.HighSpeedControl.load();

    QToolButton* fast = MainQVTForm->FastSpeedButton();
    ASSERT_TRUE(fast->isEnabled());
    boxes.Clear(); // the start's own remarks on a type-29 copy of the settings
    fast->click();
    QCoreApplication::processEvents();
    EXPECT_FALSE(MainQVTForm->FastSpeedButtonDown());
    EXPECT_EQ(MainQVTForm->ImageWindows().size(), windows);
    EXPECT_EQ(OsziRequest.HighSpeedControl.load(), control); // the module was not asked for anything
    ASSERT_EQ(boxes.Texts().size(), 1) << boxes.Texts().join(" / ").toStdString();
    EXPECT_TRUE(boxes.Texts()[0].startsWith("No fast channel chosen!"));

    EXPECT_TRUE(MainQVTForm->close());
    DestroyAllForms();
}

TEST(BundledFastScan, TheSaveButtonKeepsOnlyFramesMeasuredFromTheirFirstRow)
{
    test::BundledProgram program;
    ASSERT_TRUE(program.Copied);
    const QString saveDir = program.Dir.Path() + "scans";
    ASSERT_TRUE(QDir().mkpath(saveDir));
    {
        TQVTIniFile sim(program.Dir.Path() + "ini/sim.ini");
        sim.WriteInteger("Controller", "Type", 29);
        sim.WriteString("Clock", "Mode", "Fast");
        TQVTIniFile main(program.Dir.Path() + "ini/qvt.ini");
        main.WriteBool("Scale", "DAC1CheckBoxFast", true);
        main.WriteString("Save", "Path", saveDir);
        main.WriteBool("Save", "AutoSaveScan", true);
    }
    ScriptedMessageResponder boxes;
    ASSERT_TRUE(program.Create());
    MainQVTForm->show();
    StartUp();
    QCoreApplication::processEvents();
    ASSERT_TRUE(MainQVTForm->SaveButtonDown());
    ASSERT_TRUE(ScanParaForm->EnterText("ComboBox1", "64"));
    ASSERT_TRUE(ScanParaForm->EnterText("Edit4", "20"));
    // The frame line stands half-way: the fast mode takes up the scan there.
    ScanParams.CurrentLine = 20;
    boxes.Clear();

    MainQVTForm->FastSpeedButton()->click();
    ASSERT_TRUE(MainQVTForm->FastSpeedButtonDown());
    MainQVTForm->RepeatButton()->setChecked(true);
    TFastScanThread& thread = DeviceWorkers->FastScanThread();
    int frames = 0; // handed to the window thread
    QObject::connect(&thread, &TFastScanThread::frameDone, [&frames] { ++frames; });
    MainQVTForm->ScanButton()->click();
    ASSERT_TRUE(test::PumpUntil([&frames] { return frames >= 3; }));
    MainQVTForm->ScanButton()->click();
    ASSERT_TRUE(test::PumpUntil([&thread] { return thread.Suspended(); }));
    QCoreApplication::processEvents();
    MainQVTForm->FastSpeedButton()->click();

    // The first frame began at line 20: its rows before were never measured
    // in it, so it is shown but not saved. Every later frame is.
    const QStringList sets = QDir(saveDir).entryList({"*.txt"}, QDir::Files);
    EXPECT_EQ(sets.size(), frames - 1) << sets.join(' ').toStdString();
    const QStringList images = QDir(saveDir).entryList({"*Fwd.int"}, QDir::Files);
    ASSERT_EQ(images.size(), sets.size());
    for (const QString& name : images) {
        QFile file(saveDir + "/" + name);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        ASSERT_EQ(bytes.size(), 4 * 64 * 64) << name.toStdString();
        for (int r = 0; r < 64; ++r) {
            int zeros = 0;
            for (int c = 0; c < 64; ++c)
                zeros += qFromLittleEndian<int32_t>(bytes.constData() + 4 * (64 * r + c)) == 0;
            EXPECT_LT(zeros, 64) << name.toStdString() << " row " << r;
        }
    }

    EXPECT_TRUE(MainQVTForm->close());
    DestroyAllForms();
    EXPECT_TRUE(boxes.Texts().isEmpty()) << boxes.Texts().join(" / ").toStdString();
}

TEST(BundledFastScan, ASpeedEnteredWhileTheFastButtonIsDownReachesTheGenerator)
{
    test::BundledProgram program;
    ASSERT_TRUE(program.Copied);
    UseFastType29(program.Dir, true);
    ScriptedMessageResponder boxes;
    ASSERT_TRUE(program.Create());
    MainQVTForm->show();
    StartUp();
    QCoreApplication::processEvents();
    ASSERT_TRUE(ScanParaForm->EnterText("ComboBox1", "64"));
    ASSERT_TRUE(ScanParaForm->EnterText("Edit4", "20"));
    MainQVTForm->FastSpeedButton()->click();
    ASSERT_TRUE(MainQVTForm->FastSpeedButtonDown());
    TFastScanThread& thread = DeviceWorkers->FastScanThread();
    const int32_t pixelStep20 = InOutForm->ReadReg(129);
    EXPECT_NE(pixelStep20, 0);

    // A new speed with the scan not yet started: the generator's pixel step
    // and the line frequency follow at once.
    ASSERT_TRUE(ScanParaForm->EnterText("Edit4", "40"));
    const int32_t pixelStep40 = InOutForm->ReadReg(129);
    EXPECT_NEAR(static_cast<double>(pixelStep40), 2.0 * pixelStep20, 2.0);
    EXPECT_NEAR(thread.LineFrequency.load(), 64 * 1.05 * 2.0 * 40.0, 64 * 2.0 * 40.0 * 0.1);

    // Without the Fast button the generator is left alone.
    MainQVTForm->FastSpeedButton()->click();
    ASSERT_FALSE(MainQVTForm->FastSpeedButtonDown());
    ASSERT_TRUE(ScanParaForm->EnterText("Edit4", "10"));
    EXPECT_EQ(InOutForm->ReadReg(129), pixelStep40);

    EXPECT_TRUE(MainQVTForm->close());
    DestroyAllForms();
}

// The high-speed window keeps its line delay in the scanner's file, which the
// scanner window holds open: the exit writes it before that file is closed.
TEST(BundledFastScan, TheHighSpeedLineDelayTypedIsThereAtTheNextStart)
{
    test::BundledProgram program;
    ASSERT_TRUE(program.Copied);
    UseFastType29(program.Dir, false);
    ScriptedMessageResponder boxes;
    ASSERT_TRUE(program.Start());
    ASSERT_NE(SmartFeedbackForm, nullptr);
    ASSERT_NE(ScannerForm, nullptr);
    auto* delay = SmartFeedbackForm->findChild<TNumericEdit*>("Edit4");
    ASSERT_NE(delay, nullptr);
    delay->selectAll();
    QTest::keyClicks(delay, "3");
    QTest::keyClick(delay, Qt::Key_Return);
    ASSERT_EQ(delay->Color(), EditColor::White);
    const QString scannerFile = ScannerForm->ScannerIni()->FileName();
    EXPECT_TRUE(MainQVTForm->close());
    DestroyAllForms();
    EXPECT_EQ(TQVTIniFile(scannerFile).ReadString("FilterY", "delay", "none"), "3");
}
