#pragma once

#include <QLabel>

namespace tessaline {

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

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    int maxLines = 0;
};

enum class FontWeight { Regular, Semibold, Bold };

// Text colours by meaning; each maps to a palette role so the window follows the
// desktop's colour scheme.
enum class TextColor { Label, Secondary, Tertiary, Accent };

// The system font at `points`, in the given weight. A point here is the same unit as the
// window's geometry (a device-independent pixel), so text keeps its proportion to the
// 480-wide window whatever the screen's nominal DPI.
void applyFont(QWidget *widget, qreal points, FontWeight weight);
void applyColor(QWidget *widget, TextColor color);

} // namespace tessaline
