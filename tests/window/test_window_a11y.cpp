// The window as a screen reader meets it: through the accessibility bus of a private
// session bus, read by a real AT-SPI client (tests/window/atspi_probe.py). Run under
// dbus-run-session, so the bus launcher is started on demand as on a desktop.

#include "WindowTestSupport.h"

#include <QJsonArray>
#include <QProcess>

using namespace windowtest;

class TestWindowA11y : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void screenReaderView()
    {
        Rig rig;
        rig.withQuota(quota(42, 80));
        rig.shown();
        QVERIFY(rig.checkWith(answer({{"reservePolicy", "standard"}, {"taskSize", "small"},
                                      {"lints", QJsonArray{lint("Too broad", "f")}}, {"taskPacket", "Do X."}})));
        rig.server.respondWith(TestHttpsServer::Response::json(503, "{}"));

        const QString unavailable = QStringLiteral("The check is unavailable right now. Try again shortly.");
        QProcess probe;
        probe.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        probe.start(QStringLiteral(TESSALINE_SOURCE_DIR "/tests/window/atspi_probe.py"),
                    {QString::number(QCoreApplication::applicationPid()), QStringLiteral("Rename the flag"), unavailable});
        QVERIFY(probe.waitForStarted());
        QVERIFY(QTest::qWaitFor([&probe] { return probe.state() == QProcess::NotRunning; }, 60000));
        QCOMPARE(probe.exitCode(), 0);
        const QJsonObject seen = QJsonDocument::fromJson(probe.readAllStandardOutput()).object();

        // Every control and every text shown has a name; the editor says what it is for;
        // section titles are headings, and the status lines are status lines.
        QStringList headings, unnamed;
        int statusLines = 0;
        for (const QJsonValue &node : seen.value("tree").toArray()) {
            const QString role = node["role"].toString(), name = node["name"].toString();
            statusLines += role == "status bar";
            if (role == "heading")
                headings.append(name);
            const bool control = role == "push button" || role == "text" || role == "label" || role == "heading";
            if (control && node["showing"].toBool() && name.isEmpty())
                unnamed.append(role);
            if (role == "text")
                QVERIFY(!node["description"].toString().isEmpty());
        }
        QVERIFY2(unnamed.isEmpty(), qPrintable(unnamed.join(", ")));
        QCOMPARE(headings, QStringList({"TASK LINTS", "RUN THIS TASK", "VALIDATION RESERVE"}));
        QCOMPARE(statusLines, 2);

        // The check the probe started is heard as it goes: "Checking…", then its outcome.
        const QStringList events = seen.value("events").toVariant().toStringList();
        QVERIFY2(events.contains(QStringLiteral("push button: Checking…")), qPrintable(events.join(" | ")));
        QVERIFY2(events.contains("status bar: " + unavailable), qPrintable(events.join(" | ")));
        QCOMPARE(rig.server.requests().size(), 2);
        QCOMPARE(QJsonDocument::fromJson(rig.server.requests().last().body).object().value("task").toString(),
                 QStringLiteral("Rename the flag"));
    }
};

QTEST_MAIN(TestWindowA11y)
#include "test_window_a11y.moc"
