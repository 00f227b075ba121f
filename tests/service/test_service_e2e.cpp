// The program's check client against the real service over real HTTPS: what the client
// sends, the service takes, and what the service answers, the client accepts.
#include "ServiceProcess.h"

#include "check/CheckTransport.h"
#include "check/TaskCheck.h"

#include <QSignalSpy>

using namespace tessaline;

class TestServiceEndToEnd : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // The largest request the program makes: 8,000 characters each as long as the longest
    // emoji sequences, with a pressure summary built from long helper labels. It must fit
    // the service's body limit, and the answer must fit the client's.
    void largestCheck()
    {
        ServiceProcess service;
        QVERIFY2(service.start(), service.process.readAllStandardError().constData());
        const QString couple = QString::fromUtf8("\U0001F469\U0001F3FC\u200D\u2764\uFE0F\u200D\U0001F48B\u200D\U0001F468\U0001F3FE");
        const QString description = QStringLiteral("Fix ") + couple.repeated(TaskCheck::maxDescriptionCharacters - 4);
        Usage usage;
        usage.fetchedAt = 1'000'000;
        usage.windows.append({QStringLiteral("5h"), 20, 80, 300, usage.fetchedAt + 7800});
        usage.windows.append({QStringLiteral("weekly"), 10, 90, 10080, usage.fetchedAt + 3 * 86400});
        usage.pressureCheck = Usage::PressureCheck{.bucketLabel = QString(1000, QChar(0x00e9)), .bucketIsDefault = {},
                                                   .windowLabel = QString(1000, QLatin1Char('w')), .deltaPoints = 12,
                                                   .classification = QStringLiteral("behind"), .secondary = {}};

        const CheckEndpoint endpoint{QStringLiteral("localhost:%1").arg(service.port), {TestHttpsServer::authority()}};
        const auto prepared = TaskCheck::prepare(description, usage, endpoint);
        QVERIFY(std::holds_alternative<PreparedCheck>(prepared));
        CheckTransport transport;
        QSignalSpy finished(&transport, &CheckTransport::finished);
        QVERIFY(transport.start(std::get<PreparedCheck>(prepared)) && finished.wait(30000));
        const auto outcome = finished.at(0).at(0).value<CheckOutcome>();
        QVERIFY2(outcome.result && outcome.status.isEmpty(), qPrintable(outcome.status));
        QVERIFY2(outcome.result->quota.reason.startsWith(
                     QStringLiteral("Five-hour window 80% left (resets in 2 h 10 min), weekly window 90% left (resets in 3 d)")),
                 qPrintable(outcome.result->quota.reason));
        QVERIFY(outcome.result->taskPacket && outcome.result->taskPacket->contains(couple));
    }
};

QTEST_GUILESS_MAIN(TestServiceEndToEnd)
#include "test_service_e2e.moc"
