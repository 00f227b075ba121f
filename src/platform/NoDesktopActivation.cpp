#include "platform/DesktopActivation.h"

namespace tessaline {

// Desktops where the window system itself decides whom a raise is for.
void DesktopActivation::setUserTime(quint32) {}
void DesktopActivation::launchRequested(const QByteArray &) {}
void DesktopActivation::setActivationToken(const QByteArray &) {}
bool DesktopActivation::activate(QWindow *) { return false; }

} // namespace tessaline
