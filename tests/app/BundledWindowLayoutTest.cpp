// Every window of the bundled program, on every page, as the operator sees
// it: no control lies under another, so each can be clicked and read.

#include "app/BundledProgram.h"
#include "core/IniFile.h"
#include "device/InOutForm.h"
#include "mainwindow/MainQVTForm.h"
#include "platform/MessageBoxes.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAbstractSlider>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QTabBar>
#include <QTabWidget>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

using namespace qvt;

namespace {

bool IsControl(const QWidget* w)
{
    if (qobject_cast<const QLabel*>(w) != nullptr)
        return !static_cast<const QLabel*>(w)->text().trimmed().isEmpty();
    return qobject_cast<const QAbstractButton*>(w) != nullptr || qobject_cast<const QLineEdit*>(w) != nullptr ||
           qobject_cast<const QComboBox*>(w) != nullptr || qobject_cast<const QAbstractSpinBox*>(w) != nullptr ||
           qobject_cast<const QAbstractSlider*>(w) != nullptr;
}

QString Name(const QWidget* w)
{
    QString text;
    if (auto* l = qobject_cast<const QLabel*>(w))
        text = l->text();
    else if (auto* b = qobject_cast<const QAbstractButton*>(w))
        text = b->text();
    return QString("%1 %2 \"%3\"").arg(w->metaObject()->className(), w->objectName(), text.left(20));
}

// Where a control shows itself: a label only as far as its text reaches
// (its box may run on under the next column's controls).
QRect Extent(const QWidget* w)
{
    QRect r = w->geometry();
    if (auto* l = qobject_cast<const QLabel*>(w); l != nullptr && l->textFormat() != Qt::RichText &&
                                                  (l->alignment() & Qt::AlignHorizontal_Mask) == Qt::AlignLeft) {
        const int margin = l->margin() + l->indent() + l->frameWidth();
        r.setWidth(std::min(r.width(), l->fontMetrics().horizontalAdvance(l->text()) + 2 * margin));
    }
    return r;
}

// Pairs of visible controls under one parent whose rectangles overlap.
QStringList Overlaps(QWidget* top)
{
    QStringList found;
    QList<QWidget*> parents = top->findChildren<QWidget*>();
    parents << top;
    for (QWidget* parent : parents) {
        QList<QWidget*> controls;
        for (QObject* o : parent->children()) {
            auto* w = qobject_cast<QWidget*>(o);
            // A tab bar's scroll buttons are Qt's own, one beside the other.
            if (w != nullptr && !w->isWindow() && w->isVisible() && IsControl(w) &&
                qobject_cast<QTabBar*>(parent) == nullptr)
                controls << w;
        }
        for (int i = 0; i < controls.size(); ++i)
            for (int j = i + 1; j < controls.size(); ++j)
                if (Extent(controls[i]).intersects(Extent(controls[j])))
                    found << top->objectName() + ": " + Name(controls[i]) + " / " + Name(controls[j]);
    }
    return found;
}

QStringList CheckAllPages(QWidget* top)
{
    QStringList found = Overlaps(top);
    for (QTabWidget* tabs : top->findChildren<QTabWidget*>()) {
        if (!tabs->isVisible())
            continue;
        const int current = tabs->currentIndex();
        for (int i = 0; i < tabs->count(); ++i) {
            if (!tabs->isTabVisible(i))
                continue;
            tabs->setCurrentIndex(i);
            QCoreApplication::processEvents();
            found << Overlaps(top);
        }
        tabs->setCurrentIndex(current);
    }
    found.removeDuplicates();
    return found;
}

void CheckEveryWindow(int controllerType)
{
    test::BundledProgram program;
    ASSERT_TRUE(program.Copied);
    if (controllerType != 0) {
        TQVTIniFile sim(program.Dir.Path() + "ini/sim.ini");
        sim.WriteInteger("Controller", "Type", controllerType);
    }
    ScriptedMessageResponder boxes;
    ASSERT_TRUE(program.Create());
    MainQVTForm->SetAdminLevel(2);
    QStringList found;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        // The 3D view needs OpenGL and the camera window a video source; menus are not windows here.
        if (w->objectName().isEmpty() || w->objectName() == "A3DForm" || w->objectName() == "CameraForm" ||
            qobject_cast<QMenu*>(w) != nullptr)
            continue;
        w->show();
        QCoreApplication::processEvents();
        found << CheckAllPages(w);
    }
    EXPECT_TRUE(found.isEmpty()) << found.join("\n").toStdString();
    MainQVTForm->close();
    DestroyAllForms();
}

} // namespace

TEST(BundledWindowLayout, NoControlLiesUnderAnotherOnAnyPage)
{
    CheckEveryWindow(0);
}

TEST(BundledWindowLayout, NoControlLiesUnderAnotherOnATypeTwentyNineController)
{
    CheckEveryWindow(29);
}
