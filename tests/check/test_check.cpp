// A task check: the request, the answer read back, and the transport against a local HTTPS server.
#include "check/CheckTransport.h"

#include "FixtureRows.h"
#include "TestHttpsServer.h"
#include "TestJson.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

using namespace tessaline;
using testjson::answer;
using testjson::lint;
using Response = TestHttpsServer::Response;

Q_DECLARE_METATYPE(TaskLintResult)

namespace {

Usage::Window window(qint64 minutes, qint64 left, double at) { return {"w", 100 - left, left, minutes, at}; }
PaceEstimate rate(double percentPerHour) { return {percentPerHour, {}, {}}; }
Usage snapshot(double fetchedAt, const QList<Usage::Window> &windows)
{
    Usage usage;
    usage.fetchedAt = fetchedAt;
    usage.windows = windows;
    return usage;
}

// n user-perceived characters of two UTF-16 units each.
QString accented(qsizetype n) { return QStringLiteral("e\u0301").repeated(n); }

const QByteArray validAnswer = answer();
const QString unavailable = QStringLiteral("The check is unavailable right now. Try again shortly.");

PreparedCheck prepared(const CheckEndpoint &endpoint)
{
    return std::get<PreparedCheck>(TaskCheck::prepare("Rename it", snapshot(0, {window(300, 70, 600)}), endpoint));
}

CheckEndpoint trusting(const TestHttpsServer &server) { return {server.host(), {TestHttpsServer::authority()}}; }

// Runs one check to its completion and returns what it delivered.
CheckOutcome run(const CheckEndpoint &endpoint)
{
    CheckTransport transport;
    transport.setTransferTimeout(std::chrono::seconds(2)); // a stalled server fails after this
    transport.setDeadline(std::chrono::seconds(5));        // a trickling one after this
    QSignalSpy spy(&transport, &CheckTransport::finished);
    if (!transport.start(prepared(endpoint)) || !spy.wait(20000))
        qFatal("the check did not complete");
    return spy.at(0).at(0).value<CheckOutcome>();
}

} // namespace

class TestCheck : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void decode_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<TaskLintResult>("expected");
        TaskLintResult r;
        r.decision = QStringLiteral("scope_down");
        r.quota = {QStringLiteral("moderate"), QStringLiteral("Enough quota for a bounded task.")};
        QTest::newRow("minimal") << answer() << r;
        QTest::newRow("nulls and unknown keys ignored")
            << answer({{"taskSize", {}}, {"lints", {}}, {"taskShape", {}}, {"defer", {}}, {"taskPacket", {}},
                       {"reservePolicy", {}}, {"deferred", QJsonArray{"a"}}, {"future", QJsonObject{{"x", 1}}}})
            << r;
        QTest::newRow("packet of 12,001 characters absent") << answer({{"taskPacket", accented(12001)}}) << r;
        QTest::newRow("empty packet, HIGH policy") << answer({{"taskPacket", ""}, {"reservePolicy", "HIGH"}}) << r;

        const QString packet = " " + accented(11998) + "\n"; // 12,000 characters, kept untrimmed
        TaskLintResult full = r;
        full.decision = QStringLiteral("wait_for_reset");
        full.quota = {QString(), QStringLiteral("Plenty.")};
        full.taskSize = QStringLiteral("medium");
        full.reservePolicy = ReservePolicy::standard;
        full.taskPacket = packet;
        full.taskShape = TaskLintResult::Shape{"s", std::nullopt, "", std::nullopt, "t"};
        full.lints = {{"c", "a", "m", "f"}, {"c", "b", "m", "f"}, {"c", "d", "m", "f"}, {"c", "e", "m", "f"}};
        full.deferred = {"b", "d", "e", "f", "g"};
        QTest::newRow("every field; empty lints and deferrals dropped before the caps")
            << answer({{"decision", "wait_for_reset"}, {"quota", QJsonObject{{"band", ""}, {"reason", "Plenty."}}},
                       {"taskSize", "medium"}, {"reservePolicy", "standard"}, {"taskPacket", packet},
                       {"taskShape", QJsonObject{{"scope", "s"}, {"direction", {}}, {"preserve", ""}, {"stop", "t"}}},
                       {"lints", QJsonArray{lint("a", "f"), lint("b", "f"), lint("no fix", ""), lint("", "no title"),
                                            lint("d", "f"), lint("e", "f"), lint("past the cap", "f")}},
                       {"defer", QJsonArray{"", "b", "", "d", "e", "f", "g", "h"}}})
            << full;
    }
    void decode()
    {
        QFETCH(QByteArray, json);
        QFETCH(TaskLintResult, expected);
        const Expected<TaskLintResult> decoded = TaskLintResult::decode(json);
        QVERIFY(decoded && *decoded == expected);
    }

    // Refused whole: the text as given, or the smallest answer with these keys replaced.
    void rejected_data() { addFixtureRows(QStringLiteral("check/rejected-answers.json")); }
    void rejected()
    {
        QFETCH(QJsonObject, row);
        QVERIFY(!TaskLintResult::decode(row.contains("text") ? row.value("text").toString().toUtf8()
                                                            : answer(row.value("answer").toObject())));
    }

    // Each window is [minutes, left, reset]; "pace" maps a window's minutes to its rate, null
    // for none known; numbers JSON cannot hold are strings ("-0", "nan", "inf"). No
    // "windows": no snapshot at all.
    void quotaSummary_data() { addFixtureRows(QStringLiteral("check/quota-summary.json")); }
    void quotaSummary()
    {
        QFETCH(QJsonObject, row);
        const auto number = [](const QJsonValue &v) { return v.isString() ? v.toString().toDouble() : v.toDouble(); };
        std::optional<Usage> usage;
        if (row.contains("windows")) {
            QList<Usage::Window> windows;
            for (const QJsonValue &w : row.value("windows").toArray())
                windows << window(w[0].toInteger(), w[1].toInteger(), number(w[2]));
            usage = snapshot(row.value("fetchedAt").toDouble(), windows);
            if (row.contains("blocked")) {
                usage->pressureCheck.emplace().blocked = true;
                usage->pressureCheck->windowLabel = row.value("blocked").toString();
            }
        }
        PaceMap pace;
        const QJsonObject rates = row.value("pace").toObject();
        for (auto it = rates.begin(); it != rates.end(); ++it)
            pace.insert(it.key().toLongLong(), it.value().isNull() ? PaceEstimate{} : rate(number(it.value())));
        QCOMPARE(TessalineQuota(usage, pace).encode(), row.value("json").toString().toUtf8());
    }

    // "usage": none (no quota read yet), or the snapshot's "fetchedAt" and "windows" of
    // [minutes, left, reset]; "expected": the refusal, or the body sent. THUMBS×n stands for
    // n thumbs up with a skin tone: one character, four UTF-16 units each.
    void prepare_data() { addFixtureRows(QStringLiteral("check/prepare.json")); }
    void prepare()
    {
        QFETCH(QJsonObject, row);
        const auto expand = [](QString text) {
            const QRegularExpressionMatch m = QRegularExpression(QStringLiteral("THUMBS×(\\d+)")).match(text);
            return m.hasMatch() ? text.replace(m.captured(), QStringLiteral("\U0001F44D\U0001F3FD").repeated(m.captured(1).toInt())) : text;
        };
        std::optional<Usage> usage;
        if (row.contains("usage")) {
            QList<Usage::Window> windows;
            for (const QJsonValue &w : row.value("usage")["windows"].toArray())
                windows << window(w[0].toInteger(), w[1].toInteger(), w[2].toDouble());
            usage = snapshot(row.value("usage")["fetchedAt"].toDouble(), windows);
        }
        const QString host = row.value("host").toString(QStringLiteral("example.test"));
        const auto prepared = TaskCheck::prepare(expand(row.value("description").toString()), usage, {host, {}});
        const auto *check = std::get_if<PreparedCheck>(&prepared);
        QCOMPARE(check ? QString::fromUtf8(check->body) : std::get<QString>(prepared), expand(row.value("expected").toString()));
        if (check)
            QCOMPARE(check->url, QUrl("https://" + host + "/api/tessaline"));
    }

    void builtEndpoint()
    {
        // A build's own authority is a resource in a static library, found only when
        // registered by name.
        const CheckEndpoint endpoint = CheckEndpoint::build();
        QCOMPARE(endpoint.extraAuthorities.isEmpty(), !TESSALINE_EXPECTED_CHECK_CA);
        QCOMPARE(endpoint.webCheckerUrl().value_or(QUrl()), QUrl("https://" + endpoint.host + "/tessaline/check"));
    }

    // What one check makes of each kind of answer: "status" is "unavailable", "unreachable"
    // or empty (decoded); "resentAs" the method of a followed redirect. A response is the
    // valid answer with its "code", "body" ("", "1 MiB", "1 MiB and a byte"), "redirect",
    // "stall" (read the request, never answer) or "trickleMs" (done only after most of a
    // minute, never idle for long); SELF and OTHER stand for this server and another one.
    void answers_data() { addFixtureRows(QStringLiteral("check/answers.json")); }
    void answers()
    {
        QFETCH(QJsonObject, row);
        const QJsonObject r = row.value("response").toObject();
        const QString kind = r.value("body").toString(QStringLiteral("answer")), status = row.value("status").toString();
        const QByteArray mebibyte = validAnswer + QByteArray(CheckTransport::maxBodyBytes - validAnswer.size(), ' ');
        Response response = r.contains("redirect") ? Response::redirect(r.value("code").toInt(), r.value("redirect").toString().toUtf8())
            : Response::json(r.value("code").toInt(200), kind == "answer" ? validAnswer : kind.isEmpty() ? QByteArray()
                                                       : mebibyte + QByteArray(kind.size() > 5 ? 1 : 0, ' '));
        response.stall = r.value("stall").toBool();
        response.trickleMs = r.value("trickleMs").toInt();
        const bool trusted = row.value("trusted").toBool(true);
        const QByteArray resentAs = row.value("resentAs").toString().toUtf8();
        TestHttpsServer server, other;
        QVERIFY(server.listen() && other.listen());
        other.respondWith(Response::json(200, validAnswer));
        for (auto &header : response.headers)
            header.second.replace("SELF", server.host().toUtf8()).replace("OTHER", other.host().toUtf8());
        server.setHandler([&](const TestHttpsServer::Request &request) {
            return request.target == "/api/tessaline" ? response : Response::json(200, validAnswer);
        });
        CheckEndpoint endpoint = trusting(server);
        if (!trusted)
            endpoint.extraAuthorities.clear();
        const CheckOutcome outcome = run(endpoint);
        const bool reached = status != "unreachable";
        QCOMPARE(outcome.status, reached ? (status.isEmpty() ? "" : unavailable)
                                         : "The check could not reach " + endpoint.host + '.');
        QCOMPARE(outcome.result ? outcome.result->verdict() : QString(), status.isEmpty() ? "SCOPE DOWN" : "");
        QCOMPARE(server.requests().size(), row.value("requests").toInt(1));
        QVERIFY(other.requests().isEmpty()); // the description never leaves the origin
        if (!trusted)
            return;
        const TestHttpsServer::Request &first = server.requests().at(0);
        QCOMPARE(first.method + ' ' + first.target, "POST /api/tessaline");
        QCOMPARE(first.header("Accept"), "application/json");
        QCOMPARE(first.body, prepared(endpoint).body);
        if (!resentAs.isEmpty()) {
            QCOMPARE(server.requests().at(1).method, resentAs);
            QCOMPARE(server.requests().at(1).body, resentAs == "POST" ? first.body : QByteArray());
        }
    }

    // A cookie a server sets never reaches the next check.
    void noCookiesKept()
    {
        TestHttpsServer server;
        QVERIFY(server.listen());
        Response withCookie = Response::json(200, validAnswer);
        withCookie.headers.append({QByteArray("Set-Cookie"), QByteArray("session=abc; Path=/; Secure")});
        server.respondWith(withCookie);
        QVERIFY(run(trusting(server)).result && run(trusting(server)).result);
        QCOMPARE(server.requests().at(1).header("Cookie"), QByteArray());
    }

    void cancelInFlight()
    {
        TestHttpsServer server;
        QVERIFY(server.listen());
        Response stalled;
        stalled.stall = true;
        server.respondWith(stalled);
        QSignalSpy received(&server, &TestHttpsServer::requestReceived);
        CheckTransport transport;
        QSignalSpy finished(&transport, &CheckTransport::finished);
        const PreparedCheck check = prepared(trusting(server));
        QVERIFY(transport.start(check));
        QVERIFY(!transport.start(check)); // one check per transport
        QVERIFY(received.wait(10000));
        transport.cancel();
        QCOMPARE(finished.size(), 0); // never from inside cancel()
        QVERIFY(finished.wait(10000));
        transport.cancel();
        QCoreApplication::processEvents();
        QCOMPARE(finished.size(), 1);
        QVERIFY(!transport.isInFlight());
        QCOMPARE(finished.at(0).at(0).value<CheckOutcome>().status, "The check could not reach " + server.host() + '.');
    }
};

QTEST_GUILESS_MAIN(TestCheck)
#include "test_check.moc"
