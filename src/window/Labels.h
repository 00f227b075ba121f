#pragma once

#include <QtGlobal>

class QLabel;
class QString;
class QWidget;

namespace tessaline {

enum class FontWeight { Regular, Semibold, Bold };

// Text colours by meaning; each maps to a palette role so the window follows the
// desktop's colour scheme.
enum class TextColor { Label, Secondary, Tertiary, Accent };

// The system font at `points`, in the given weight.
void applyFont(QWidget *widget, qreal points, FontWeight weight);
void applyColor(QWidget *widget, TextColor color);

} // namespace tessaline
