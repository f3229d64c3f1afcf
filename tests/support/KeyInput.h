#pragma once
// Keys as the operator types them: key events sent to the widget that has
// them, so its own handlers (Enter, arrows, the text it takes) run.

#include <QApplication>
#include <QKeyEvent>
#include <QString>
#include <QWidget>

namespace qvt::test {

inline void PressKey(QWidget* widget, int key, const QString& text = QString())
{
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
    QApplication::sendEvent(widget, &press);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, text);
    QApplication::sendEvent(widget, &release);
}

// Each character in turn, then Enter.
inline void TypeAndEnter(QWidget* widget, const QString& text)
{
    for (const QChar c : text)
        PressKey(widget, c.toUpper().unicode(), QString(c));
    PressKey(widget, Qt::Key_Return, "\r");
}

} // namespace qvt::test
