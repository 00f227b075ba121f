// The protected-run panel: starting, polling (called directly rather than waiting a
// minute), ending, recording the outcome, and closing the window while a run goes on.

#include "WindowTestSupport.h"

#include <QTimer>

using namespace windowtest;

class TestWindowRun : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void startRefusals_data();
    void startRefusals();
    void startShowsRunAndOnlyOnce();
    void polls_data();
    void polls();
    void outcomes_data();
    void outcomes();
    void lateReadingAfterEnd();
    void newResultDuringRunOffersNoStart();
    void closeAndReopenKeepsRun();
    void destroyedWindowIsLeftAlone();
};

namespace {

// A controller that has read `startQuota` and rendered a check answer with a policy.
MainWindowController &readyToStart(Rig &rig, const QByteArray &startQuota, const QByteArray &policy = "standard")
{
    MainWindowController &c = rig.withQuota(startQuota);
    const QJsonArray lints{QJsonObject{{"code", "scope"}, {"title", "t"}, {"message", ""}, {"fix", "f"}},
                           QJsonObject{{"code", "tests"}, {"title", "t2"}, {"message", "m"}, {"fix", "f2"}}};
    if (!rig.checkWith(answer({{"reservePolicy", QString::fromLatin1(policy)}, {"taskSize", "small"}, {"lints", lints}})))
        qWarning("the check did not finish");
    return c;
}

bool poll(MainWindowController &c)
{
    c.pollRun();
    return QTest::qWaitFor([&c] { return !c.polling; }, 10000);
}

QStringList runView(const QString &start, const QString &now, const QString &state, const QString &guidance)
{
    return {QStringLiteral("PROTECTED RUN"), QStringLiteral("Started with: ") + start, QStringLiteral("Now: ") + now,
            QStringLiteral("Validation reserve: ") + state, guidance, QStringLiteral("[End Run]")};
}

const QStringList question{QStringLiteral("How did this run end?"),
                           QStringLiteral("[Finished] [Partial] [Abandoned] [Skip]")};

} // namespace

void TestWindowRun::startRefusals_data()
{
    QTest::addColumn<QString>("situation");
    QTest::newRow("no result") << "no result";
    QTest::newRow("no policy") << "no policy";
    QTest::newRow("quota lost") << "quota lost";
    QTest::newRow("now blocked") << "now blocked";
    QTest::newRow("no band") << "no band";
}

void TestWindowRun::startRefusals()
{
    QFETCH(QString, situation);
    Rig rig;
    MainWindowController *c = nullptr;
    if (situation == QLatin1String("no result")) {
        c = &rig.withQuota(quota(50, 50));
    } else if (situation == QLatin1String("no policy")) {
        c = &rig.withQuota(quota(50, 50));
        QVERIFY(rig.checkWith(answer()));
    } else {
        c = &readyToStart(rig, quota(50, 50));
        QVERIFY(c->startButton);
        if (situation == QLatin1String("quota lost"))
            helperFails("signed out");
        else if (situation == QLatin1String("now blocked"))
            helperAnswers(quota(0, 50));
        else
            helperAnswers(snapshotJson({{60, 50, now()}}));
        c->loadQuota();
        QTRY_VERIFY(rig.quotaSettled() || !c->quotaRows->arrangedViews().isEmpty());
    }

    c->startRun();
    QVERIFY(!c->run);
    QVERIFY(!c->runTimer);
    QVERIFY(c->runPanel->isHidden());
    QCOMPARE(rig.notified.size(), 0);
}

void TestWindowRun::startShowsRunAndOnlyOnce()
{
    Rig rig;
    MainWindowController &c = readyToStart(rig, quota(40, 90));
    QVERIFY(c.startButton);
    c.startButton->click();

    QVERIFY(c.run);
    QCOMPARE(c.run->lintCodes, QStringList({"scope", "tests"}));
    QCOMPARE(c.run->taskSize, QStringLiteral("small"));
    QVERIFY(c.startButton->isHidden());
    QVERIFY(c.runTimer);
    QCOMPARE(c.runTimer->interval(), 60000);
    QVERIFY(c.runTimer->isActive());
    QVERIFY(!c.runPanel->isHidden());
    QCOMPARE(describe(c.runPanel),
             runView("5-hour 40% · Weekly 90%", "5-hour 40% · Weekly 90%", "KEEP HEADROOM",
                     "Finish the current unit before starting another branch of work."));
    QCOMPARE(rig.notified.size(), 0); // the state shown at the start is never notified

    const ProtectedRun first = *c.run;
    QTimer *timer = c.runTimer;
    c.startRun();
    QCOMPARE(*c.run, first);
    QCOMPARE(c.runTimer.data(), timer);
}

void TestWindowRun::polls_data()
{
    // Each step: the helper's answer ("fail" for a failed read), then the panel's "Now:"
    // line, its state title, and the states notified so far.
    QTest::addColumn<QList<QByteArray>>("answers");
    QTest::addColumn<QStringList>("nowLines");
    QTest::addColumn<QStringList>("states");
    QTest::addColumn<QList<int>>("notifiedStates");

    QTest::newRow("worsen, recover, worsen again")
        << QList<QByteArray>{quota(30, 90), quota(10, 90), quota(50, 90), quota(10, 90), quota(0, 90)}
        << QStringList{"5-hour 30% · Weekly 90%", "5-hour 10% · Weekly 90%", "5-hour 50% · Weekly 90%",
                       "5-hour 10% · Weekly 90%", "5-hour 0% · Weekly 90%"}
        << QStringList{"VALIDATION AT RISK", "VALIDATION ONLY", "KEEP HEADROOM", "VALIDATION ONLY", "QUOTA EXHAUSTED"}
        << QList<int>{2, 3, 4};

    QTest::newRow("a window goes missing, then both")
        << QList<QByteArray>{snapshotJson({{10080, 80, now() + 86400}}), snapshotJson({{60, 1, now()}}),
                             quota(20, 80)}
        << QStringList{"Weekly 80%", "", "5-hour 20% · Weekly 80%"}
        << QStringList{"COMFORTABLE", "COMFORTABLE", "VALIDATION AT RISK"} << QList<int>{2};

    QTest::newRow("failed reads change nothing")
        << QList<QByteArray>{"fail", quota(30, 90), "fail"}
        << QStringList{"5-hour 40% · Weekly 90%", "5-hour 30% · Weekly 90%", "5-hour 30% · Weekly 90%"}
        << QStringList{"KEEP HEADROOM", "VALIDATION AT RISK", "VALIDATION AT RISK"} << QList<int>{2};
}

void TestWindowRun::polls()
{
    QFETCH(QList<QByteArray>, answers);
    QFETCH(QStringList, nowLines);
    QFETCH(QStringList, states);
    QFETCH(QList<int>, notifiedStates);
    Rig rig;
    MainWindowController &c = readyToStart(rig, quota(40, 90));
    c.startRun();
    QVERIFY(c.run);

    for (qsizetype i = 0; i < answers.size(); ++i) {
        const QByteArray previousUsage = c.usage ? QByteArray::number(c.usage->fetchedAt, 'f', 3) : QByteArray();
        if (answers.at(i) == "fail")
            helperFails("offline");
        else
            helperAnswers(answers.at(i));
        QVERIFY(poll(c));
        const QStringList panel = describe(c.runPanel);
        QCOMPARE(panel.value(1), QStringLiteral("Started with: 5-hour 40% · Weekly 90%"));
        QCOMPARE(panel.value(2), QStringLiteral("Now: ") + nowLines.at(i));
        QCOMPARE(panel.value(3), QStringLiteral("Validation reserve: ") + states.at(i));
        if (answers.at(i) == "fail") {
            // The window keeps what it had: the snapshot, the quota rows, no Retry.
            QVERIFY(c.usage);
            QCOMPARE(QByteArray::number(c.usage->fetchedAt, 'f', 3), previousUsage);
            QVERIFY(c.retryButton->isHidden());
        }
    }
    QList<int> seen;
    for (const QList<QVariant> &signal : std::as_const(rig.notified))
        seen.append(int(signal.at(0).value<ReserveState>()));
    QCOMPARE(seen, notifiedStates);
    QVERIFY(c.runTimer);
}

void TestWindowRun::outcomes_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("stored"); // empty: nothing written
    QTest::newRow("finished") << "Finished" << "finished";
    QTest::newRow("partial") << "Partial" << "partial";
    QTest::newRow("abandoned") << "Abandoned" << "abandoned";
    QTest::newRow("skip") << "Skip" << "";
}

void TestWindowRun::outcomes()
{
    QFETCH(QString, button);
    QFETCH(QString, stored);
    Rig rig;
    MainWindowController &c = readyToStart(rig, quota(40, 90));
    c.startRun();
    helperAnswers(quota(20, 90));
    QVERIFY(poll(c));

    auto *end = qobject_cast<QPushButton *>(c.runPanel->arrangedViews().constLast());
    QVERIFY(end);
    end->click();
    QVERIFY(!c.runTimer);
    QVERIFY(c.run); // kept until the question is answered
    QCOMPARE(describe(c.runPanel), question);
    c.pollRun(); // no timer: but a direct poll is still ignored only when there is no run
    QTRY_VERIFY(!c.polling);
    QCOMPARE(describe(c.runPanel), question);

    QPushButton *choice = nullptr;
    for (auto *b : c.runPanel->findChildren<QPushButton *>())
        if (b->text() == button)
            choice = b;
    QVERIFY(choice);
    choice->click();
    QVERIFY(!c.run);
    QVERIFY(c.runPanel->isHidden());
    QVERIFY(c.runPanel->arrangedViews().isEmpty());

    const QList<OutcomeRecord> records = c.outcomes.records();
    QCOMPARE(rig.settings->contains(OutcomeStore::key), !stored.isEmpty());
    if (stored.isEmpty())
        return;
    QCOMPARE(records.size(), 1);
    QCOMPARE(rawValue(records.first().outcome), stored);
    QCOMPARE(records.first().lintCodes, QStringList({"scope", "tests"}));
    QCOMPARE(records.first().startingQuotaBand, std::optional(QuotaBand::moderate));
    QCOMPARE(records.first().endingQuotaBand, std::optional(QuotaBand::tight));
    QCOMPARE(records.first().maximumReserveConstraintReached, ReserveState::validationAtRisk);
    QCOMPARE(records.first().runDurationMinutes, 0);
}

void TestWindowRun::lateReadingAfterEnd()
{
    Rig rig;
    MainWindowController &c = readyToStart(rig, quota(40, 90));
    c.startRun();
    helperAnswers(quota(5, 90));
    c.pollRun();
    QVERIFY(c.polling);
    c.endRun(); // while the reading is in flight
    QTRY_VERIFY(!c.polling);

    // The quota above follows the reading ...
    QCOMPARE(c.usage->windows.first().remainingPercent, 5);
    QCOMPARE(describe(c.quotaRows).value(1), QStringLiteral("5% remaining"));
    // ... but the ended run does not: no observation, no notification, the question stays.
    QCOMPARE(c.run->latest, ProtectedRun::Snapshot(40, 90));
    QCOMPARE(c.run->worstSurfaced, ReserveState::keepHeadroom);
    QCOMPARE(rig.notified.size(), 0);
    QCOMPARE(describe(c.runPanel), question);
}

void TestWindowRun::newResultDuringRunOffersNoStart()
{
    Rig rig;
    MainWindowController &c = readyToStart(rig, quota(40, 90));
    c.startRun();
    QVERIFY(rig.checkWith(answer({{"reservePolicy", "high"}})));
    QVERIFY(!c.startButton);
    QVERIFY(describe(c.results).contains(QStringLiteral("[spacer]")));
    c.startRun();
    QCOMPARE(c.run->reservePolicy, ReservePolicy::standard); // still the first run
}

void TestWindowRun::closeAndReopenKeepsRun()
{
    Rig rig;
    MainWindowController &c = readyToStart(rig, quota(40, 90));
    QWidget *window = c.window();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    c.startRun();
    c.input->setPlainText(QStringLiteral("next task"));

    QVERIFY(window->close());
    QVERIFY(!window->isVisible());
    QVERIFY(c.input->toPlainText().isEmpty());
    QVERIFY(!c.result);
    QVERIFY(c.results->arrangedViews().isEmpty());
    QVERIFY(c.runTimer && c.runTimer->isActive());

    helperAnswers(quota(12, 90));
    QVERIFY(poll(c)); // the run is watched while the window is closed
    QCOMPARE(rig.notified.size(), 1);

    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    QCOMPARE(c.window(), window);
    QVERIFY(c.runPanel->isVisible());
    QCOMPARE(describe(c.runPanel),
             runView("5-hour 40% · Weekly 90%", "5-hour 12% · Weekly 90%", "VALIDATION ONLY",
                     "Do not start new implementation. Run tests, verification and checkpoint the current work."));
}

void TestWindowRun::destroyedWindowIsLeftAlone()
{
    Rig rig;
    MainWindowController &c = readyToStart(rig, quota(40, 90));
    c.startRun();
    helperAnswers(quota(5, 90));
    c.pollRun(); // in flight while the window goes
    delete c.window();
    QVERIFY(!c.window());
    QVERIFY(!c.runTimer);
    QTRY_VERIFY(!c.polling);
    QCOMPARE(rig.notified.size(), 0);
}

QTEST_MAIN(TestWindowRun)
#include "test_window_run.moc"
