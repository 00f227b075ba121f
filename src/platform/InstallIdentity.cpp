#include "platform/InstallIdentity.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace tessaline {

bool InstallIdentity::isInstalledCopy(const std::optional<QString> &identifier, const QString &location)
{
    if (!identifier || identifier->isEmpty())
        return false;
    // Compared case-sensitively on every system: "Bin/Tessaline" is not an install layout.
    const QFileInfo executable(QDir::cleanPath(QDir::fromNativeSeparators(location)));
    if (executable.fileName() != QLatin1String(executableName))
        return false;
    return QFileInfo(executable.path()).fileName() == QLatin1String("bin");
}

InstallIdentity InstallIdentity::of(const QString &executablePath)
{
    InstallIdentity identity;
    identity.location = executablePath;
    const QFileInfo executable(executablePath);
    const QDir prefix(executable.absolutePath() + QLatin1String("/.."));
    const QFileInfo entry(prefix.filePath(QLatin1String("share/applications/") + QLatin1String(desktopFileId)));
    if (entry.isFile())
        identity.identifier = QString::fromLatin1(desktopFileId);
    return identity;
}

InstallIdentity InstallIdentity::current()
{
    return of(QCoreApplication::applicationFilePath());
}

QString InstallIdentity::desktopEntryName() const
{
    if (!identifier)
        return QString();
    QString name = *identifier;
    if (name.endsWith(QLatin1String(".desktop")))
        name.chop(int(qstrlen(".desktop")));
    return name;
}

} // namespace tessaline
