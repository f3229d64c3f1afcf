#pragma once
// What the operator does in a lock-in window's edit, and what it shows.

#include <QLineEdit>
#include <QTest>

namespace qvt::test {

// Everything selected and typed over (an empty text clears it), then Enter.
inline void TypeEnter(QLineEdit* edit, const QString& text)
{
    edit->selectAll();
    if (text.isEmpty())
        QTest::keyClick(edit, Qt::Key_Backspace);
    else
        QTest::keyClicks(edit, text);
    QTest::keyClick(edit, Qt::Key_Return);
}

// The windows colour a refused edit red.
inline bool IsRed(const QWidget* w)
{
    return w->styleSheet().contains("red");
}

} // namespace qvt::test
