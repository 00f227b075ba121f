#include "check/TextLength.h"

#include <QTextBoundaryFinder>

namespace tessaline {

bool hasAtMostCharacters(const QString &text, qsizetype limit)
{
    // Every character takes at least one UTF-16 unit.
    if (text.size() <= limit)
        return true;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype count = 0;
    while (finder.toNextBoundary() != -1) {
        if (++count > limit)
            return false;
    }
    return true;
}

} // namespace tessaline
