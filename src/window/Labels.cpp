#include "window/Labels.h"
#include "window/MainWindowController.h"

#include <QAccessibleWidget>
#include <QEvent>
#include <QFont>
#include <QLabel>
#include <QPainter>
#include <QPalette>
#include <QTextLayout>

#include <algorithm>
#include <cmath>

namespace tessaline {

namespace {

constexpr double minimumContrast = 4.5;

double luminance(const QColor &color)
{
    const auto linear = [](double channel) {
        return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(color.redF()) + 0.7152 * linear(color.greenF()) + 0.0722 * linear(color.blueF());
}

double contrast(const QColor &a, const QColor &b)
{
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// `text` laid over `background` at the given strength (0: background, 1: text), made
// stronger until it is legible.
QColor faded(const QColor &text, const QColor &background, double strength)
{
    for (int step = qRound(strength * 100); step < 100; ++step) {
        const double t = step / 100.0;
        const QColor mixed = QColor::fromRgbF(float(background.redF() + (text.redF() - background.redF()) * t),
                                              float(background.greenF() + (text.greenF() - background.greenF()) * t),
                                              float(background.blueF() + (text.blueF() - background.blueF()) * t))
                                 .toRgb();
        // Judged on the 8-bit colour that is actually drawn.
        if (contrast(QColor(mixed.rgb()), background) >= minimumContrast)
            return QColor(mixed.rgb());
    }
    return text;
}

double strength(TextColor color)
{
    return color == TextColor::Secondary ? 0.6 : 0.45;
}

// Headings and status lines tell assistive technology what they are; Qt's own label
// interface only knows static text.
class LabelAccessible : public QAccessibleWidget {
public:
    explicit LabelAccessible(WrapLabel *label) : QAccessibleWidget(label, label->accessibleRole()) {}

    QString text(QAccessible::Text kind) const override
    {
        if (kind == QAccessible::Name && widget()->accessibleName().isEmpty())
            return static_cast<const QLabel *>(widget())->text();
        return QAccessibleWidget::text(kind);
    }
};

QAccessibleInterface *labelAccessible(const QString &, QObject *object)
{
    auto *label = qobject_cast<WrapLabel *>(object);
    if (label && label->accessibleRole() != QAccessible::StaticText)
        return new LabelAccessible(label);
    return nullptr;
}

} // namespace

QColor textColor(const QPalette &palette, TextColor color)
{
    switch (color) {
    case TextColor::Label: return palette.color(QPalette::WindowText);
    case TextColor::Accent: return palette.color(QPalette::Highlight);
    case TextColor::Secondary:
    case TextColor::Tertiary: break;
    }
    return faded(palette.color(QPalette::WindowText), palette.color(QPalette::Window), strength(color));
}

WrapLabel::WrapLabel(QWidget *parent) : QLabel(parent)
{
    [[maybe_unused]] static const bool factoryInstalled = [] {
        QAccessible::installFactory(labelAccessible);
        return true;
    }();
    setWordWrap(true);
    setTextFormat(Qt::PlainText);
}

void WrapLabel::setTextColor(TextColor color)
{
    colorKind = color;
    applyTextColor();
}

void WrapLabel::applyTextColor()
{
    const QPalette::ColorRole role = colorKind == TextColor::Label    ? QPalette::WindowText
                                     : colorKind == TextColor::Accent ? QPalette::Highlight
                                                                      : QPalette::PlaceholderText;
    // Setting the role or the palette announces a palette change, which lands here again:
    // change only what differs.
    if (foregroundRole() != role)
        setForegroundRole(role);
    if (role != QPalette::PlaceholderText)
        return;
    // Worked out from the inherited text and window colours, in every colour group, and
    // again whenever they change (a switch to a dark scheme, say).
    const QPalette inherited = palette();
    QPalette own; // only this one role is our own; the rest stays inherited
    bool changed = !(inherited.resolveMask() & (QPalette::ResolveMask(1) << QPalette::PlaceholderText));
    for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        const QColor color = faded(inherited.color(group, QPalette::WindowText),
                                   inherited.color(group, QPalette::Window), strength(colorKind));
        own.setColor(group, QPalette::PlaceholderText, color);
        changed = changed || inherited.color(group, QPalette::PlaceholderText) != color;
    }
    if (changed)
        setPalette(own);
}

void WrapLabel::changeEvent(QEvent *event)
{
    QLabel::changeEvent(event);
    if (event->type() == QEvent::PaletteChange)
        applyTextColor();
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

namespace {

WrapLabel *newLabel(const QString &text, qreal points, FontWeight weight, TextColor color,
                    QAccessible::Role role = QAccessible::StaticText)
{
    // Much of what we show comes from the helper, the check service or the clipboard:
    // never let it be read as markup (WrapLabel is plain text).
    auto *label = new WrapLabel;
    // Before the text: setting it tells assistive technology, which fixes the role.
    label->setAccessibleRole(role);
    label->setText(text);
    label->setTextInteractionFlags(Qt::NoTextInteraction);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    applyFont(label, points, weight);
    label->setTextColor(color);
    return label;
}

} // namespace

QLabel *MainWindowController::makeLabel(const QString &text, qreal points, FontWeight weight,
                                        TextColor color)
{
    return newLabel(text, points, weight, color);
}

QLabel *MainWindowController::heading(const QString &text)
{
    // QString::toUpper applies the full Unicode mapping ("ß" becomes "SS"), independent of locale.
    return newLabel(text.toUpper(), 11, FontWeight::Semibold, TextColor::Secondary, QAccessible::Heading);
}

} // namespace tessaline
