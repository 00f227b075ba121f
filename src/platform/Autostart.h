#pragma once

#include <QString>

namespace tessaline {

// The user's XDG autostart entry, which makes the desktop start the program at login:
// $XDG_CONFIG_HOME/autostart/app.tessaline.Tessaline.desktop (~/.config/autostart by default).
struct Autostart {
    static QString entryPath();

    // Writes the entry, pointing at the given executable. False, with `error` set to a
    // sentence, when it cannot be written.
    static bool enable(const QString &executable, QString *error = nullptr);
    // Removes the entry; true also when there was none.
    static bool disable(QString *error = nullptr);

    // The entry's text for an executable, its path quoted as desktop entries require.
    static QByteArray entry(const QString &executable);
};

} // namespace tessaline
