// Runs the built quorvel as the program does (one argument, no input) against a fake
// Codex CLI and generated Codex homes, and decodes everything it prints as the program
// would.

#include "CodexHome.h"
#include "quota/Usage.h"

#include <QJsonArray>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

using namespace tessaline;
using testing::CodexHome;
using testing::limits;
using testing::logWindow;
using testing::tokenCountLine;

using Builder = std::function<void(const CodexHome &, double now)>;
Q_DECLARE_METATYPE(Builder)

namespace {

struct Outcome {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    std::optional<Usage> usage;
};

// "300:30 10080:71": each top-level window's length and used percentage, in order.
QString describe(const QList<Usage::Window> &windows)
{
    QStringList parts;
    for (const Usage::Window &w : windows)
        parts << QStringLiteral("%1:%2").arg(w.windowDurationMins).arg(w.usedPercent);
    return parts.join(' ');
}

// "codex* codex_gpt5=GPT-5": bucket ids, the default starred, labels other than the id.
QString describe(const QList<Usage::LimitBucket> &buckets)
{
    QStringList parts;
    for (const Usage::LimitBucket &b : buckets)
        parts << b.id + (b.isDefault ? QStringLiteral("*") : QString())
                + (b.label != b.id && !b.isDefault ? QLatin1Char('=') + b.label : QString());
    return parts.join(' ');
}

QJsonObject liveWindow(qint64 used, const QJsonValue &minutes, double resetsAt)
{
    return QJsonObject{{QStringLiteral("usedPercent"), used},
                       {QStringLiteral("windowDurationMins"), minutes},
                       {QStringLiteral("resetsAt"), resetsAt}};
}

QByteArray liveResult(const QJsonObject &rateLimits, const QJsonValue &byId = QJsonValue())
{
    return QJsonDocument(QJsonObject{{QStringLiteral("rateLimits"), rateLimits},
                                     {QStringLiteral("rateLimitsByLimitId"), byId}})
        .toJson(QJsonDocument::Compact);
}

} // namespace

class TestQuorvel : public QObject {
    Q_OBJECT

    QTemporaryDir dir;

    Outcome run(bool withCli, const QString &codexHome, const QStringList &extraEnv = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), dir.filePath(QStringLiteral("home")));
        env.insert(QStringLiteral("CODEX_HOME"), codexHome);
        env.insert(QStringLiteral("PATH"), dir.filePath(withCli ? QStringLiteral("bin") : QStringLiteral("nobin")));
        env.insert(QStringLiteral("QUORVEL_COMPANION"), QStringLiteral("1"));
        for (const QString &kv : extraEnv)
            env.insert(kv.section('=', 0, 0), kv.section('=', 1));
        QProcess p;
        p.setProcessEnvironment(env);
        p.setStandardInputFile(QProcess::nullDevice());
        p.start(QStringLiteral(QUORVEL_PATH), {QStringLiteral("--json")});
        // Far beyond the helper's own ten-second bound; only a broken bound reaches it.
        if (!p.waitForFinished(60000))
            qFatal("quorvel did not finish");
        Outcome o;
        o.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        o.out = p.readAllStandardOutput();
        o.err = p.readAllStandardError();
        if (o.exitCode == 0) {
            auto decoded = Usage::decode(o.out);
            if (decoded)
                o.usage = *decoded;
        }
        return o;
    }

    void checkContract(const Outcome &o)
    {
        if (o.exitCode == 0) {
            QVERIFY2(o.usage.has_value(), o.out.constData());
        } else {
            QCOMPARE(o.exitCode, 1);
            QVERIFY(o.out.isEmpty());
            // One sentence on one line.
            QVERIFY2(o.err.endsWith(".\n") && o.err.count('\n') == 1, o.err.constData());
        }
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        QDir(dir.path()).mkpath(QStringLiteral("bin"));
        QDir(dir.path()).mkpath(QStringLiteral("nobin"));
        QDir(dir.path()).mkpath(QStringLiteral("home"));
        QVERIFY(QFile::link(QStringLiteral(FAKE_CODEX_PATH), dir.filePath(QStringLiteral("bin/codex"))));
    }

    void sessionLogs_data();
    void sessionLogs();
    void liveCli_data();
    void liveCli();
    void defaultHomeWhenCodexHomeIsEmpty();
    void olderLogsCountFromTheLineTime();
    void cliInLocalBin();
    void argumentsOtherThanJson();
};

void TestQuorvel::sessionLogs_data()
{
    QTest::addColumn<Builder>("build");
    QTest::addColumn<QString>("windows");
    QTest::addColumn<QString>("buckets");
    QTest::addColumn<QString>("error");

    const QString today = QStringLiteral("2026/12/06");
    QTest::newRow("current generation") << Builder([=](const CodexHome &h, double now) {
        h.write(today, "a", {testing::chatterLine(now - 60),
                             tokenCountLine(now - 50, limits(logWindow(30.4, 300, now + 3600), logWindow(70.6, 10080, now + 86400)))});
    }) << "300:30 10080:71" << "codex*" << "";

    QTest::newRow("lengths near the known ones, weekly in the primary slot") << Builder([=](const CodexHome &h, double now) {
        h.write(today, "a", {tokenCountLine(now - 50, limits(logWindow(12, 10000, now + 86400), logWindow(55, 290, now + 600)))});
    }) << "10080:12 300:55" << "codex*" << "";

    QTest::newRow("reset already passed") << Builder([=](const CodexHome &h, double now) {
        h.write(today, "a", {tokenCountLine(now - 9 * 3600, limits(logWindow(88, 300, now - 4 * 3600), logWindow(40, 10080, now + 86400)))});
    }) << "300:0 10080:40" << "codex*" << "";

    QTest::newRow("unknown lengths are left out") << Builder([=](const CodexHome &h, double now) {
        QJsonObject noLength{{QStringLiteral("used_percent"), 20}, {QStringLiteral("resets_at"), now + 60}};
        h.write(today, "a", {tokenCountLine(now - 50, limits(noLength, logWindow(33, std::nullopt, now + 86400))),
                             tokenCountLine(now - 40, limits(noLength, logWindow(44, 10080, now + 86400)))});
    }) << "10080:44" << "codex*" << "";

    QTest::newRow("both windows null, an older line has figures") << Builder([=](const CodexHome &h, double now) {
        h.write(today, "a", {tokenCountLine(now - 90, limits(logWindow(5, 300, now + 60), QJsonValue())),
                             tokenCountLine(now - 50, limits(QJsonValue(), QJsonValue())),
                             tokenCountLine(now - 40, QJsonValue())});
    }) << "300:5" << "codex*" << "";

    QTest::newRow("truncated last line") << Builder([=](const CodexHome &h, double now) {
        const QByteArray whole = tokenCountLine(now - 40, limits(logWindow(90, 300, now + 60), QJsonValue()));
        h.write(today, "a", {tokenCountLine(now - 50, limits(logWindow(15, 300, now + 60), QJsonValue())),
                             whole.left(whole.size() - 20)}, 0, false, false);
    }) << "300:15" << "codex*" << "";

    QTest::newRow("other bucket newer than the default one") << Builder([=](const CodexHome &h, double now) {
        QJsonObject model = limits(logWindow(61, 300, now + 60), QJsonValue());
        model.insert(QStringLiteral("limit_id"), QStringLiteral("codex_gpt5"));
        model.insert(QStringLiteral("limit_name"), QStringLiteral("GPT-5"));
        h.write(today, "a", {tokenCountLine(now - 50, limits(logWindow(21, 300, now + 60), logWindow(2, 10080, now + 600))),
                             tokenCountLine(now - 40, model)});
    }) << "300:21 10080:2" << "codex* codex_gpt5=GPT-5" << "";

    QTest::newRow("resumed session in an older date folder") << Builder([=](const CodexHome &h, double now) {
        h.write(today, "new", {tokenCountLine(now - 3600, limits(logWindow(10, 300, now + 60), QJsonValue()))}, 3600);
        h.write("2026/11/02", "old", {tokenCountLine(now - 86400 * 30, limits(logWindow(1, 300, now + 60), QJsonValue())),
                                      tokenCountLine(now - 5, limits(logWindow(20, 300, now + 60), QJsonValue()))}, 5);
    }) << "300:20" << "codex*" << "";

    QTest::newRow("concurrent sessions, the newer line wins") << Builder([=](const CodexHome &h, double now) {
        // Last written 5 s ago, but its last rate-limit line is an hour old.
        h.write(today, "long", {tokenCountLine(now - 3600, limits(logWindow(10, 300, now + 60), QJsonValue())),
                                testing::chatterLine(now - 5)}, 5);
        h.write(today, "short", {tokenCountLine(now - 60, limits(logWindow(30, 300, now + 60), QJsonValue()))}, 60);
    }) << "300:30" << "codex*" << "";

    QTest::newRow("compressed log") << Builder([=](const CodexHome &h, double now) {
        h.write("2026/10/01", "z", {tokenCountLine(now - 50, limits(logWindow(47, 300, now + 60), QJsonValue())),
                                    testing::chatterLine(now - 40)}, 40, true);
    }) << "300:47" << "codex*" << "";

    QTest::newRow("plain log wins over its compressed copy") << Builder([=](const CodexHome &h, double now) {
        h.write(today, "s", {tokenCountLine(now - 50, limits(logWindow(8, 300, now + 60), QJsonValue()))}, 50);
        h.write(today, "s", {tokenCountLine(now - 10, limits(logWindow(99, 300, now + 60), QJsonValue()))}, 10, true);
    }) << "300:8" << "codex*" << "";

    QTest::newRow("missing home") << Builder([](const CodexHome &, double) {})
                                  << "" << "" << "Found neither the Codex CLI nor any Codex session log";

    QTest::newRow("logs without figures") << Builder([=](const CodexHome &h, double now) {
        h.write(today, "a", {testing::chatterLine(now - 60), tokenCountLine(now - 50, QJsonValue())});
    }) << "" << "" << "no session log holds quota figures";
}

void TestQuorvel::sessionLogs()
{
    QFETCH(Builder, build);
    QFETCH(QString, windows);
    QFETCH(QString, buckets);
    QFETCH(QString, error);

    QTemporaryDir home;
    build(CodexHome(home.path()), testing::nowSeconds());
    const Outcome o = run(false, home.path());
    checkContract(o);
    if (error.isEmpty()) {
        QCOMPARE(o.exitCode, 0);
        QCOMPARE(describe(o.usage->windows), windows);
        QCOMPARE(describe(o.usage->limitBuckets.value_or(QList<Usage::LimitBucket>())), buckets);
    } else {
        QCOMPARE(o.exitCode, 1);
        QVERIFY2(o.err.contains(error.toUtf8()), o.err.constData());
    }
}

void TestQuorvel::liveCli_data()
{
    QTest::addColumn<QStringList>("env");
    QTest::addColumn<bool>("withLogs");
    QTest::addColumn<QString>("windows");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("buckets");

    const double now = testing::nowSeconds();
    const QByteArray both = liveResult(
        QJsonObject{{QStringLiteral("limitId"), QStringLiteral("codex")},
                    {QStringLiteral("primary"), liveWindow(42, 300, now + 3600)},
                    {QStringLiteral("secondary"), liveWindow(64, 10080, now + 86400)},
                    {QStringLiteral("planType"), QStringLiteral("pro")}},
        QJsonObject{{QStringLiteral("codex_mini"),
                     QJsonObject{{QStringLiteral("limitId"), QStringLiteral("codex_mini")},
                                 {QStringLiteral("primary"), liveWindow(3, 300, now + 60)}}}});
    const QByteArray noLengths = liveResult(QJsonObject{{QStringLiteral("primary"), liveWindow(42, QJsonValue(), now + 3600)}});
    const QString logsWindows = QStringLiteral("300:77");

    QTest::newRow("answer") << QStringList{"FAKE_CODEX_SCENARIO=answer", "FAKE_CODEX_RESULT=" + both}
                            << true << "300:42 10080:64" << "" << "codex* codex_mini";
    QTest::newRow("answer ignoring end of input and SIGTERM") << QStringList{"FAKE_CODEX_SCENARIO=stubborn", "FAKE_CODEX_RESULT=" + both}
                                                             << false << "300:42 10080:64" << "" << "codex* codex_mini";
    QTest::newRow("not signed in") << QStringList{"FAKE_CODEX_SCENARIO=error", "FAKE_CODEX_CODE=-32600",
                                                  "FAKE_CODEX_ERROR=codex account authentication required to read rate limits"}
                                   << true << "" << "run `codex login`" << "";
    QTest::newRow("API key") << QStringList{"FAKE_CODEX_SCENARIO=error", "FAKE_CODEX_CODE=-32600",
                                            "FAKE_CODEX_ERROR=chatgpt authentication required to read rate limits"}
                             << true << "" << "API key" << "";
    QTest::newRow("other error, logs") << QStringList{"FAKE_CODEX_SCENARIO=error", "FAKE_CODEX_CODE=-32603", "FAKE_CODEX_ERROR=internal"}
                                       << true << logsWindows << "" << "codex*";
    QTest::newRow("garbage, logs") << QStringList{"FAKE_CODEX_SCENARIO=garbage"} << true << logsWindows << "" << "codex*";
    QTest::newRow("garbage, no logs") << QStringList{"FAKE_CODEX_SCENARIO=garbage"} << false << ""
                                      << "the Codex CLI answered with unreadable data" << "";
    QTest::newRow("crash, logs") << QStringList{"FAKE_CODEX_SCENARIO=crash"} << true << logsWindows << "" << "codex*";
    QTest::newRow("crash, no logs") << QStringList{"FAKE_CODEX_SCENARIO=crash"} << false << ""
                                    << "the Codex CLI stopped without answering" << "";
    QTest::newRow("no usable window, logs") << QStringList{"FAKE_CODEX_SCENARIO=answer", "FAKE_CODEX_RESULT=" + noLengths}
                                            << true << logsWindows << "" << "codex*";
    QTest::newRow("hang, logs") << QStringList{"FAKE_CODEX_SCENARIO=hang"} << true << logsWindows << "" << "codex*";
}

void TestQuorvel::liveCli()
{
    QFETCH(QStringList, env);
    QFETCH(bool, withLogs);
    QFETCH(QString, windows);
    QFETCH(QString, error);
    QFETCH(QString, buckets);

    QTemporaryDir home;
    if (withLogs) {
        const double now = testing::nowSeconds();
        CodexHome(home.path()).write("2026/12/06", "a", {tokenCountLine(now - 50, limits(logWindow(77, 300, now + 60), QJsonValue()))});
    }
    const Outcome o = run(true, home.path(), env);
    checkContract(o);
    if (error.isEmpty()) {
        QCOMPARE(o.exitCode, 0);
        QCOMPARE(describe(o.usage->windows), windows);
        QCOMPARE(describe(o.usage->limitBuckets.value_or(QList<Usage::LimitBucket>())), buckets);
    } else {
        QCOMPARE(o.exitCode, 1);
        QVERIFY2(o.err.contains(error.toUtf8()), o.err.constData());
    }
}

void TestQuorvel::defaultHomeWhenCodexHomeIsEmpty()
{
    const double now = testing::nowSeconds();
    const QString home = dir.filePath(QStringLiteral("home/.codex"));
    CodexHome(home).write("2026/12/06", "a", {tokenCountLine(now - 50, limits(logWindow(14, 300, now + 60), QJsonValue()))});
    const Outcome o = run(false, QString());
    QDir(home).removeRecursively();
    checkContract(o);
    QCOMPARE(o.exitCode, 0);
    QCOMPARE(describe(o.usage->windows), QStringLiteral("300:14"));
}

void TestQuorvel::olderLogsCountFromTheLineTime()
{
    QTemporaryDir home;
    const double now = testing::nowSeconds();
    const double written = now - 600;
    const QJsonObject old{{QStringLiteral("used_percent"), 25.5}, {QStringLiteral("window_minutes"), 300},
                          {QStringLiteral("resets_in_seconds"), 7200}};
    CodexHome(home.path()).write("2025/01/01", "a", {tokenCountLine(written, limits(old, QJsonValue()))});
    const Outcome o = run(false, home.path());
    checkContract(o);
    QCOMPARE(o.exitCode, 0);
    QCOMPARE(o.usage->windows.size(), 1);
    QCOMPARE(o.usage->windows[0].resetsAt, written + 7200);
    QCOMPARE(o.usage->windows[0].usedPercent, 26);
    QCOMPARE(o.usage->windows[0].remainingPercent, 74);
}

void TestQuorvel::cliInLocalBin()
{
    // Not on PATH, but where a per-user install puts it.
    const QString local = dir.filePath(QStringLiteral("home/.local/bin"));
    QVERIFY(QDir().mkpath(local));
    QVERIFY(QFile::link(QStringLiteral(FAKE_CODEX_PATH), local + QStringLiteral("/codex")));
    const double now = testing::nowSeconds();
    const QByteArray result = liveResult(QJsonObject{{QStringLiteral("primary"), liveWindow(9, 300, now + 60)}});
    const Outcome o = run(false, dir.filePath(QStringLiteral("nocodexhome")),
                          {"FAKE_CODEX_SCENARIO=answer", "FAKE_CODEX_RESULT=" + result});
    QFile::remove(local + QStringLiteral("/codex"));
    checkContract(o);
    QCOMPARE(o.exitCode, 0);
    QCOMPARE(describe(o.usage->windows), QStringLiteral("300:9"));
}

void TestQuorvel::argumentsOtherThanJson()
{
    for (const QStringList &args : {QStringList{}, QStringList{"--json", "--json"}, QStringList{"json"}}) {
        QProcess p;
        p.start(QStringLiteral(QUORVEL_PATH), args);
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.exitCode(), 2);
        QVERIFY(p.readAllStandardOutput().isEmpty());
        QVERIFY(p.readAllStandardError().startsWith("usage: quorvel --json"));
    }
}

QTEST_GUILESS_MAIN(TestQuorvel)
#include "test_quorvel.moc"
