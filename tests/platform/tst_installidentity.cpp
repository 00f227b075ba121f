#include "platform/InstallIdentity.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace tessaline;

Q_DECLARE_METATYPE(std::optional<QString>)

class TestInstallIdentity : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void rule_data();
    void rule();
    void fromFileSystem();
};

void TestInstallIdentity::rule_data()
{
    QTest::addColumn<std::optional<QString>>("identifier");
    QTest::addColumn<QString>("location");
    QTest::addColumn<bool>("installed");

    const std::optional<QString> id = QStringLiteral("tessaline.desktop");
    QTest::newRow("usr prefix") << id << "/usr/bin/tessaline" << true;
    QTest::newRow("home prefix") << id << "/home/u/.local/bin/tessaline" << true;
    QTest::newRow("root prefix") << id << "/bin/tessaline" << true;
    QTest::newRow("redundant separators") << id << "/opt/t//bin/./tessaline" << true;
    QTest::newRow("no identifier") << std::optional<QString>() << "/usr/bin/tessaline" << false;
    QTest::newRow("empty identifier") << std::optional<QString>(QString()) << "/usr/bin/tessaline" << false;
    QTest::newRow("build tree") << id << "/work/build/src/app/tessaline" << false;
    QTest::newRow("capitalised bin") << id << "/usr/Bin/tessaline" << false;
    QTest::newRow("capitalised name") << id << "/usr/bin/Tessaline" << false;
    QTest::newRow("other name") << id << "/usr/bin/tessaline-dev" << false;
    QTest::newRow("bin is only a suffix") << id << "/usr/sbin/tessaline" << false;
    QTest::newRow("empty location") << id << "" << false;
}

void TestInstallIdentity::rule()
{
    QFETCH(std::optional<QString>, identifier);
    QFETCH(QString, location);
    QFETCH(bool, installed);
    QCOMPARE(InstallIdentity::isInstalledCopy(identifier, location), installed);
}

void TestInstallIdentity::fromFileSystem()
{
    QTemporaryDir prefix;
    QVERIFY(prefix.isValid());
    QVERIFY(QDir(prefix.path()).mkpath("bin"));
    QVERIFY(QDir(prefix.path()).mkpath("share/applications"));
    const QString executable = prefix.filePath("bin/tessaline");

    InstallIdentity identity = InstallIdentity::of(executable);
    QCOMPARE(identity.identifier, std::nullopt);
    QVERIFY(!identity.isInstalled());
    QCOMPARE(identity.desktopEntryName(), QString());

    QFile entry(prefix.filePath("share/applications/tessaline.desktop"));
    QVERIFY(entry.open(QIODevice::WriteOnly));
    entry.write("[Desktop Entry]\nType=Application\nName=Tessaline\nExec=tessaline\n");
    entry.close();

    identity = InstallIdentity::of(executable);
    QCOMPARE(identity.identifier, std::optional<QString>("tessaline.desktop"));
    QCOMPARE(identity.location, executable);
    QVERIFY(identity.isInstalled());
    QCOMPARE(identity.desktopEntryName(), QStringLiteral("tessaline"));

    // The same entry beside an executable outside bin/ makes no installed copy.
    QVERIFY(QDir(prefix.path()).mkpath("libexec"));
    QVERIFY(!InstallIdentity::of(prefix.filePath("libexec/tessaline")).isInstalled());
}

QTEST_GUILESS_MAIN(TestInstallIdentity)
#include "tst_installidentity.moc"
