#include "app/CreateForms.h"
#include "core/InOutForm.h"
#include "core/IniFile.h"
#include "core/SharedState.h"
#include "core/Startup.h"
#include "display/MainQVTForm.h"
#include "platform/MessageBoxes.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

using namespace qvt;

TEST(StartupSequence, CreatesTheWindowsInOrderAndOpensTheSimulatedController)
{
    test::TempDir dir;
    dir.WriteFile("ini/lab.ini", "[Main]\r\nDeviceDriverName=SIM\r\nUserIni=op\r\n");
    dir.WriteFile("op.ini", "[Main]\r\n");
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

    // What exists so far was created in the fixed order, device window second.
    int previous = -1;
    for (const QString& name : CreatedForms()) {
        const int index = FormCreationIndex(name);
        EXPECT_GT(index, previous) << name.toStdString();
        previous = index;
    }
    ASSERT_GE(CreatedForms().size(), 2u);
    EXPECT_EQ(CreatedForms()[1], "TInOutForm");

    StartUp();
    EXPECT_TRUE(MainIni->ValueExists("Main", "DeviceDriverIOCTLFreq"));
    DestroyAllForms();
    EXPECT_EQ(MainIni, nullptr);
    EXPECT_EQ(InOutForm, nullptr);
}

TEST(StartupSequence, MissingSettingsEndTheStartWithANamedFile)
{
    test::TempDir dir;
    ScriptedMessageResponder boxes;
    LoadDriverName(dir.Path(), {"qvt", "nowhere"});
    int exitCode = -1;
    EXPECT_FALSE(CreateAllForms("nowhere", exitCode));
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(boxes.LastText(),
              "File " + dir.Path() + "ini/nowhere.ini not found!\rPlease check start parameter and *.ini file!");
    DestroyAllForms();

    // A missing user file is reported and the start goes on.
    dir.WriteFile("nouser.ini", "[Main]\r\nUserIni=ghost\r\nDeviceDriverName=SIM\r\n");
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
    ScriptedMessageResponder boxes;
    LoadDriverName(dir.Path(), {"qvt", "real"});
    int exitCode = 0;
    EXPECT_FALSE(CreateAllForms("real", exitCode));
    EXPECT_NE(exitCode, 0);
    EXPECT_TRUE(boxes.Texts().contains("Device-driver not running!\rCannot connect to QVT-Card!"));
    EXPECT_EQ(boxes.LastText(), "Device-Driver not started!\rProgram aboarded!");
    EXPECT_GE(boxes.BeepCount(), 1);
    EXPECT_FALSE(InOutForm->IsOpen());
    DestroyAllForms();
}
