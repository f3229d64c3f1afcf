#include "app/CreateForms.h"
#include "core/IniFile.h"
#include "core/SharedState.h"
#include "core/Startup.h"
#include "display/MainQVTForm.h"
#include "platform/MessageBoxes.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

using namespace qvt;

TEST(StartupSequence, CreatesTheWindowsInOrderFromTheResolvedSettings)
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

    // What exists so far was created in the fixed order.
    int previous = -1;
    for (const QString& name : CreatedForms()) {
        const int index = FormCreationIndex(name);
        EXPECT_GT(index, previous) << name.toStdString();
        previous = index;
    }
    EXPECT_EQ(CreatedForms().front(), "TMainQVTForm");
    DestroyAllForms();
    EXPECT_EQ(MainIni, nullptr);
}

TEST(StartupSequence, MissingSettingsEndTheStartWithANamedFile)
{
    test::TempDir dir;
    ScriptedMessageResponder boxes;
    LoadDriverName(dir.Path(), {"qvt", "nowhere"});
    int exitCode = -1;
    EXPECT_FALSE(CreateAllForms("nowhere", exitCode));
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(boxes.LastText(), "File " + dir.Path() + "ini/nowhere.ini not found!\rPlease check start parameter and *.ini file!");
    DestroyAllForms();

    // A missing user file is reported and the start goes on.
    dir.WriteFile("nouser.ini", "[Main]\r\nUserIni=ghost\r\n");
    boxes.Clear();
    ASSERT_TRUE(CreateAllForms("nouser", exitCode));
    EXPECT_EQ(boxes.LastText(), "File " + dir.Path() + "ghost.ini not found!\rPlease check *.ini file!");
    DestroyAllForms();
}
