#pragma once

#include <QAccessible>
#include <QColor>
#include <QLabel>

class QPalette;

namespace tessaline {

enum class FontWeight { Regular, Semibold, Bold };

// Text colours by meaning; each follows the window's palette, so the window follows the
// desktop's colour scheme.
enum class TextColor { Label, Secondary, Tertiary, Accent };

// The colour text of that kind is drawn in on this palette. Secondary and tertiary text
// are the text colour faded toward the window's background, but never so far that they
// fall below 4.5:1 contrast against it (the usual legibility floor for body text).
QColor textColor(const QPalette &palette, TextColor color);

// A word-wrapping label whose preferred width is its text on one line, like a desktop
// toolkit's natural label size; QLabel's own guess wraps short texts at a quarter of
// eighty characters. It still narrows down to its longest word and grows in height.
class WrapLabel : public QLabel {
    Q_OBJECT
public:
    explicit WrapLabel(QWidget *parent = nullptr);
    QSize sizeHint() const override;
    int heightForWidth(int width) const override;

    // At most this many lines (0: no limit). Longer text ends its last line with "…" and
    // is shown whole in the tool tip, so nothing is lost.
    void setMaximumLineCount(int lines);
    int maximumLineCount() const { return maxLines; }

    void setTextColor(TextColor color);
    TextColor textColor() const { return colorKind; }

    // What assistive technology is told this label is: static text (the default), a
    // heading, or a status line whose changes are read out. Set before the label has text
    // or is shown: assistive technology may ask for the label's role from then on.
    void setAccessibleRole(QAccessible::Role role) { a11yRole = role; }
    QAccessible::Role accessibleRole() const { return a11yRole; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void applyTextColor();

    int maxLines = 0;
    TextColor colorKind = TextColor::Label;
    QAccessible::Role a11yRole = QAccessible::StaticText;
};

// The system font at `points`, in the given weight. A point here is the same unit as the
// window's geometry (a device-independent pixel), so text keeps its proportion to the
// 480-wide window whatever the screen's nominal DPI.
void applyFont(QWidget *widget, qreal points, FontWeight weight);

} // namespace tessaline
