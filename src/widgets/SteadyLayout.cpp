#include "widgets/SteadyLayout.h"

#include <QEvent>
#include <QHelpEvent>
#include <QPainter>
#include <QStyle>
#include <QToolTip>

namespace qvt {

void KeepPlaceWhenHidden(QWidget* widget)
{
    QSizePolicy policy = widget->sizePolicy();
    policy.setRetainSizeWhenHidden(true);
    widget->setSizePolicy(policy);
}

TElidedLabel::TElidedLabel(QWidget* parent) : QLabel(parent)
{
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
}

QSize TElidedLabel::sizeHint() const
{
    return minimumSizeHint();
}

QSize TElidedLabel::minimumSizeHint() const
{
    // One line high, and as narrow as an ellipsis: the layout gives the width.
    const int frame = 2 * (frameWidth() + margin());
    return {fontMetrics().horizontalAdvance(QStringLiteral("…")) + frame, fontMetrics().height() + frame};
}

QRect TElidedLabel::TextRect() const
{
    const int m = margin();
    return contentsRect().adjusted(m, m, -m, -m);
}

QString TElidedLabel::ShownText() const
{
    return fontMetrics().elidedText(text(), Qt::ElideRight, TextRect().width());
}

void TElidedLabel::paintEvent(QPaintEvent* /*event*/)
{
    QPainter painter(this);
    drawFrame(&painter);
    style()->drawItemText(&painter, TextRect(), QStyle::visualAlignment(layoutDirection(), alignment()).toInt(),
                          palette(), isEnabled(), ShownText(), foregroundRole());
}

bool TElidedLabel::event(QEvent* event)
{
    if (event->type() == QEvent::ToolTip && toolTip().isEmpty()) {
        auto* help = static_cast<QHelpEvent*>(event);
        if (ShownText() != text())
            QToolTip::showText(help->globalPos(), text(), this);
        else
            QToolTip::hideText();
        return true;
    }
    return QLabel::event(event);
}

} // namespace qvt
