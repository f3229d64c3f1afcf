#include "app/BundledProgram.h"
#include "app/CreateForms.h"
#include "core/IniFile.h"
#include "core/SharedState.h"
#include "core/Startup.h"
#include "device/InOutForm.h"
#include "mainwindow/MainQVTForm.h"
#include "mainwindow/PowerDownForm.h"
#include "motion/CrosshairsForm.h"
#include "motion/FrameSequencer.h"
#include "motion/MainFrameForm.h"
#include "motion/StepKinds.h"
#include "platform/MessageBoxes.h"
#include "protocol/ControlCodes.h"
#include "scan/DeviceWorkers.h"
#include "sim/SimController.h"
#include "support/TestSupport.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

namespace qvt {
namespace {

// The operator opens the alignment display with the main window's button and
// switches the laser on: the simulated photodiode's spot shows off centre,
// where the bundled beam offset puts it.
TEST(BundledAlignment, CrosshairsShowTheSpotOfTheBundledPhotodiode)
{
    test::BundledProgram program;
    test::TempDir& dir = program.Dir;
    ASSERT_TRUE(program.Copied);
    dir.WriteFile("ini/sim.ini", dir.ReadFile("ini/sim.ini").replace("Mode=RealTime", "Mode=Fast"));
    ScriptedMessageResponder boxes;
    ASSERT_TRUE(program.Create());
    ASSERT_NE(CrosshairsForm, nullptr);
    EXPECT_EQ(MainFrameForm, nullptr); // the bundled machine has no frame
    QAbstractButton* button = MainQVTForm->Button("Crosshairsbutton");
    ASSERT_NE(button, nullptr);
    button->click();
    EXPECT_TRUE(CrosshairsForm->isVisible());
    // The laser went on with the program.
    EXPECT_TRUE(CrosshairsForm->LaserButton()->isChecked());
    const int32_t before = CrosshairsForm->Model().TrailPos;
    // A few ticks of the 100 ms timer (the bound only proves that it ticks).
    ASSERT_TRUE(test::PumpUntil([&] { return (CrosshairsForm->Model().TrailPos - before + 20) % 20 >= 5; }, 20000));
    const size_t last = static_cast<size_t>((CrosshairsForm->Model().TrailPos + 19) % 20);
    // Spot 3000, -1800 digits at 150 / (32000 sqrt 2) pixels a digit.
    EXPECT_EQ(CrosshairsForm->Model().TrailX[last], 160);
    EXPECT_EQ(CrosshairsForm->Model().TrailY[last], 156);
    // The lit diode: 3000 and 20000 digits of 0.3 mV.
    EXPECT_EQ(CrosshairsForm->ValueLabel(2)->text(), "6");
    EXPECT_EQ(CrosshairsForm->ValueLabel(0)->text(), "1");
    QCoreApplication::processEvents();
    QDir().mkpath("temp");
    EXPECT_TRUE(CrosshairsForm->grab().toImage().save("temp/BundledCrosshairs.png"));

    EXPECT_TRUE(MainQVTForm->close());
    DestroyAllForms();
    EXPECT_TRUE(boxes.Texts().isEmpty()) << boxes.Texts().join("|").toStdString();
}

// The Laser button shows the laser as it is from the start on: the first
// click switches it off, whatever switches it on again shows on the button.
// Without the values the window keeps the picture where it was.
TEST(BundledAlignment, TheLaserButtonAndThePictureShowWhatIsSo)
{
    test::BundledProgram program;
    test::TempDir& dir = program.Dir;
    ASSERT_TRUE(program.Copied);
    dir.WriteFile("ini/sim.ini", dir.ReadFile("ini/sim.ini").replace("Mode=RealTime", "Mode=Fast"));
    // The power saver switches the laser off and the operator's Reset on again.
    {
        TQVTIniFile main(dir.Path() + "ini/qvt.ini");
        main.WriteBool("QVTSaver", "CoarseRetract", true);
        main.WriteBool("QVTSaver", "LASEROff", true);
    }
    ScriptedMessageResponder boxes;
    ASSERT_TRUE(program.Start());
    auto* sim = dynamic_cast<sim::SimController*>(InOutForm->Driver());
    ASSERT_NE(sim, nullptr);
    const auto laserLit = [sim] { return (sim->Register(RegDigitalOut) & OutBitLaser) != 0; };
    MainQVTForm->Button("Crosshairsbutton")->click();
    ASSERT_TRUE(CrosshairsForm->isVisible());
    QToolButton* laser = CrosshairsForm->LaserButton();
    EXPECT_TRUE(laserLit());
    EXPECT_TRUE(laser->isChecked());

    QTest::mouseClick(laser, Qt::LeftButton);
    EXPECT_FALSE(laserLit());
    EXPECT_FALSE(laser->isChecked());
    QTest::mouseClick(laser, Qt::LeftButton);
    EXPECT_TRUE(laserLit());
    EXPECT_TRUE(laser->isChecked());

    // Powered down by the saver, then up by the operator's Reset.
    DeviceWorkers->PowerDown();
    ASSERT_FALSE(laserLit());
    CrosshairsForm->daten(); // the window's next tick
    EXPECT_FALSE(laser->isChecked());
    PowerDownForm->findChild<QPushButton*>("Button1")->click();
    ASSERT_TRUE(laserLit());
    CrosshairsForm->daten();
    EXPECT_TRUE(laser->isChecked());

    // The values panel off and on: the window 336 and 378 high, the picture in place.
    const QRect picture = CrosshairsForm->findChild<QLabel*>("Image1")->geometry();
    EXPECT_EQ(CrosshairsForm->height(), 378);
    EXPECT_EQ(picture.center().x(), CrosshairsForm->width() / 2);
    CrosshairsForm->findChild<QToolButton*>("CrosshairsOptBtn")->click();
    QCheckBox* values = CrosshairsForm->OptionForm()->ShowValsCheckbox();
    QTest::mouseClick(values, Qt::LeftButton, Qt::NoModifier, QPoint(8, values->height() / 2));
    ASSERT_FALSE(values->isChecked());
    QCoreApplication::processEvents();
    EXPECT_EQ(CrosshairsForm->height(), 336);
    EXPECT_EQ(CrosshairsForm->findChild<QLabel*>("Image1")->geometry(), picture);
    QTest::mouseClick(values, Qt::LeftButton, Qt::NoModifier, QPoint(8, values->height() / 2));
    QCoreApplication::processEvents();
    EXPECT_EQ(CrosshairsForm->height(), 378);
    EXPECT_EQ(CrosshairsForm->findChild<QLabel*>("Image1")->geometry(), picture);

    EXPECT_TRUE(MainQVTForm->close());
    DestroyAllForms();
    EXPECT_TRUE(boxes.Texts().isEmpty()) << boxes.Texts().join("|").toStdString();
}

// A machine with a frame: the panel lands the sample with the frame motor.
TEST(BundledAlignment, FramePanelLandsTheSampleOnAFrameMachine)
{
    test::BundledProgram program;
    test::TempDir& dir = program.Dir;
    ASSERT_TRUE(program.Copied);
    QByteArray sim = dir.ReadFile("ini/sim.ini");
    // Real time, as shipped: the frame motor runs on the controller's clock while the panel polls.
    sim.replace("Type=26", "Type=29").replace("Attached=0", "Attached=1");
    dir.WriteFile("ini/sim.ini", sim);
    dir.WriteFile("ini/qvt.ini", dir.ReadFile("ini/qvt.ini") + "\r\n[Software]\r\nMainFrame=1\r\n");
    ScriptedMessageResponder boxes;
    ASSERT_TRUE(program.Create());
    ASSERT_NE(MainFrameForm, nullptr);
    TMainFrameForm& frame = *MainFrameForm;
    EXPECT_TRUE(frame.isVisible());
    frame.Edit(1)->setText("50000");
    frame.Edit(4)->setText("30000");
    frame.Edit(5)->setText("1000");
    frame.Button1Click();
    // 30000 steps at 50000 Hz take 0.6 s; the bound only proves the move ends.
    ASSERT_TRUE(test::PumpUntil([&] { return frame.Sequencer().FrameState == FrameLanded; }, 60000));
    QCoreApplication::processEvents();
    QDir().mkpath("temp");
    EXPECT_TRUE(frame.grab().toImage().save("temp/BundledMainFrame.png"));
    EXPECT_TRUE(MainQVTForm->close());
    DestroyAllForms();
    // The bundled scale names the type-29 card's slow and fast Z inputs: no box at start.
    EXPECT_TRUE(boxes.Texts().isEmpty()) << boxes.Texts().join(" / ").toStdString();
}

} // namespace
} // namespace qvt
