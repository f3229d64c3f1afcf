// Every window of the bundled program, walked through the states an operator
// can give it: on every page, in every kind, mode, level and controller type,
// each visible enabled control is the widget at its own centre (nothing lies
// over it) and it stays where it was (nothing moves under the pointer).
// QVT_WALK_SHOTS=<folder> saves every look as <window>-<state>.png.

#include "support/ControlWalk.h"
#include "app/BundledProgram.h"
#include "app/CreateForms.h"
#include "core/IniFile.h"
#include "device/InOutForm.h"
#include "mainwindow/MainQVTForm.h"
#include "platform/MessageBoxes.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

using namespace qvt;
using qvt::test::TControlWalk;

namespace {

// z-noise has no cycle: its options hide the Cycle tab, and the tabs after it
// move left. Nothing else may move.
const QStringList kMovesTheWindowMakes = {
    "Spectroscopy Options [kind X(t) z-noise",
};

QWidget* Window(const QString& className)
{
    for (QWidget* w : QApplication::topLevelWidgets())
        if (QString(w->metaObject()->className()) == "qvt::" + className)
            return w;
    return nullptr;
}

QString Caption(const QAbstractButton* b)
{
    QString text = b->text();
    text.remove('&');
    return text.isEmpty() ? b->objectName() : text;
}

// The operator clicks the page's tab.
void ClickTab(QTabWidget* tabs, int index)
{
    QTabBar* bar = tabs->tabBar();
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(index).center());
}

// The operator clicks the tab of the page that holds `w`.
void ShowPageOf(QWidget* w)
{
    for (QWidget* page = w; page != nullptr && !page->isWindow(); page = page->parentWidget())
        if (auto* tabs =
                qobject_cast<QTabWidget*>(page->parentWidget() ? page->parentWidget()->parentWidget() : nullptr);
            tabs != nullptr && tabs->indexOf(page) >= 0)
            ClickTab(tabs, tabs->indexOf(page));
}

// Every page of every tab widget the window shows now, one look each, and
// back to the page it was on.
void WalkPages(TControlWalk& walk, const QString& state, const std::function<void(const QString&)>& onEachPage = {})
{
    for (QTabWidget* tabs : walk.Top()->findChildren<QTabWidget*>()) {
        if (!tabs->isVisible())
            continue;
        const int was = tabs->currentIndex();
        for (int i = 0; i < tabs->count(); ++i) {
            if (!tabs->isTabVisible(i) || !tabs->isTabEnabled(i))
                continue;
            ClickTab(tabs, i);
            const QString page = state + ", page " + tabs->tabText(i).remove('&');
            walk.Look(page);
            if (onEachPage)
                onEachPage(page);
        }
        ClickTab(tabs, was);
    }
}

// Each check box of the page shown, ticked and unticked by the operator's
// click, with a look in between and after; `also` looks at the windows the
// boxes act on.
void WalkCheckBoxes(TControlWalk& walk, const QString& state, const std::function<void(const QString&)>& also = {})
{
    const QList<QWidget*> shown = test::ClickableControls(walk.Top());
    for (QCheckBox* box : walk.Top()->findChildren<QCheckBox*>()) {
        if (!shown.contains(box))
            continue;
        const QString name = Caption(box);
        test::ClickAtCentre(box);
        walk.Look(state + ", " + name + (box->isChecked() ? " on" : " off"));
        if (also)
            also(state + ", " + name + (box->isChecked() ? " on" : " off"));
        if (!box->isVisible() || !box->isEnabled())
            continue; // the box took itself away (its Part says so)
        test::ClickAtCentre(box);
        walk.Look(state + ", " + name + (box->isChecked() ? " on" : " off") + " again");
        if (also)
            also(state + ", " + name + " back");
    }
}

// An item of a combo chosen as the operator does from the keyboard: one
// arrow key at a time, each item on the way taken as it passes.
void ChooseItem(QComboBox* box, int index)
{
    box->setFocus();
    while (box->currentIndex() < index)
        QTest::keyClick(box, Qt::Key_Down);
    while (box->currentIndex() > index)
        QTest::keyClick(box, Qt::Key_Up);
}

class ControlWalkTest : public ::testing::Test {
protected:
    void Create(int controllerType = 0)
    {
        ASSERT_TRUE(program_.Copied);
        if (controllerType != 0) {
            TQVTIniFile sim(program_.Dir.Path() + "ini/sim.ini");
            sim.WriteInteger("Controller", "Type", controllerType);
        }
        program_.Dir.WriteFile("ini/sim.ini",
                               program_.Dir.ReadFile("ini/sim.ini").replace("Mode=RealTime", "Mode=Fast"));
        ASSERT_TRUE(program_.Create());
        MainQVTForm->show();
        test::Settle();
    }
    void TearDown() override
    {
        if (MainQVTForm != nullptr) {
            MainQVTForm->close();
            DestroyAllForms();
        }
        const QStringList left = test::Unexcused(findings_, kMovesTheWindowMakes);
        EXPECT_TRUE(left.isEmpty()) << left.size() << " findings:\n" << left.join("\n").toStdString();
    }
    // Shows the window, walks its pages and then the states `states` gives it.
    TControlWalk& Walk(QWidget* window, const QString& name)
    {
        walks_.push_back(std::make_unique<TControlWalk>(window, name));
        TControlWalk& walk = *walks_.back();
        window->show();
        window->raise();
        walk.Look("shown");
        WalkPages(walk, "shown");
        return walk;
    }
    void Collect()
    {
        for (const auto& walk : walks_)
            findings_ << walk->Findings;
        walks_.clear();
        findings_.removeDuplicates();
    }

    test::BundledProgram program_;
    ScriptedMessageResponder boxes_;
    std::vector<std::unique_ptr<TControlWalk>> walks_;
    QStringList findings_;
};

// Each radio button of the window clicked in turn, a look after each, and
// the one that was checked clicked again.
void WalkRadios(TControlWalk& walk, const QString& state, const QList<QRadioButton*>& radios,
                const std::function<void(const QString&)>& also = {})
{
    QRadioButton* was = nullptr;
    for (QRadioButton* r : radios)
        if (r->isChecked())
            was = r;
    for (QRadioButton* r : radios) {
        if (!r->isVisible() || !r->isEnabled())
            continue;
        test::ClickAtCentre(r);
        walk.Look(state + ", " + Caption(r));
        if (also)
            also(state + ", " + Caption(r));
    }
    if (was != nullptr && was->isVisible() && was->isEnabled())
        test::ClickAtCentre(was);
}

QList<QRadioButton*> Radios(QWidget* top, const QStringList& captions)
{
    QList<QRadioButton*> found;
    for (const QString& caption : captions)
        for (QRadioButton* r : top->findChildren<QRadioButton*>())
            if (Caption(r) == caption && !found.contains(r))
                found << r;
    return found;
}

QComboBox* ComboWithItem(QWidget* top, const QString& item)
{
    for (QComboBox* box : top->findChildren<QComboBox*>())
        if (box->findText(item) >= 0)
            return box;
    return nullptr;
}

TEST_F(ControlWalkTest, LockInWindowsKeepEveryControlInReach)
{
    Create();
    // The resonance window and its options: every page, every box ticked and
    // unticked; "Change Q" shows the resonance window's output range.
    QWidget* dnc = Window("TdncForm");
    QWidget* options = Window("TLockInOptionForm");
    ASSERT_TRUE(dnc && options);
    TControlWalk& resonance = Walk(dnc, "Resonance");
    TControlWalk& lockInOptions = Walk(options, "LockIn Options");
    WalkPages(lockInOptions, "ticked", [&](const QString& page) {
        WalkCheckBoxes(lockInOptions, page, [&](const QString& state) { resonance.Look("options " + state); });
    });

    // The multi lock-in: both views, each sweep source, each channel count
    // and the Math button from its options window.
    QWidget* multi = Window("TMultiLockInForm");
    QWidget* multiOptions = Window("TMultiLockInOptionForm");
    ASSERT_TRUE(multi && multiOptions);
    TControlWalk& multiWalk = Walk(multi, "Multi LockIn");
    WalkRadios(multiWalk, "view", Radios(multi, {"Numbers", "Spectrum"}));
    test::ClickAtCentre(Radios(multi, {"Spectrum"}).value(0));
    QComboBox* source = ComboWithItem(multi, "LIA3");
    ASSERT_NE(source, nullptr);
    for (int i = 0; i < source->count(); ++i) {
        ChooseItem(source, i);
        multiWalk.Look("spectrum, source " + source->itemText(i));
    }
    TControlWalk& multiOptionsWalk = Walk(multiOptions, "Multi LockIn Options");
    WalkCheckBoxes(multiOptionsWalk, "ticked", [&](const QString& state) { multiWalk.Look("options " + state); });
    WalkRadios(multiOptionsWalk, "channels", Radios(multiOptions, {"1", "2", "3", "4"}),
               [&](const QString& state) { multiWalk.Look("options " + state); });
    test::ClickAtCentre(Radios(multi, {"Numbers"}).value(0));
    multiWalk.Look("numbers again");

    // The three-trace oscilloscope: each x axis, each trace emptied and
    // given back, each scale mode; its options on every page.
    QWidget* oszi = Window("TOszi2Form");
    ASSERT_NE(oszi, nullptr);
    TControlWalk& osziWalk = Walk(oszi, "Oscilloscope");
    WalkRadios(osziWalk, "x-axis", Radios(oszi, {"time", "freq", "Line"}));
    for (QComboBox* channel : oszi->findChildren<QComboBox*>()) {
        if (!channel->isVisible() || channel->findText("empty slot") != 0)
            continue;
        const int was = channel->currentIndex();
        ChooseItem(channel, 0);
        osziWalk.Look(channel->objectName() + " empty");
        ChooseItem(channel, was);
        osziWalk.Look(channel->objectName() + " back");
    }
    WalkRadios(osziWalk, "scale", oszi->findChildren<QRadioButton*>(QRegularExpression("^RadioButton([1-9]|1[0-2])$")));
    if (QWidget* osziOptions = Window("TOszi2OptionForm")) {
        TControlWalk& w = Walk(osziOptions, "Oscilloscope Options");
        WalkPages(w, "ticked", [&w](const QString& page) { WalkCheckBoxes(w, page); });
    }
    if (QWidget* lockin = Window("TLockinForm"))
        Walk(lockin, "Lockin");
    Collect();
}

// The spectroscopy window in every kind and channel count, its options on
// every page and in every kind.
TEST_F(ControlWalkTest, SpectroscopyWindowsKeepEveryControlInReach)
{
    Create();
    QWidget* spekt = Window("TSpektForm");
    QWidget* options = Window("TSpektOptionForm");
    ASSERT_TRUE(spekt && options);
    TControlWalk& spektWalk = Walk(spekt, "Spectroscopy");
    TControlWalk& optionsWalk = Walk(options, "Spectroscopy Options");
    auto* kinds = spekt->findChild<QComboBox*>("ComboBox1");
    ASSERT_NE(kinds, nullptr);
    const int was = kinds->currentIndex();
    for (int i = 0; i < kinds->count(); ++i) {
        ChooseItem(kinds, i);
        const QString kind = "kind " + kinds->itemText(i);
        spektWalk.Look(kind);
        optionsWalk.Look(kind);
        WalkPages(optionsWalk, kind);
        const QList<QRadioButton*> channels = Radios(options, {"1", "2", "3", "4"});
        ASSERT_EQ(channels.size(), 4);
        ShowPageOf(channels[0]);
        WalkRadios(optionsWalk, kind + ", channels", channels,
                   [&](const QString& state) { spektWalk.Look("options " + state); });
    }
    ChooseItem(kinds, was);
    WalkPages(optionsWalk, "ticked", [&](const QString& page) {
        WalkCheckBoxes(optionsWalk, page, [&](const QString& state) { spektWalk.Look("options " + state); });
    });
    Collect();
}

// The feedback window in each mode, the high-speed settings, the parameter
// window's pages in the main window.
TEST_F(ControlWalkTest, FeedbackAndScanWindowsKeepEveryControlInReach)
{
    Create();
    TControlWalk& main = Walk(MainQVTForm, "Main");
    QWidget* feedback = Window("TfeedbackForm");
    ASSERT_NE(feedback, nullptr);
    TControlWalk& feedbackWalk = Walk(feedback, "Feedback");
    WalkRadios(feedbackWalk, "mode", feedback->findChildren<QRadioButton*>(),
               [&](const QString& state) { main.Look("feedback " + state); });
    WalkCheckBoxes(feedbackWalk, "ticked");
    if (QWidget* smart = Window("TSmartFeedbackForm")) {
        TControlWalk& w = Walk(smart, "HighSpeed");
        WalkCheckBoxes(w, "ticked");
    }
    Collect();
}

// The windows each group above does not walk, as they open: from the
// menus, the tool bar and on demand.
const QStringList kWalkedByGroup = {
    "TMainQVTForm",  "TdncForm",          "TLockInOptionForm", "TMultiLockInForm", "TMultiLockInOptionForm",
    "TOszi2Form",    "TOszi2OptionForm",  "TLockinForm",       "TSpektForm",       "TSpektOptionForm",
    "TfeedbackForm", "TSmartFeedbackForm"};

// The main window at each administrator level with its image windows, the
// scanner window's teach buttons, then every other window.
TEST_F(ControlWalkTest, MainAndToolWindowsKeepEveryControlInReach)
{
    Create();
    // The start-up opens the topography windows; the link's calibration on a
    // clock of its own, so a busy machine cannot make it look unstable.
    auto linkTime = std::make_shared<double>(0.0);
    InOutForm->LinkClock = [linkTime] { return *linkTime += 20e-6; };
    StartUp();
    MainQVTForm->TileClick();
    TControlWalk& main = Walk(MainQVTForm, "Main");
    QWidget* scanner = Window("TScannerForm");
    ASSERT_NE(scanner, nullptr);
    TControlWalk& scannerWalk = Walk(scanner, "Scanner");
    for (int level : {0, 1, 2}) {
        MainQVTForm->SetAdminLevel(level);
        main.Look(QString("level %1").arg(level));
        scannerWalk.Look(QString("level %1").arg(level));
        WalkPages(scannerWalk, QString("level %1").arg(level));
    }
    for (const char* item : {"ScaleItem", "AutoOffsetItem"}) {
        QAction* action = MainQVTForm->MenuItem(item);
        ASSERT_NE(action, nullptr) << item;
        action->trigger();
    }
    for (QWidget* w : QApplication::topLevelWidgets()) {
        const QString name = QString(w->metaObject()->className()).remove("qvt::");
        if (!QString(w->metaObject()->className()).startsWith("qvt::") || kWalkedByGroup.contains(name))
            continue;
        TControlWalk& one = Walk(w, name);
        WalkCheckBoxes(one, "ticked");
    }
    Collect();
}

// On a type-29 controller: every window on every page, where its Parts give
// it other controls (the lock-in options' input coupling, the fast scan).
TEST_F(ControlWalkTest, EveryWindowOnATypeTwentyNineControllerKeepsEveryControlInReach)
{
    Create(29);
    for (QWidget* w : QApplication::topLevelWidgets())
        if (QString(w->metaObject()->className()).startsWith("qvt::"))
            Walk(w, QString(w->metaObject()->className()).remove("qvt::"));
    for (int level : {0, 2}) {
        MainQVTForm->SetAdminLevel(level);
        for (const auto& walk : walks_)
            walk->Look(QString("level %1").arg(level));
    }
    Collect();
}

} // namespace
