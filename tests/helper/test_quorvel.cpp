// Runs the built quorvel as the program does (one argument, no input) against generated
// Codex homes, a fake Codex CLI and the real one with only its backend faked, and checks
// the figures it derives from raw windows. What it prints is read back through the
// program's own decoder.

#include "helper/SessionLogs.h"
#include "helper/Snapshot.h"
#include "quota/Usage.h"

#include "FixtureRows.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>

#include <zstd.h>

#include <csignal>
#include <functional>

using namespace tessaline;
using namespace tessaline::helper;

using Setup = std::function<void(const QString &home)>;
Q_DECLARE_METATYPE(Setup)

namespace {

const double now = double(QDateTime::currentSecsSinceEpoch());
const QString today = "2026/12/06";

// A session log's window, resetting `resetsIn` seconds from now.
QJsonObject logWindow(double used, qint64 minutes, double resetsIn)
{
    return {{"used_percent", used}, {"window_minutes", minutes}, {"resets_at", now + resetsIn}};
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

// Writes a file, last modified `age` s ago.
void writeFile(const QString &path, const QByteArray &bytes, double age = 0)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    file.flush(); // or the buffered write would stamp the file after its time is set
    file.setFileTime(QDateTime::currentDateTimeUtc().addMSecs(qint64(-age * 1000)), QFileDevice::FileModificationTime);
}

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
    writeFile(home + "/.codex/sessions/" + folder + "/rollout-" + name + (compressed ? ".jsonl.zst" : ".jsonl"), text, age);
}

Setup log(const QList<QByteArray> &lines)
{
    return [lines](const QString &home) { writeLog(home, today, "a", lines); };
}

void installCli(const QString &home, const QString &dir = "bin", const QString &cli = FAKE_CODEX_PATH)
{
    QDir().mkpath(home + '/' + dir);
    if (!QFile::link(cli, home + '/' + dir + "/codex"))
        qFatal("cannot install the Codex CLI");
}

// The default bucket at 77 %, in the session logs to fall back on.
void fallbackLog(const QString &home)
{
    writeLog(home, today, "a", {line(now - 50, QJsonObject{{"primary", logWindow(77, 300, 60)}, {"spend_control_reached", false}})});
}
const QString fromLogs = "300:77@60 / codex* / no spend";

// The fake CLI, with or without logs to fall back on.
Setup cliWithLogs(bool logs)
{
    return [logs](const QString &home) {
        installCli(home);
        if (logs)
            fallbackLog(home);
    };
}

QString liveResult(const QJsonObject &rateLimits, const QJsonValue &byId = {}, const QJsonValue &resetCredits = {})
{
    return "FAKE_CODEX_RESULT="
        + QJsonDocument(QJsonObject{{"rateLimits", rateLimits}, {"rateLimitsByLimitId", byId}, {"rateLimitResetCredits", resetCredits}})
              .toJson(QJsonDocument::Compact);
}

QJsonObject liveWindow(qint64 used, const QJsonValue &minutes, double resetsIn)
{
    return {{"usedPercent", used}, {"windowDurationMins", minutes}, {"resetsAt", now + resetsIn}};
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
    return {id, {}, primary, secondary, {}, {}, {}, id == defaultLimitId};
}

RawWindow window(double used, qint64 minutes, double resetsIn) { return RawWindow{used, minutes, now + resetsIn}; }

std::optional<Usage> decoded(const QList<RawBucket> &buckets)
{
    const auto doc = Snapshot::build(buckets, now);
    const auto usage = Usage::decode(doc ? QJsonDocument(*doc).toJson() : QByteArray());
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
        auto window = [](int used, int seconds, double resetsIn) {
            return QString(R"({"used_percent":%1,"limit_window_seconds":%2,"reset_after_seconds":%3,"reset_at":%4})")
                .arg(used).arg(seconds).arg(resetsIn).arg(qint64(now + resetsIn));
        };
        if (path.endsWith("/wham/usage")) {
            Q_EMIT usageAsked();
            if (mode == Mode::Hang)
                return;
            if (mode == Mode::Error)
                return reply(s, 500, R"({"detail":"upstream failure"})");
            return reply(s, 200, QString(R"({"plan_type":"plus","rate_limit":{"allowed":true,"limit_reached":false,)"
                R"("primary_window":%1,"secondary_window":%2},"additional_rate_limits":[{"limit_name":"GPT-5 mini",)"
                R"("metered_feature":"codex_mini","rate_limit":{"allowed":true,"limit_reached":false,"primary_window":%3}}],)"
                R"("credits":{"has_credits":true,"unlimited":false,"balance":"9.99"},"spend_control":{"reached":true},)"
                R"("rate_limit_reset_credits":{"available_count":2},"a_field_added_later":{"x":1}})")
                .arg(window(42, 18000, 3600), window(64, 604800, 86400), window(3, 18000, 60)).toUtf8());
        }
        if (path.endsWith("/wham/rate-limit-reset-credits")) {
            const auto iso = [](double at) { return QDateTime::fromSecsSinceEpoch(qint64(at), Qt::UTC).toString(Qt::ISODate); };
            return reply(s, 200, QString(R"({"available_count":2,"credits":[{"id":"c1","reset_type":"codex_rate_limits",)"
                R"("status":"available","granted_at":"%1","expires_at":"%2"},{"id":"c2","reset_type":"codex_rate_limits",)"
                R"("status":"available","granted_at":"%1"}]})").arg(iso(now), iso(now + 600)).toUtf8());
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
    while (it.hasNext())
        if (const QString path = it.next(); path.contains("/vendor/") && path.endsWith("/bin/codex"))
            return path;
    return {};
}

// A sign-in file as `codex login` leaves it: with ChatGPT, or with an API key. The ChatGPT
// tokens are unsigned: the CLI reads their claims but checks no signature, and only the
// fake backend ever sees them.
QByteArray signInFile(const QString &with)
{
    auto part = [](const QJsonObject &o) { return QJsonDocument(o).toJson(QJsonDocument::Compact).toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals); };
    const QByteArray jwt = part({{"alg", "none"}, {"typ", "JWT"}}) + '.' + part({{"email", "test@example.invalid"}, {"exp", now + 86400}, {"iat", now},
        {"https://api.openai.com/auth", QJsonObject{{"chatgpt_plan_type", "plus"}, {"chatgpt_account_id", "acct-test"}}}}) + ".unsigned";
    if (with == "apikey")
        return R"({"auth_mode":"apikey","OPENAI_API_KEY":"sk-test-unused"})";
    return QString(R"({"auth_mode":"chatgpt","OPENAI_API_KEY":null,"last_refresh":"%2","tokens":{"id_token":"%1","access_token":"%1",)"
                   R"("refresh_token":"unused","account_id":"acct-test"}})").arg(jwt, QDateTime::currentDateTimeUtc().toString(Qt::ISODate)).toUtf8();
}

// Starts quorvel for a run in `home`, with a mark that everything the run starts inherits,
// however deep; returns the mark.
QByteArray start(QProcess &p, const QString &home, const QString &path, const QStringList &env = {})
{
    const QByteArray mark = QUuid::createUuid().toByteArray(QUuid::WithoutBraces);
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    e.insert("HOME", home);
    e.insert("CODEX_HOME", home + "/.codex");
    e.insert("PATH", path);
    e.insert("QUORVEL_COMPANION", "1");
    e.insert("TESSALINE_TEST_RUN", mark);
    for (const QString &kv : env)
        e.insert(kv.section('=', 0, 0), kv.section('=', 1));
    p.setProcessEnvironment(e);
    p.setStandardInputFile(QProcess::nullDevice());
    p.start(QUORVEL_PATH, {"--json"});
    return "TESSALINE_TEST_RUN=" + mark;
}

// Checks what quorvel printed: the figures, read back through the program's own decoder,
// or (status 1) one sentence that contains `expected`.
void verifyOutput(QProcess &p, const QString &expected)
{
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    const QByteArray out = p.readAllStandardOutput(), err = p.readAllStandardError();
    const bool figures = expected.contains(" / ");
    QCOMPARE(p.exitCode(), figures ? 0 : 1);
    if (figures) {
        const auto usage = Usage::decode(out);
        QVERIFY2(usage, out.constData());
        QCOMPARE(describe(*usage), expected);
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
        QTest::addColumn<QString>("expected"); // figures, or part of the sentence on failure
        QTest::newRow("current log, under ~/.codex as CODEX_HOME is empty")
            << log({chatter(now - 60), line(now - 50, limits(logWindow(30.4, 300, 3600), logWindow(70.6, 10080, 86400)))})
            << QStringList{"CODEX_HOME="} << "300:30@3600 10080:71@86400 / codex*";
        QTest::newRow("missing home") << Setup([](const QString &) {}) << QStringList() << "Found neither the Codex CLI nor any Codex session log";
        QTest::newRow("logs without figures") << log({chatter(now - 60), line(now - 50, {})}) << QStringList() << "no session log holds quota figures";
        const QJsonObject flat{{"primary_used_percent", 12.5}, {"secondary_used_percent", 40.0}, {"primary_window_minutes", 300}, {"secondary_window_minutes", 10080}};
        QTest::newRow("logs of an older CLI: percentages, no reset times") << log({line(now - 50, flat),
            line(now - 40, limits(QJsonObject{{"used_percent", 3}, {"window_minutes", 300}}))}) << QStringList() << "hold quota percentages but no reset times";

        const QString both = liveResult({{"primary", liveWindow(42, 300, 3600)}, {"spendControlReached", false}, {"someLaterField", 1}},
                                        QJsonObject{{"codex_mini", QJsonObject{{"limitId", "codex_mini"}, {"primary", liveWindow(3, 300, 60)}}}},
                                        QJsonObject{{"availableCount", 2}, {"credits", QJsonArray{QJsonObject{{"status", "redeeming"}}}}});
        // Sign-in errors, backend errors, hangs and a live answer beside logs come from the
        // real CLI in realCli().
        const QString bothFigures = "300:42@3600 / codex* codex_mini / no spend / 2 resets: redeeming@never";
        QTest::newRow("live answer, CLI ignores end of input and SIGTERM") << cliWithLogs(false)
            << QStringList{"FAKE_CODEX_SCENARIO=stubborn", both} << bothFigures;
        QTest::newRow("live answer, CLI leaves a detached process") << cliWithLogs(false)
            << QStringList{"FAKE_CODEX_SCENARIO=detach", both} << bothFigures;
        QTest::newRow("live answer, CLI in ~/.local/bin") << Setup([](const QString &h) { installCli(h, ".local/bin"); })
            << QStringList{"FAKE_CODEX_SCENARIO=answer", liveResult({{"primary", liveWindow(9, 300, 60)}})} << "300:9@60 / codex*";
        QTest::newRow("no usable window: logs") << cliWithLogs(true)
            << QStringList{"FAKE_CODEX_SCENARIO=answer", liveResult({{"primary", liveWindow(42, {}, 3600)}})} << fromLogs;
        QTest::newRow("garbage, no logs") << cliWithLogs(false) << QStringList{"FAKE_CODEX_SCENARIO=garbage"} << "the Codex CLI answered with unreadable data";
        QTest::newRow("crash: logs") << cliWithLogs(true) << QStringList{"FAKE_CODEX_SCENARIO=crash"} << fromLogs;
    }
    void run()
    {
        QFETCH(Setup, setup);
        QFETCH(QStringList, env);
        QFETCH(QString, expected);
        QTemporaryDir home("/tmp/tess.XXXXXX");
        setup(home.path());
        QProcess p;
        const QByteArray mark = start(p, home.path(), home.filePath("bin"), env);
        QVERIFY(p.waitForFinished(60000)); // far beyond the helper's own ten-second bound
        verifyOutput(p, expected);
        QTRY_VERIFY_WITH_TIMEOUT(marked(mark).isEmpty(), 5000);
    }

    // Which log line gives the figures, read in-process; run() covers the program around it.
    void sessionLogs_data()
    {
        QTest::addColumn<Setup>("setup");
        QTest::addColumn<QString>("expected");
        QTest::newRow("older log: reset counted from the line's time") << Setup([](const QString &h) {
            writeLog(h, "2025/01/01", "a", {line(now - 600, limits(QJsonObject{{"used_percent", 25.5}, {"window_minutes", 300}, {"resets_in_seconds", 7200}}))});
        }) << "300:26@6600 / codex*";
        const QByteArray cut = line(now - 30, limits(logWindow(90, 300, 60)));
        QTest::newRow("newer lines with null windows or cut short: an older line's figures") << Setup([=](const QString &h) {
            writeLog(h, today, "a", {line(now - 90, limits(logWindow(5, 300, 60))), line(now - 50, limits({}, {})), line(now - 40, {}),
                                     cut.left(cut.size() - 20)}, 0, false, false);
        }) << "300:5@60 / codex*";
        QJsonObject model = limits(logWindow(61, 300, 60));
        model.insert("limit_id", "codex_gpt5");
        model.insert("limit_name", "GPT-5");
        QTest::newRow("other bucket newer than the default one") << log({line(now - 50, limits(logWindow(21, 300, 60), logWindow(2, 10080, 600))),
            line(now - 40, model)}) << "300:21@60 10080:2@600 / codex* codex_gpt5=GPT-5";
        // Resumed sessions append to old files: neither the folder nor the newest file
        // decides, the newest line does.
        QTest::newRow("newest line wins, wherever it is") << Setup([](const QString &h) {
            writeLog(h, today, "new", {line(now - 3600, limits(logWindow(10, 300, 60)))}, 3600);
            writeLog(h, "2026/11/02", "resumed", {line(now - 86400 * 30, limits(logWindow(1, 300, 60))), line(now - 20, limits(logWindow(20, 300, 60)))}, 10);
            writeLog(h, today, "long", {line(now - 1800, limits(logWindow(30, 300, 60))), chatter(now - 5)}, 5);
        }) << "300:20@60 / codex*";
        // A compressed log is read, unless it is the copy of a plain one.
        QTest::newRow("compressed logs") << Setup([](const QString &h) {
            writeLog(h, "2026/10/01", "z", {line(now - 45, limits(logWindow(47, 300, 60))), chatter(now - 40)}, 40, true);
            writeLog(h, today, "s", {line(now - 50, limits(logWindow(8, 300, 60)))}, 50);
            writeLog(h, today, "s", {line(now - 10, limits(logWindow(99, 300, 60)))}, 10, true);
        }) << "300:47@60 / codex*";
    }
    void sessionLogs()
    {
        QFETCH(Setup, setup);
        QTemporaryDir home("/tmp/tess.XXXXXX");
        setup(home.path());
        const auto usage = decoded(SessionLogs::read(home.filePath(".codex")).buckets);
        QTEST(usage ? describe(*usage) : QString(), "expected");
    }

    // The real Codex CLI, installed from npm, with only its ChatGPT backend faked.
    void realCli_data()
    {
        QTest::addColumn<bool>("native");     // the native binary on PATH, else npm's Node launcher
        QTest::addColumn<QString>("signIn");  // "chatgpt", "apikey", or none
        QTest::addColumn<FakeBackend::Mode>("backend");
        QTest::addColumn<int>("stopSignal");  // sent to quorvel once the backend is asked
        QTest::addColumn<QString>("expected");
        using M = FakeBackend::Mode;
        const QString live = "300:42@3600 10080:64@86400 / codex* codex_mini=GPT-5 mini / spend / 2 resets: available@600 available@never";
        const QString chatgpt = "chatgpt";
        QTest::newRow("live, through npm's launcher") << false << chatgpt << M::Answer << 0 << live;
        QTest::newRow("live, native binary") << true << chatgpt << M::Answer << 0 << live;
        QTest::newRow("backend error: logs") << false << chatgpt << M::Error << 0 << fromLogs;
        QTest::newRow("backend hangs: bounded, then logs") << false << chatgpt << M::Hang << 0 << fromLogs;
        QTest::newRow("not signed in, logs ignored") << false << "" << M::Answer << 0 << "run `codex login`";
        QTest::newRow("API key, logs ignored") << true << "apikey" << M::Answer << 0 << "API key";
        QTest::newRow("quorvel terminated while the backend hangs") << false << chatgpt << M::Hang << SIGTERM << "";
        QTest::newRow("quorvel interrupted while the backend hangs") << false << chatgpt << M::Hang << SIGINT << "";
    }
    void realCli()
    {
        QFETCH(bool, native);
        QFETCH(QString, signIn);
        QFETCH(FakeBackend::Mode, backend);
        QFETCH(int, stopSignal);
        QFETCH(QString, expected);
        const QString codex = npmCodex(native), serverBinary = QFileInfo(npmCodex(true)).canonicalFilePath();
        const QString node = QStandardPaths::findExecutable("node");
        QVERIFY2(QFileInfo(codex).isExecutable() && !serverBinary.isEmpty() && !node.isEmpty(),
                 "The Codex CLI from npm, or Node.js, is missing: run scripts/install-deps.");

        FakeBackend chatgpt(backend);
        QTemporaryDir home("/tmp/tess.XXXXXX");
        const QString codexHome = home.filePath(".codex");
        installCli(home.path(), "bin", codex);
        QVERIFY(QDir().mkpath(codexHome));
        writeFile(codexHome + "/config.toml", "chatgpt_base_url = \"" + chatgpt.baseUrl().toUtf8() + "\"\n");
        if (!signIn.isEmpty())
            writeFile(codexHome + "/auth.json", signInFile(signIn));
        fallbackLog(home.path());

        QProcess p;
        // The real server, seen while it talks to the backend.
        QList<qint64> servers;
        QByteArray mark;
        connect(&chatgpt, &FakeBackend::usageAsked, &p, [&] {
            for (qint64 pid : marked(mark))
                if (QFileInfo(QString("/proc/%1/exe").arg(pid)).canonicalFilePath() == serverBinary)
                    servers << pid;
            if (stopSignal)
                ::kill(pid_t(p.processId()), stopSignal);
        });
        QSignalSpy finished(&p, &QProcess::finished);
        mark = start(p, home.path(), home.filePath("bin") + ':' + QFileInfo(node).absolutePath());
        QVERIFY(finished.wait(60000));

        if (stopSignal)
            QCOMPARE(p.exitStatus(), QProcess::CrashExit);
        else
            verifyOutput(p, expected);
        if (QTest::currentTestFailed())
            return;
        QVERIFY2(servers.isEmpty() == (signIn != "chatgpt"), "the real app-server was not seen asking the backend");
        // Nothing the run started outlives quorvel, the real server included.
        QTRY_VERIFY_WITH_TIMEOUT(marked(mark).isEmpty(), 5000);
    }

    // Through the snapshot: lengths near the known ones are snapped to them and named; a
    // window that cannot be shown is left out, and alone gives no snapshot at all. A null
    // stands for what the raw figures lack (for "used", not a number).
    void windows_data() { addFixtureRows(QStringLiteral("helpers/windows.json")); }
    void windows()
    {
        QFETCH(QJsonObject, row);
        const auto given = [&row](const char *key, auto value) {
            return row.contains(key) && row.value(key).isNull() ? std::nullopt : std::optional(value);
        };
        const RawWindow raw{row.value("used").isNull() ? qQNaN() : row.value("used").toDouble(1),
                            given("minutes", row.value("minutes").toInteger()),
                            given("resetsAt", row.value("resetsAt").toDouble(now + 60))};
        const QString shown = row.value("shown").toString();
        QCOMPARE(bool(Snapshot::build({bucket("codex", raw)}, now)), !shown.isEmpty());
        const auto usage = decoded({bucket("codex", raw, window(5, 1440, 60))});
        QVERIFY(usage);
        QStringList names;
        for (const Usage::Window &w : usage->windows)
            names << QString("%1 %2").arg(w.windowDurationMins).arg(w.name);
        QCOMPARE(names.join(", "), shown.isEmpty() ? "1440 1 day" : shown + ", 1440 1 day");
    }

    // The pressure summary, then the weekly budget when there is a weekly window. Each
    // window is [used, length in minutes, seconds to its reset].
    void pressure_data() { addFixtureRows(QStringLiteral("helpers/pressure.json")); }
    void pressure()
    {
        QFETCH(QJsonObject, row);
        const auto raw = [](const QJsonValue &w) { return window(w[0].toDouble(), w[1].toInteger(), w[2].toDouble()); };
        const QJsonArray codex = row.value("codex").toArray();
        QList<RawBucket> buckets{bucket("codex", raw(codex[0]), codex.size() > 1 ? std::optional(raw(codex[1])) : std::nullopt)};
        if (row.contains("codex_gpt5"))
            buckets << bucket("codex_gpt5", raw(row.value("codex_gpt5")));
        const auto usage = decoded(buckets);
        QVERIFY(usage && usage->pressureCheck);
        const auto &b = usage->weeklyBudget;
        QCOMPARE(usage->pressureCheck->summary() + (b ? QString(" | %1/day %2/h").arg(b->percentPerDay).arg(b->percentPerHour) : ""),
                 row.value("summary").toString());
    }
};

QTEST_GUILESS_MAIN(TestQuorvel)
#include "test_quorvel.moc"
