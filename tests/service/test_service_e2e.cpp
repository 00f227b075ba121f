// The program's own check code, built with its host and authority pointing at a local
// service the way the run command builds it, against the real service.

#include "ServiceProcess.h"

#include "check/CheckEndpoint.h"
#include "check/CheckTransport.h"
#include "check/TaskCheck.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTest>

using namespace tessaline;

namespace {

Usage snapshot(std::optional<qint64> fiveHour, std::optional<qint64> weekly)
{
    Usage usage;
    usage.fetchedAt = 1'000'000;
    if (fiveHour)
        usage.windows.append({QStringLiteral("5h"), 100 - *fiveHour, *fiveHour, 300, usage.fetchedAt + 7800});
    if (weekly)
        usage.windows.append({QStringLiteral("weekly"), 100 - *weekly, *weekly, 10080, usage.fetchedAt + 3 * 86400});
    return usage;
}

CheckOutcome runCheck(const QString &description, const Usage &usage)
{
    auto prepared = TaskCheck::prepare(description, usage, CheckEndpoint::build());
    if (!std::holds_alternative<PreparedCheck>(prepared))
        qFatal("not sent: %s", qPrintable(std::get<QString>(prepared)));
    CheckTransport transport;
    QSignalSpy spy(&transport, &CheckTransport::finished);
    if (!transport.start(std::get<PreparedCheck>(prepared)) || !spy.wait(30000))
        qFatal("no completion");
    return spy.at(0).at(0).value<CheckOutcome>();
}

} // namespace

class TestServiceEndToEnd : public QObject {
    Q_OBJECT

    ServiceProcess service;

private Q_SLOTS:
    void initTestCase()
    {
        const CheckEndpoint endpoint = CheckEndpoint::build();
        QCOMPARE(endpoint.host, QStringLiteral(TESSALINE_E2E_HOST));
        QVERIFY2(!endpoint.extraAuthorities.isEmpty(), "the build trusts no extra authority");
        const auto url = endpoint.apiUrl();
        QVERIFY(url);
        QVERIFY2(service.start(static_cast<quint16>(url->port())),
                 "the service did not start; is the port taken by another process?");
    }

    void verdicts_data()
    {
        QTest::addColumn<QString>("description");
        QTest::addColumn<std::optional<qint64>>("fiveHour");
        QTest::addColumn<std::optional<qint64>>("weekly");
        QTest::addColumn<QString>("verdict");
        QTest::addColumn<QString>("reasonStart");
        QTest::addColumn<QStringList>("lints");
        const QString bounded = QStringLiteral(
            "  Implement CSV export for the report view in src/report/ReportView.cpp: add an Export button that "
            "writes the visible rows with a header line, and add a unit test that exports three rows and compares "
            "the file.\n");
        QTest::newRow("plenty of quota") << bounded << std::optional<qint64>(80) << std::optional<qint64>(90) << "START NOW"
                                         << "Five-hour window 80% left (resets in 2 h 10 min), weekly window 90% left (resets in 3 d)"
                                         << QStringList{};
        QTest::newRow("five-hour window used up") << bounded << std::optional<qint64>(0) << std::optional<qint64>(90)
                                                  << "WAIT FOR RESET" << "Five-hour window 0% left" << QStringList{};
        QTest::newRow("little left") << bounded << std::optional<qint64>(12) << std::optional<qint64>() << "SCOPE DOWN"
                                     << "Five-hour window 12% left (resets in 2 h 10 min), no weekly figure" << QStringList{};
        QTest::newRow("no windows in the snapshot")
            << QStringLiteral("Clean up the whole repository.") << std::optional<qint64>() << std::optional<qint64>()
            << "PLAN FIRST" << "No quota figures came with the request"
            << QStringList{"repo_wide", "vague_scope", "no_validation"};
    }

    // The quota summary travels with the description and the answer comes back decoded.
    void verdicts()
    {
        QFETCH(QString, description);
        QFETCH(std::optional<qint64>, fiveHour);
        QFETCH(std::optional<qint64>, weekly);
        QFETCH(QString, verdict);
        QFETCH(QString, reasonStart);
        QFETCH(QStringList, lints);
        const CheckOutcome outcome = runCheck(description, snapshot(fiveHour, weekly));
        QVERIFY2(outcome.result, qPrintable(outcome.status));
        QCOMPARE(outcome.status, QString());
        QCOMPARE(outcome.result->verdict(), verdict);
        QVERIFY2(outcome.result->quota.reason.startsWith(reasonStart), qPrintable(outcome.result->quota.reason));
        QStringList codes;
        for (const auto &l : outcome.result->lints)
            codes << l.code;
        QCOMPARE(codes, lints);
        QVERIFY(outcome.result->taskPacket);
        QVERIFY(outcome.result->taskPacket->endsWith(description.trimmed()));
    }

    // The link the program opens leads to the page, over the same trust.
    void webCheckerPage()
    {
        const CheckEndpoint endpoint = CheckEndpoint::build();
        QNetworkAccessManager nam;
        QNetworkRequest request(*endpoint.webCheckerUrl());
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.addCaCertificates(endpoint.extraAuthorities);
        request.setSslConfiguration(tls);
        std::unique_ptr<QNetworkReply> reply(nam.get(request));
        QSignalSpy done(reply.get(), &QNetworkReply::finished);
        QVERIFY(done.wait(30000));
        QCOMPARE(reply->error(), QNetworkReply::NoError);
        QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
        QVERIFY(reply->readAll().contains("<title>Tessaline task check</title>"));
    }

    // With the service gone, the program says which host it could not reach.
    void serviceStopped()
    {
        service.process.terminate();
        QVERIFY(service.process.waitForFinished(10000));
        const CheckOutcome outcome = runCheck(QStringLiteral("Fix the typo in README.md."), snapshot(50, 50));
        QVERIFY(!outcome.result);
        QCOMPARE(outcome.status, QStringLiteral("The check could not reach " TESSALINE_E2E_HOST "."));
    }
};

QTEST_GUILESS_MAIN(TestServiceEndToEnd)
#include "test_service_e2e.moc"
