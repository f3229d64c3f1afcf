// A first start on the bundled settings as a new operator meets it: keys go
// where the operator types them, tool windows open in places of their own on
// the screen, and the calibration tool starts from the simulated wiring.

#include "app/BundledProgram.h"
#include "app/CreateForms.h"
#include "calib/AutoOffsetForm.h"
#include "calib/ScaleADDAForm.h"
#include "calib/ScannerForm.h"
#include "calib/SlidForm.h"
#include "core/IniFile.h"
#include "core/SharedState.h"
#include "core/Startup.h"
#include "device/ChannelTable.h"
#include "device/InOutForm.h"
#include "images/ScaleForm.h"
#include "images/SetupForm.h"
#include "lockin/DncForm.h"
#include "lockin/LockInOptionForm.h"
#include "lockin/LockinForm.h"
#include "lockin/MultiLockInForm.h"
#include "lockin/MultiLockInOptionForm.h"
#include "lockin/Oszi2Form.h"
#include "lockin/Oszi2OptionForm.h"
#include "lockin/OsziForm.h"
#include "mainwindow/AboutQVTBox.h"
#include "mainwindow/AdminForm.h"
#include "mainwindow/MainQVTForm.h"
#include "mainwindow/MiscForm.h"
#include "motion/CoarseForm.h"
#include "motion/CrosshairsForm.h"
#include "motion/JoystickForm.h"
#include "navigator/SelForm.h"
#include "optics/CameraForm.h"
#include "optics/LEDForm.h"
#include "platform/MessageBoxes.h"
#include "scan/FeedbackForm.h"
#include "scan/ScanParaForm.h"
#include "scan/SmartFeedbackForm.h"
#include "sim/SimController.h"
#include "sim/SimWiring.h"
#include "spectro/SpektForm.h"
#include "spectro/SpektOptionForm.h"
#include "support/TestSupport.h"
#include "widgets/NumericEdit.h"
#include "widgets/OnScreen.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QLayout>
#include <QLineEdit>
#include <QScreen>
#include <QTest>
#include <QWindow>
#include <gtest/gtest.h>

#include <map>
#include <memory>

using namespace qvt;

namespace {

// The bundled program started in a folder of its own on the simulator.
class BundledFirstStart : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(test::CopyBundledSettings(dir_));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime_.Path().chopped(1)));
        // Positions are read as on the full-HD desktop they were laid out for.
        TQVTIniFile::SetDesktopWidthForTests(1920);
        LoadDriverName(dir_.Path(), {"qvt"});
        int exitCode = -1;
        ASSERT_TRUE(CreateAllForms("qvt", exitCode));
        auto linkTime = std::make_shared<double>(0.0);
        InOutForm->LinkClock = [linkTime] { return *linkTime += 20e-6; };
        MainQVTForm->show();
        QCoreApplication::processEvents();
        StartUp();
        if (AboutQVTBox != nullptr)
            AboutQVTBox->hide();
        sim_ = dynamic_cast<sim::SimController*>(InOutForm->Driver());
        ASSERT_NE(sim_, nullptr);
    }
    void TearDown() override
    {
        if (MainQVTForm != nullptr) {
            MainQVTForm->close();
            DestroyAllForms();
        }
        qputenv("XDG_RUNTIME_DIR", savedRuntime_);
        TQVTIniFile::SetDesktopWidthForTests(0);
    }

    test::TempDir dir_;
    test::TempDir runtime_;
    QByteArray savedRuntime_ = qgetenv("XDG_RUNTIME_DIR");
    ScriptedMessageResponder boxes_;
    sim::SimController* sim_ = nullptr;
};

} // namespace

TEST_F(BundledFirstStart, ThePasswordBoxTakesTheKeysAndTheInstrumentKeepsItsKi)
{
    // The operator last typed in the parameter window's Ki edit.
    auto* ki = ScanParaForm->findChild<TNumericEdit*>("Edit5");
    ASSERT_NE(ki, nullptr);
    ki->window()->activateWindow();
    ki->setFocus();
    QCoreApplication::processEvents();
    const float kiBefore = MicroscopeState.FeedbackSets[FeedbackSetIndex(MicroscopeState.FeedbackMode)].Ki;
    const int32_t wordBefore = sim_->Feedback().IntegralGain;

    MainQVTForm->SetAdminLevel(0);
    MainQVTForm->MenuItem("MakemeAdminItem")->trigger();
    QCoreApplication::processEvents();
    auto* box = MainQVTForm->findChild<TAdminForm*>();
    ASSERT_NE(box, nullptr);
    ASSERT_TRUE(box->isVisible());
    // The box holds the keyboard: its edit has the focus ...
    EXPECT_EQ(QApplication::focusWidget(), box->Edit1());
    EXPECT_EQ(QApplication::activeModalWidget(), box);
    QTest::keyClicks(QApplication::focusWidget(), "1799");
    EXPECT_EQ(box->Edit1()->text(), "1799");
    // ... and keys the desktop still hands to the window typed in before
    // (no window manager moves the focus) do not reach it.
    for (const char c : {'1', '7', '9', '9'})
        QTest::keyClick(ki->window()->windowHandle(), c);
    QTest::keyClick(ki->window()->windowHandle(), Qt::Key_Return);
    QCoreApplication::processEvents();
    EXPECT_EQ(MicroscopeState.FeedbackSets[FeedbackSetIndex(MicroscopeState.FeedbackMode)].Ki, kiBefore);
    EXPECT_EQ(sim_->Feedback().IntegralGain, wordBefore);
    EXPECT_EQ(ki->Color(), EditColor::White);

    // A wrong password of a length no stored one has leaves the box open; Esc closes it.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    EXPECT_TRUE(box->isVisible());
    QPointer<TAdminForm> gone = box;
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    ASSERT_TRUE(test::PumpUntil([&] { return gone.isNull(); }));
    EXPECT_EQ(MainQVTForm->AdminLevel(), 0);
}

namespace {

// A window's frame as a window manager draws it: the stored place is its
// top-left corner, a title bar and borders come around the window.
constexpr int TitleBar = 30;
constexpr int Border = 4;

// Two frames are beside each other when one continues the other within a
// small gap (room for a desktop's top panel), side by side or one above the other.
bool Beside(const QRect& a, const QRect& b)
{
    constexpr int Gap = 48;
    const bool sideBySide = a.top() <= b.bottom() && b.top() <= a.bottom() &&
                            ((b.left() > a.right() && b.left() - a.right() <= Gap) ||
                             (a.left() > b.right() && a.left() - b.right() <= Gap));
    const bool stacked = a.left() <= b.right() && b.left() <= a.right() &&
                         ((b.top() > a.bottom() && b.top() - a.bottom() <= Gap) ||
                          (a.top() > b.bottom() && a.top() - b.bottom() <= Gap));
    return sideBySide || stacked;
}

std::string Text(const QRect& r)
{
    return QString("%1,%2 %3x%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height()).toStdString();
}

} // namespace

TEST_F(BundledFirstStart, WindowsUsedTogetherOpenBesideEachOtherWithoutCoveringOne)
{
    // Two windows are made when their menu entry asks for them.
    MainQVTForm->SetAdminLevel(2);
    MainQVTForm->MenuItem("AutoOffsetItem")->trigger();
    MainQVTForm->MenuItem("ScaleItem")->trigger();
    MainQVTForm->MenuItem("OsziItem")->trigger();
    QCoreApplication::processEvents();
    struct Place {
        const char* section;
        QWidget* window;
        bool user = false;
    };
    const std::vector<Place> places = {
        {"Spekt", SpektForm, true},
        {"SpektOpt", SpektOptionForm, true},
        {"Coarse", CoarseForm},
        {"Crosshairs", CrosshairsForm},
        {"CrosshairsOpt", CrosshairsOptionForm},
        {"dnc", dncForm},
        {"dncopt", LockInOptionForm},
        {"Sel", SelForm},
        {"Oszi2", Oszi2Form},
        {"osziopt", Oszi2OptionForm},
        {"Slid", SlidForm},
        {"Lockin", LockinForm},
        {"MultiLockin", MultiLockInForm},
        {"MultiLockinOpt", MultiLockInOptionForm},
        {"Scale", ScaleForm},
        {"Microscope", feedbackForm},
        {"AutoOffset", AutoOffsetForm},
        {"Misc", MiscForm},
        {"Joystick", JoystickForm},
        {"LED", LEDForm},
        {"SmartFeedback", SmartFeedbackForm},
        {"ScannerWin", ScannerForm},
        {"TestMic", ScaleADDAForm},
        {"Setup", SetupForm},
        {"Camera", CameraForm},
        {"Oszi", OsziForm},
    };
    // Each window's frame where it opens on the 1920 x 1080 desktop the
    // bundled places are made for, at the size it opens with.
    const QRect desktop(0, 0, 1920, 1080);
    const QRect main = MainQVTForm->geometry();
    std::map<QString, QRect> frames;
    for (const Place& p : places) {
        ASSERT_NE(p.window, nullptr) << p.section;
        const TQVTIniFile& ini = p.user ? *UserIni : *MainIni;
        const QPoint pos(ini.ReadInteger(p.section, "FormPosLeft", -1), ini.ReadInteger(p.section, "FormPosTop", -1));
        QWidget* w = p.window;
        if (w->layout() != nullptr)
            w->layout()->activate();
        const QSize size =
            w->isVisible() || w->testAttribute(Qt::WA_Resized) ? w->size() : w->sizeHint().expandedTo(w->minimumSize());
        const QRect frame(pos, size + QSize(2 * Border, TitleBar + Border));
        frames[p.section] = frame;
        EXPECT_TRUE(desktop.contains(frame)) << p.section << " at " << Text(frame);
        EXPECT_GT(pos.x(), main.center().x()) << p.section << " opens over the main window's work area";
    }

    // The windows the operator uses at one time, each options window beside
    // the one it serves: the spectroscopy with its options, the navigator
    // that sets its point and runs the scripts, and the oscilloscope that
    // watches the signals, or the oscilloscope with its own options; the resonance tool with its options and the multi
    // lock-in, whose formulas follow the resonance, or else the second
    // lock-in; the Feedback window, whose lock-in switch opens the resonance
    // tool; a script's spectroscopy and resonance runs beside the navigator;
    // the simple oscilloscope beside the Feedback window whose input it
    // shows; the alignment display with its options and the coarse motion.
    const std::vector<std::vector<QString>> together = {
        {"Spekt", "SpektOpt", "Sel", "Oszi2"},
        {"Oszi2", "osziopt", "Spekt", "Sel"},
        {"dnc", "dncopt", "MultiLockin", "MultiLockinOpt"},
        {"dnc", "dncopt", "Lockin", "Microscope"},
        {"Sel", "Spekt", "dnc"},
        {"Microscope", "Oszi"},
        {"Crosshairs", "CrosshairsOpt", "Coarse"},
    };
    const std::vector<std::pair<QString, QString>> servedBy = {
        {"SpektOpt", "Spekt"},           {"dncopt", "dnc"}, {"MultiLockinOpt", "MultiLockin"}, {"osziopt", "Oszi2"},
        {"CrosshairsOpt", "Crosshairs"},
    };
    for (const auto& group : together) {
        for (size_t i = 0; i < group.size(); ++i) {
            for (size_t j = i + 1; j < group.size(); ++j) {
                const QRect a = frames.at(group[i]);
                const QRect b = frames.at(group[j]);
                EXPECT_FALSE(a.intersects(b)) << group[i].toStdString() << " " << Text(a) << " covers "
                                              << group[j].toStdString() << " " << Text(b);
            }
        }
    }
    for (const auto& [options, window] : servedBy)
        EXPECT_TRUE(Beside(frames.at(options), frames.at(window)))
            << options.toStdString() << " " << Text(frames.at(options)) << " is not beside " << window.toStdString()
            << " " << Text(frames.at(window));

    // The screen here is smaller: every window that opens is moved onto it,
    // as far as it fits.
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    ASSERT_LT(screen.width(), desktop.width());
    for (const Place& p : places) {
        QWidget* w = p.window;
        if (w == MultiLockInOptionForm && !MultiLockInPresent)
            continue;
        w->show();
        QCoreApplication::processEvents();
        const QRect g = w->frameGeometry();
        EXPECT_TRUE(screen.contains(g.topLeft())) << p.section << " at " << Text(g);
        if (g.width() <= screen.width()) {
            EXPECT_GE(screen.right(), g.right()) << p.section << " at " << Text(g);
        }
        if (g.height() <= screen.height()) {
            EXPECT_GE(screen.bottom(), g.bottom()) << p.section << " at " << Text(g);
        }
        w->hide();
    }
}

TEST(KeepOnScreen, AFrameIsMovedOntoTheWorkAreaAsFarAsItFits)
{
    const QRect screen(0, 0, 1024, 768);
    EXPECT_EQ(RectOnScreen({1500, 700, 400, 300}, screen), QRect(624, 468, 400, 300));
    EXPECT_EQ(RectOnScreen({-50, -20, 400, 300}, screen), QRect(0, 0, 400, 300));
    EXPECT_EQ(RectOnScreen({100, 100, 400, 300}, screen), QRect(100, 100, 400, 300));
    // Larger than the screen: the title bar and left edge stay on it.
    EXPECT_EQ(RectOnScreen({300, 200, 1200, 900}, screen), QRect(0, 0, 1200, 900));
    EXPECT_EQ(RectOnScreen({300, 200, 400, 300}, QRect(1920, 0, 1280, 1024)), QRect(1920, 200, 400, 300));
}

TEST_F(BundledFirstStart, TheADDAToolStartsFromTheSimulatedWiring)
{
    MainQVTForm->SetAdminLevel(2);
    MainQVTForm->MenuItem("ScaleADDAItem")->trigger();
    QCoreApplication::processEvents();
    ASSERT_NE(ScaleADDAForm, nullptr);
    ASSERT_TRUE(ScaleADDAForm->isVisible());
    // Z, X and Y: 10 V per 32000 digits into the amplifier of gain 16, and the
    // piezo's nm per volt, whose product is the bundled nm per digit.
    for (const int channel : {0, 2, 3}) {
        ScaleADDAForm->TestChannelCombo()->setCurrentIndex(channel);
        const TScaleADDAChain& c = ScaleADDAForm->Chain();
        const int dac = channel + 1;
        EXPECT_DOUBLE_EQ(c.DAScale, sim::SimWiring::DacVoltsPerDigit) << dac;
        EXPECT_DOUBLE_EQ(c.HvaGain, sim::SimWiring::HvaGain) << dac;
        EXPECT_DOUBLE_EQ(c.PiezoSens, sim::SimWiring::PiezoNmPerVolt(dac)) << dac;
        EXPECT_NEAR(c.MaxVolt, 10.0, 1e-9) << dac;
        EXPECT_NEAR(c.MinVolt, -10.0, 1e-9) << dac;
        EXPECT_NEAR(c.DAScale * c.HvaGain * c.PiezoSens, ChannelTable[channel].Factor, 1e-9) << dac;
    }
    // 10 V asked on the X output reads 10 V on the meter.
    ScaleADDAForm->TestChannelCombo()->setCurrentIndex(2);
    TNumericEdit* test = ScaleADDAForm->ChainEdit(1);
    test->setText("10");
    test->PressKey(EditKey::Enter);
    EXPECT_NEAR(sim::SimWiring::DacVolts(3, sim_->Dac(3)), 10.0, 0.02);
}

TEST_F(BundledFirstStart, EveryToolBarToggleOpensItsWindowAndFollowsIt)
{
    struct Toggle {
        const char* button;
        QWidget* window;
    };
    QWidget* lockin = MultiLockInPresent ? static_cast<QWidget*>(MultiLockInForm) : LockinForm;
    const std::vector<Toggle> toggles = {
        {"SpectButton", SpektForm}, {"CoarseButton", CoarseForm}, {"Crosshairsbutton", CrosshairsForm},
        {"dncButton", dncForm},     {"SelButton", SelForm},       {"Oszi2Button", Oszi2Form},
        {"SlidButton", SlidForm},   {"LockinButton", lockin},     {"CameraButton", CameraForm},
    };
    int clicked = 0;
    for (const Toggle& t : toggles) {
        QAbstractButton* b = MainQVTForm->Button(t.button);
        ASSERT_NE(b, nullptr) << t.button;
        ASSERT_NE(t.window, nullptr) << t.button;
        if (b->isHidden())
            continue;
        ++clicked;
        // A button the operator sees does what its hint says.
        ASSERT_TRUE(b->isEnabled()) << t.button;
        t.window->hide();
        b->setChecked(false);
        QTest::mouseClick(b, Qt::LeftButton);
        QCoreApplication::processEvents();
        EXPECT_TRUE(t.window->isVisible()) << t.button;
        EXPECT_TRUE(b->isChecked()) << t.button;
        QTest::mouseClick(b, Qt::LeftButton);
        QCoreApplication::processEvents();
        EXPECT_FALSE(t.window->isVisible()) << t.button;
        // Opened from the Tools menu and closed by the operator: the button follows.
        t.window->show();
        QCoreApplication::processEvents();
        t.window->close();
        QCoreApplication::processEvents();
        EXPECT_FALSE(b->isChecked()) << t.button;
    }
    EXPECT_GE(clicked, 8);
}

TEST_F(BundledFirstStart, KeysInTheMultiLockInWindowReachTheMainWindow)
{
    ASSERT_NE(MultiLockInForm, nullptr);
    MultiLockInForm->show();
    QCoreApplication::processEvents();
    TNumericEdit* ki = ScanParaForm->Edit("Edit5");
    ASSERT_NE(ki, nullptr);
    const QString before = ki->text();
    // "I" without Shift presses the Ki row's "<" button.
    QTest::keyClick(MultiLockInForm, Qt::Key_I);
    const double lowered = ki->text().toDouble();
    EXPECT_LT(lowered, before.toDouble());
    // With Shift its ">" button.
    QTest::keyClick(MultiLockInForm, Qt::Key_I, Qt::ShiftModifier);
    EXPECT_GT(ki->text().toDouble(), lowered);
    AbortFlag = false;
    QTest::keyClick(MultiLockInForm, Qt::Key_Escape);
    EXPECT_TRUE(AbortFlag.load());
    AbortFlag = false;
}

TEST(BundledRestart, ToolWindowsLeftOpenReopenAtTheNextStart)
{
    test::BundledProgram program;
    ASSERT_TRUE(program.Copied);
    {
        TQVTIniFile sim(program.Dir.Path() + "ini/sim.ini");
        sim.WriteString("Clock", "Mode", "Fast");
    }
    ScriptedMessageResponder boxes;
    const std::vector<const char*> buttons = {"dncButton", "Oszi2Button", "LockinButton"};
    const auto windowOf = [](const std::string& button) -> QWidget* {
        if (button == "dncButton")
            return dncForm;
        if (button == "Oszi2Button")
            return Oszi2Form;
        return MultiLockInPresent ? static_cast<QWidget*>(MultiLockInForm) : LockinForm;
    };
    ASSERT_TRUE(program.Create());
    StartUp();
    MainQVTForm->show();
    std::vector<const char*> opened;
    for (const char* name : buttons) {
        QAbstractButton* b = MainQVTForm->Button(name);
        ASSERT_NE(b, nullptr);
        EXPECT_FALSE(windowOf(name)->isVisible()) << name;
        if (b->isHidden())
            continue;
        QTest::mouseClick(b, Qt::LeftButton);
        ASSERT_TRUE(windowOf(name)->isVisible()) << name;
        opened.push_back(name);
    }
    EXPECT_GE(opened.size(), 2u);
    EXPECT_TRUE(MainQVTForm->close());
    DestroyAllForms();

    ASSERT_TRUE(program.Create());
    StartUp();
    for (const char* name : opened) {
        EXPECT_TRUE(windowOf(name)->isVisible()) << name;
        EXPECT_TRUE(MainQVTForm->Button(name)->isChecked()) << name;
    }
    EXPECT_TRUE(MainQVTForm->close());
    DestroyAllForms();
}
