// `tessaline status` and `tessaline check` at their entry point: the real helper
// fixture, a local HTTPS server, and a running copy's socket answered from another thread.
#include "cli/StatusReport.h"
#include "cli/TerminalCommands.h"
#include "platform/SingleInstance.h"

#include "TestHttpsServer.h"

#include <QBuffer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>
#include <QThread>

using namespace tessaline;
using Response = TestHttpsServer::Response;
using T = TerminalCommands;

Q_DECLARE_METATYPE(TestHttpsServer::Response)

namespace {

struct Ran {
    int exit = -1;
    QByteArray out;
    QByteArray err;
};

// Runs one command as the program would, with the helper fixture in `helperMode`.
Ran run(const QStringList &arguments, const QByteArray &input, const QString &helperMode,
        const CheckEndpoint &endpoint = {})
{
    QBuffer in, out, err;
    in.setData(input);
    in.open(QIODevice::ReadOnly);
    out.open(QIODevice::WriteOnly);
    err.open(QIODevice::WriteOnly);
    T::Context context;
    context.in = &in;
    context.out = &out;
    context.err = &err;
    context.endpoint = endpoint;
    context.quota = QuotaReader::Options::current();
    context.quota.environment.insert("QUORVEL_EXECUTABLE", TESSALINE_FIXTURES "/helpers/helper.sh");
    context.quota.environment.insert("FIXTURE_MODE", helperMode);
    context.quota.environment.insert("FIXTURE_STDERR", "not signed in");
    context.transferTimeout = std::chrono::seconds(2); // a stalled server fails after this
    context.deadline = std::chrono::seconds(5);
    Ran ran;
    ran.exit = T::run(QStringList{"tessaline"} + arguments, context);
    ran.out = out.data();
    ran.err = err.data();
    return ran;
}

QByteArray answer(const char *decision, bool packet = true)
{
    QJsonObject root{{"decision", decision}, {"quota", QJsonObject{{"band", "tight"}, {"reason", "Little left."}}},
                     {"reservePolicy", "standard"}};
    if (packet)
        root.insert("taskPacket", "Rename Foo to Bar.\nRun the tests.");
    return QJsonDocument(root).toJson(QJsonDocument::Compact);
}

const QByteArray quotaFailure = "Tessaline could not read your current Codex quota. not signed in Tessaline needs "
                                "the Codex CLI installed and a signed-in Codex session.\n";

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

    // Where status gets its figures and how it prints them. The fixture snapshot has a
    // 5-hour window at 65%, a weekly one at 28% and the band "tight".
    void status_data()
    {
        QTest::addColumn<QByteArray>("running"); // the running copy's answer; null: none runs
        QTest::addColumn<QString>("helper");
        QTest::addColumn<QString>("format");
        QTest::addColumn<int>("exit");
        QTest::addColumn<QByteArray>("out"); // text: the first line; json: one key's value
        QTest::addColumn<QByteArray>("err");
        const QByteArray copy = R"({"fiveHour":{"remainingPercent":9,"resetsAt":0},"band":"critical","run":{"state":2}})";
        const QByteArray pressure = "Most pressured: Codex weekly, 12 points ahead of even pace.";
        QTest::newRow("helper, text") << QByteArray() << "snapshot" << "text" << 0 << pressure << QByteArray();
        QTest::newRow("helper, json") << QByteArray() << "snapshot" << "json" << 0 << QByteArray("tight") << QByteArray();
        QTest::newRow("helper, waybar") << QByteArray() << "snapshot" << "waybar" << 0 << QByteArray("tight") << QByteArray();
        QTest::newRow("helper fails") << QByteArray() << "fail" << "text" << 1 << QByteArray() << quotaFailure;
        QTest::newRow("helper fails, waybar") << QByteArray() << "fail" << "waybar" << 1 << QByteArray("unavailable") << quotaFailure;
        // The running copy answers; the helper is not run (it would fail).
        QTest::newRow("running copy") << copy << "fail" << "text" << 0 << QByteArray("5-hour: 9% remaining, resets now") << QByteArray();
        QTest::newRow("running copy, waybar") << copy << "fail" << "waybar" << 0 << QByteArray("critical") << QByteArray();
        // A copy with nothing to report yet, or an answer not ours: read through the helper.
        QTest::newRow("running copy, nothing yet") << QByteArray("") << "snapshot" << "json" << 0 << QByteArray("tight") << QByteArray();
        QTest::newRow("running copy, garbage") << QByteArray("{\"band\":7}") << "snapshot" << "json" << 0 << QByteArray("tight") << QByteArray();
        QTest::newRow("helper, brief") << QByteArray() << "snapshot" << "brief" << 0 << QByteArray("5-hour 65% · Weekly 28%") << QByteArray();
        QTest::newRow("unknown format") << QByteArray() << "snapshot" << "xml" << 2 << QByteArray()
                                        << QByteArray("--format takes text, json, waybar or brief, not \"xml\"; see tessaline --help.\n");
    }
    void status()
    {
        QFETCH(QByteArray, running);
        QFETCH(QString, helper);
        QFETCH(QString, format);
        QFETCH(QByteArray, out);
        std::optional<RunningCopy> copy;
        if (!running.isNull()) {
            copy.emplace(running);
            QVERIFY(copy->claimed);
        }
        const Ran ran = run({"status", "--format", format}, {}, helper);
        QTEST(ran.exit, "exit");
        QTEST(ran.err, "err");
        if (out.isEmpty()) {
            QCOMPARE(ran.out, QByteArray());
            return;
        }
        QVERIFY(ran.out.endsWith('\n'));
        if (format == "text" || format == "brief") {
            QCOMPARE(ran.out.split('\n').first(), out);
            return;
        }
        // One JSON object on one line, as waybar and jq read it.
        QCOMPARE(ran.out.count('\n'), 1);
        QJsonParseError error{};
        const QJsonObject object = QJsonDocument::fromJson(ran.out, &error).object();
        QCOMPARE(error.error, QJsonParseError::NoError);
        if (format == "json") {
            QCOMPARE(object.value("band").toString().toUtf8(), out);
            QCOMPARE(StatusReport::fromJson(ran.out)->json() + '\n', ran.out); // reads back as written
            return;
        }
        QCOMPARE(object.value("class").toString().toUtf8(), out);
        QVERIFY(object.value("text").isString() && object.value("tooltip").isString());
        if (ran.exit == 0)
            QVERIFY(object.value("percentage").isDouble());
    }

    // One check from the terminal, from the text to the exit status.
    void check_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QString>("helper");
        QTest::addColumn<Response>("response");
        QTest::addColumn<bool>("trusted");
        QTest::addColumn<int>("exit");
        QTest::addColumn<QByteArray>("out"); // the start of standard output
        QTest::addColumn<QByteArray>("err");
        const QByteArray task = "  Rename Foo to Bar.\n";
        Response stalled;
        stalled.stall = true;
        const auto ok = [](const char *decision, bool packet = true) { return Response::json(200, answer(decision, packet)); };
        const QByteArray unavailable = "The check is unavailable right now. Try again shortly.\n";
        QTest::newRow("start now") << QStringList() << task << "snapshot" << ok("start_now") << true << int(T::startNow)
                                   << QByteArray("START NOW\nLittle left.\n\nVALIDATION RESERVE\n") << QByteArray();
        QTest::newRow("scope down") << QStringList() << task << "snapshot" << ok("scope_down") << true << int(T::scopeDown)
                                    << QByteArray("SCOPE DOWN\n") << QByteArray();
        QTest::newRow("plan first") << QStringList() << task << "snapshot" << ok("plan_first") << true << int(T::planFirst)
                                    << QByteArray("PLAN FIRST\n") << QByteArray();
        QTest::newRow("wait for reset") << QStringList() << task << "snapshot" << ok("wait_for_reset") << true
                                        << int(T::waitForReset) << QByteArray("WAIT FOR RESET\n") << QByteArray();
        QTest::newRow("--packet") << QStringList{"--packet"} << task << "snapshot" << ok("scope_down") << true
                                  << int(T::scopeDown) << QByteArray("Rename Foo to Bar.\nRun the tests.\n") << QByteArray();
        QTest::newRow("--packet, none") << QStringList{"--packet"} << task << "snapshot" << ok("start_now", false) << true
                                        << int(T::noPacket) << QByteArray()
                                        << QByteArray("The check's answer has no task packet (START NOW).\n");
        QTest::newRow("--json") << QStringList{"--json"} << task << "snapshot" << ok("plan_first") << true << int(T::planFirst)
                                << answer("plan_first") + '\n' << QByteArray();
        QTest::newRow("empty") << QStringList() << QByteArray(" \n\t") << "snapshot" << ok("start_now") << true
                               << int(T::notSent) << QByteArray() << QByteArray("Describe the task first.\n");
        QTest::newRow("too long") << QStringList() << QByteArray(8001, 'x') << "snapshot" << ok("start_now") << true
                                  << int(T::notSent) << QByteArray()
                                  << QByteArray("That description is longer than 8,000 characters.\n");
        QTest::newRow("no quota") << QStringList() << task << "fail" << ok("start_now") << true << int(T::notSent)
                                  << QByteArray() << quotaFailure;
        QTest::newRow("500") << QStringList() << task << "snapshot" << Response::json(500, answer("start_now")) << true
                             << int(T::noAnswer) << QByteArray() << unavailable;
        QTest::newRow("unknown decision") << QStringList() << task << "snapshot" << ok("go") << true << int(T::noAnswer)
                                          << QByteArray() << unavailable;
        QTest::newRow("untrusted") << QStringList() << task << "snapshot" << ok("start_now") << false << int(T::noAnswer)
                                   << QByteArray() << QByteArray("The check could not reach HOST.\n");
        QTest::newRow("slow") << QStringList() << task << "snapshot" << stalled << true << int(T::noAnswer) << QByteArray()
                              << QByteArray("The check could not reach HOST.\n");
        QTest::newRow("two files") << QStringList{"a", "b"} << task << "snapshot" << ok("start_now") << true
                                   << int(T::notSent) << QByteArray()
                                   << QByteArray("check takes one file; see tessaline --help.\n");
    }
    void check()
    {
        QFETCH(QStringList, options);
        QFETCH(QByteArray, input);
        QFETCH(QString, helper);
        QFETCH(Response, response);
        QFETCH(bool, trusted);
        QFETCH(QByteArray, out);
        QFETCH(QByteArray, err);
        TestHttpsServer server;
        QVERIFY(server.listen());
        server.respondWith(response);
        CheckEndpoint endpoint{server.host(), {}};
        if (trusted)
            endpoint.extraAuthorities = {TestHttpsServer::authority()};
        // Half the rows read a file, half standard input.
        QTemporaryFile file;
        QStringList arguments = QStringList{"check"} + options;
        if (options.isEmpty() && QTest::currentDataTag()[0] < 'n') {
            QVERIFY(file.open() && file.write(input) == input.size() && file.flush());
            arguments.append(file.fileName());
            input.clear();
        }
        const Ran ran = run(arguments, input, helper, endpoint);
        QTEST(ran.exit, "exit");
        QCOMPARE(ran.err, QByteArray(err).replace("HOST", server.host().toUtf8()));
        QVERIFY2(ran.out.startsWith(out), ran.out.constData());
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
        if (ran.exit == T::startNow && options.isEmpty())
            QVERIFY(ran.out.endsWith("Experimental task-fit assessment, not an OpenAI quota estimate.\n"));
    }

private:
    std::unique_ptr<QTemporaryDir> runtime;
};

QTEST_GUILESS_MAIN(TestTerminal)
#include "tst_terminal.moc"
