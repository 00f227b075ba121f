// `tessaline status` and `tessaline check` at their entry point: the real helper
// fixture, a local HTTPS server, and a running copy's socket answered from another thread.
#include "cli/StatusReport.h"
#include "cli/TerminalCommands.h"
#include "platform/SingleInstance.h"

#include "FixtureRows.h"
#include "TestHttpsServer.h"
#include "TestJson.h"

#include <QBuffer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>
#include <QThread>

using namespace tessaline;
using T = TerminalCommands;

namespace {

struct Ran {
    int exit = -1;
    QByteArray out;
    QByteArray err;
};

// Runs one command as the program would, with the helper fixture in `helperMode`.
Ran run(const QStringList &arguments, QByteArray input, const QString &helperMode, const CheckEndpoint &endpoint = {})
{
    QBuffer in(&input), out, err;
    in.open(QIODevice::ReadOnly);
    out.open(QIODevice::WriteOnly);
    err.open(QIODevice::WriteOnly);
    // The instance RunningCopy claims; a stalled server fails after 2 s, a trickling one after 5.
    T::Context context{&in, &out, &err, endpoint, QuotaReader::Options::current(), QStringLiteral("tessaline"), 2000,
                       std::chrono::seconds(2), std::chrono::seconds(5)};
    context.quota.environment.insert("QUORVEL_EXECUTABLE", TESSALINE_FIXTURES "/helpers/helper.sh");
    context.quota.environment.insert("FIXTURE_MODE", helperMode);
    context.quota.environment.insert("FIXTURE_STDERR", "not signed in");
    const int exit = T::run(QStringList{"tessaline"} + arguments, context);
    return {exit, out.data(), err.data()};
}

// A copy of Tessaline already running, answering status requests on its own thread.
class RunningCopy {
public:
    explicit RunningCopy(const QByteArray &answer)
    {
        thread.start();
        instance = new SingleInstance("tessaline");
        instance->moveToThread(&thread);
        QMetaObject::invokeMethod(
            instance, [this, answer] {
                instance->setStatusAnswer([answer] { return answer; });
                return instance->claim() == SingleInstance::Role::Primary;
            },
            Qt::BlockingQueuedConnection, &claimed);
    }
    ~RunningCopy()
    {
        QMetaObject::invokeMethod(instance, [this] { delete instance; }, Qt::BlockingQueuedConnection);
        thread.quit();
        thread.wait();
    }
    bool claimed = false;

private:
    QThread thread;
    SingleInstance *instance = nullptr;
};

} // namespace

class TestTerminal : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        runtime = std::make_unique<QTemporaryDir>();
        QVERIFY(runtime->isValid());
        qputenv("XDG_RUNTIME_DIR", runtime->path().toLocal8Bit());
    }

    // Where status gets its figures and how it prints them: from a running copy when one
    // answers, else through the helper, whose snapshot has 5-hour 65%, weekly 28% and the
    // band "tight". Text prints its first line, json and waybar one key's value.
    void status_data() { addFixtureRows(QStringLiteral("cli/status.json")); }
    void status()
    {
        QFETCH(QJsonObject, row);
        std::optional<RunningCopy> copy;
        if (row.contains("running")) {
            copy.emplace(row.value("running").toString().toUtf8());
            QVERIFY(copy->claimed);
        }
        const QString format = row.value("format").toString();
        const QByteArray out = row.value("out").toString().toUtf8();
        const Ran ran = run({"status", "--format", format}, {}, row.value("helper").toString());
        QCOMPARE(ran.exit, row.value("exit").toInt());
        QCOMPARE(ran.err, row.value("err").toString().toUtf8());
        // Text's first line is compared; json and waybar print one JSON object on one line, as
        // waybar and jq read it, and its "band" or "class" is. Output that does not parse reads
        // as an empty object, whose missing key fails the comparison.
        const bool json = format == "json" || format == "waybar";
        const QJsonObject object = QJsonDocument::fromJson(ran.out).object();
        QCOMPARE(json ? object.value(format == "json" ? "band" : "class").toString().toUtf8() : ran.out.split('\n').first(), out);
        QCOMPARE(ran.out.isEmpty(), out.isEmpty());
        QVERIFY(ran.out.isEmpty() || (ran.out.endsWith('\n') && (!json || ran.out.count('\n') == 1)));
        if (format == "json") // reads back as written
            QCOMPARE(StatusReport::fromJson(ran.out)->json() + '\n', ran.out);
        if (format == "waybar")
            QVERIFY(object.value("text").isString() && object.value("tooltip").isString()
                    && (ran.exit != 0 || object.value("percentage").isDouble()));
    }

    // One check from the terminal, from the text to the exit status. What each kind of
    // answer or failure makes of the check is the check's own test; here, that it reaches
    // the right stream and exit status.
    void check_data() { addFixtureRows(QStringLiteral("cli/check.json")); }
    void check()
    {
        QFETCH(QJsonObject, row);
        const QByteArray body = testjson::answer(testjson::merged(
            {{"reservePolicy", "standard"}, {"taskPacket", "Rename Foo to Bar.\nRun the tests."}},
            row.value("answer").toObject()));
        TestHttpsServer server;
        QVERIFY(server.listen());
        server.respondWith(TestHttpsServer::Response::json(row.value("status").toInt(200), body));
        const bool trusted = row.value("trusted").toBool(true);
        const CheckEndpoint endpoint{server.host(), trusted ? QList{TestHttpsServer::authority()} : QList<QSslCertificate>()};
        QByteArray input = row.value("input").toString(QStringLiteral("  Rename Foo to Bar.\n")).toUtf8();
        QStringList arguments = QStringList{"check"} + row.value("options").toVariant().toStringList();
        QTemporaryFile file;
        if (row.value("file").toBool()) {
            QVERIFY(file.open() && file.write(input) == input.size() && file.flush());
            arguments.append(file.fileName());
            input.clear();
        }
        const Ran ran = run(arguments, input, row.value("helper").toString(QStringLiteral("snapshot")), endpoint);
        QCOMPARE(ran.exit, row.value("exit").toInt());
        QCOMPARE(ran.err, row.value("err").toString().toUtf8().replace("HOST", server.host().toUtf8()));
        if (arguments.contains("--json"))
            QCOMPARE(ran.out, body + '\n');
        QVERIFY2(ran.out.startsWith(row.value("out").toString().toUtf8()), ran.out.constData());
        if (ran.exit == T::notSent) {
            QVERIFY(server.requests().isEmpty());
            return;
        }
        if (!trusted)
            return;
        // Sent as the window sends it: trimmed, with the quota summary of the snapshot.
        const QJsonObject sent = QJsonDocument::fromJson(server.requests().at(0).body).object();
        QCOMPARE(sent.value("task").toString(), QStringLiteral("Rename Foo to Bar."));
        QCOMPARE(sent.value("quota").toObject().value("weeklyRemainingPercent").toInt(), 28);
        if (ran.exit == T::startNow && !row.contains("options"))
            QVERIFY(ran.out.endsWith("Experimental task-fit assessment, not an OpenAI quota estimate.\n"));
    }

private:
    std::unique_ptr<QTemporaryDir> runtime;
};

QTEST_GUILESS_MAIN(TestTerminal)
#include "test_terminal.moc"
