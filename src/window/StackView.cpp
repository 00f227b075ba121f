#include "window/StackView.h"

#include <QPainter>
#include <QPainterPath>

namespace tessaline {

StackView::StackView(int spacing, QMargins insets, QWidget *parent)
    : QWidget(parent), layout_(new StackLayout(this))
{
    layout_->setSpacing(spacing);
    layout_->setContentsMargins(insets);
}

void StackView::setBordered(bool on)
{
    bordered = on;
    update();
}

void StackView::paintEvent(QPaintEvent *event)
{
    QWidget::paintEvent(event);
    if (!bordered)
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(palette().color(QPalette::Mid), 1));
    painter.setBrush(Qt::NoBrush);
    // Half-pixel inset keeps the one-pixel line crisp and inside the widget.
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 8, 8);
}

} // namespace tessaline
