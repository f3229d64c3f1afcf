// What the operator sets in any window is there at the next start: one value
// changed in every window that keeps settings, every window moved, File >
// Exit, a new start, and each read back where the operator reads it.

#include "app/ProgramInProcess.h"

#include "calib/AutoOffsetForm.h"
#include "calib/ScaleADDAForm.h"
#include "calib/ScannerForm.h"
#include "calib/SlidForm.h"
#include "core/SharedState.h"
#include "images/ChildForm.h"
#include "images/ScaleForm.h"
#include "images/SetupForm.h"
#include "lockin/DncForm.h"
#include "lockin/LockInOptionForm.h"
#include "lockin/LockinForm.h"
#include "lockin/MultiLockInForm.h"
#include "lockin/MultiLockInOptionForm.h"
#include "lockin/Oszi2Form.h"
#include "lockin/Oszi2OptionForm.h"
#include "mainwindow/MiscForm.h"
#include "motion/CoarseForm.h"
#include "motion/CrosshairsForm.h"
#include "motion/JoystickForm.h"
#include "motion/MainFrameForm.h"
#include "navigator/SelForm.h"
#include "optics/CameraForm.h"
#include "optics/LEDForm.h"
#include "scan/FeedbackForm.h"
#include "scan/ScanParaForm.h"
#include "scan/SmartFeedbackForm.h"
#include "spectro/SpektForm.h"
#include "spectro/SpektOptionForm.h"
#include "view3d/A3DForm.h"
#include "widgets/NumericEdit.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMap>
#include <QRadioButton>
#include <QScreen>
#include <QScrollBar>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QToolButton>

using namespace qvt;
using namespace qvt::test;

namespace {

// ---- the operator's hands ----------------------------------------------------------------

// The control's window shown, and the page that holds it, as the operator
// sees it before using it.
void Show(QWidget* control)
{
    control->window()->show();
    QCoreApplication::processEvents();
    for (QWidget* w = control; w != nullptr && !w->isWindow(); w = w->parentWidget()) {
        auto* pages =
            qobject_cast<QTabWidget*>(w->parentWidget() != nullptr ? w->parentWidget()->parentWidget() : nullptr);
        if (pages != nullptr && pages->indexOf(w) >= 0 && pages->currentWidget() != w) {
            QTabBar* bar = pages->tabBar();
            QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(pages->indexOf(w)).center());
        }
    }
}

// By the keyboard: the same for a box, a radio button and a tool button.
void Click(QAbstractButton* button)
{
    ASSERT_NE(button, nullptr);
    Show(button);
    ASSERT_TRUE(button->isEnabled() && button->isVisible()) << button->text().toStdString();
    QTest::keyClick(button, Qt::Key_Space);
}

void Type(QLineEdit* edit, const QString& text)
{
    ASSERT_NE(edit, nullptr);
    Show(edit);
    ASSERT_TRUE(edit->isEnabled() && edit->isVisible()) << edit->objectName().toStdString();
    edit->setFocus();
    QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(edit, text);
    QTest::keyClick(edit, Qt::Key_Return);
}

// The next entry of a list, by the arrow key.
void NextEntry(QComboBox* box)
{
    ASSERT_NE(box, nullptr);
    Show(box);
    if (box->currentIndex() + 1 >= box->count())
        QTest::keyClick(box, Qt::Key_Home);
    else
        QTest::keyClick(box, Qt::Key_Down);
}

void NextPage(QTabWidget* pages)
{
    ASSERT_NE(pages, nullptr);
    Show(pages);
    QTabBar* bar = pages->tabBar();
    const int next = (pages->currentIndex() + 1) % pages->count();
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(next).center());
}

void PageStep(QScrollBar* bar)
{
    ASSERT_NE(bar, nullptr);
    Show(bar);
    QTest::keyClick(bar, bar->value() < bar->maximum() ? Qt::Key_PageDown : Qt::Key_PageUp);
}

template <class W> W* Named(QWidget* window, const char* name)
{
    return window != nullptr ? window->findChild<W*>(name) : nullptr;
}

template <class W> W* Captioned(QWidget* window, const char* text)
{
    if (window != nullptr)
        for (W* w : window->findChildren<W*>())
            if (w->text() == text)
                return w;
    return nullptr;
}

QString Checked(const QAbstractButton* b)
{
    return b == nullptr ? QString("none") : b->isChecked() ? "on" : "off";
}

QString Index(const QComboBox* b)
{
    return b == nullptr ? QString("none") : QString::number(b->currentIndex());
}

QString Text(const QLineEdit* e)
{
    return e == nullptr ? QString("none") : e->text();
}

QString Geometry(const QWidget* w)
{
    const QRect g = w->geometry();
    return QString("%1,%2 %3x%4").arg(g.x()).arg(g.y()).arg(g.width()).arg(g.height());
}

// One value the operator sets in a window: how it is set and where it is read.
struct TKeptValue {
    const char* What;
    std::function<void()> Set;
    std::function<QString()> Read;
};

// Windows made only when the operator asks for them.
void OpenOnDemandWindows()
{
    for (const char* item : {"AutoOffsetItem", "ScaleItem"})
        ProgramInProcess::Open(item);
}

std::vector<TKeptValue> KeptValues()
{
    return {
        {"main window: continuous scan", [] { Click(MainQVTForm->RepeatButton()); },
         [] { return Checked(MainQVTForm->RepeatButton()); }},
        {"main window: size",
         [] {
             MainQVTForm->resize(MainQVTForm->width() - 37, MainQVTForm->height() - 23);
             MainQVTForm->move(17, 13);
         },
         [] { return Geometry(MainQVTForm); }},
        {"main window: command server", [] { MainQVTForm->MenuItem("DDESever1")->trigger(); },
         [] { return QString(MainQVTForm->MenuItem("DDESever1")->isChecked() ? "on" : "off"); }},
        {"scanner: page", [] { NextPage(Named<QTabWidget>(ScannerForm, "PageControl1")); },
         [] { return QString::number(Named<QTabWidget>(ScannerForm, "PageControl1")->currentIndex()); }},
        {"high-speed: line delay", [] { Type(SmartFeedbackForm->Edit(4), "3"); },
         [] { return Text(SmartFeedbackForm->Edit(4)); }},
        {"high-speed: page", [] { NextPage(SmartFeedbackForm->Pages()); },
         [] { return QString::number(SmartFeedbackForm->Pages()->currentIndex()); }},
        {"parameter window: z edit 2", [] { Type(ScanParaForm->Edit("Edit2"), "120"); },
         [] { return Text(ScanParaForm->Edit("Edit2")); }},
        {"feedback: spring constant", [] { Type(Named<QLineEdit>(feedbackForm, "Edit1"), "2.5"); },
         [] { return Text(Named<QLineEdit>(feedbackForm, "Edit1")); }},
        {"parameter window: level",
         [] { Click(Captioned<QRadioButton>(Named<QWidget>(ScanParaForm, "LevelPage"), "fixed")); },
         [] { return Checked(Captioned<QRadioButton>(Named<QWidget>(ScanParaForm, "LevelPage"), "fixed")); }},
        {"fast z: Kp", [] { Type(Named<QLineEdit>(ScanParaForm, "Edit17"), "0.27"); },
         [] { return Text(Named<QLineEdit>(ScanParaForm, "Edit17")); }},
        {"resonance: roll-off", [] { NextEntry(Named<QComboBox>(dncForm, "ComboBox3")); },
         [] { return Index(Named<QComboBox>(dncForm, "ComboBox3")); }},
        {"lock-in options: show phase", [] { Click(Named<QCheckBox>(LockInOptionForm, "CheckBoxPhase")); },
         [] { return Checked(Named<QCheckBox>(LockInOptionForm, "CheckBoxPhase")); }},
        {"multi lock-in: spectrum view", [] { Click(Named<QAbstractButton>(MultiLockInForm, "SpektraRadioBtn")); },
         [] { return Checked(Named<QAbstractButton>(MultiLockInForm, "NumbersRadioBtn")); }},
        {"multi lock-in options: numbered", [] { Click(Captioned<QCheckBox>(MultiLockInOptionForm, "save numbered")); },
         [] { return Checked(Captioned<QCheckBox>(MultiLockInOptionForm, "save numbered")); }},
        {"oscilloscope: channel", [] { NextEntry(Named<QComboBox>(Oszi2Form, "ComboBox1")); },
         [] { return Index(Named<QComboBox>(Oszi2Form, "ComboBox1")); }},
        {"oscilloscope: scale mode", [] { Click(Named<QAbstractButton>(Oszi2Form, "RadioButton2")); },
         [] { return Checked(Named<QAbstractButton>(Oszi2Form, "RadioButton2")); }},
        {"oscilloscope: offset", [] { PageStep(Named<QScrollBar>(Oszi2Form, "ScrollBar1")); },
         [] { return QString::number(Named<QScrollBar>(Oszi2Form, "ScrollBar1")->value()); }},
        {"oscilloscope options: long term", [] { Click(Captioned<QCheckBox>(Oszi2OptionForm, "Long term data")); },
         [] { return Checked(Captioned<QCheckBox>(Oszi2OptionForm, "Long term data")); }},
        {"spectroscopy: kind", [] { NextEntry(SpektForm->ComboBox1); }, [] { return Index(SpektForm->ComboBox1); }},
        {"spectroscopy options: view", [] { NextEntry(SpektOptionForm->ComboBox3); },
         [] { return Index(SpektOptionForm->ComboBox3); }},
        {"misc: coarse retract", [] { Click(Captioned<QCheckBox>(MiscForm, "Coarse Retract")); },
         [] { return Checked(Captioned<QCheckBox>(MiscForm, "Coarse Retract")); }},
        {"landing: edit 1", [] { Type(MainFrameForm->Edit(1), "7"); }, [] { return Text(MainFrameForm->Edit(1)); }},
        {"crosshairs options: values", [] { Click(Named<QCheckBox>(CrosshairsOptionForm, "ShowValsCheckbox")); },
         [] { return Checked(Named<QCheckBox>(CrosshairsOptionForm, "ShowValsCheckbox")); }},
        {"sliders: zoom", [] { Click(SlidForm->ZoomButton(1, 1)); },
         [] { return Checked(SlidForm->ZoomButton(1, 1)); }},
        {"sliders: DA1", [] { Type(SlidForm->Edit(1), "0.5"); }, [] { return Text(SlidForm->Edit(1)); }},
        {"LEDs: brightness",
         [] {
             for (int i = 1; i <= 3; ++i)
                 if (!LEDForm->ScrollBar(i)->isHidden())
                     return PageStep(LEDForm->ScrollBar(i));
         },
         [] {
             QString values;
             for (int i = 1; i <= 3; ++i)
                 values += QString::number(LEDForm->ScrollBar(i)->value()) + " ";
             return values;
         }},
        {"camera: driver",
         [] {
             Show(CameraForm); // lists the drivers
             ASSERT_FALSE(CameraForm->DriverItems().isEmpty());
             CameraForm->DriverItems().value(0)->trigger();
         },
         [] { return QString::number(CameraForm->CameraOption); }},
        {"3D view: toolbar", [] { A3DForm->findChild<QAction*>("HideToolbarItem")->trigger(); },
         [] { return QString(A3DForm->ToolbarShown() ? "shown" : "hidden"); }},
        {"3D view: size", [] { A3DForm->resize(A3DForm->width() - 31, A3DForm->height() - 19); },
         [] { return QString("%1x%2").arg(A3DForm->width()).arg(A3DForm->height()); }},
        {"AD/DA calibration: test channel", [] { NextEntry(ScaleADDAForm->findChild<QComboBox*>()); },
         [] {
             Show(ScaleADDAForm); // fills its lists
             return Index(ScaleADDAForm->findChild<QComboBox*>());
         }},
        {"image window: slope",
         [] {
             ASSERT_FALSE(MainQVTForm->ImageWindows().isEmpty());
             MainQVTForm->ImageWindows().value(0)->findChild<QAction*>("SlopeLastPictureItem")->trigger();
         },
         [] {
             const QList<TChildForm*> windows = MainQVTForm->ImageWindows();
             return windows.isEmpty()
                        ? QString("none")
                        : windows[0]->windowTitle() + " " +
                              (windows[0]->findChild<QAction*>("SlopeLastPictureItem")->isChecked() ? "on" : "off");
         }},
        {"scale table: height", [] { ScaleForm->resize(ScaleForm->width(), ScaleForm->height() - 29); },
         [] { return QString::number(ScaleForm->height()); }},
        // Last of all, after the tool windows opened above: their buttons say so.
        {"main window: tool buttons", [] { Click(MainQVTForm->Button("SelButton")); },
         [] {
             QString downs;
             for (const char* name : {"SpectButton", "CoarseButton", "Crosshairsbutton", "dncButton", "SelButton",
                                      "Oszi2Button", "SlidButton", "LockinButton", "FastSpeedButton", "CameraButton"})
                 if (QAbstractButton* b = MainQVTForm->Button(name); b != nullptr && b->isChecked())
                     downs += QString(name) + " ";
             return downs;
         }},
    };
}

// Every window that keeps its place, by object name.
QList<QWidget*> PlacedWindows()
{
    // These keep no place of their own, or are placed by their owner.
    QStringList unplaced = {"MainQVTForm", "AboutQVTBox", "HistoryBox", "PowerDownForm",
                            "DDEForm",     "ChildForm",   "AdminForm"};
    // Without a fast scan the high-speed window has no role and is never placed.
    if (!MainQVTForm->MenuItem("HighSpeedItem")->isVisible())
        unplaced << "SmartFeedbackForm";
    QList<QWidget*> windows;
    for (QWidget* w : QApplication::allWidgets()) {
        const QByteArray kind = w->metaObject()->className();
        if (w->isWindow() && kind.startsWith("qvt::T") && !w->objectName().isEmpty() &&
            !unplaced.contains(w->objectName()))
            windows << w;
    }
    std::sort(windows.begin(), windows.end(),
              [](const QWidget* a, const QWidget* b) { return a->objectName() < b->objectName(); });
    return windows;
}

// The windows a controller of another kind or a machine without the landing
// panel does not have.
bool Present(const TKeptValue& value)
{
    const QString what = value.What;
    if (what.startsWith("high-speed"))
        return MainQVTForm->MenuItem("HighSpeedItem")->isVisible();
    if (what.startsWith("fast z")) {
        const QTabWidget* pages = ScanParaForm->PageControl();
        return pages->isTabVisible(pages->indexOf(Named<QWidget>(ScanParaForm, "FastZPage")));
    }
    if (what.startsWith("landing"))
        return MainFrameForm != nullptr;
    if (what.startsWith("multi lock-in"))
        return MultiLockInPresent;
    if (what.startsWith("second lock-in"))
        return LockinForm->DeviceOpen();
    return true;
}

class KeptAcrossRestart : public ProgramInProcess {
protected:
    // Sets every value and moves every window, exits by File > Exit, starts
    // again and reads them all back.
    void SetExitStartAndReadBack()
    {
        QMap<QString, QString> set;
        QMap<QString, QString> places;
        Run([&] {
            OpenOnDemandWindows();
            for (const TKeptValue& v : KeptValues()) {
                if (!Present(v))
                    continue;
                SCOPED_TRACE(v.What);
                const QString before = v.Read();
                v.Set();
                set[v.What] = v.Read();
                EXPECT_NE(set[v.What].toStdString(), before.toStdString()) << "the operator's change did not take";
            }
            // Each window somewhere else, wholly on the screen, so none is
            // moved back onto it.
            int i = 0;
            const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
            for (QWidget* w : PlacedWindows()) {
                // One larger than the screen has only the place the screen gives it.
                if (w->frameGeometry().width() >= screen.width() || w->frameGeometry().height() >= screen.height())
                    continue;
                w->move(std::max(0, std::min(40 + 13 * i, screen.right() - w->frameGeometry().width())),
                        std::max(0, std::min(20 + 3 * i, screen.bottom() - w->frameGeometry().height())));
                places[w->objectName()] = QString("%1,%2").arg(w->x()).arg(w->y());
                ++i;
            }
            Open("FileExitItem");
        });
        ASSERT_GT(places.size(), 15);

        InstallShutdownOnSignals(); // armed afresh for the second run
        Run([&] {
            OpenOnDemandWindows();
            for (const TKeptValue& v : KeptValues())
                if (Present(v))
                    EXPECT_EQ(v.Read().toStdString(), set[v.What].toStdString()) << v.What;
            QMap<QString, QString> placesNow;
            for (QWidget* w : PlacedWindows())
                placesNow[w->objectName()] = QString("%1,%2").arg(w->x()).arg(w->y());
            for (auto it = places.cbegin(); it != places.cend(); ++it)
                EXPECT_EQ(placesNow.value(it.key()).toStdString(), it.value().toStdString()) << it.key().toStdString();
            Open("FileExitItem");
        });
        EXPECT_GT(set.size(), 20);
    }
};

} // namespace

TEST_F(KeptAcrossRestart, EveryWindowOfATypeTwentyNineControllerWithItsLandingPanel)
{
    // The high-speed window and the landing panel are there too.
    dir_.WriteFile("ini/sim.ini",
                   dir_.ReadFile("ini/sim.ini").replace("Type=26", "Type=29").replace("\nAttached=0", "\nAttached=1"));
    dir_.WriteFile("ini/qvt.ini",
                   dir_.ReadFile("ini/qvt.ini").replace("[Main]", "[Software]\r\nMainFrame=1\r\n\r\n[Main]"));
    SetExitStartAndReadBack();
}

TEST_F(KeptAcrossRestart, EveryWindowOfAControllerWithTheSecondLockIn)
{
    // No multi lock-in: the second lock-in window drives its own device.
    dir_.WriteFile("ini/sim.ini", dir_.ReadFile("ini/sim.ini").replace("Type=26", "Type=25"));
    SetExitStartAndReadBack();
}
