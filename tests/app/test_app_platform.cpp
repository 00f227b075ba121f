// What the shell relies on without an X server: the install layout, one running copy per
// user, and a shortcut that reports failure off X11.

#include "app/GlobalShortcut.h"
#include "platform/Autostart.h"
#include "platform/InstallIdentity.h"
#include "platform/SingleInstance.h"
#include "FixtureRows.h"
#include "ReadyProcess.h"

#include <QDir>
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
        const Ran install = runToEnd(CMAKE_COMMAND, {"--install", TESSALINE_BUILD_DIR, "--prefix", prefix.path()});
        QVERIFY2(install.code == 0, install.err);
        const QString program = prefix.filePath("bin/tessaline");
        QVERIFY(QFileInfo(program).isExecutable());
        QVERIFY(QFileInfo(prefix.filePath("libexec/tessaline/quorvel")).isExecutable());
        QVERIFY(InstallIdentity::of(program).isInstalled());

        QSettings entry(prefix.filePath("share/applications/app.tessaline.Tessaline.desktop"), QSettings::IniFormat);
        entry.beginGroup("Desktop Entry");
        QVERIFY(QFileInfo::exists(prefix.filePath("share/icons/hicolor/scalable/apps/" + entry.value("Icon").toString() + ".svg")));
    }

    // What a copy that crashed leaves behind ("left") must not stop the next one.
    void laterLaunchesHandOver_data() { addFixtureRows("app/stale-instance.json"); }
    void laterLaunchesHandOver()
    {
        QFETCH(QJsonObject, row);
        QFile lock(runtime->filePath("tessaline.lock")); // a pid above any the kernel hands out
        if (row["left"] == "lock")
            QVERIFY(lock.open(QIODevice::WriteOnly) && lock.write("999999999\ntessaline\n\n") > 0 && lock.flush());
        else
            QVERIFY(row["left"] == "socket" && QFile(runtime->filePath("tessaline.socket")).open(QIODevice::WriteOnly));
        SingleInstance first(QStringLiteral("tessaline"));
        QCOMPARE(first.claim(), Role::Primary);
        QSignalSpy opened(&first, &SingleInstance::openRequested);
        // A launch from a terminal has no startup id; one from a launcher has, and a
        // malformed one is not passed on.
        for (const QByteArray id : {"", "menu-42_TIME1234", "bad id\nopen"}) {
            // Claims from another thread, as another process would, while this one answers.
            auto later = std::async(std::launch::async, [id] { return SingleInstance("tessaline").claim(id); });
            while (later.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
            QCOMPARE(later.get(), Role::HandedOver);
        }
        QTRY_COMPARE(opened, (QList<QVariantList>{{QByteArray()}, {QByteArray("menu-42_TIME1234")}, {QByteArray()}}));
    }

    // The lock and the socket go where only the user can reach them: the runtime directory
    // when it is private, a directory of the program's own in the cache otherwise. The
    // runtime directory is the private one, none, or one "open" to others.
    void privateDirectory_data() { addFixtureRows("app/private-directory.json"); }
    void privateDirectory()
    {
        QFETCH(QJsonObject, row);
        const QString runtimeDir = row["runtimeDir"].toString();
        const QString open = runtime->filePath("open");
        QVERIFY(QDir().mkpath(open) && QFile::setPermissions(open, QFileDevice::Permissions(0x7777)));
        const QString expected = row["where"] == "cache" ? runtime->filePath("cache/tessaline") : runtime->path();
        qputenv("XDG_CACHE_HOME", runtime->filePath("cache").toLocal8Bit());
        if (runtimeDir.isEmpty())
            qunsetenv("XDG_RUNTIME_DIR");
        else if (runtimeDir == "open")
            qputenv("XDG_RUNTIME_DIR", open.toLocal8Bit());
        SingleInstance first(QStringLiteral("tessaline"));
        QCOMPARE(first.socketPath(), expected + "/tessaline.socket");
        QCOMPARE(first.claim(), Role::Primary);
        QVERIFY(QFileInfo::exists(expected + "/tessaline.lock"));
        QCOMPARE(QFileInfo(expected).permissions() & (QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::ExeOther),
                 QFileDevice::Permissions());
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
        QCOMPARE(shortcut.status(), GlobalShortcut::Status::unsupported);
    }

    // "parsed" is empty where the text is refused.
    void shortcutText_data() { addFixtureRows("app/shortcut-text.json"); }
    void shortcutText()
    {
        QFETCH(QJsonObject, row);
        const auto combination = GlobalShortcut::parse(row["text"].toString());
        QCOMPARE(combination ? GlobalShortcut::text(*combination) : QString(), row["parsed"].toString());
    }

    // The program's own options, run as a user would: autostart entry written and
    // removed under XDG_CONFIG_HOME, bad input refused with one sentence and not kept.
    void commandLine()
    {
        QTemporaryDir config(QStringLiteral("/tmp/tess.XXXXXX"));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_CONFIG_HOME", config.path());
        environment.remove("DISPLAY");
        const auto run = [&](const QStringList &arguments) {
            return runToEnd(TESSALINE_BUILD_DIR "/bin/tessaline", arguments, environment);
        };
        // An entry written by an earlier version is replaced, and removed with the current one.
        const QString entry = config.filePath("autostart/app.tessaline.Tessaline.desktop");
        const QString earlier = config.filePath("autostart/tessaline.desktop");
        const QByteArray exec =
            "Exec=\"" + QFileInfo(TESSALINE_BUILD_DIR "/bin/tessaline").canonicalFilePath().toUtf8() + "\"";
        for (const bool on : {true, false}) {
            QVERIFY(QDir().mkpath(config.filePath("autostart")) && QFile(earlier).open(QIODevice::WriteOnly));
            QCOMPARE(run({"--autostart", on ? "on" : "off"}).code, 0);
            QVERIFY(!QFileInfo::exists(earlier));
            QFile written(entry);
            QCOMPARE(written.open(QIODevice::ReadOnly) && written.readAll().split('\n').contains(exec), on);
        }
        QCOMPARE(run({"--autostart", "off"}).code, 0); // nothing to remove is no failure

        // Anything not understood is refused in one sentence, and nothing starts (there is
        // no display here); the full help only prints.
        for (const QStringList &wrong : {QStringList{"--autostart", "maybe"}, QStringList{"stray"},
                                         QStringList{"--autostart", "on", "stray"}, QStringList{"--no-such-option"}}) {
            const Ran refused = run(wrong);
            QCOMPARE(refused.code, 2);
            QVERIFY2(refused.err.count('\n') == 1 && refused.err.endsWith(".\n"), refused.err);
        }
        QCOMPARE(run({"--help-all"}).code, 0);
        const Ran refused = run({"--shortcut", "L"});
        QCOMPARE(refused.code, 2);
        QVERIFY2(refused.err.startsWith("\"L\" is not a key combination") && refused.err.count('\n') == 1, refused.err);
        QVERIFY(!QFileInfo::exists(config.filePath("Tessaline/Tessaline.conf")));
    }

    // A path with characters that desktop entries reserve still names the program: quoted,
    // escaped for the quotes, then for the file.
    void autostartEntryQuoting()
    {
        const QByteArray text = Autostart::entry(QStringLiteral("/opt/my \"apps\"/50%/$x\\y/bin/tessaline"));
        QVERIFY(text.split('\n').contains(R"(Exec="/opt/my \\"apps\\"/50%%/\\$x\\\\y/bin/tessaline")"));
    }

private:
    std::unique_ptr<QTemporaryDir> runtime;
};

QTEST_MAIN(TestAppPlatform)
#include "test_app_platform.moc"
