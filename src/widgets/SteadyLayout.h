#pragma once
// Controls stay where the operator's hand expects them: a widget that a state
// hides keeps its room, and a text that can grow long is cut short on screen
// instead of widening its window (the whole text is the tooltip).

#include <QLabel>

class QWidget;

namespace qvt {

// Hidden, the widget still takes its place in the layout.
void KeepPlaceWhenHidden(QWidget* widget);

// A one-line label whose width never follows its text: what does not fit ends
// in "…", and its tooltip then shows the whole text. text() is the whole text.
class TElidedLabel : public QLabel {
public:
    explicit TElidedLabel(QWidget* parent = nullptr);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    // The text as it is painted now.
    QString ShownText() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;

private:
    QRect TextRect() const;
};

} // namespace qvt
