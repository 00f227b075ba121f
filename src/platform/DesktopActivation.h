#pragma once

#include <QByteArray>

class QWindow;

namespace tessaline {

// What the window manager needs to know before the program raises its window on the
// user's behalf: the time of the user's request, so that the raise is not taken for a
// program stealing the focus. Qt records that time from the input it sees; these cover
// requests that reach the program some other way. On Wayland the compositor hands out
// activation tokens instead: one that reaches the program goes with the next raise.
// Each function does nothing on the other window systems.
struct DesktopActivation {
    // The server time of the input event that asked for the window.
    static void setUserTime(quint32 time);

    // A launch that asked the running copy for its window: on X11 its startup
    // notification id (DESKTOP_STARTUP_ID) goes on the window, and the time in it ("..._TIME<time>")
    // becomes the user time. Without an id (a launch from a terminal) the request is
    // taken as made now. On Wayland the launch's activation token goes with the raise.
    static void launchRequested(const QByteArray &startupId);

    // Wayland: a token from the compositor (a launch's XDG_ACTIVATION_TOKEN, or the
    // desktop portal's with a shortcut press), kept for the next activate().
    static void setActivationToken(const QByteArray &token);
    // Wayland: asks the compositor to activate `window` (shown) with the kept token; false
    // when there is none or the compositor has no xdg-activation.
    static bool activate(QWindow *window);

    // The time in a startup id, or 0 when it has none.
    static quint32 timeOf(const QByteArray &startupId)
    {
        const qsizetype at = startupId.lastIndexOf("_TIME");
        bool ok = false;
        const quint32 time = at < 0 ? 0 : startupId.mid(at + 5).toUInt(&ok);
        return ok ? time : 0;
    }
};

} // namespace tessaline
