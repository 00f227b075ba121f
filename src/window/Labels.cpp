#include "window/Labels.h"
#include "window/MainWindowController.h"

#include <QFont>
#include <QLabel>
#include <QPainter>
#include <QPalette>
#include <QTextLayout>

#include <algorithm>

namespace tessaline {

WrapLabel::WrapLabel(QWidget *parent) : QLabel(parent)
{
    setWordWrap(true);
    setTextFormat(Qt::PlainText);
}

QSize WrapLabel::sizeHint() const
{
    const QMargins m = contentsMargins();
    const int extra = m.left() + m.right() + 2 * margin();
    int width = 0;
    const QFontMetrics metrics(font());
    for (const QString &line : text().split(QLatin1Char('\n')))
        width = std::max(width, metrics.horizontalAdvance(line));
    width += extra + 1; // rounding of fractional advances must not wrap the last word
    width = std::min(width, maximumWidth());
    return {width, heightForWidth(width)};
}

int WrapLabel::heightForWidth(int width) const
{
    const int full = QLabel::heightForWidth(width);
    if (maxLines <= 0)
        return full;
    const QMargins m = contentsMargins();
    const int capped = QFontMetrics(font()).lineSpacing() * maxLines + m.top() + m.bottom() + 2 * margin();
    return std::min(full, capped);
}

void WrapLabel::setMaximumLineCount(int lines)
{
    maxLines = lines;
    updateGeometry();
    update();
}

void WrapLabel::paintEvent(QPaintEvent *event)
{
    const QRect area = contentsRect().marginsRemoved(QMargins(margin(), margin(), margin(), margin()));
    QString shown = text();
    shown.replace(QLatin1Char('\n'), QChar::LineSeparator);
    QTextLayout layout(shown, font());
    QTextOption option;
    option.setWrapMode(QTextOption::WordWrap);
    layout.setTextOption(option);
    layout.beginLayout();
    QList<QTextLine> lines;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(area.width());
        lines.append(line);
    }
    layout.endLayout();

    const bool truncated = maxLines > 0 && lines.size() > maxLines;
    const QString tip = truncated ? text() : QString();
    if (toolTip() != tip)
        setToolTip(tip);
    if (!truncated) {
        QLabel::paintEvent(event);
        return;
    }

    QPainter painter(this);
    painter.setPen(palette().color(foregroundRole()));
    painter.setFont(font());
    const QFontMetrics metrics(font());
    qreal y = area.top();
    for (int i = 0; i < maxLines; ++i) {
        if (i + 1 < maxLines) {
            lines[i].draw(&painter, QPointF(area.left(), y - lines[i].y()));
        } else {
            QString rest = shown.mid(lines[i].textStart());
            rest.replace(QChar::LineSeparator, QLatin1Char(' '));
            painter.drawText(QPointF(area.left(), y + metrics.ascent()),
                             metrics.elidedText(rest, Qt::ElideRight, area.width()));
        }
        y += metrics.lineSpacing();
    }
}

void applyFont(QWidget *widget, qreal points, FontWeight weight)
{
    QFont font = widget->font();
    font.setPixelSize(qRound(points));
    switch (weight) {
    case FontWeight::Regular: font.setWeight(QFont::Normal); break;
    case FontWeight::Semibold: font.setWeight(QFont::DemiBold); break;
    case FontWeight::Bold: font.setWeight(QFont::Bold); break;
    }
    widget->setFont(font);
}

void applyColor(QWidget *widget, TextColor color)
{
    switch (color) {
    case TextColor::Label: widget->setForegroundRole(QPalette::WindowText); break;
    case TextColor::Secondary: widget->setForegroundRole(QPalette::PlaceholderText); break;
    // The faintest text we show, as light as a separator line.
    case TextColor::Tertiary: widget->setForegroundRole(QPalette::Mid); break;
    case TextColor::Accent: widget->setForegroundRole(QPalette::Highlight); break;
    }
}

QLabel *MainWindowController::makeLabel(const QString &text, qreal points, FontWeight weight,
                                        TextColor color)
{
    // Much of what we show comes from the helper, the check service or the clipboard:
    // never let it be read as markup (WrapLabel is plain text).
    auto *label = new WrapLabel;
    label->setText(text);
    label->setTextInteractionFlags(Qt::NoTextInteraction);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    applyFont(label, points, weight);
    applyColor(label, color);
    return label;
}

QLabel *MainWindowController::heading(const QString &text)
{
    // QString::toUpper applies the full Unicode mapping ("ß" becomes "SS"), independent of locale.
    return makeLabel(text.toUpper(), 11, FontWeight::Semibold, TextColor::Secondary);
}

} // namespace tessaline
