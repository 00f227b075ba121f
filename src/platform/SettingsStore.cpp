#include "platform/SettingsStore.h"

namespace tessaline {

namespace {
const QString organisationName = QStringLiteral("Tessaline");
const QString applicationName = QStringLiteral("Tessaline");
} // namespace

QSettingsStore::QSettingsStore() = default;

QSettingsStore::QSettingsStore(const QString &fileName, QSettings::Format format)
    : fileName(fileName), format(format)
{
}

std::unique_ptr<QSettings> QSettingsStore::open() const
{
    if (fileName.isEmpty())
        return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                           organisationName, applicationName);
    return std::make_unique<QSettings>(fileName, format);
}

QVariant QSettingsStore::value(const QString &key) const
{
    return open()->value(key);
}

bool QSettingsStore::contains(const QString &key) const
{
    return open()->contains(key);
}

bool QSettingsStore::setValue(const QString &key, const QVariant &value)
{
    const auto settings = open();
    if (!settings->isWritable())
        return false;
    settings->setValue(key, value);
    settings->sync();
    return settings->status() == QSettings::NoError;
}

QString QSettingsStore::location() const
{
    return open()->fileName();
}

} // namespace tessaline
