// Runs the built quorvel as the program does (one argument, no input) against a fake
// Codex CLI and generated Codex homes, and checks the figures it derives from raw
// windows. Everything it prints is read back through the program's own decoder.

#include "helper/Snapshot.h"
#include "quota/Usage.h"

#include <QDateTime>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <QDirIterator>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUuid>

#include <zstd.h>

#include <csignal>
#include <functional>

using namespace tessaline;
using namespace tessaline::helper;

using Setup = std::function<void(const QString &home, double now)>;
Q_DECLARE_METATYPE(Setup)
Q_DECLARE_METATYPE(RawWindow)
Q_DECLARE_METATYPE(RawBucket)
using Buckets = QList<RawBucket>;

namespace {

const double now = double(QDateTime::currentSecsSinceEpoch());

QJsonObject logWindow(double used, const QJsonValue &minutes, const QJsonValue &resetsAt)
{
    return {{"used_percent", used}, {"window_minutes", minutes}, {"resets_at", resetsAt}};
}

QJsonObject limits(const QJsonValue &primary, const QJsonValue &secondary = {})
{
    return {{"primary", primary}, {"secondary", secondary}, {"plan_type", "plus"}};
}

// A token-count event, or (without rate limits to carry) a transcript line that only
// mentions them in its text.
QByteArray line(double at, const QJsonValue &rateLimits, bool event = true)
{
    const QJsonObject payload = event
        ? QJsonObject{{"type", "token_count"}, {"info", QJsonObject{{"total_tokens", 1234}}}, {"rate_limits", rateLimits}}
        : QJsonObject{{"type", "message"}, {"text", "token_count and rate_limits"}};
    const QString time = QDateTime::fromMSecsSinceEpoch(qint64(at * 1000), Qt::UTC).toString(Qt::ISODateWithMs);
    return QJsonDocument(QJsonObject{{"timestamp", time}, {"type", event ? "event_msg" : "response_item"}, {"payload", payload}})
        .toJson(QJsonDocument::Compact);
}

QByteArray chatter(double at) { return line(at, {}, false); }

// Writes <home>/.codex/sessions/<folder>/rollout-<name>.jsonl[.zst], last modified `age` s ago.
void writeLog(const QString &home, const QString &folder, const QString &name, const QList<QByteArray> &lines,
              double age = 0, bool compressed = false, bool finalNewline = true)
{
    QByteArray text = lines.join('\n') + (finalNewline ? "\n" : "");
    if (compressed) {
        QByteArray packed(qsizetype(ZSTD_compressBound(size_t(text.size()))), Qt::Uninitialized);
        packed.resize(qsizetype(ZSTD_compress(packed.data(), size_t(packed.size()), text.constData(), size_t(text.size()), 3)));
        text = packed;
    }
    QDir().mkpath(home + "/.codex/sessions/" + folder);
    QFile file(home + "/.codex/sessions/" + folder + "/rollout-" + name + (compressed ? ".jsonl.zst" : ".jsonl"));
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
        qFatal("cannot write a test log");
    file.flush(); // or the buffered write would stamp the file after its time is set
    file.setFileTime(QDateTime::currentDateTimeUtc().addMSecs(qint64(-age * 1000)), QFileDevice::FileModificationTime);
}

void installCli(const QString &home, const QString &dir = "bin")
{
    QDir().mkpath(home + '/' + dir);
    if (!QFile::link(FAKE_CODEX_PATH, home + '/' + dir + "/codex"))
        qFatal("cannot install the fake codex");
}

// The fake CLI, with the default bucket at 77 % in the session logs to fall back on.
Setup cliWithLogs(bool logs)
{
    return [logs](const QString &home, double now) {
        installCli(home);
        if (logs)
            writeLog(home, "2026/12/06", "a", {line(now - 50, limits(logWindow(77, 300, now + 60)))});
    };
}

QString liveResult(const QJsonObject &rateLimits, const QJsonValue &byId = {}, const QJsonValue &resetCredits = {})
{
    return "FAKE_CODEX_RESULT="
        + QJsonDocument(QJsonObject{{"rateLimits", rateLimits}, {"rateLimitsByLimitId", byId}, {"rateLimitResetCredits", resetCredits}})
              .toJson(QJsonDocument::Compact);
}

QJsonObject liveWindow(qint64 used, const QJsonValue &minutes, double resetsAt)
{
    return {{"usedPercent", used}, {"windowDurationMins", minutes}, {"resetsAt", resetsAt}};
}

// "300:30@3600 10080:71@86400 / codex* codex_gpt5=GPT-5 / spend / 2 resets: available@86400":
// each top-level window's length, used percentage and reset relative to `now`; the bucket
// ids, the default starred; when given, whether spend control is reached and the reset
// credits with their status and expiry.
QString describe(const Usage &usage)
{
    QStringList parts;
    for (const Usage::Window &w : usage.windows)
        parts << QString("%1:%2@%3").arg(w.windowDurationMins).arg(w.usedPercent).arg(qint64(w.resetsAt - now));
    parts << "/";
    for (const Usage::LimitBucket &b : usage.limitBuckets.value_or(QList<Usage::LimitBucket>())) {
        parts << b.id + (b.isDefault ? "*" : "") + (b.label != b.id && !b.isDefault ? '=' + b.label : "");
        // The default bucket's flag is the snapshot's own.
        if (b.isDefault && b.spendControlReached != usage.spendControlReached)
            return "spend control differs between the snapshot and its default bucket";
    }
    if (usage.spendControlReached)
        parts << "/" << (*usage.spendControlReached ? "spend" : "no spend");
    if (const auto &r = usage.resetCredits) {
        parts << "/" << QString("%1 resets:").arg(r->availableCount);
        for (const Usage::Credits::Credit &c : r->credits.value_or(QList<Usage::Credits::Credit>()))
            parts << QString("%1@%2").arg(c.status.value_or("?")).arg(c.expiresAt ? QString::number(qint64(*c.expiresAt - now)) : "never");
    }
    return parts.join(' ');
}

RawBucket bucket(const QString &id, std::optional<RawWindow> primary, std::optional<RawWindow> secondary = {})
{
    RawBucket b;
    b.limitId = id;
    b.isDefault = id == defaultLimitId;
    b.primary = primary;
    b.secondary = secondary;
    return b;
}

RawWindow window(double used, qint64 minutes, double resetsIn) { return RawWindow{used, minutes, now + resetsIn}; }

std::optional<Usage> decoded(const Buckets &buckets)
{
    const auto doc = Snapshot::build(buckets, now);
    if (!doc)
        return std::nullopt;
    const auto usage = Usage::decode(QJsonDocument(*doc).toJson());
    return usage ? std::optional<Usage>(*usage) : std::nullopt;
}

// The ChatGPT backend the real Codex CLI reads the quota from, on loopback: the usage
// answer, the reset-credit details, and nothing else.
class FakeBackend : public QObject {
    Q_OBJECT
public:
    enum class Mode { Answer, Error, Hang };
    explicit FakeBackend(Mode mode) : mode(mode)
    {
        server.listen(QHostAddress::LocalHost);
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *s = server.nextPendingConnection()) {
                s->setParent(this);
                connect(s, &QTcpSocket::readyRead, this, [this, s] { serve(s); });
            }
        });
    }
    QString baseUrl() const { return QString("http://127.0.0.1:%1/backend-api/").arg(server.serverPort()); }

Q_SIGNALS:
    void usageAsked();

private:
    void serve(QTcpSocket *s)
    {
        QByteArray &request = pending[s];
        request += s->readAll();
        if (!request.contains("\r\n\r\n"))
            return;
        const QByteArray path = request.left(request.indexOf("\r\n")).split(' ').value(1);
        request.clear();
        const QString isoNow = QDateTime::fromSecsSinceEpoch(qint64(now), Qt::UTC).toString(Qt::ISODate);
        const QString isoLater = QDateTime::fromSecsSinceEpoch(qint64(now) + 600, Qt::UTC).toString(Qt::ISODate);
        if (path.endsWith("/wham/usage")) {
            Q_EMIT usageAsked();
            if (mode == Mode::Hang)
                return;
            if (mode == Mode::Error)
                return reply(s, 500, R"({"detail":"upstream failure"})");
            auto window = [](int used, int seconds, double resetsIn) {
                return QJsonObject{{"used_percent", used}, {"limit_window_seconds", seconds},
                                   {"reset_after_seconds", resetsIn}, {"reset_at", now + resetsIn}};
            };
            const QJsonObject usage{
                {"plan_type", "plus"},
                {"rate_limit", QJsonObject{{"allowed", true}, {"limit_reached", false},
                                           {"primary_window", window(42, 18000, 3600)}, {"secondary_window", window(64, 604800, 86400)}}},
                {"additional_rate_limits", QJsonArray{QJsonObject{{"limit_name", "GPT-5 mini"}, {"metered_feature", "codex_mini"},
                    {"rate_limit", QJsonObject{{"allowed", true}, {"limit_reached", false}, {"primary_window", window(3, 18000, 60)}}}}}},
                {"credits", QJsonObject{{"has_credits", true}, {"unlimited", false}, {"balance", "9.99"}}},
                {"spend_control", QJsonObject{{"reached", true}}},
                {"rate_limit_reset_credits", QJsonObject{{"available_count", 2}}},
                {"a_field_added_later", QJsonObject{{"x", 1}}},
            };
            return reply(s, 200, QJsonDocument(usage).toJson(QJsonDocument::Compact));
        }
        if (path.endsWith("/wham/rate-limit-reset-credits")) {
            const QJsonObject credits{{"available_count", 2}, {"credits", QJsonArray{
                QJsonObject{{"id", "c1"}, {"reset_type", "codex_rate_limits"}, {"status", "available"}, {"granted_at", isoNow}, {"expires_at", isoLater}},
                QJsonObject{{"id", "c2"}, {"reset_type", "codex_rate_limits"}, {"status", "available"}, {"granted_at", isoNow}}}}};
            return reply(s, 200, QJsonDocument(credits).toJson(QJsonDocument::Compact));
        }
        reply(s, 404, "{}");
    }
    void reply(QTcpSocket *s, int status, const QByteArray &body)
    {
        s->write(QString("HTTP/1.1 %1 X\r\nContent-Type: application/json\r\nContent-Length: %2\r\nConnection: close\r\n\r\n")
                     .arg(status).arg(body.size()).toUtf8() + body);
        s->disconnectFromHost();
    }

    Mode mode;
    QTcpServer server;
    QHash<QTcpSocket *, QByteArray> pending;
};

// The processes whose environment carries `mark`: whatever a run started, at any depth.
QList<qint64> marked(const QByteArray &mark)
{
    QList<qint64> pids;
    for (const QString &entry : QDir("/proc").entryList(QDir::Dirs)) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        QFile environ("/proc/" + entry + "/environ");
        if (number && environ.open(QIODevice::ReadOnly) && ('\0' + environ.readAll()).contains('\0' + mark + '\0'))
            pids << pid;
    }
    return pids;
}

// The Codex CLI from npm (scripts/install-deps puts it in node_modules): its Node launcher,
// or the native binary the launcher starts.
QString npmCodex(bool native)
{
    const QString modules = QStringLiteral(TESSALINE_SOURCE_DIR "/node_modules");
    if (!native)
        return modules + "/.bin/codex";
    QDirIterator it(modules + "/@openai", {"codex"}, QDir::Files | QDir::Executable, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (path.contains("/vendor/") && path.endsWith("/bin/codex"))
            return path;
    }
    return {};
}

// A sign-in file as `codex login` leaves it: with ChatGPT, or with an API key. The ChatGPT
// tokens are unsigned: the CLI reads their claims but checks no signature, and only the
// fake backend ever sees them.
void signIn(const QString &codexHome, const QString &with)
{
    auto part = [](const QJsonObject &o) { return QJsonDocument(o).toJson(QJsonDocument::Compact).toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals); };
    const QByteArray jwt = part({{"alg", "none"}, {"typ", "JWT"}}) + '.'
        + part({{"email", "test@example.invalid"}, {"exp", now + 86400}, {"iat", now},
                {"https://api.openai.com/auth", QJsonObject{{"chatgpt_plan_type", "plus"}, {"chatgpt_account_id", "acct-test"}}}})
        + ".unsigned";
    const QJsonObject auth = with == "apikey"
        ? QJsonObject{{"auth_mode", "apikey"}, {"OPENAI_API_KEY", "sk-test-unused"}}
        : QJsonObject{{"auth_mode", "chatgpt"}, {"OPENAI_API_KEY", QJsonValue()},
                      {"tokens", QJsonObject{{"id_token", QString(jwt)}, {"access_token", QString(jwt)},
                                             {"refresh_token", "unused"}, {"account_id", "acct-test"}}},
                      {"last_refresh", QDateTime::currentDateTimeUtc().toString(Qt::ISODate)}};
    QFile f(codexHome + "/auth.json");
    if (!f.open(QIODevice::WriteOnly) || f.write(QJsonDocument(auth).toJson()) < 0)
        qFatal("cannot write the sign-in file");
}

// quorvel's environment for a run in `home`, with a mark that everything the run starts
// inherits, however deep.
QProcessEnvironment runEnvironment(const QString &home, const QString &path, const QByteArray &mark)
{
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    e.insert("HOME", home);
    e.insert("CODEX_HOME", home + "/.codex");
    e.insert("PATH", path);
    e.insert("QUORVEL_COMPANION", "1");
    e.insert(mark.left(mark.indexOf('=')), mark.mid(mark.indexOf('=') + 1));
    return e;
}

QByteArray newMark() { return "TESSALINE_TEST_RUN=" + QUuid::createUuid().toByteArray(QUuid::WithoutBraces); }

// Checks what quorvel printed: on success the figures, read back through the program's
// own decoder; on failure one sentence that contains `expected`.
void verifyOutput(QProcess &p, int status, const QString &expected)
{
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    const QByteArray out = p.readAllStandardOutput(), err = p.readAllStandardError();
    QCOMPARE(p.exitCode(), status);
    if (status == 0) {
        const auto usage = Usage::decode(out);
        QVERIFY2(usage, out.constData());
        QCOMPARE(describe(*usage), expected);
        for (const Usage::Window &w : usage->windows)
            QCOMPARE(w.remainingPercent, 100 - w.usedPercent);
    } else {
        QVERIFY(out.isEmpty());
        QVERIFY2(err.endsWith(".\n") && err.count('\n') == 1 && err.contains(expected.toUtf8()), err.constData());
    }
}

} // namespace

Q_DECLARE_METATYPE(FakeBackend::Mode)

class TestQuorvel : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void run_data()
    {
        QTest::addColumn<Setup>("setup");
        QTest::addColumn<QStringList>("env");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("expected"); // figures on success, part of the sentence on failure
        const QString today = "2026/12/06";

        QTest::newRow("current log, under ~/.codex as CODEX_HOME is empty") << Setup([=](const QString &h, double now) {
            writeLog(h, today, "a", {chatter(now - 60), line(now - 50, limits(logWindow(30.4, 300, now + 3600), logWindow(70.6, 10080, now + 86400)))});
        }) << QStringList{"CODEX_HOME="} << 0 << "300:30@3600 10080:71@86400 / codex*";
        QTest::newRow("older log: reset counted from the line's time") << Setup([](const QString &h, double now) {
            const QJsonObject old{{"used_percent", 25.5}, {"window_minutes", 300}, {"resets_in_seconds", 7200}};
            writeLog(h, "2025/01/01", "a", {line(now - 600, limits(old))});
        }) << QStringList() << 0 << "300:26@6600 / codex*";
        QTest::newRow("weekly in the primary slot, lengths near the known ones") << Setup([=](const QString &h, double now) {
            writeLog(h, today, "a", {line(now - 50, limits(logWindow(12, 10000, now + 86400), logWindow(55, 290, now + 600)))});
        }) << QStringList() << 0 << "10080:12@86400 300:55@600 / codex*";
        QTest::newRow("reset passed: 0 % used, reset time kept") << Setup([=](const QString &h, double now) {
            writeLog(h, today, "a", {line(now - 9 * 3600, limits(logWindow(88, 300, now - 4 * 3600), logWindow(40, 10080, now + 86400)))});
        }) << QStringList() << 0 << "300:0@-14400 10080:40@86400 / codex*";
        QTest::newRow("null or missing window_minutes left out") << Setup([=](const QString &h, double now) {
            const QJsonObject noLength{{"used_percent", 20}, {"resets_at", now + 60}};
            writeLog(h, today, "a", {line(now - 50, limits(noLength, logWindow(33, {}, now + 86400))),
                                     line(now - 40, limits(noLength, logWindow(44, 10080, now + 86400)))});
        }) << QStringList() << 0 << "10080:44@86400 / codex*";
        QTest::newRow("both windows null, an older line has figures") << Setup([=](const QString &h, double now) {
            writeLog(h, today, "a", {line(now - 90, limits(logWindow(5, 300, now + 60))), line(now - 50, limits({}, {})), line(now - 40, {})});
        }) << QStringList() << 0 << "300:5@60 / codex*";
        QTest::newRow("truncated last line") << Setup([=](const QString &h, double now) {
            const QByteArray whole = line(now - 40, limits(logWindow(90, 300, now + 60)));
            writeLog(h, today, "a", {line(now - 50, limits(logWindow(15, 300, now + 60))), whole.left(whole.size() - 20)}, 0, false, false);
        }) << QStringList() << 0 << "300:15@60 / codex*";
        QTest::newRow("other bucket newer than the default one") << Setup([=](const QString &h, double now) {
            QJsonObject model = limits(logWindow(61, 300, now + 60));
            model.insert("limit_id", "codex_gpt5");
            model.insert("limit_name", "GPT-5");
            writeLog(h, today, "a", {line(now - 50, limits(logWindow(21, 300, now + 60), logWindow(2, 10080, now + 600))), line(now - 40, model)});
        }) << QStringList() << 0 << "300:21@60 10080:2@600 / codex* codex_gpt5=GPT-5";
        QTest::newRow("resumed session in an older date folder") << Setup([=](const QString &h, double now) {
            writeLog(h, today, "new", {line(now - 3600, limits(logWindow(10, 300, now + 60)))}, 3600);
            writeLog(h, "2026/11/02", "old", {line(now - 86400 * 30, limits(logWindow(1, 300, now + 60))),
                                              line(now - 5, limits(logWindow(20, 300, now + 60)))}, 5);
        }) << QStringList() << 0 << "300:20@60 / codex*";
        QTest::newRow("newest file, older figures: the newer line wins") << Setup([=](const QString &h, double now) {
            writeLog(h, today, "long", {line(now - 3600, limits(logWindow(10, 300, now + 60))), chatter(now - 5)}, 5);
            writeLog(h, today, "short", {line(now - 60, limits(logWindow(30, 300, now + 60)))}, 60);
        }) << QStringList() << 0 << "300:30@60 / codex*";
        QTest::newRow("compressed log") << Setup([](const QString &h, double now) {
            writeLog(h, "2026/10/01", "z", {line(now - 50, limits(logWindow(47, 300, now + 60))), chatter(now - 40)}, 40, true);
        }) << QStringList() << 0 << "300:47@60 / codex*";
        QTest::newRow("plain log wins over its newer compressed copy") << Setup([=](const QString &h, double now) {
            writeLog(h, today, "s", {line(now - 50, limits(logWindow(8, 300, now + 60)))}, 50);
            writeLog(h, today, "s", {line(now - 10, limits(logWindow(99, 300, now + 60)))}, 10, true);
        }) << QStringList() << 0 << "300:8@60 / codex*";
        QTest::newRow("missing home") << Setup([](const QString &, double) {}) << QStringList() << 1
                                      << "Found neither the Codex CLI nor any Codex session log";
        QTest::newRow("logs without figures") << Setup([=](const QString &h, double now) {
            writeLog(h, today, "a", {chatter(now - 60), line(now - 50, {})});
        }) << QStringList() << 1 << "no session log holds quota figures";
        QTest::newRow("spend control in the logs") << Setup([=](const QString &h, double now) {
            QJsonObject spent = limits(logWindow(12, 300, now + 60));
            spent.insert("spend_control_reached", true);
            writeLog(h, today, "a", {line(now - 50, spent)});
        }) << QStringList() << 0 << "300:12@60 / codex* / spend";
        QTest::newRow("logs of an older CLI: percentages, no reset times") << Setup([=](const QString &h, double now) {
            const QJsonObject flat{{"primary_used_percent", 12.5}, {"secondary_used_percent", 40.0},
                                   {"primary_window_minutes", 300}, {"secondary_window_minutes", 10080}};
            writeLog(h, today, "a", {line(now - 50, flat), line(now - 40, limits(QJsonObject{{"used_percent", 3}, {"window_minutes", 300}}))});
        }) << QStringList() << 1 << "hold quota percentages but no reset times";

        const QString both = liveResult({{"limitId", "codex"}, {"primary", liveWindow(42, 300, now + 3600)},
                                         {"secondary", liveWindow(64, 10080, now + 86400)}, {"planType", "pro"},
                                         {"spendControlReached", false}, {"someLaterField", QJsonObject{{"x", 1}}}},
                                        QJsonObject{{"codex_mini", QJsonObject{{"limitId", "codex_mini"}, {"primary", liveWindow(3, 300, now + 60)}}}},
                                        QJsonObject{{"availableCount", 2}, {"credits", QJsonArray{QJsonObject{{"status", "available"}, {"expiresAt", now + 600}},
                                                                                                QJsonObject{{"status", "redeeming"}, {"expiresAt", QJsonValue()}}}}});
        // Sign-in errors, backend errors and hangs come from the real CLI in realCli().
        const QString fromLogs = "300:77@60 / codex*";
        QTest::newRow("live answer wins over logs") << cliWithLogs(true) << QStringList{"FAKE_CODEX_SCENARIO=answer", both}
                                                    << 0 << "300:42@3600 10080:64@86400 / codex* codex_mini / no spend / 2 resets: available@600 redeeming@never";
        const QString bothFigures = "300:42@3600 10080:64@86400 / codex* codex_mini / no spend / 2 resets: available@600 redeeming@never";
        QTest::newRow("live answer, CLI ignores end of input and SIGTERM") << cliWithLogs(false)
            << QStringList{"FAKE_CODEX_SCENARIO=stubborn", both} << 0 << bothFigures;
        QTest::newRow("live answer, CLI leaves a detached process") << cliWithLogs(false)
            << QStringList{"FAKE_CODEX_SCENARIO=detach", both} << 0 << bothFigures;
        QTest::newRow("live answer, CLI in ~/.local/bin") << Setup([](const QString &h, double) { installCli(h, ".local/bin"); })
            << QStringList{"FAKE_CODEX_SCENARIO=answer", liveResult({{"primary", liveWindow(9, 300, now + 60)}})} << 0 << "300:9@60 / codex*";
        QTest::newRow("no usable window: logs") << cliWithLogs(true)
            << QStringList{"FAKE_CODEX_SCENARIO=answer", liveResult({{"primary", liveWindow(42, {}, now + 3600)}})} << 0 << fromLogs;
        QTest::newRow("garbage, no logs") << cliWithLogs(false) << QStringList{"FAKE_CODEX_SCENARIO=garbage"} << 1
                                          << "the Codex CLI answered with unreadable data";
        QTest::newRow("crash: logs") << cliWithLogs(true) << QStringList{"FAKE_CODEX_SCENARIO=crash"} << 0 << fromLogs;
    }
    void run()
    {
        QFETCH(Setup, setup);
        QFETCH(QStringList, env);
        QFETCH(int, status);
        QFETCH(QString, expected);

        QTemporaryDir home;
        setup(home.path(), now);
        const QByteArray mark = newMark();
        QProcessEnvironment e = runEnvironment(home.path(), home.filePath("bin"), mark);
        for (const QString &kv : env)
            e.insert(kv.section('=', 0, 0), kv.section('=', 1));
        QProcess p;
        p.setProcessEnvironment(e);
        p.setStandardInputFile(QProcess::nullDevice());
        p.start(QUORVEL_PATH, {"--json"});
        // Far beyond the helper's own ten-second bound; only a broken bound reaches it.
        QVERIFY(p.waitForFinished(60000));
        verifyOutput(p, status, expected);
        QTRY_VERIFY_WITH_TIMEOUT(marked(mark).isEmpty(), 5000);
    }

    // The real Codex CLI, installed from npm, with only its ChatGPT backend faked.
    void realCli_data()
    {
        QTest::addColumn<bool>("native");     // the native binary on PATH, else npm's Node launcher
        QTest::addColumn<QString>("signIn");  // "chatgpt", "apikey", or none
        QTest::addColumn<FakeBackend::Mode>("backend");
        QTest::addColumn<int>("stopSignal");  // sent to quorvel once the backend is asked
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("expected");
        using M = FakeBackend::Mode;
        const QString live = "300:42@3600 10080:64@86400 / codex* codex_mini=GPT-5 mini / spend / 2 resets: available@600 available@never";
        const QString fromLogs = "300:77@60 / codex* / no spend";
        const QString chatgpt = "chatgpt";
        QTest::newRow("live, through npm's launcher") << false << chatgpt << M::Answer << 0 << 0 << live;
        QTest::newRow("live, native binary") << true << chatgpt << M::Answer << 0 << 0 << live;
        QTest::newRow("backend error: logs") << false << chatgpt << M::Error << 0 << 0 << fromLogs;
        QTest::newRow("backend hangs: bounded, then logs") << false << chatgpt << M::Hang << 0 << 0 << fromLogs;
        QTest::newRow("not signed in, logs ignored") << false << "" << M::Answer << 0 << 1 << "run `codex login`";
        QTest::newRow("API key, logs ignored") << true << "apikey" << M::Answer << 0 << 1 << "API key";
        QTest::newRow("quorvel terminated while the backend hangs") << false << chatgpt << M::Hang << SIGTERM << 0 << "";
        QTest::newRow("quorvel interrupted while the backend hangs") << false << chatgpt << M::Hang << SIGINT << 0 << "";
    }
    void realCli()
    {
        QFETCH(bool, native);
        QFETCH(QString, signIn);
        QFETCH(FakeBackend::Mode, backend);
        QFETCH(int, stopSignal);
        QFETCH(int, status);
        QFETCH(QString, expected);
        const QString codex = npmCodex(native), serverBinary = QFileInfo(npmCodex(true)).canonicalFilePath();
        const QString node = QStandardPaths::findExecutable("node");
        QVERIFY2(QFileInfo(codex).isExecutable() && !serverBinary.isEmpty() && !node.isEmpty(),
                 "The Codex CLI from npm, or Node.js, is missing: run scripts/install-deps.");

        FakeBackend chatgpt(backend);
        QTemporaryDir home("/tmp/tess.XXXXXX");
        const QString codexHome = home.filePath(".codex");
        QVERIFY(QDir().mkpath(codexHome) && QDir().mkpath(home.filePath("bin")));
        QVERIFY(QFile::link(codex, home.filePath("bin/codex")));
        QFile config(codexHome + "/config.toml");
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write("chatgpt_base_url = \"" + chatgpt.baseUrl().toUtf8() + "\"\n");
        config.close();
        if (!signIn.isEmpty())
            ::signIn(codexHome, signIn);
        QJsonObject logged = limits(logWindow(77, 300, now + 60));
        logged.insert("spend_control_reached", false);
        writeLog(home.path(), "2026/12/06", "a", {line(now - 50, logged)});

        const QByteArray mark = newMark();
        QProcess p;
        p.setProcessEnvironment(runEnvironment(home.path(), home.filePath("bin") + ':' + QFileInfo(node).absolutePath(), mark));
        p.setStandardInputFile(QProcess::nullDevice());
        // The real server, seen while it talks to the backend.
        QList<qint64> servers;
        connect(&chatgpt, &FakeBackend::usageAsked, &p, [&] {
            for (qint64 pid : marked(mark))
                if (QFileInfo(QString("/proc/%1/exe").arg(pid)).canonicalFilePath() == serverBinary)
                    servers << pid;
            if (stopSignal)
                ::kill(pid_t(p.processId()), stopSignal);
        });
        QSignalSpy finished(&p, &QProcess::finished);
        p.start(QUORVEL_PATH, {"--json"});
        QVERIFY(finished.wait(60000));

        if (stopSignal)
            QCOMPARE(p.exitStatus(), QProcess::CrashExit);
        else
            verifyOutput(p, status, expected);
        if (QTest::currentTestFailed())
            return;
        QVERIFY2(servers.isEmpty() == (signIn != "chatgpt"), "the real app-server was not seen asking the backend");
        // Nothing the run started outlives quorvel, the real server included.
        QTRY_VERIFY_WITH_TIMEOUT(marked(mark).isEmpty(), 5000);
    }

    void lengths_data()
    {
        QTest::addColumn<qint64>("reported");
        QTest::addColumn<qint64>("minutes");
        QTest::addColumn<QString>("name");
        QTest::newRow("5h low edge") << qint64(285) << qint64(300) << "5h";
        QTest::newRow("5h high edge") << qint64(315) << qint64(300) << "5h";
        QTest::newRow("below 5h") << qint64(284) << qint64(284) << "284 minutes";
        QTest::newRow("above 5h") << qint64(316) << qint64(316) << "316 minutes";
        QTest::newRow("weekly low edge") << qint64(9576) << qint64(10080) << "weekly";
        QTest::newRow("weekly high edge") << qint64(10584) << qint64(10080) << "weekly";
        QTest::newRow("a day") << qint64(1440) << qint64(1440) << "1 day";
        QTest::newRow("two weeks") << qint64(20160) << qint64(20160) << "2 weeks";
    }
    void lengths()
    {
        QFETCH(qint64, reported);
        QFETCH(qint64, minutes);
        QFETCH(QString, name);
        QCOMPARE(Snapshot::identifyMinutes(reported), minutes);
        QCOMPARE(Snapshot::windowName(minutes), name);
    }

    void pressure_data()
    {
        QTest::addColumn<Buckets>("buckets");
        QTest::addColumn<QString>("summary");
        // A five-hour window with 3 h to go is 40 % elapsed.
        QTest::newRow("just ahead") << Buckets{bucket("codex", window(45, 300, 3 * 3600))}
            << "Most pressured: Codex 5h, 5 points ahead of even pace.";
        QTest::newRow("nearly ahead") << Buckets{bucket("codex", window(44, 300, 3 * 3600))}
            << "Most pressured: Codex 5h, on track with even pace.";
        QTest::newRow("just behind") << Buckets{bucket("codex", window(35, 300, 3 * 3600))}
            << "Most pressured: Codex 5h, 5 points behind even pace.";
        QTest::newRow("reset further away than the length") << Buckets{bucket("codex", window(0, 300, 6 * 3600))}
            << "Most pressured: Codex 5h, on track with even pace.";
        QTest::newRow("weekly further ahead than 5h") << Buckets{bucket("codex", window(50, 300, 3 * 3600), window(80, 10080, 3.5 * 86400))}
            << "Most pressured: Codex weekly, 30 points ahead of even pace.";
        QTest::newRow("a model bucket is the most pressured") << Buckets{bucket("codex", window(40, 300, 3 * 3600)), bucket("codex_gpt5", window(90, 300, 3 * 3600))}
            << "Most pressured: codex_gpt5 5h, 50 points ahead of even pace.";
        QTest::newRow("blocked on 5h, weekly reported after") << Buckets{bucket("codex", window(100, 300, 3600), window(40, 10080, 3.5 * 86400))}
            << "Blocked now: 5h limit. Weekly is 10 points behind even pace.";
        QTest::newRow("blocked twice: the longer block is named") << Buckets{bucket("codex", window(100, 300, 3600), window(100, 10080, 86400))}
            << "Blocked now: weekly limit. 5h is 20 points ahead of even pace.";
        QTest::newRow("blocked in a model bucket") << Buckets{bucket("codex", window(10, 300, 3 * 3600)), bucket("codex_gpt5", window(100.4, 300, 3600))}
            << "Blocked now: codex_gpt5 5h limit. 5h is 30 points behind even pace.";
        QTest::newRow("nearly used up is not blocked") << Buckets{bucket("codex", window(99.6, 300, 3 * 3600))}
            << "Most pressured: Codex 5h, 60 points ahead of even pace.";
        QTest::newRow("a passed reset is neither used nor blocking") << Buckets{bucket("codex", window(100, 300, -60))}
            << "Most pressured: Codex 5h, on track with even pace.";
    }
    void pressure()
    {
        QFETCH(Buckets, buckets);
        QFETCH(QString, summary);
        const auto usage = decoded(buckets);
        QVERIFY(usage && usage->pressureCheck);
        QCOMPARE(usage->pressureCheck->summary(), summary);
    }

    void weeklyBudget_data()
    {
        QTest::addColumn<double>("resetsIn");
        QTest::addColumn<double>("perDay");
        QTest::addColumn<double>("perHour");
        QTest::newRow("days to go") << 3.5 * 86400 << 20.0 << 0.83;
        QTest::newRow("last half hour") << 1800.0 << 70.0 << 70.0;
    }
    void weeklyBudget()
    {
        QFETCH(double, resetsIn);
        QFETCH(double, perDay);
        QFETCH(double, perHour);
        const auto usage = decoded({bucket("codex", window(30, 10080, resetsIn))});
        QVERIFY(usage && usage->weeklyBudget);
        QCOMPARE(usage->weeklyBudget->remainingPercent, 70);
        QCOMPARE(usage->weeklyBudget->secondsToReset, resetsIn);
        QCOMPARE(usage->weeklyBudget->percentPerDay, perDay);
        QCOMPARE(usage->weeklyBudget->percentPerHour, perHour);
    }

    void unshowableWindows_data()
    {
        QTest::addColumn<RawWindow>("raw");
        QTest::newRow("no length") << RawWindow{10, std::nullopt, now + 60};
        QTest::newRow("zero length") << RawWindow{10, 0, now + 60};
        QTest::newRow("no reset time") << RawWindow{10, 300, std::nullopt};
        QTest::newRow("reset beyond the year 9999") << RawWindow{10, 300, 253402300800.0};
        QTest::newRow("used not a number") << RawWindow{qQNaN(), 300, now + 60};
    }
    void unshowableWindows()
    {
        QFETCH(RawWindow, raw);
        QVERIFY(!Snapshot::build({bucket("codex", raw)}, now));
        // With a good window beside it, only the bad one is left out.
        const auto usage = decoded({bucket("codex", raw, window(5, 10080, 60))});
        QVERIFY(usage);
        QCOMPARE(usage->windows.size(), 1);
        QCOMPARE(usage->windows[0].windowDurationMins, 10080);
    }
};

QTEST_GUILESS_MAIN(TestQuorvel)
#include "test_quorvel.moc"
