#pragma once

#include <QString>

namespace tessaline {

// The fixed words around a check result, shared by the window's result area and the
// terminal's `tessaline check`.
struct ResultWords {
    static QString lintsHeading() { return QStringLiteral("Task lints"); }
    static QString noLints() { return QStringLiteral("No material problems found. The task is bounded as written."); }
    static QString fixPrefix() { return QStringLiteral("Fix: "); }
    static QString packetHeading() { return QStringLiteral("Run this task"); }
    static QString shapeHeading() { return QStringLiteral("Recommended task shape"); }
    static QString deferHeading() { return QStringLiteral("Defer for later"); }
    static QString bullet() { return QStringLiteral("• "); }
    static QString reserveHeading() { return QStringLiteral("Validation reserve"); }
    static QString sizePrefix() { return QStringLiteral("Task size: "); }
    static QString disclaimer() { return QStringLiteral("Experimental task-fit assessment, not an OpenAI quota estimate."); }
};

} // namespace tessaline
