#include "app/CreateForms.h"
#include "core/IniFile.h"
#include "core/SharedState.h"
#include "core/Startup.h"
#include "device/ChannelTable.h"
#include "device/InOutForm.h"
#include "images/SetupForm.h"
#include "mainwindow/MainQVTForm.h"
#include "platform/MessageBoxes.h"
#include "scan/ScanParaForm.h"

#include "scan/DeviceWorkers.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QDockWidget>
#include <QFile>
#include <QImage>
#include <QThread>
#include <QToolButton>

#include <chrono>
#include <gtest/gtest.h>

using namespace qvt;

TEST(StartupSequence, CreatesTheWindowsInOrderAndOpensTheSimulatedController)
{
    test::TempDir dir;
    dir.WriteFile("ini/lab.ini", "[Main]\r\nDeviceDriverName=SIM\r\nUserIni=op\r\n");
    dir.WriteFile("op.ini", "[Main]\r\n");
    dir.WriteFile("QVT_Manual.chm", "");
    ScriptedMessageResponder boxes;
    LoadDriverName(dir.Path(), {"qvt", "lab"});
    int exitCode = -1;
    ASSERT_TRUE(CreateAllForms("lab", exitCode));
    EXPECT_TRUE(boxes.Texts().isEmpty()) << boxes.LastText().toStdString();
    ASSERT_NE(MainQVTForm, nullptr);
    EXPECT_EQ(MainQVTForm->windowTitle(), "QVT lab");
    EXPECT_EQ(MainIni->FileName(), dir.Path() + "ini/lab.ini");
    ASSERT_NE(InOutForm, nullptr);
    EXPECT_TRUE(InOutForm->IsOpen());
    // The parameter window lives inside the main window.
    ASSERT_NE(ScanParaForm, nullptr);
    EXPECT_EQ(MainQVTForm->ParameterDock()->widget(), ScanParaForm);

    // What exists so far was created in the fixed order, device window second.
    int previous = -1;
    for (const QString& name : CreatedForms()) {
        const int index = FormCreationIndex(name);
        EXPECT_GT(index, previous) << name.toStdString();
        previous = index;
    }
    ASSERT_GE(CreatedForms().size(), 2u);
    EXPECT_EQ(CreatedForms()[1], "TInOutForm");
    EXPECT_NE(std::find(CreatedForms().begin(), CreatedForms().end(), "TScanParaForm"), CreatedForms().end());

    StartUp();
    EXPECT_TRUE(MainIni->ValueExists("Main", "DeviceDriverIOCTLFreq"));
    EXPECT_FALSE(MainQVTForm->ScanButtonDown()); // no numbered box: no scan of its own
    DestroyAllForms();
    EXPECT_EQ(MainIni, nullptr);
    EXPECT_EQ(InOutForm, nullptr);
    EXPECT_EQ(ScanParaForm, nullptr);
    EXPECT_EQ(MainQVTForm, nullptr);
}

TEST(StartupSequence, MissingSettingsEndTheStartWithAFailureAndANamedFile)
{
    test::TempDir dir;
    ScriptedMessageResponder boxes;
    LoadDriverName(dir.Path(), {"qvt", "nowhere"});
    int exitCode = 0;
    EXPECT_FALSE(CreateAllForms("nowhere", exitCode));
    EXPECT_NE(exitCode, 0);
    EXPECT_EQ(boxes.Texts().value(0), "HelpFile \"QVT_Manual.chm\" not found in\r" + dir.Path() + "\r");
    EXPECT_EQ(boxes.LastText(),
              "File " + dir.Path() + "ini/nowhere.ini not found!\rPlease check start parameter and *.ini file!");
    DestroyAllForms();

    // A missing user file is reported and the start goes on.
    dir.WriteFile("nouser.ini", "[Main]\r\nUserIni=ghost\r\nDeviceDriverName=SIM\r\n");
    dir.WriteFile("QVT_Manual.chm", "");
    boxes.Clear();
    LoadDriverName(dir.Path(), {"qvt", "nouser"});
    ASSERT_TRUE(CreateAllForms("nouser", exitCode));
    EXPECT_EQ(boxes.Texts().value(0), "File " + dir.Path() + "ghost.ini not found!\rPlease check *.ini file!");
    DestroyAllForms();
}

TEST(StartupSequence, AnUnknownDriverEndsTheStartWithAFailureAndSendsNothing)
{
    test::TempDir dir;
    dir.WriteFile("real.ini", "[Main]\r\nDeviceDriverName=QVT\r\n");
    dir.WriteFile("user.ini", "[Main]\r\n");
    dir.WriteFile("QVT_Manual.chm", "");
    ScriptedMessageResponder boxes;
    LoadDriverName(dir.Path(), {"qvt", "real"});
    int exitCode = 0;
    EXPECT_FALSE(CreateAllForms("real", exitCode));
    EXPECT_NE(exitCode, 0);
    EXPECT_TRUE(boxes.Texts().contains("Device-driver not running!\rCannot connect to QVT-Card!"));
    EXPECT_TRUE(boxes.Texts().contains("Device-Driver not started!\rProgram aboarded!"));
    EXPECT_GE(boxes.BeepCount(), 1);
    EXPECT_FALSE(InOutForm->IsOpen());
    DestroyAllForms();
}

namespace {

using qvt::test::PumpUntil;

} // namespace

TEST(StartupSequence, TheBundledSettingsRunAScanOnTheSimulatorAndEndCleanly)
{
    // The settings the build puts beside the program, in a folder of their own.
    test::TempDir dir;
    const QString bundled = QCoreApplication::applicationDirPath() + "/";
    for (const char* name : {"ini/qvt.ini", "ini/sim.ini", "user.ini"}) {
        QFile file(bundled + name);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << name;
        dir.WriteFile(name, file.readAll());
    }
    ScriptedMessageResponder boxes;
    LoadDriverName(dir.Path(), {"qvt"});
    int exitCode = -1;
    ASSERT_TRUE(CreateAllForms("qvt", exitCode));
    MainQVTForm->resize(1000, 700);
    MainQVTForm->show();
    QCoreApplication::processEvents();
    StartUp();
    // Only the note that no manual is installed.
    EXPECT_EQ(boxes.Texts(), QStringList({"HelpFile \"QVT_Manual.chm\" not found in\r" + dir.Path() + "\r"}));

    // An image window for the first channel the settings list, if they list one.
    ASSERT_NE(SetupForm, nullptr);
    if (!SetupForm->Boxes().isEmpty()) {
        SetupForm->Boxes().first()->click();
        EXPECT_EQ(MainQVTForm->ImageWindows().size(), 1);
    }

    // A small, quick frame: 64 lines of 6400 X digits at 20 lines per second.
    ASSERT_NE(ScanParaForm, nullptr);
    EXPECT_TRUE(ScanParaForm->EnterText("ComboBox1", "64"));
    EXPECT_TRUE(ScanParaForm->EnterText("Edit4", "20"));
    EXPECT_TRUE(ScanParaForm->EnterText("Edit3", QString::number(6400.0 * ChannelTable[SlotX].Factor.load())));
    MainQVTForm->ScanButton()->click();
    EXPECT_TRUE(MainQVTForm->ScanButtonDown());
    ASSERT_TRUE(PumpUntil([] { return ScanParams.CurrentLine.load() > 12; }));
    MainQVTForm->ScanButton()->click(); // released: the scan stops
    ASSERT_TRUE(PumpUntil([] { return DeviceWorkers->GoXYThread().Suspended(); }));
    QCoreApplication::processEvents();

    const QImage shot = MainQVTForm->grab().toImage();
    QDir().mkpath("temp");
    EXPECT_TRUE(shot.save("temp/BundledMainWindow.png"));

    EXPECT_TRUE(MainQVTForm->close());
    DestroyAllForms();
    EXPECT_EQ(boxes.Texts().size(), 1) << boxes.LastText().toStdString();
    // The next start finds what this one kept.
    const TQVTIniFile user(dir.Path() + "user.ini");
    EXPECT_TRUE(user.ValueExists("Main", "RepeatButton"));
}
