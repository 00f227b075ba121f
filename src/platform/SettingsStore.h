#pragma once

#include <QSettings>
#include <QString>
#include <QVariant>

#include <memory>

namespace tessaline {

// The user's defaults: a few whole values under fixed keys. An interface so that tests
// work on a store in a temporary directory and never on the user's own settings.
class SettingsStore {
public:
    virtual ~SettingsStore() = default;

    // The value under key; an invalid QVariant when nothing is stored there.
    virtual QVariant value(const QString &key) const = 0;
    virtual bool contains(const QString &key) const = 0;

    // Stores the value and flushes it to permanent storage at once. False when the store
    // reports that it could not be written.
    virtual bool setValue(const QString &key, const QVariant &value) = 0;
};

// SettingsStore over QSettings. Each operation opens the settings afresh, so a write
// failure is reported for that write alone and changes made by another process are seen.
class QSettingsStore final : public SettingsStore {
public:
    // The user's real settings: organisation and application "Tessaline", native format.
    QSettingsStore();
    // Settings kept in one file of the given format, such as an INI file in a test's
    // temporary directory.
    explicit QSettingsStore(const QString &fileName, QSettings::Format format = QSettings::IniFormat);

    QVariant value(const QString &key) const override;
    bool contains(const QString &key) const override;
    bool setValue(const QString &key, const QVariant &value) override;

    // Where the settings live: a file name, or the native location's description.
    QString location() const;

private:
    std::unique_ptr<QSettings> open() const;

    QString fileName; // empty for the user's native settings
    QSettings::Format format = QSettings::NativeFormat;
};

} // namespace tessaline
