// The program's check code, built with host and authority pointing at a local service
// as the run command builds it, against the real service.
#include "ServiceProcess.h"

#include "check/CheckEndpoint.h"
#include "check/CheckTransport.h"
#include "check/TaskCheck.h"

#include <QSignalSpy>

using namespace tessaline;
using Percent = std::optional<qint64>;

static CheckOutcome runCheck(const QString &description, Percent fiveHour, Percent weekly,
                             const std::optional<Usage::PressureCheck> &pressure = std::nullopt)
{
    Usage usage;
    usage.pressureCheck = pressure;
    usage.fetchedAt = 1'000'000;
    if (fiveHour)
        usage.windows.append({QStringLiteral("5h"), 100 - *fiveHour, *fiveHour, 300, usage.fetchedAt + 7800});
    if (weekly)
        usage.windows.append({QStringLiteral("weekly"), 100 - *weekly, *weekly, 10080, usage.fetchedAt + 3 * 86400});
    auto prepared = TaskCheck::prepare(description, usage, CheckEndpoint::build());
    if (!std::holds_alternative<PreparedCheck>(prepared))
        qFatal("not sent: %s", qPrintable(std::get<QString>(prepared)));
    CheckTransport transport;
    QSignalSpy spy(&transport, &CheckTransport::finished);
    if (!transport.start(std::get<PreparedCheck>(prepared)) || !spy.wait(30000))
        qFatal("no completion");
    return spy.at(0).at(0).value<CheckOutcome>();
}

class TestServiceEndToEnd : public QObject {
    Q_OBJECT

    ServiceProcess service;
    const CheckEndpoint endpoint = CheckEndpoint::build();

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(service.start(static_cast<quint16>(endpoint.apiUrl()->port())), "the service did not start; is the port taken?");
    }

    // The quota summary travels with the description and the answer comes back decoded.
    void verdicts_data()
    {
        QTest::addColumn<QString>("description");
        QTest::addColumn<Percent>("fiveHour");
        QTest::addColumn<Percent>("weekly");
        QTest::addColumn<QString>("verdict");
        QTest::addColumn<QString>("reasonStart");
        QTest::addColumn<int>("lints");
        const QString bounded = QStringLiteral(
            "  Implement CSV export for the report view in src/report/ReportView.cpp: add an Export button that writes the "
            "visible rows with a header line, and add a unit test that exports three rows and compares the file.\n");
        QTest::newRow("plenty of quota") << bounded << Percent(80) << Percent(90) << "START NOW"
                                         << "Five-hour window 80% left (resets in 2 h 10 min), weekly window 90% left (resets in 3 d)" << 0;
        QTest::newRow("little left") << bounded << Percent(12) << Percent() << "SCOPE DOWN"
                                     << "Five-hour window 12% left (resets in 2 h 10 min), no weekly figure" << 0;
        QTest::newRow("no windows") << QStringLiteral("Clean up the whole repository.") << Percent() << Percent() << "PLAN FIRST"
                                    << "No quota figures came with the request" << 3;
    }

    void verdicts()
    {
        QFETCH(QString, description);
        QFETCH(Percent, fiveHour);
        QFETCH(Percent, weekly);
        QFETCH(QString, verdict);
        QFETCH(QString, reasonStart);
        QFETCH(int, lints);
        const CheckOutcome outcome = runCheck(description, fiveHour, weekly);
        QVERIFY2(outcome.result && outcome.status.isEmpty(), qPrintable(outcome.status));
        QCOMPARE(outcome.result->verdict(), verdict);
        QVERIFY2(outcome.result->quota.reason.startsWith(reasonStart), qPrintable(outcome.result->quota.reason));
        QCOMPARE(outcome.result->lints.size(), lints);
        QVERIFY(outcome.result->taskPacket && outcome.result->taskPacket->endsWith(description.trimmed()));
    }

    // The largest request the program makes: 8,000 characters each as long as the
    // longest emoji sequences, with a pressure summary built from long helper labels.
    void largestDescription()
    {
        const QString couple = QString::fromUtf8("\U0001F469\U0001F3FC\u200D\u2764\uFE0F\u200D\U0001F48B\u200D\U0001F468\U0001F3FE");
        const QString description = QStringLiteral("Fix ") + couple.repeated(TaskCheck::maxDescriptionCharacters - 4);
        Usage::PressureCheck pressure;
        pressure.bucketLabel = QString(1000, QChar(0x00e9));
        pressure.windowLabel = QString(1000, QLatin1Char('w'));
        pressure.deltaPoints = 12;
        pressure.classification = QStringLiteral("behind");
        const CheckOutcome outcome = runCheck(description, 80, 90, pressure);
        QVERIFY2(outcome.result && outcome.status.isEmpty(), qPrintable(outcome.status));
        QVERIFY(outcome.result->taskPacket && outcome.result->taskPacket->contains(couple));
    }

    // With the service gone, the program says which host it could not reach.
    void serviceStopped()
    {
        service.process.terminate();
        QVERIFY(service.process.waitForFinished(10000));
        const CheckOutcome outcome = runCheck(QStringLiteral("Fix the typo in README.md."), 50, 50);
        QVERIFY(!outcome.result);
        QCOMPARE(outcome.status, QStringLiteral("The check could not reach " TESSALINE_E2E_HOST "."));
    }
};

QTEST_GUILESS_MAIN(TestServiceEndToEnd)
#include "test_service_e2e.moc"
