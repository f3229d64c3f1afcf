#include "widgets/NumericEdit.h"

#include "core/NumberText.h"

#include <QKeyEvent>
#include <QPalette>

#include <algorithm>
#include <exception>

namespace qvt {

QColor EditBackground(EditColor color)
{
    switch (color) {
    case EditColor::Silver:
        return QColor(192, 192, 192);
    case EditColor::Red:
        return QColor(255, 0, 0);
    case EditColor::White:
        break;
    }
    return QColor(255, 255, 255);
}

bool ParseEditValue(const QString& text, const TNumberRules& rules, double& value)
{
    QString number = text.trimmed();
    double scale = 1.0;
    if (rules.Suffixes && !number.isEmpty()) {
        const QChar last = number.back();
        if (last == 'k')
            scale = 1e3;
        else if (last == 'M')
            scale = 1e6;
        else if (last == 'm')
            scale = 1e-3;
        if (scale != 1.0)
            number.chop(1);
    }
    double parsed = 0.0;
    if (!ParseNumber(number, parsed))
        return false;
    value = std::clamp(parsed * scale, rules.Min, rules.Max);
    return true;
}

TNumericEdit::TNumericEdit(const QString& objectName, QWidget* parent) : QLineEdit(parent)
{
    setObjectName(objectName);
    connect(this, &QLineEdit::textEdited, this, [this] {
        TEditState typed = state_;
        typed.Edited();
        SetColor(typed.Color());
    });
    Paint();
}

void TNumericEdit::PressKey(EditKey key)
{
    if (OnKey)
        OnKey(key);
    else
        DefaultKey(key);
}

bool TNumericEdit::Apply(const QString& text)
{
    setText(text);
    PressKey(EditKey::Enter);
    return Color() == EditColor::White;
}

void TNumericEdit::DefaultKey(EditKey key)
{
    if (key == EditKey::Escape) {
        if (OnRestore)
            OnRestore();
        else
            setText(state_.AppliedText());
        SetColor(EditColor::White);
        return;
    }
    double value = 0.0;
    bool accepted = false;
    try {
        accepted = ParseEditValue(text(), Rules, value) && (!OnValue || OnValue(value));
    } catch (const std::exception&) {
        accepted = false;
    }
    if (accepted)
        MarkAccepted();
    else
        MarkRefused();
}

void TNumericEdit::SetColor(EditColor color)
{
    const EditColor before = state_.Color();
    state_.SetColor(color);
    Paint();
    if (before != color)
        emit colorChanged(color);
}

void TNumericEdit::MarkAccepted()
{
    const EditColor before = state_.Color();
    state_.Accepted(text());
    Paint();
    if (before != EditColor::White)
        emit colorChanged(EditColor::White);
}

void TNumericEdit::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        PressKey(EditKey::Enter);
        event->accept();
        return;
    case Qt::Key_Escape:
        PressKey(EditKey::Escape);
        event->accept();
        return;
    default:
        QLineEdit::keyPressEvent(event);
    }
}

void TNumericEdit::Paint()
{
    QPalette p = palette();
    p.setColor(QPalette::Base, EditBackground(state_.Color()));
    setPalette(p);
}

} // namespace qvt
