#pragma once

#include <QString>

namespace tessaline {

// True when `text` has at most `limit` user-perceived characters (extended grapheme
// clusters, not bytes or UTF-16 units). Stops counting past the limit, so checking a
// huge text stays cheap.
bool hasAtMostCharacters(const QString &text, qsizetype limit);

} // namespace tessaline
