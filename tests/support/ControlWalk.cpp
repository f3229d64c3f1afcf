#include "support/ControlWalk.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAbstractScrollArea>
#include <QAbstractSlider>
#include <QAbstractSpinBox>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QRegularExpression>
#include <QStyle>
#include <QTabBar>
#include <QTest>
#include <QTextEdit>

#include <gtest/gtest.h>

namespace qvt::test {

bool IsClickable(const QWidget* w)
{
    return qobject_cast<const QAbstractButton*>(w) != nullptr || qobject_cast<const QLineEdit*>(w) != nullptr ||
           qobject_cast<const QComboBox*>(w) != nullptr || qobject_cast<const QAbstractSpinBox*>(w) != nullptr ||
           qobject_cast<const QAbstractSlider*>(w) != nullptr || qobject_cast<const QAbstractItemView*>(w) != nullptr ||
           qobject_cast<const QPlainTextEdit*>(w) != nullptr || qobject_cast<const QTextEdit*>(w) != nullptr;
}

namespace {
// A control scrolled out of its view is not shown: the operator scrolls to it.
bool ScrolledAway(const QWidget* control)
{
    for (const QWidget* w = control; w->parentWidget() != nullptr && !w->isWindow(); w = w->parentWidget()) {
        auto* area = qobject_cast<const QAbstractScrollArea*>(w->parentWidget());
        if (area != nullptr && area->viewport() == w)
            return !w->rect().contains(control->mapTo(w, control->rect().center()));
    }
    return false;
}

void Collect(QWidget* parent, QWidget* top, QList<QWidget*>& found)
{
    for (QObject* o : parent->children()) {
        auto* w = qobject_cast<QWidget*>(o);
        if (w == nullptr || w->isWindow() || !w->isVisibleTo(top))
            continue;
        // A tab bar's scroll arrows and the menu bar's own buttons are Qt's.
        if (qobject_cast<QTabBar*>(w) != nullptr || qobject_cast<QMenuBar*>(w) != nullptr)
            continue;
        if (!IsClickable(w)) {
            Collect(w, top, found);
            continue;
        }
        if (w->isEnabled() && w->width() > 0 && w->height() > 0 && !ScrolledAway(w))
            found << w;
    }
}

// A check box or radio button takes clicks on its box and caption only; its
// widget may run on beyond them, where a click does nothing.
QPoint HotSpot(const QWidget* control)
{
    const bool radio = qobject_cast<const QRadioButton*>(control) != nullptr;
    if (!radio && qobject_cast<const QCheckBox*>(control) == nullptr)
        return control->rect().center();
    const QStyle* style = control->style();
    const int box =
        style->pixelMetric(radio ? QStyle::PM_ExclusiveIndicatorWidth : QStyle::PM_IndicatorWidth, nullptr, control);
    const QString text = static_cast<const QAbstractButton*>(control)->text().remove('&');
    const int caption = text.isEmpty() ? 0
                                       : style->pixelMetric(radio ? QStyle::PM_RadioButtonLabelSpacing
                                                                  : QStyle::PM_CheckBoxLabelSpacing,
                                                            nullptr, control) +
                                             control->fontMetrics().horizontalAdvance(text);
    return QPoint(std::min(control->width(), box + caption) / 2, control->height() / 2);
}

QPoint CentreInWindow(const QWidget* control)
{
    return control->mapTo(control->window(), HotSpot(control));
}

QRect InWindow(const QWidget* control)
{
    return QRect(control->mapTo(control->window(), QPoint(0, 0)), control->size());
}

QString RectText(const QRect& r)
{
    return QString("%1,%2 %3x%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
}

QString FileNamePart(QString s)
{
    return s.replace(QRegularExpression("[^A-Za-z0-9_.=+-]+"), "_");
}
} // namespace

QList<QWidget*> ClickableControls(QWidget* top)
{
    QList<QWidget*> found;
    Collect(top, top, found);
    return found;
}

QWidget* WidgetAtCentre(QWidget* control)
{
    QWidget* top = control->window();
    const QPoint p = CentreInWindow(control);
    if (!top->rect().contains(p))
        return nullptr;
    return top->childAt(p);
}

void ClickAtCentre(QWidget* control, Qt::KeyboardModifiers modifiers)
{
    QWidget* at = WidgetAtCentre(control);
    if (at == nullptr) {
        ADD_FAILURE() << "nothing to click at the centre of " << Describe(control).toStdString();
        return;
    }
    const QPoint p = at->mapFrom(control->window(), CentreInWindow(control));
    QTest::mouseClick(at, Qt::LeftButton, modifiers, p);
}

QString Describe(const QWidget* w)
{
    QString text;
    if (auto* b = qobject_cast<const QAbstractButton*>(w))
        text = b->text();
    else if (auto* c = qobject_cast<const QComboBox*>(w))
        text = c->currentText();
    else if (auto* e = qobject_cast<const QLineEdit*>(w))
        text = e->text();
    QString name = w->objectName();
    if (name.isEmpty() && w->parentWidget() != nullptr && !w->parentWidget()->objectName().isEmpty())
        name = "in " + w->parentWidget()->objectName();
    return QString("%1 %2 \"%3\" at %4").arg(w->metaObject()->className(), name, text.left(24), RectText(InWindow(w)));
}

void Settle()
{
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }
}

TControlWalk::TControlWalk(QWidget* top, QString window) : top_(top), window_(std::move(window)) {}

void TControlWalk::Look(const QString& state)
{
    if (top_ == nullptr) {
        Findings << window_ + " [" + state + "]: the window is gone";
        return;
    }
    Settle();
    if (const QString dir = qEnvironmentVariable("QVT_WALK_SHOTS"); !dir.isEmpty()) {
        QDir().mkpath(dir);
        top_->grab().save(dir + "/" + FileNamePart(window_) + "-" + FileNamePart(state) + ".png");
    }
    const QString where = window_ + " [" + state + "]: ";
    for (QWidget* c : ClickableControls(top_)) {
        QWidget* at = WidgetAtCentre(c);
        if (at != c && !c->isAncestorOf(at))
            Findings << where + Describe(c) + " is covered by " +
                            (at != nullptr ? Describe(at) : QString("nothing: its centre is outside the window"));
        Place(c, QString(), Describe(c), InWindow(c), state);
    }
    // A tab that moves when another comes or goes takes the click meant for it.
    for (QTabBar* bar : top_->findChildren<QTabBar*>()) {
        if (!bar->isVisibleTo(top_))
            continue;
        for (int i = 0; i < bar->count(); ++i)
            if (bar->isTabVisible(i))
                Place(bar, bar->tabText(i), "tab \"" + bar->tabText(i) + "\"",
                      bar->tabRect(i).translated(bar->mapTo(top_, QPoint(0, 0))), state);
    }
    lastState_ = state;
}

void TControlWalk::Place(QWidget* control, const QString& part, const QString& what, const QRect& now,
                         const QString& state)
{
    auto seen =
        std::find_if(seen_.begin(), seen_.end(), [&](const Seen& s) { return s.control == control && s.part == part; });
    if (seen == seen_.end())
        seen_.push_back({control, part, now, state});
    else if (seen->at != now)
        Findings << window_ + " [" + state + "]: " + what + " moved to " + RectText(now) + "; it was at " +
                        RectText(seen->at) + " in [" + seen->state + "]";
}

void TControlWalk::Remeasure(const QList<QWidget*>& controls)
{
    std::erase_if(seen_, [&controls](const Seen& s) { return s.control == nullptr || controls.contains(s.control); });
}

void TControlWalk::RemeasureAll()
{
    seen_.clear();
}

QStringList Unexcused(const QStringList& findings, const QStringList& excluded)
{
    QStringList left;
    for (const QString& f : findings)
        if (std::none_of(excluded.begin(), excluded.end(), [&f](const QString& e) { return f.contains(e); }))
            left << f;
    return left;
}

} // namespace qvt::test
