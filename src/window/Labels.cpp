#include "window/Labels.h"
#include "window/MainWindowController.h"

#include <QFont>
#include <QLabel>
#include <QPalette>

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
