#include "platform/InstallIdentity.h"

#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

using namespace tessaline;

// `cmake --install` into a fresh prefix makes a copy the program recognises as installed,
// with its helper where the program looks for it and a desktop entry that points at both
// the program and the icon.
class TestInstall : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void layout()
    {
        QTemporaryDir prefix;
        QVERIFY(prefix.isValid());
        QProcess install;
        install.setProcessChannelMode(QProcess::ForwardedChannels);
        install.start(QStringLiteral(CMAKE_COMMAND),
                      {"--install", TESSALINE_BUILD_DIR, "--prefix", prefix.path()});
        QVERIFY(install.waitForFinished(60000));
        QCOMPARE(install.exitCode(), 0);

        const QString program = prefix.filePath("bin/tessaline");
        QVERIFY(QFileInfo(program).isExecutable());
        QVERIFY(QFileInfo(prefix.filePath("libexec/tessaline/quorvel")).isExecutable());
        QVERIFY(InstallIdentity::of(program).isInstalled());

        QSettings entry(prefix.filePath("share/applications/tessaline.desktop"), QSettings::IniFormat);
        entry.beginGroup("Desktop Entry");
        QCOMPARE(entry.value("Type").toString(), QStringLiteral("Application"));
        QCOMPARE(entry.value("Name").toString(), QStringLiteral("Tessaline"));
        QCOMPARE(entry.value("Exec").toString(), QFileInfo(program).fileName());
        const QString icon = entry.value("Icon").toString();
        QVERIFY(QFileInfo::exists(
            prefix.filePath("share/icons/hicolor/scalable/apps/" + icon + ".svg")));
    }
};

QTEST_GUILESS_MAIN(TestInstall)
#include "tst_install.moc"
