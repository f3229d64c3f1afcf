// Windows and switches reached as the operator reaches them on the bundled
// settings: the simple oscilloscope from the Tools menu, the lock-in switch
// of the Feedback window through its mode list.

#include "app/BundledProgram.h"
#include "app/CreateForms.h"
#include "core/IniFile.h"
#include "core/SharedState.h"
#include "device/ChannelTable.h"
#include "lockin/DncForm.h"
#include "lockin/OsziForm.h"
#include "mainwindow/MainQVTForm.h"
#include "platform/MessageBoxes.h"
#include "scan/FeedbackForm.h"
#include "sim/SimController.h"
#include "support/TestSupport.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QMenu>
#include <QMenuBar>
#include <QTest>

#include <gtest/gtest.h>

using namespace qvt;

namespace {

// The main window's menu whose title, without its accelerator, is `title`.
QMenu* Menu(const QString& title)
{
    for (QAction* top : MainQVTForm->findChild<QMenuBar*>()->actions())
        if (top->menu() != nullptr && top->text().remove('&') == title)
            return top->menu();
    return nullptr;
}

// The entry of `menu` the operator sees as `text`; null when there is none.
QAction* MenuEntry(QMenu* menu, const QString& text)
{
    for (QAction* a : menu->actions())
        if (a->isVisible() && a->text().remove('&') == text)
            return a;
    return nullptr;
}

} // namespace

TEST(BundledToolPaths, TheSimpleOscilloscopeOpensFromTheToolsMenuAndShowsTheFeedbackInput)
{
    test::BundledProgram program;
    ASSERT_TRUE(program.Copied);
    // The box's signal generator on the input the bundled feedback reads.
    {
        TQVTIniFile sim(program.Dir.Path() + "ini/sim.ini");
        sim.WriteInteger("TestSine", "Address", 1);
    }
    ScriptedMessageResponder boxes;
    ASSERT_TRUE(program.Start());
    const int slot = MicroscopeState.FeedbackChannel.load() + 26;
    ASSERT_EQ(ChannelTable[static_cast<size_t>(slot)].Address.load(), 1) << "the sine is not on the feedback input";
    EXPECT_EQ(OsziForm, nullptr) << "made at start";

    // Beside the three-trace oscilloscope in the Tools menu.
    QMenu* tools = Menu("Tools");
    ASSERT_NE(tools, nullptr);
    QAction* three = MenuEntry(tools, "Oscilloscope");
    QAction* simple = MenuEntry(tools, "Simple Oscilloscope");
    ASSERT_NE(three, nullptr);
    ASSERT_NE(simple, nullptr);
    EXPECT_EQ(tools->actions().indexOf(simple), tools->actions().indexOf(three) + 1);
    ASSERT_TRUE(simple->isEnabled());
    simple->trigger();
    ASSERT_NE(OsziForm, nullptr);
    EXPECT_TRUE(OsziForm->isVisible());
    EXPECT_EQ(OsziForm->windowTitle(), "Oscilloscope");

    // The operator picks "auto min..max": the 2000-digit sine spans the picture.
    OsziForm->ComboScale->setFocus();
    QTest::keyClick(OsziForm->ComboScale, Qt::Key_End);
    ASSERT_EQ(OsziForm->ComboScale->currentText(), "auto min..max");
    const auto blueRows = [] {
        const QImage& pic = OsziForm->Picture();
        int rows = 0;
        for (int y = 0; y < pic.height(); ++y) {
            for (int x = 0; x < pic.width(); ++x) {
                if (pic.pixelColor(x, y) == QColor(0, 0, 255)) {
                    ++rows;
                    break;
                }
            }
        }
        return rows;
    };
    ASSERT_TRUE(test::PumpUntil([&] { return blueRows() > 200; }));
    const TSimpleScopeScale& scale = OsziForm->LastScale();
    EXPECT_NEAR(scale.M - scale.C, 2000.0, 200.0);

    // Asked for again, the same window comes forward.
    TOsziForm* first = OsziForm;
    OsziForm->close();
    simple->trigger();
    EXPECT_EQ(OsziForm, first);
    EXPECT_TRUE(OsziForm->isVisible());
    EXPECT_TRUE(MainQVTForm->close());
    DestroyAllForms();
    EXPECT_EQ(OsziForm, nullptr);
    TQVTIniFile ini(program.Dir.Path() + "ini/qvt.ini");
    EXPECT_EQ(ini.ReadInteger("Oszi", "Scale", -1), 3);
}

TEST(BundledToolPaths, AModeThatTicksEnableLockinDoesWhatAClickOnTheBoxDoes)
{
    test::BundledProgram program;
    ASSERT_TRUE(program.Copied);
    ScriptedMessageResponder boxes;
    ASSERT_TRUE(program.Start());
    ASSERT_NE(feedbackForm, nullptr);
    ASSERT_NE(dncForm, nullptr);
    MainQVTForm->MenuItem("FeedbackItem")->trigger();
    QCheckBox* lockin = feedbackForm->CheckBox(2);
    QComboBox* modes = feedbackForm->ComboBox1();
    ASSERT_EQ(modes->currentText(), "AFM contact mode");
    ASSERT_FALSE(lockin->isChecked());
    ASSERT_FALSE(dncForm->isVisible());

    // The click on the box: the excitation goes on and the resonance window opens ...
    const QPoint box(lockin->height() / 2, lockin->height() / 2);
    QTest::mouseClick(lockin, Qt::LeftButton, {}, box);
    EXPECT_TRUE(dncForm->isVisible());
    EXPECT_EQ(MicroscopeState.LockInOn.load(), 3u);
    QTest::mouseClick(lockin, Qt::LeftButton, {}, box);
    EXPECT_FALSE(dncForm->isVisible());
    EXPECT_EQ(MicroscopeState.LockInOn.load(), 0u);

    // ... and so does the mode that ticks the box for the operator.
    modes->setFocus();
    QTest::keyClick(modes, Qt::Key_Down);
    ASSERT_EQ(modes->currentText(), "AFM amplitude R");
    EXPECT_TRUE(lockin->isChecked());
    EXPECT_FALSE(lockin->isEnabled());
    EXPECT_EQ(MicroscopeState.LockInOn.load() & 1u, 1u);
    EXPECT_TRUE(dncForm->isVisible());
    EXPECT_TRUE(MainQVTForm->Button("dncButton")->isChecked());

    // Back to a static mode the stored choice (off) clears the box as a click would.
    QTest::keyClick(modes, Qt::Key_Up);
    ASSERT_EQ(modes->currentText(), "AFM contact mode");
    EXPECT_FALSE(lockin->isChecked());
    EXPECT_EQ(MicroscopeState.LockInOn.load(), 0u);
    EXPECT_FALSE(dncForm->isVisible());

    EXPECT_TRUE(MainQVTForm->close());
    DestroyAllForms();
}
