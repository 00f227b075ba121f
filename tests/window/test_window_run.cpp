// The protected-run panel: starting, polling (called directly rather than waiting a
// minute), ending, recording the outcome, and closing the window while a run goes on.

#include "WindowTestSupport.h"

#include <QTimer>

using namespace windowtest;

namespace {

bool poll(MainWindowController &c, const QByteArray &answer)
{
    helperAnswers(answer);
    c.pollRun();
    return QTest::qWaitFor([&c] { return !c.polling; }, 10000);
}

QStringList runView(const QString &now, const QString &state, const QString &guidance)
{
    return {"PROTECTED RUN", "Started with: 5-hour 40% · Weekly 90%", "Now: " + now, "Validation reserve: " + state,
            guidance, "[End Run]"};
}

const QStringList question{"How did this run end?", "[Finished] [Partial] [Abandoned] [Skip]"};

} // namespace

class TestWindowRun : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void startRefusals_data()
    {
        QTest::addColumn<QByteArray>("answerJson"); // empty: no check
        QTest::addColumn<QByteArray>("quotaBefore"); // empty: a failed read
        QTest::newRow("no result") << QByteArray() << quota(50, 50);
        QTest::newRow("no policy") << answer() << quota(50, 50);
        QTest::newRow("quota lost") << answer({{"reservePolicy", "standard"}}) << QByteArray();
        QTest::newRow("now blocked") << answer({{"reservePolicy", "standard"}}) << quota(0, 50);
        QTest::newRow("no band") << answer({{"reservePolicy", "standard"}}) << snapshotJson({{60, 50, now()}});
    }

    void startRefusals()
    {
        QFETCH(QByteArray, answerJson);
        QFETCH(QByteArray, quotaBefore);
        Rig rig;
        MainWindowController &c = rig.withQuota(quota(50, 50));
        if (!answerJson.isEmpty())
            QVERIFY(rig.checkWith(answerJson));
        QCOMPARE(bool(c.startButton), answerJson.contains("reservePolicy")); // offered until the quota changes
        helperAnswers(quotaBefore);
        c.loadQuota();
        QTRY_VERIFY(rig.quotaSettled() || !c.quotaRows->arrangedViews().isEmpty());

        c.startRun();
        QVERIFY(!c.run && !c.runTimer);
        QVERIFY(c.runPanel->isHidden());
    }

    void startShowsRunOnce()
    {
        Rig rig;
        MainWindowController &c = rig.readyToStart();
        c.startButton->click();

        QVERIFY(c.run);
        QCOMPARE(c.run->lintCodes, QStringList({"scope", "tests"}));
        QVERIFY(c.startButton->isHidden());
        QVERIFY(c.runTimer && c.runTimer->isActive());
        QCOMPARE(c.runTimer->interval(), 60000);
        QVERIFY(!c.runPanel->isHidden());
        QCOMPARE(describe(c.runPanel), runView("5-hour 40% · Weekly 90%", "KEEP HEADROOM",
                                               "Finish the current unit before starting another branch of work."));
        QCOMPARE(rig.notified.size(), 0); // the state at the start is never notified

        // A new result during the run offers no second start, and starting again changes nothing.
        QTimer *timer = c.runTimer;
        QVERIFY(rig.checkWith(answer({{"reservePolicy", "high"}})));
        QVERIFY(!c.startButton);
        QVERIFY(describe(c.results).contains(QStringLiteral("[spacer]")));
        c.startRun();
        QCOMPARE(c.run->reservePolicy, ReservePolicy::standard);
        QCOMPARE(c.runTimer.data(), timer);
    }

    void polls_data()
    {
        // Each step: the helper's answer (empty: a failed read), then the panel's "Now:" line
        // and state title; last, the states notified over the whole run.
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
            << QList<QByteArray>{{}, quota(30, 90), {}}
            << QStringList{"5-hour 40% · Weekly 90%", "5-hour 30% · Weekly 90%", "5-hour 30% · Weekly 90%"}
            << QStringList{"KEEP HEADROOM", "VALIDATION AT RISK", "VALIDATION AT RISK"} << QList<int>{2};
    }

    void polls()
    {
        QFETCH(QList<QByteArray>, answers);
        QFETCH(QStringList, nowLines);
        QFETCH(QStringList, states);
        Rig rig;
        MainWindowController &c = rig.readyToStart();
        c.startRun();
        for (qsizetype i = 0; i < answers.size(); ++i) {
            const double fetchedBefore = c.usage->fetchedAt;
            QVERIFY(poll(c, answers.at(i)));
            const QStringList panel = describe(c.runPanel);
            QCOMPARE(panel.value(1), QStringLiteral("Started with: 5-hour 40% · Weekly 90%"));
            QCOMPARE(panel.value(2), "Now: " + nowLines.at(i));
            QCOMPARE(panel.value(3), "Validation reserve: " + states.at(i));
            if (answers.at(i).isEmpty()) // the window keeps its snapshot and offers no Retry
                QVERIFY(c.usage && c.usage->fetchedAt == fetchedBefore && c.retryButton->isHidden());
        }
        QList<int> seen;
        for (const QList<QVariant> &signal : std::as_const(rig.notified))
            seen.append(int(signal.at(0).value<ReserveState>()));
        QTEST(seen, "notifiedStates");
        QVERIFY(c.runTimer);
    }

    void outcomes_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("stored"); // empty: nothing written
        QTest::newRow("finished") << "Finished" << "finished";
        QTest::newRow("partial") << "Partial" << "partial";
        QTest::newRow("abandoned") << "Abandoned" << "abandoned";
        QTest::newRow("skip") << "Skip" << "";
    }

    void outcomes()
    {
        QFETCH(QString, button);
        QFETCH(QString, stored);
        Rig rig;
        MainWindowController &c = rig.readyToStart();
        c.startRun();
        QVERIFY(poll(c, quota(20, 90)));

        qobject_cast<QPushButton *>(c.runPanel->arrangedViews().constLast())->click(); // End Run
        QVERIFY(!c.runTimer);
        QVERIFY(c.run); // kept until the question is answered
        QCOMPARE(describe(c.runPanel), question);

        QPushButton *choice = nullptr;
        for (auto *b : c.runPanel->findChildren<QPushButton *>())
            if (b->text() == button)
                choice = b;
        QVERIFY(choice);
        choice->click();
        QVERIFY(!c.run);
        QVERIFY(c.runPanel->isHidden() && c.runPanel->arrangedViews().isEmpty());

        QCOMPARE(rig.settings->contains(OutcomeStore::key), !stored.isEmpty());
        if (stored.isEmpty())
            return;
        const QList<OutcomeRecord> records = c.outcomes.records();
        QCOMPARE(records.size(), 1);
        QCOMPARE(rawValue(records.first().outcome), stored);
        QCOMPARE(records.first().lintCodes, QStringList({"scope", "tests"}));
        QCOMPARE(records.first().startingQuotaBand, std::optional(QuotaBand::moderate));
        QCOMPARE(records.first().endingQuotaBand, std::optional(QuotaBand::tight));
        QCOMPARE(records.first().maximumReserveConstraintReached, ReserveState::validationAtRisk);
    }

    void lateReadingAfterEnd()
    {
        Rig rig;
        MainWindowController &c = rig.readyToStart();
        c.startRun();
        helperAnswers(quota(5, 90));
        c.pollRun();
        QVERIFY(c.polling);
        c.endRun(); // while the reading is in flight
        QTRY_VERIFY(!c.polling);

        // The quota above follows the reading, but the ended run does not: no observation,
        // no notification, and the question stays.
        QCOMPARE(describe(c.quotaRows).value(1), QStringLiteral("5% remaining"));
        QCOMPARE(c.run->latest, ProtectedRun::Snapshot(40, 90));
        QCOMPARE(rig.notified.size(), 0);
        QCOMPARE(describe(c.runPanel), question);
    }

    void closeAndReopenKeepsRun()
    {
        Rig rig;
        MainWindowController &c = rig.readyToStart();
        QWidget *window = rig.shown();
        c.startRun();
        QVERIFY(window->close());
        QVERIFY(!c.result && c.results->arrangedViews().isEmpty());
        QVERIFY(c.runTimer && c.runTimer->isActive());

        QVERIFY(poll(c, quota(12, 90))); // the run is watched while the window is closed
        QCOMPARE(rig.notified.size(), 1);

        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QCOMPARE(c.window(), window);
        QVERIFY(c.runPanel->isVisible());
        QCOMPARE(describe(c.runPanel),
                 runView("5-hour 12% · Weekly 90%", "VALIDATION ONLY",
                         "Do not start new implementation. Run tests, verification and checkpoint the current work."));
    }

    void destroyedWindowIsLeftAlone()
    {
        Rig rig;
        MainWindowController &c = rig.readyToStart();
        c.startRun();
        helperAnswers(quota(5, 90));
        c.pollRun(); // in flight while the window goes
        delete c.window();
        QVERIFY(!c.window() && !c.runTimer);
        QTRY_VERIFY(!c.polling);
        QCOMPARE(rig.notified.size(), 0);
    }
};

QTEST_MAIN(TestWindowRun)
#include "test_window_run.moc"
