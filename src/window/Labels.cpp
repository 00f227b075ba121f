#include "window/Labels.h"
#include "window/MainWindowController.h"

#include <QFont>
#include <QLabel>
#include <QPalette>

namespace tessaline {

void applyFont(QWidget *widget, qreal points, FontWeight weight)
{
    QFont font = widget->font();
    font.setPointSizeF(points);
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
    auto *label = new QLabel;
    // Much of what we show comes from the helper, the check service or the clipboard:
    // never let it be read as markup.
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    label->setWordWrap(true);
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
