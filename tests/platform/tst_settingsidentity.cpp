#include "platform/InstallIdentity.h"
#include "platform/SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace tessaline;

Q_DECLARE_METATYPE(std::optional<QString>)

class TestSettingsIdentity : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void settingsKeepBytesExactly()
    {
        QTemporaryDir dir;
        // Directories that do not exist yet are made, as on a first start.
        const QString file = dir.filePath("config/Tessaline/settings.ini");
        const QByteArray bytes = QByteArrayLiteral("[{\"a\":\"b\nc\"}]\r\n[General]\nk=v\x00\xff@ByteArray(x)");
        QVERIFY(!QSettingsStore(file).contains("key.v1"));
        QVERIFY(QSettingsStore(file).setValue("key.v1", bytes));
        // Read back by a separate store, as after a restart of the program.
        const QVariant read = QSettingsStore(file).value("key.v1");
        QCOMPARE(read.typeId(), QMetaType::QByteArray);
        QCOMPARE(read.toByteArray(), bytes);
    }

    void userSettingsLiveUnderTheConfigHome()
    {
        // The test runner points XDG_CONFIG_HOME into the build tree, never the real home.
        const QString configHome = qEnvironmentVariable("XDG_CONFIG_HOME");
        QVERIFY(!configHome.isEmpty());
        QCOMPARE(QSettingsStore().location(), configHome + "/Tessaline/Tessaline.conf");
    }

    void installRule_data()
    {
        QTest::addColumn<std::optional<QString>>("identifier");
        QTest::addColumn<QString>("location");
        QTest::addColumn<bool>("installed");
        const std::optional<QString> id = QStringLiteral("tessaline.desktop"), none;
        QTest::newRow("usr prefix") << id << "/usr/bin/tessaline" << true;
        QTest::newRow("redundant separators") << id << "/opt/t//bin/./tessaline" << true;
        QTest::newRow("no identifier") << none << "/usr/bin/tessaline" << false;
        QTest::newRow("empty identifier") << std::optional(QString()) << "/usr/bin/tessaline" << false;
        QTest::newRow("build tree") << id << "/work/build/src/app/tessaline" << false;
        QTest::newRow("capitalised bin") << id << "/usr/Bin/tessaline" << false;
        QTest::newRow("capitalised name") << id << "/usr/bin/Tessaline" << false;
        QTest::newRow("bin only as a suffix") << id << "/usr/sbin/tessaline" << false;
    }
    void installRule()
    {
        QFETCH(std::optional<QString>, identifier);
        QFETCH(QString, location);
        QFETCH(bool, installed);
        QCOMPARE(InstallIdentity::isInstalledCopy(identifier, location), installed);
    }

    void identityOfAnExecutable()
    {
        QTemporaryDir prefix;
        QVERIFY(QDir(prefix.path()).mkpath("bin") && QDir(prefix.path()).mkpath("share/applications"));
        const QString executable = prefix.filePath("bin/tessaline");
        QCOMPARE(InstallIdentity::of(executable).identifier, std::nullopt);
        QFile entry(prefix.filePath("share/applications/tessaline.desktop"));
        QVERIFY(entry.open(QIODevice::WriteOnly));
        entry.close();
        QVERIFY(InstallIdentity::of(executable).isInstalled());
        QCOMPARE(InstallIdentity::of(executable).desktopEntryName(), QStringLiteral("tessaline"));
        // The same entry beside an executable outside bin/ makes no installed copy.
        QVERIFY(!InstallIdentity::of(prefix.filePath("libexec/tessaline")).isInstalled());
    }
};

QTEST_GUILESS_MAIN(TestSettingsIdentity)
#include "tst_settingsidentity.moc"
