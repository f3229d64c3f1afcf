// The calibration tools and small windows as the bundled program offers them:
// each menu entry opens its window on the simulated controller, and the start
// leaves the About box open in red, for the simulator is no driver.

#include "app/CreateForms.h"
#include "calib/AutoOffsetForm.h"
#include "calib/ScaleADDAForm.h"
#include "calib/SlidForm.h"
#include "core/IniFile.h"
#include "core/SharedState.h"
#include "core/Startup.h"
#include "device/ChannelTable.h"
#include "device/InOutForm.h"
#include "images/ScaleForm.h"
#include "lockin/DncForm.h"
#include "motion/CrosshairsForm.h"
#include "navigator/SelForm.h"
#include "mainwindow/AboutQVTBox.h"
#include "mainwindow/MainQVTForm.h"
#include "platform/MessageBoxes.h"
#include "sim/SimController.h"
#include "support/TestSupport.h"
#include "widgets/NumericEdit.h"

#include <QAbstractButton>
#include <QAction>
#include <QCoreApplication>
#include <QFile>
#include <QLabel>
#include <gtest/gtest.h>

#include <memory>
#include <tuple>

using namespace qvt;

TEST(BundledCalibrationTools, EachMenuEntryOpensItsWindowOnTheSimulator)
{
    test::TempDir dir;
    ASSERT_TRUE(test::CopyBundledSettings(dir));
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
    auto linkTime = std::make_shared<double>(0.0);
    InOutForm->LinkClock = [linkTime] { return *linkTime += 20e-6; };
    StartUp();
    EXPECT_TRUE(boxes.Texts().isEmpty()) << boxes.Texts().join(" / ").toStdString();
    ASSERT_NE(AboutQVTBox, nullptr);
    EXPECT_TRUE(AboutQVTBox->isVisible());
    EXPECT_TRUE(AboutQVTBox->PanelRed());
    EXPECT_EQ(AboutQVTBox->findChild<QLabel*>("Label2")->text(), "Demo Mode");
    EXPECT_EQ(AboutQVTBox->findChild<QLabel*>("Label1")->text(), "HW: SPM-Box 26 Rev. 2");
    EXPECT_EQ(InOutForm->ProgramVersion, ProgramVersion);
    AboutQVTBox->hide();

    MainQVTForm->SetAdminLevel(2); // the set-up level sees every entry
    for (const char* item : {"ScaleADDAItem", "SliderItem", "AutoOffsetItem", "ScaleItem", "HelpAboutItem"}) {
        QAction* action = MainQVTForm->MenuItem(item);
        ASSERT_NE(action, nullptr) << item;
        EXPECT_TRUE(action->isEnabled()) << item;
        action->trigger();
    }
    QCoreApplication::processEvents();
    ASSERT_NE(ScaleADDAForm, nullptr);
    EXPECT_TRUE(ScaleADDAForm->isVisible());
    ASSERT_NE(SlidForm, nullptr);
    EXPECT_TRUE(SlidForm->isVisible());
    ASSERT_NE(AutoOffsetForm, nullptr);
    EXPECT_TRUE(AutoOffsetForm->isVisible());
    ASSERT_NE(ScaleForm, nullptr);
    EXPECT_TRUE(ScaleForm->isVisible());
    EXPECT_TRUE(AboutQVTBox->isVisible());

    // The Tools menu opens the windows that have a speed button through it.
    for (const auto& [item, button, window] :
         {std::tuple<const char*, const char*, QWidget*>{"DNCItem", "dncButton", dncForm},
          {"SelectItem", "SelButton", SelForm},
          {"CrosshairsItem", "Crosshairsbutton", CrosshairsForm}}) {
        ASSERT_NE(window, nullptr) << item;
        QAction* action = MainQVTForm->MenuItem(item);
        ASSERT_NE(action, nullptr) << item;
        EXPECT_TRUE(action->isEnabled()) << item;
        action->trigger();
        QCoreApplication::processEvents();
        EXPECT_TRUE(window->isVisible()) << item;
        EXPECT_TRUE(MainQVTForm->Button(button)->isChecked()) << item;
    }

    // The bundled aux outputs: 2.5 V on DAC7 is 8000 digits.
    auto* sim = dynamic_cast<sim::SimController*>(InOutForm->Driver());
    ASSERT_NE(sim, nullptr);
    EXPECT_TRUE(SlidForm->Edit(3)->Apply("2.5"));
    EXPECT_EQ(sim->Dac(7), 8000);
    EXPECT_EQ(SlidForm->findChild<QLabel*>("Label3")->text(), "Aux 7");

    EXPECT_TRUE(MainQVTForm->close());
    DestroyAllForms();
    EXPECT_TRUE(boxes.Texts().isEmpty()) << boxes.LastText().toStdString();
    EXPECT_EQ(SlidForm, nullptr);
    EXPECT_EQ(ScaleForm, nullptr);
    // The next start finds the slider's values.
    const TQVTIniFile main(dir.Path() + "ini/qvt.ini");
    EXPECT_EQ(main.ReadString("Slid", "DA3", ""), "2.5");
}
