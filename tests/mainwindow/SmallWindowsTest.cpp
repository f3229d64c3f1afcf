// The small windows of the main window: the password, the save and
// power-saver settings and the power-down countdown.

#include "core/IniFile.h"
#include "core/SharedState.h"
#include "mainwindow/AdminForm.h"
#include "mainwindow/MiscForm.h"
#include "mainwindow/PowerDownForm.h"
#include "support/TestSupport.h"
#include "widgets/NumericEdit.h"

#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <gtest/gtest.h>

#include <memory>

using namespace qvt;
using namespace qvt::test;

namespace {

// A main and a user settings file in a fresh folder, put back afterwards.
class SettingsFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        savedMain_ = MainIni;
        savedUser_ = UserIni;
        savedAppDir_ = AppDir;
        AppDir = dir_.Path();
        main_ = std::make_unique<TQVTIniFile>(dir_.Path() + "qvt.ini");
        user_ = std::make_unique<TQVTIniFile>(dir_.Path() + "user.ini");
        MainIni = main_.get();
        UserIni = user_.get();
    }
    void TearDown() override
    {
        MainIni = savedMain_;
        UserIni = savedUser_;
        AppDir = savedAppDir_;
    }

    TempDir dir_;
    std::unique_ptr<TQVTIniFile> main_;
    std::unique_ptr<TQVTIniFile> user_;

private:
    TQVTIniFile* savedMain_ = nullptr;
    TQVTIniFile* savedUser_ = nullptr;
    QString savedAppDir_;
};

using AdminPassword = SettingsFiles;
using MiscSettings = SettingsFiles;

} // namespace

TEST(AdminLevel, PasswordsAreStoredBackwardsAndTheLengthDecidesWhetherAnythingHappens)
{
    EXPECT_EQ(AdminLevelForPassword("demirol", "", "lorimed"), 2);
    EXPECT_EQ(AdminLevelForPassword("nimda", "admin", "lorimed"), 1);
    EXPECT_EQ(AdminLevelForPassword("admin", "admin", "lorimed"), 0); // right length, not reversed
    EXPECT_EQ(AdminLevelForPassword("xyz", "admin", "lorimed"), -1);  // no stored length matches
    EXPECT_EQ(AdminLevelForPassword("", "", "lorimed"), 1);           // an empty administrator password
    // The same length for both: the administrator's is tried first.
    EXPECT_EQ(AdminLevelForPassword("cba", "abc", "cba"), 1);
    EXPECT_EQ(AdminLevelForPassword("abc", "abc", "cba"), 2);
}

TEST_F(AdminPassword, AWrongPasswordKeepsTheWindowOpenAndARightOneGrantsTheLevel)
{
    int granted = -1;
    QPointer<TAdminForm> form = new TAdminForm;
    form->GrantLevel = [&](int level) { granted = level; };
    form->show();
    form->Edit1()->setText("abcdefg");
    form->Edit1KeyPress();
    EXPECT_EQ(granted, -1);
    ASSERT_FALSE(form.isNull());
    EXPECT_TRUE(form->isVisible());
    EXPECT_TRUE(form->Edit1()->styleSheet().contains("red"));

    form->Edit1()->setText("demirol"); // the default setup password, read backwards
    form->Edit1KeyPress();
    EXPECT_EQ(granted, 2);
    ASSERT_TRUE(PumpUntil([&] { return form.isNull(); })); // freed when closed
}

TEST_F(MiscSettings, TheSaveDirectoryIsWrittenOnlyWhenItExists)
{
    main_->WriteString("Save", "Path", dir_.Path() + "missing");
    TMiscForm form;
    form.FormCreate();
    EXPECT_EQ(form.Edit("Edit1")->Color(), EditColor::Red);
    EXPECT_FALSE(form.CheckSavePath());
    EXPECT_EQ(main_->ReadString("Save", "Path", ""), dir_.Path() + "missing");

    QDir(dir_.Path()).mkdir("scans");
    form.Edit("Edit1")->setText(dir_.Path() + "scans");
    form.Edit("Edit1")->PressKey(EditKey::Enter);
    EXPECT_EQ(form.Edit("Edit1")->Color(), EditColor::White);
    EXPECT_TRUE(QDir(main_->ReadString("Save", "Path", "")).exists());

    form.ChooseDirectory = [this](const QString&) { return dir_.Path() + "nowhere"; };
    QMetaObject::invokeMethod(form.findChild<QWidget*>("Button1"), "click");
    EXPECT_EQ(form.Edit("Edit1")->Color(), EditColor::Red);
}

TEST_F(MiscSettings, StepCountsAndIdleTimeAreReadAsTheOperatorTypesThem)
{
    main_->WriteString("Stepper", "AppSteps", " 12 ");
    TMiscForm form;
    form.FormCreate();
    // Written back normalised at creation.
    EXPECT_EQ(form.Edit("Edit2")->text(), "12");
    EXPECT_EQ(main_->ReadString("Stepper", "AppSteps", ""), "12");
    EXPECT_EQ(main_->ReadInteger("Stepper", "RetSteps", 0), 1);

    form.Edit("Edit3")->setText("2.5");
    form.Edit("Edit3")->PressKey(EditKey::Enter);
    EXPECT_EQ(form.Edit("Edit3")->Color(), EditColor::Red);
    EXPECT_EQ(main_->ReadInteger("Stepper", "RetSteps", 0), 1);

    form.Edit("Edit4")->setText("2,5");
    form.Edit("Edit4")->PressKey(EditKey::Enter);
    EXPECT_EQ(form.Edit("Edit4")->Color(), EditColor::White);
    EXPECT_DOUBLE_EQ(main_->ReadFloat("QVTSaver", "IdleTime", 0.0), 2.5);
    form.Edit("Edit4")->setText("soon");
    form.Edit("Edit4")->PressKey(EditKey::Enter);
    EXPECT_EQ(form.Edit("Edit4")->Color(), EditColor::Red);
    EXPECT_DOUBLE_EQ(main_->ReadFloat("QVTSaver", "IdleTime", 0.0), 2.5);
}

TEST_F(MiscSettings, PowerSaverChoicesAreDisabledButKeptWithoutTheCoarseRetract)
{
    main_->WriteBool("QVTSaver", "PiezoOff", true);
    main_->WriteBool("QVTSaver", "LASEROff", true);
    bool saveButton = false;
    TMiscForm form;
    form.SetSaveButton = [&](bool down) { saveButton = down; };
    form.FormCreate();
    EXPECT_FALSE(form.Box("CheckBox3")->isEnabled());
    EXPECT_FALSE(form.Box("CheckBox1")->isEnabled());
    EXPECT_TRUE(form.Box("CheckBox3")->isChecked());
    EXPECT_TRUE(main_->ReadBool("QVTSaver", "LASEROff", false));

    form.Box("CheckBox2")->click();
    EXPECT_TRUE(main_->ReadBool("QVTSaver", "Coarseretract", false));
    EXPECT_TRUE(form.Box("CheckBox1")->isEnabled());
    form.Box("CheckBox1")->click();
    EXPECT_FALSE(main_->ReadBool("QVTSaver", "LASEROff", true));

    form.Box("AutoSave")->click();
    EXPECT_TRUE(main_->ReadBool("Save", "AutoSaveScan", false));
    EXPECT_TRUE(saveButton);
}

TEST(MiscLinearization, TheLabelNamesWhatIsActive)
{
    EXPECT_EQ(LinearizationStateText(false, false), "");
    EXPECT_EQ(LinearizationStateText(true, false), "SoftLin active ");
    EXPECT_EQ(LinearizationStateText(false, true), " HardLin active");
    EXPECT_EQ(LinearizationStateText(true, true), "SoftLin active  HardLin active");
}

TEST(PowerDownWindow, ResetRestartsTheIdleClockAndPowersUpOnlyWhenDown)
{
    const int32_t savedZ = MicroscopeState.ZState.load();
    int resets = 0;
    int powerUps = 0;
    TPowerDownForm form;
    form.ResetIdleClock = [&] { ++resets; };
    form.PowerUp = [&] { ++powerUps; };
    form.SetLabels("Microscope will power down in", "3 minutes");
    form.ShowView();
    EXPECT_TRUE(form.isVisible());
    EXPECT_EQ(form.Label2()->text(), "3 minutes");

    MicroscopeState.ZState = ZCoarseRetracted;
    form.Button1Click();
    EXPECT_EQ(resets, 1);
    EXPECT_EQ(powerUps, 0);
    EXPECT_FALSE(form.isVisible());

    MicroscopeState.ZState = ZPoweredDown;
    form.Button1Click();
    EXPECT_EQ(resets, 2);
    EXPECT_EQ(powerUps, 1);
    MicroscopeState.ZState = savedZ;
}
