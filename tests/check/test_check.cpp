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

namespace {

// Numbers JSON cannot hold are strings in a fixture ("-0", "nan", "inf").
double number(const QJsonValue &v) { return v.isString() ? v.toString().toDouble() : v.toDouble(); }

// A snapshot fetched at `fetchedAt` with windows of [minutes, left, reset].
Usage snapshot(double fetchedAt, const QJsonArray &windows)
{
    Usage usage;
    usage.fetchedAt = fetchedAt;
    for (const QJsonValue &w : windows)
        usage.windows << Usage::Window{"w", 100 - w[1].toInteger(), w[1].toInteger(), w[0].toInteger(), number(w[2])};
    return usage;
}

// A fixture's text with each "[text×n]" written out n times.
QString expand(QString text)
{
    static const QRegularExpression repeat(QStringLiteral("\\[(.+?)×(\\d+)\\]"));
    for (QRegularExpressionMatch m = repeat.match(text); m.hasMatch(); m = repeat.match(text))
        text.replace(m.capturedStart(), m.capturedLength(), m.captured(1).repeated(m.captured(2).toInt()));
    return text;
}

const QByteArray validAnswer = answer();

PreparedCheck prepared(const CheckEndpoint &endpoint)
{
    return std::get<PreparedCheck>(TaskCheck::prepare("Rename it", snapshot(0, QJsonDocument::fromJson("[[300, 70, 600]]").array()), endpoint));
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
    // "expected" holds the fields that differ from the smallest answer's, lints as
    // [code, title, message, fix].
    void decode_data() { addFixtureRows(QStringLiteral("check/decode.json")); }
    void decode()
    {
        QFETCH(QJsonObject, row);
        const auto text = [](const QJsonValue &v) { return v.isString() ? std::optional(expand(v.toString())) : std::nullopt; };
        const QJsonObject e = testjson::merged(QJsonDocument::fromJson(answer()).object(), row.value("expected").toObject());
        TaskLintResult expected;
        expected.decision = e.value("decision").toString();
        expected.quota = {e.value("quota")["band"].toString(), e.value("quota")["reason"].toString()};
        expected.taskSize = text(e.value("taskSize"));
        expected.taskPacket = text(e.value("taskPacket"));
        expected.reservePolicy = reservePolicyFromRawValue(e.value("reservePolicy").toString());
        if (const QJsonValue s = e.value("taskShape"); s.isObject())
            expected.taskShape = TaskLintResult::Shape{text(s["scope"]), text(s["direction"]), text(s["preserve"]), text(s["validation"]), text(s["stop"])};
        for (const QJsonValue &l : e.value("lints").toArray())
            expected.lints.append({l[0].toString(), l[1].toString(), l[2].toString(), l[3].toString()});
        expected.deferred = e.value("deferred").toVariant().toStringList();
        QJsonObject given = row.value("answer").toObject();
        if (given.value("taskPacket").isString())
            given.insert("taskPacket", expand(given.value("taskPacket").toString()));
        const Expected<TaskLintResult> decoded = TaskLintResult::decode(answer(given));
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
    // for none known. No "windows": no snapshot at all.
    void quotaSummary_data() { addFixtureRows(QStringLiteral("check/quota-summary.json")); }
    void quotaSummary()
    {
        QFETCH(QJsonObject, row);
        std::optional<Usage> usage;
        if (row.contains("windows")) {
            usage = snapshot(row.value("fetchedAt").toDouble(), row.value("windows").toArray());
            if (row.contains("blocked")) {
                usage->pressureCheck.emplace().blocked = true;
                usage->pressureCheck->windowLabel = row.value("blocked").toString();
            }
        }
        PaceMap pace;
        const QJsonObject rates = row.value("pace").toObject();
        for (auto it = rates.begin(); it != rates.end(); ++it)
            pace.insert(it.key().toLongLong(), it.value().isNull() ? PaceEstimate{} : PaceEstimate{number(it.value()), {}, {}});
        QCOMPARE(TessalineQuota(usage, pace).encode(), row.value("json").toString().toUtf8());
    }

    // "usage": none (no quota read yet), or the snapshot's "fetchedAt" and "windows" of
    // [minutes, left, reset]; "expected": the refusal, or the body sent. A thumbs up with a skin
    // tone is one character of four UTF-16 units.
    void prepare_data() { addFixtureRows(QStringLiteral("check/prepare.json")); }
    void prepare()
    {
        QFETCH(QJsonObject, row);
        std::optional<Usage> usage;
        if (row.contains("usage"))
            usage = snapshot(row.value("usage")["fetchedAt"].toDouble(), row.value("usage")["windows"].toArray());
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
        QCOMPARE(CheckEndpoint::build().extraAuthorities.isEmpty(), !TESSALINE_EXPECTED_CHECK_CA);
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
        const CheckEndpoint endpoint{server.host(), trusted ? QList{TestHttpsServer::authority()} : QList<QSslCertificate>()};
        const CheckOutcome outcome = run(endpoint);
        const bool reached = status != "unreachable";
        QCOMPARE(outcome.status, reached ? (status.isEmpty() ? "" : "The check is unavailable right now. Try again shortly.")
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
        server.respondWith(Response{200, {{"Content-Type", "application/json"}, {"Set-Cookie", "session=abc; Path=/; Secure"}}, validAnswer});
        QVERIFY(run(trusting(server)).result && run(trusting(server)).result);
        QCOMPARE(server.requests().at(1).header("Cookie"), QByteArray());
    }

    void cancelInFlight()
    {
        TestHttpsServer server;
        QVERIFY(server.listen());
        server.respondWith(Response{200, {}, {}, true}); // stalled: read, never answered
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
