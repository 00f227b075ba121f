// What the shell relies on without an X server: the install layout, one running copy per
// user, and a shortcut that reports failure off X11.

#include "app/GlobalShortcut.h"
#include "platform/InstallIdentity.h"
#include "platform/SingleInstance.h"

#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLockFile>
#include <QProcess>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <future>

using namespace tessaline;
using Role = SingleInstance::Role;

class TestAppPlatform : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        runtime = std::make_unique<QTemporaryDir>();
        QVERIFY(runtime->isValid());
        QFile::setPermissions(runtime->path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("XDG_RUNTIME_DIR", runtime->path().toLocal8Bit());
    }

    // A fresh prefix holds a copy the program recognises as installed.
    void installLayout()
    {
        QTemporaryDir prefix;
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
        QVERIFY(QFileInfo::exists(prefix.filePath("share/icons/hicolor/scalable/apps/"
                                                  + entry.value("Icon").toString() + ".svg")));
    }

    // What a copy that crashed leaves behind must not stop the next one.
    void laterLaunchesHandOver_data()
    {
        QTest::addColumn<bool>("staleLock");
        QTest::addColumn<bool>("staleSocket");
        QTest::newRow("clean") << false << false;
        QTest::newRow("lock of a dead process") << true << false;
        QTest::newRow("socket file left behind") << false << true;
    }
    void laterLaunchesHandOver()
    {
        QFETCH(bool, staleLock);
        QFETCH(bool, staleSocket);
        if (staleLock) { // a pid above any the kernel hands out
            QFile lock(runtime->filePath("tessaline.lock"));
            QVERIFY(lock.open(QIODevice::WriteOnly));
            lock.write("999999999\ntessaline\n\n");
        }
        if (staleSocket)
            QVERIFY(QFile(runtime->filePath("tessaline.socket")).open(QIODevice::WriteOnly));
        SingleInstance first(QStringLiteral("tessaline"));
        QCOMPARE(first.claim(), Role::Primary);
        QSignalSpy opened(&first, &SingleInstance::openRequested);
        for (int launch = 1; launch <= 2; ++launch) {
            // Claims from another thread, as another process would, while this one answers.
            auto later = std::async(std::launch::async, [] { return SingleInstance("tessaline").claim(); });
            while (later.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
            QCOMPARE(later.get(), Role::HandedOver);
            QCOMPARE(opened.count(), launch);
        }
    }

    void silentHolderIsReported()
    {
        QLockFile holder(runtime->filePath("tessaline.lock"));
        QVERIFY(holder.tryLock(0));
        QCOMPARE(SingleInstance(QStringLiteral("tessaline")).claim(), Role::Unanswered);
    }

    void shortcutOffX11ReportsFailure()
    {
        QVERIFY(QGuiApplication::platformName() != QStringLiteral("xcb"));
        GlobalShortcut shortcut([] {});
        QVERIFY(!shortcut.install());
        QVERIFY(!shortcut.installed());
    }

private:
    std::unique_ptr<QTemporaryDir> runtime;
};

QTEST_MAIN(TestAppPlatform)
#include "tst_appplatform.moc"
