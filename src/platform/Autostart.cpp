#include "platform/Autostart.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace tessaline {

namespace {

QString autostartFile(const char *name)
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QLatin1String("/autostart/")
        + QLatin1String(name);
}

// Where earlier versions wrote the entry; such an entry still starts the program, and
// is replaced or removed along with the current one.
QString earlierEntryPath()
{
    return autostartFile("tessaline.desktop");
}

bool removeEntry(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.exists() || file.remove())
        return true;
    if (error)
        *error = QStringLiteral("Tessaline could not remove %1: %2.").arg(file.fileName(), file.errorString());
    return false;
}

} // namespace

QString Autostart::entryPath()
{
    return autostartFile("app.tessaline.Tessaline.desktop");
}

QByteArray Autostart::entry(const QString &executable)
{
    // Quoted as an Exec argument: the reserved characters escaped inside double quotes,
    // and a literal percent sign doubled so that it is not read as a field code.
    QString quoted;
    for (QChar c : executable) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        quoted += c;
    }
    quoted.replace(QLatin1Char('%'), QLatin1String("%%"));
    // In the file itself a backslash is an escape too, so each is written twice.
    quoted.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    return QByteArrayLiteral("[Desktop Entry]\n"
                             "Type=Application\n"
                             "Name=Tessaline\n"
                             "Comment=Keep enough Codex quota for the end of a task\n"
                             "Exec=\"")
        + quoted.toUtf8()
        + QByteArrayLiteral("\"\n"
                            "Icon=tessaline\n"
                            "Terminal=false\n"
                            "X-GNOME-Autostart-enabled=true\n");
}

bool Autostart::enable(const QString &executable, QString *error)
{
    const QString path = entryPath();
    QDir().mkpath(QFileInfo(path).path());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(entry(executable)) < 0 || !file.commit()) {
        if (error)
            *error = QStringLiteral("Tessaline could not write %1: %2.").arg(path, file.errorString());
        return false;
    }
    return removeEntry(earlierEntryPath(), error);
}

bool Autostart::disable(QString *error)
{
    return removeEntry(entryPath(), error) && removeEntry(earlierEntryPath(), error);
}

} // namespace tessaline
