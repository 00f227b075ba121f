#include "platform/DesktopActivation.h"

namespace tessaline {

// Desktops where the window system itself decides whom a raise is for.
void DesktopActivation::setUserTime(quint32) {}
void DesktopActivation::launchRequested(const QByteArray &) {}

quint32 DesktopActivation::timeOf(const QByteArray &startupId)
{
    const int at = startupId.lastIndexOf("_TIME");
    bool ok = false;
    const quint32 time = at < 0 ? 0 : startupId.mid(at + 5).toUInt(&ok);
    return ok ? time : 0;
}

} // namespace tessaline
