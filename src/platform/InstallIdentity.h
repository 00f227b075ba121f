#pragma once

#include <QString>

#include <optional>

namespace tessaline {

// Whether this copy of the program is installed, the desktop's counterpart of an
// application bundle: the executable is <prefix>/bin/tessaline and
// <prefix>/share/applications/ holds the program's desktop entry, whose file id is the
// identifier. Desktop services (notifications) are used only by an installed copy.
struct InstallIdentity {
    static constexpr char desktopFileId[] = "app.tessaline.Tessaline.desktop";
    static constexpr char executableName[] = "tessaline";

    std::optional<QString> identifier; // the desktop file id, when the entry exists
    QString location;                  // the running executable's path

    bool isInstalled() const { return isInstalledCopy(identifier, location); }

    // The rule alone, apart from the file system: a non-empty identifier and an
    // executable named exactly "tessaline" in a directory named exactly "bin".
    static bool isInstalledCopy(const std::optional<QString> &identifier, const QString &location);

    // The identity of an executable at the given path, looking for the desktop entry
    // under its prefix.
    static InstallIdentity of(const QString &executablePath);
    // The running program's identity (needs a QCoreApplication).
    static InstallIdentity current();

    // The desktop entry's name as notification servers expect it: the file id without
    // its ".desktop" suffix.
    QString desktopEntryName() const;
};

} // namespace tessaline
