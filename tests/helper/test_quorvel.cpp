// Runs the built quorvel as the program does (one argument, no input) against generated
// Codex homes, a fake Codex CLI and the real one with only its backend faked, and checks
// the figures it derives from raw windows. What it prints is read back through the
// program's own decoder.

#include "helper/SessionLogs.h"
#include "helper/Snapshot.h"
#include "quota/Usage.h"

#include "FixtureRows.h"
#include "TestHttpsServer.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>

#include <zstd.h>

#include <csignal>

using namespace tessaline;
using namespace tessaline::helper;
using Response = TestHttpsServer::Response;

namespace {

const double now = double(QDateTime::currentSecsSinceEpoch());
const QString today = "2026/12/06";

// Times in a fixture row are seconds from now: a line's "at", every reset ("resets_at",
// "resetsAt", "reset_at") in the figures it carries and a token's "exp" and "iat"; the
// backend's "granted_at" and "expires_at" and a sign-in's "last_refresh" go out as ISO dates.
QJsonValue fromNow(const QJsonValue &value)
{
    QJsonArray array;
    for (const QJsonValue &item : value.toArray())
        array.append(fromNow(item));
    QJsonObject object = value.toObject();
    for (auto it = object.begin(); it != object.end(); ++it) {
        const double at = now + it.value().toDouble();
        if (!it.value().isDouble())
            it.value() = fromNow(it.value());
        else if (QStringList{"resets_at", "resetsAt", "reset_at", "exp", "iat"}.contains(it.key()))
            it.value() = at;
        else if (QStringList{"granted_at", "expires_at", "last_refresh"}.contains(it.key()))
            it.value() = QDateTime::fromSecsSinceEpoch(qint64(at), Qt::UTC).toString(Qt::ISODate);
    }
    return value.isObject() ? QJsonValue(object) : value.isArray() ? QJsonValue(array) : value;
}

// Writes a file, last modified `age` s ago.
void writeFile(const QString &path, const QByteArray &bytes, double age = 0)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    file.flush(); // or the buffered write would stamp the file after its time is set
    file.setFileTime(QDateTime::currentDateTimeUtc().addMSecs(qint64(-age * 1000)), QFileDevice::FileModificationTime);
}

// A session log as a fixture row gives it: <home>/.codex/sessions/<folder>/rollout-<name>.jsonl
// (.zst when "compressed"), last modified "age" s ago. Each line is a token-count event with
// its "rate_limits", or ("chatter") a transcript line that only mentions them, "cut" bytes short.
void writeLog(const QString &home, const QJsonObject &log)
{
    QByteArrayList lines;
    for (const QJsonValue &value : log.value("lines").toArray()) {
        const QJsonObject entry = value.toObject();
        const bool event = !entry.value("chatter").toBool();
        const QJsonObject payload = event
            ? QJsonObject{{"type", "token_count"}, {"info", QJsonObject{{"total_tokens", 1234}}}, {"rate_limits", fromNow(entry.value("rate_limits"))}}
            : QJsonObject{{"type", "message"}, {"text", "token_count and rate_limits"}};
        const QString time = QDateTime::fromMSecsSinceEpoch(qint64((now + entry.value("at").toDouble()) * 1000), Qt::UTC).toString(Qt::ISODateWithMs);
        const QByteArray line = QJsonDocument(QJsonObject{{"timestamp", time}, {"type", event ? "event_msg" : "response_item"}, {"payload", payload}})
            .toJson(QJsonDocument::Compact);
        lines << line.left(line.size() - entry.value("cut").toInt());
    }
    QByteArray text = lines.join('\n') + (log.value("finalNewline").toBool(true) ? "\n" : "");
    const bool compressed = log.value("compressed").toBool();
    if (compressed) {
        QByteArray packed(qsizetype(ZSTD_compressBound(size_t(text.size()))), Qt::Uninitialized);
        packed.resize(qsizetype(ZSTD_compress(packed.data(), size_t(packed.size()), text.constData(), size_t(text.size()), 3)));
        text = packed;
    }
    const QString folder = home + "/.codex/sessions/" + log.value("folder").toString(today);
    QDir().mkpath(folder);
    writeFile(folder + "/rollout-" + log.value("name").toString("a") + (compressed ? ".jsonl.zst" : ".jsonl"), text, log.value("age").toDouble());
}

void writeLogs(const QString &home, const QJsonObject &row)
{
    for (const QJsonValue &log : row.value("logs").toArray())
        writeLog(home, log.toObject());
    if (row.value("fallbackLog").toBool()) // the default bucket at 77 %: "300:77@60 / codex* / no spend"
        writeLog(home, {{"lines", QJsonArray{QJsonObject{{"at", -50}, {"rate_limits", QJsonObject{
            {"primary", QJsonObject{{"used_percent", 77}, {"window_minutes", 300}, {"resets_at", 60}}}, {"spend_control_reached", false}}}}}}});
}

void installCli(const QString &home, const QString &dir, const QString &cli = FAKE_CODEX_PATH)
{
    QDir().mkpath(home + '/' + dir);
    if (!QFile::link(cli, home + '/' + dir + "/codex"))
        qFatal("cannot install the Codex CLI");
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

// A window as a fixture row gives it: [used, length in minutes, seconds to its reset]. A null
// stands for what the raw figures lack (for "used", not a number).
RawWindow window(const QJsonValue &w)
{
    return {w[0].isNull() ? qQNaN() : w[0].toDouble(), w[1].isNull() ? std::nullopt : std::optional(w[1].toInteger()),
            w[2].isNull() ? std::nullopt : std::optional(now + w[2].toDouble())};
}

std::optional<Usage> decoded(const QList<RawBucket> &buckets)
{
    const auto doc = Snapshot::build(buckets, now);
    const auto usage = Usage::decode(doc ? QJsonDocument(*doc).toJson() : QByteArray());
    return usage ? std::optional<Usage>(*usage) : std::nullopt;
}

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

// A sign-in file as `codex login` leaves it (helpers/sign-in.json): with ChatGPT, or with an
// API key. The ChatGPT tokens are unsigned: the CLI reads their claims but checks no
// signature, and only the fake backend ever sees them.
QByteArray signInFile(const QString &with)
{
    const auto part = [](const QJsonValue &o) {
        return QJsonDocument(fromNow(o).toObject()).toJson(QJsonDocument::Compact).toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    };
    for (const QJsonValue &kind : fixtureRows(QStringLiteral("helpers/sign-in.json"))) {
        if (kind["name"] != with)
            continue;
        const QByteArray jwt = part(QJsonObject{{"alg", "none"}, {"typ", "JWT"}}) + '.' + part(kind["claims"]) + ".unsigned";
        return QJsonDocument(fromNow(kind["file"]).toObject()).toJson().replace("JWT", jwt);
    }
    qFatal("no sign-in named %s", qPrintable(with));
}

} // namespace

class TestQuorvel : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Each row: a Codex home ("logs", "fallbackLog"), a Codex CLI, and the figures or part of
    // the sentence on failure. The CLI is the fake in "cli" with its "env" and the "live" answer
    // it gives, for what the real one cannot be made to do; or, with a "backend", the real one
    // from npm with only its ChatGPT backend faked: the native binary or npm's Node launcher,
    // signed in with "chatgpt", "apikey" or not, the backend answering, failing ("error") or
    // hanging; and a "signal" sent to quorvel once the backend is asked.
    void run_data() { addFixtureRows(QStringLiteral("helpers/runs.json")); }
    void run()
    {
        QFETCH(QJsonObject, row);
        QTemporaryDir home("/tmp/tess.XXXXXX");
        writeLogs(home.path(), row);
        // Everything the run starts inherits the mark, however deep.
        const QByteArray mark = "TESSALINE_TEST_RUN=" + QUuid::createUuid().toByteArray(QUuid::WithoutBraces);
        QStringList env{"HOME=" + home.path(), "CODEX_HOME=" + home.filePath(".codex"), "PATH=" + home.filePath("bin"),
                        "QUORVEL_COMPANION=1", mark};
        env += row.value("env").toVariant().toStringList();
        if (row.contains("cli"))
            installCli(home.path(), row.value("cli").toString());
        if (row.contains("live"))
            env << "FAKE_CODEX_RESULT=" + QJsonDocument(fromNow(row.value("live")).toObject()).toJson(QJsonDocument::Compact);
        const int stopSignal = row.value("signal") == "SIGTERM" ? SIGTERM : row.value("signal") == "SIGINT" ? SIGINT : 0;
        QProcess p;
        QList<qint64> servers; // the real server, seen while it talks to the backend
        TestHttpsServer chatgpt;
        if (row.contains("backend")) {
            const QString codex = npmCodex(row.value("native").toBool()), serverBinary = QFileInfo(npmCodex(true)).canonicalFilePath();
            const QString node = QStandardPaths::findExecutable("node");
            QVERIFY2(QFileInfo(codex).isExecutable() && !serverBinary.isEmpty() && !node.isEmpty(),
                     "The Codex CLI from npm, or Node.js, is missing: run scripts/install-deps.");
            // The ChatGPT backend, over HTTPS from the test authority: the answers of
            // helpers/chatgpt-backend.json, with the usage answer given, failed or never sent.
            QVERIFY(chatgpt.listen());
            chatgpt.setHandler([&, serverBinary, backend = row.value("backend")](const TestHttpsServer::Request &request) {
                for (const QJsonValue &answer : fixtureRows(QStringLiteral("helpers/chatgpt-backend.json"))) {
                    if (!request.target.endsWith(answer["path"].toString().toUtf8()))
                        continue;
                    if (answer["path"] == "/wham/usage") {
                        for (qint64 pid : marked(mark))
                            if (QFileInfo(QString("/proc/%1/exe").arg(pid)).canonicalFilePath() == serverBinary)
                                servers << pid;
                        if (stopSignal)
                            ::kill(pid_t(p.processId()), stopSignal);
                        if (backend == "hang")
                            return Response{200, {}, {}, true}; // stalled: read, never answered
                        if (backend == "error")
                            return Response::json(500, R"({"detail":"upstream failure"})");
                    }
                    return Response::json(200, QJsonDocument(fromNow(answer["body"]).toObject()).toJson(QJsonDocument::Compact));
                }
                return Response::json(404, "{}");
            });
            installCli(home.path(), "bin", codex);
            writeFile(home.filePath(".codex/config.toml"), "chatgpt_base_url = \"https://" + chatgpt.host().toUtf8() + "/backend-api/\"\n");
            if (row.contains("signIn"))
                writeFile(home.filePath(".codex/auth.json"), signInFile(row.value("signIn").toString()));
            env << "PATH=" + home.filePath("bin") + ':' + QFileInfo(node).absolutePath()
                << "CODEX_CA_CERTIFICATE=" + TestHttpsServer::tlsFile("ca.pem");
        }
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        for (const QString &kv : env)
            e.insert(kv.section('=', 0, 0), kv.section('=', 1));
        p.setProcessEnvironment(e);
        p.setStandardInputFile(QProcess::nullDevice());
        QSignalSpy finished(&p, &QProcess::finished);
        p.start(QUORVEL_PATH, {"--json"});
        QVERIFY(finished.wait(60000)); // far beyond the helper's own ten-second bound

        // The figures, read back through the program's own decoder, or status 1 and one sentence.
        QCOMPARE(p.exitStatus(), stopSignal ? QProcess::CrashExit : QProcess::NormalExit);
        const QString expected = row.value("expected").toString();
        const QByteArray out = p.readAllStandardOutput(), err = p.readAllStandardError();
        if (expected.contains(" / ")) {
            const auto usage = Usage::decode(out);
            QVERIFY2(p.exitCode() == 0 && usage, out.constData());
            QCOMPARE(describe(*usage), expected);
        } else if (!stopSignal) {
            QVERIFY(p.exitCode() == 1 && out.isEmpty());
            QVERIFY2(err.endsWith(".\n") && err.count('\n') == 1 && err.contains(expected.toUtf8()), err.constData());
        }
        QVERIFY2(servers.isEmpty() == (row.value("signIn") != "chatgpt"), "the real app-server was not seen asking the backend");
        // Nothing the run started outlives quorvel, the real server included.
        QTRY_VERIFY_WITH_TIMEOUT(marked(mark).isEmpty(), 5000);
    }

    // Which log line gives the figures, read in-process; run() covers the program around it.
    void sessionLogs_data() { addFixtureRows(QStringLiteral("helpers/session-logs.json")); }
    void sessionLogs()
    {
        QFETCH(QJsonObject, row);
        QTemporaryDir home("/tmp/tess.XXXXXX");
        writeLogs(home.path(), row);
        const auto usage = decoded(SessionLogs::read(home.filePath(".codex")).buckets);
        QCOMPARE(usage ? describe(*usage) : QString(), row.value("expected").toString());
    }

    // Through the snapshot, from the raw windows of the default bucket ("codex") and of a
    // model's ("codex_gpt5"). "shown": each window's length and name, lengths near the known
    // ones snapped to them; a window that cannot be shown is left out, and with none left
    // there is no snapshot at all. "summary": the pressure summary, then the weekly budget
    // when there is a weekly window.
    void snapshot_data() { addFixtureRows(QStringLiteral("helpers/snapshots.json")); }
    void snapshot()
    {
        QFETCH(QJsonObject, row);
        const QJsonArray codex = row.value("codex").toArray();
        QList<RawBucket> buckets{bucket("codex", window(codex[0]), codex.size() > 1 ? std::optional(window(codex[1])) : std::nullopt)};
        if (row.contains("codex_gpt5"))
            buckets << bucket("codex_gpt5", window(row.value("codex_gpt5")));
        const auto usage = decoded(buckets);
        QStringList seen;
        for (const Usage::Window &w : usage ? usage->windows : QList<Usage::Window>())
            seen << QString("%1 %2").arg(w.windowDurationMins).arg(w.name);
        if (usage && usage->pressureCheck && row.contains("summary")) {
            const auto &b = usage->weeklyBudget;
            seen = {usage->pressureCheck->summary() + (b ? QString(" | %1/day %2/h").arg(b->percentPerDay).arg(b->percentPerHour) : "")};
        }
        QCOMPARE(seen.join(", "), row.value(row.contains("summary") ? "summary" : "shown").toString());
    }
};

QTEST_GUILESS_MAIN(TestQuorvel)
#include "test_quorvel.moc"
