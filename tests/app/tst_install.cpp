#include "platform/InstallIdentity.h"

#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

using namespace tessaline;

class TestInstall : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // A fresh prefix holds a copy the program recognises as installed, its helper where the
    // program looks for it, and a desktop entry pointing at the program and the icon.
    void layout()
    {
        QTemporaryDir prefix;
        QVERIFY(prefix.isValid());
        QProcess install;
        install.setProcessChannelMode(QProcess::ForwardedChannels);
        install.start(CMAKE_COMMAND, {"--install", TESSALINE_BUILD_DIR, "--prefix", prefix.path()});
        QVERIFY(install.waitForFinished(60000));
        QCOMPARE(install.exitCode(), 0);

        const QString program = prefix.filePath("bin/tessaline");
        QVERIFY(QFileInfo(program).isExecutable());
        QVERIFY(QFileInfo(prefix.filePath("libexec/tessaline/quorvel")).isExecutable());
        QVERIFY(InstallIdentity::of(program).isInstalled());

        QSettings entry(prefix.filePath("share/applications/tessaline.desktop"), QSettings::IniFormat);
        entry.beginGroup("Desktop Entry");
        QCOMPARE(entry.value("Name").toString(), QStringLiteral("Tessaline"));
        QCOMPARE(entry.value("Exec").toString(), QStringLiteral("tessaline"));
        QVERIFY(QFileInfo::exists(prefix.filePath("share/icons/hicolor/scalable/apps/"
                                                  + entry.value("Icon").toString() + ".svg")));
    }
};

QTEST_GUILESS_MAIN(TestInstall)
#include "tst_install.moc"
