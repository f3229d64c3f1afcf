#pragma once
// The numeric edit every window uses. Typing turns the field silver; Enter
// parses and applies the text and turns it white, or red when the text is no
// number or the value is refused; Esc brings back the stored value. Scripts,
// the command server and touch input set a text and press Enter the same way
// (Apply), so nothing here needs a real key.
//
// TEditState and ParseEditValue are the convention itself, free of widgets;
// TNumericEdit is the thin QLineEdit that shows it.

#include <QColor>
#include <QLineEdit>
#include <QString>

#include <functional>
#include <limits>

namespace qvt {

enum class EditColor {
    White,  // the value shown is the one applied
    Silver, // typed but not applied
    Red,    // the last Enter failed or the value was refused
};
QColor EditBackground(EditColor color);

enum class EditKey { Enter, Escape };

// How a typed number is read.
struct TNumberRules {
    double Min = -std::numeric_limits<double>::infinity();
    double Max = std::numeric_limits<double>::infinity();
    // "k", "M" or "m" after the number scale it by 1e3, 1e6 or 1e-3.
    bool Suffixes = false;
};

// "." or "," as decimal separator, the optional suffix, then limited to
// Min..Max. False (value untouched) when the text is no number.
bool ParseEditValue(const QString& text, const TNumberRules& rules, double& value);

// The colour of one edit and the text it last applied.
class TEditState {
public:
    EditColor Color() const { return color_; }
    // The operator typed: silver, unless a failed Enter still shows red.
    void Edited()
    {
        if (color_ != EditColor::Red)
            color_ = EditColor::Silver;
    }
    void Accepted(const QString& text)
    {
        color_ = EditColor::White;
        applied_ = text;
    }
    void Refused() { color_ = EditColor::Red; }
    void Restored() { color_ = EditColor::White; }
    void SetColor(EditColor color) { color_ = color; }
    const QString& AppliedText() const { return applied_; }

private:
    EditColor color_ = EditColor::White;
    QString applied_;
};

class TNumericEdit : public QLineEdit {
    Q_OBJECT

public:
    explicit TNumericEdit(const QString& objectName, QWidget* parent = nullptr);

    // The default Enter: the text is read by Rules and handed to OnValue,
    // which stores and applies it and returns false to refuse it.
    TNumberRules Rules;
    std::function<bool(double)> OnValue;
    // The default Esc re-displays through OnRestore, or puts back the text
    // last applied.
    std::function<void()> OnRestore;
    // A window's own handler for both keys replaces the defaults; it sets
    // the colour itself (MarkAccepted, MarkRefused, SetColor).
    std::function<void(EditKey)> OnKey;

    // What Enter or Esc does, without a key event.
    void PressKey(EditKey key);
    // Sets the text and presses Enter; true when the edit is white afterwards.
    bool Apply(const QString& text);

    EditColor Color() const { return state_.Color(); }
    void SetColor(EditColor color);
    // White, the current text remembered as applied.
    void MarkAccepted();
    void MarkRefused() { SetColor(EditColor::Red); }
    const TEditState& State() const { return state_; }

signals:
    void colorChanged(qvt::EditColor color);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void DefaultKey(EditKey key);
    void Paint();

    TEditState state_;
};

} // namespace qvt
