#pragma once
// Where the operator's hand finds a window's controls: each visible, enabled
// control is the widget at its own centre, and it stays where it was while the
// window changes its state (kinds, pages, modes, levels).

#include <QHash>
#include <QList>
#include <QPointer>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <vector>

namespace qvt::test {

// Buttons, check boxes, edits, combos, spin boxes, sliders and item views.
bool IsClickable(const QWidget* w);
// The visible, enabled controls of a window, without the parts of a control
// (a combo's edit, a view's viewport).
QList<QWidget*> ClickableControls(QWidget* top);
// The widget a click at the control's centre reaches (null outside its window);
// a check box's or radio button's centre is that of its box and caption.
QWidget* WidgetAtCentre(QWidget* control);
// A click at the control's centre, delivered to whatever lies there, as the
// operator's mouse does.
void ClickAtCentre(QWidget* control, Qt::KeyboardModifiers modifiers = {});
// Class, name and caption, for a finding.
QString Describe(const QWidget* w);
// Lets a shown window lay itself out.
void Settle();

class TControlWalk {
public:
    // `shotDir`: where every look is also saved as <window>-<state>.png (none
    // when empty; QVT_WALK_SHOTS names it for the walk's tests).
    explicit TControlWalk(QWidget* top, QString window);

    // Checks the window in its present state: every control reachable at its
    // centre, and every control seen before still where it was first seen.
    void Look(const QString& state);
    // The state shown next moves these controls by design: they are measured
    // again from the next look on.
    void Remeasure(const QList<QWidget*>& controls);
    void RemeasureAll();

    QWidget* Top() const { return top_; }
    const QString& Window() const { return window_; }
    QStringList Findings;

private:
    QPointer<QWidget> top_;
    QString window_;
    QString lastState_;
    // A control, or one tab of a tab bar (`part` holds its text).
    struct Seen {
        QPointer<QWidget> control;
        QString part;
        QRect at;
        QString state;
    };
    void Place(QWidget* control, const QString& part, const QString& what, const QRect& now, const QString& state);
    std::vector<Seen> seen_;
};

// Findings that match one of `excluded` ("Window [state]" prefixes or any
// part of the text) are dropped; what is left is returned.
QStringList Unexcused(const QStringList& findings, const QStringList& excluded);

} // namespace qvt::test
