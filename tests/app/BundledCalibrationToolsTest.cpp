// The calibration tools and small windows as the bundled program offers them:
// each menu entry opens its window on the simulated controller, and the start
// leaves the About box open in red, for the simulator is no driver.

#include "app/BundledProgram.h"
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
#include "lockin/Oszi2Form.h"
#include "mainwindow/AboutQVTBox.h"
#include "mainwindow/MainQVTForm.h"
#include "motion/CrosshairsForm.h"
#include "navigator/SelForm.h"
#include "platform/MessageBoxes.h"
#include "sim/SimController.h"
#include "support/TestSupport.h"
#include "widgets/NumericEdit.h"

#include <QAbstractButton>
#include <QAction>
#include <QComboBox>
#include <QCoreApplication>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
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
    // Every name, unit and address reads whole in its cell ("Topography", not "opography").
    for (int row = 0; row < ChannelSlotCount; ++row) {
        for (const char* suffix : {"Label2", "Edit1", "Edit0"}) {
            QLineEdit* cell = ScaleForm->EditCell(row, suffix);
            if (cell == nullptr)
                continue; // outputs have no address
            EXPECT_LE(cell->fontMetrics().horizontalAdvance(cell->text()) + 4, cell->width())
                << row << suffix << " " << cell->text().toStdString();
        }
    }
    EXPECT_EQ(ScaleForm->EditCell(0, "Label2")->text(), "Topography");
    EXPECT_LT(ScaleForm->EditCell(0, "Label2")->geometry().right(), ScaleForm->EditCell(0, "Edit1")->x());
    EXPECT_LT(ScaleForm->EditCell(0, "Edit1")->geometry().right(), ScaleForm->EditCell(0, "Edit2")->x());

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

TEST(BundledCalibrationTools, AScaleReloadKeepsTheInputGainAndRefreshesTheWindowsShowingScaledValues)
{
    test::BundledProgram program;
    ASSERT_TRUE(program.Copied);
    ScriptedMessageResponder boxes;
    ASSERT_TRUE(program.Create());
    auto linkTime = std::make_shared<double>(0.0);
    InOutForm->LinkClock = [linkTime] { return *linkTime += 20e-6; };
    // The resonance window's input gain 10 scales the lock-in channels.
    dncForm->show();
    auto* gain10 = dncForm->findChild<QRadioButton*>("InputRadio10");
    ASSERT_NE(gain10, nullptr);
    QTest::mouseClick(gain10, Qt::LeftButton, {}, QPoint(8, gain10->height() / 2)); // on its circle
    ASSERT_TRUE(gain10->isChecked());
    const int amplitudeSlot = MainIni->ReadInteger("dnc", "channel", 12);
    const float amplitudeFactor = ChannelTable[amplitudeSlot].Factor.load();
    const float lockInXFactor = ChannelTable[14].Factor.load();
    // The three-trace oscilloscope is open while a channel gets a new label.
    Oszi2Form->show();
    MainIni->WriteString("Scale", "ADC1Label2", "Height");
    MainIni->WriteBool("Scale", "ADC1CheckBox1", true);

    // "Use New" of the offset tool reloads the scales, as the scale windows do.
    QAction* item = MainQVTForm->MenuItem("AutoOffsetItem");
    ASSERT_NE(item, nullptr);
    item->trigger();
    QCoreApplication::processEvents();
    ASSERT_NE(AutoOffsetForm, nullptr);
    auto* use = AutoOffsetForm->findChild<QPushButton*>("UseButton");
    ASSERT_NE(use, nullptr);
    QTest::mouseClick(use, Qt::LeftButton);
    EXPECT_FLOAT_EQ(ChannelTable[amplitudeSlot].Factor.load(), amplitudeFactor);
    EXPECT_FLOAT_EQ(ChannelTable[14].Factor.load(), lockInXFactor);
    EXPECT_TRUE(Oszi2Form->isVisible());
    EXPECT_GE(Oszi2Form->ComboBoxes[0]->findText("Height"), 0);

    EXPECT_TRUE(MainQVTForm->close());
    DestroyAllForms();
}
