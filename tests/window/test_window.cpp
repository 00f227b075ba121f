// The window's building blocks, the quota panel and the task check, driven as a user
// drives them: a real helper process for the quota, a real local HTTPS service for the check.

#include "WindowTestSupport.h"

#include "quota/QuotaReader.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QScrollArea>
#include <QScrollBar>

#include <limits>

using namespace windowtest;

class TestWindow : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void stack()
    {
        StackView stack(10, QMargins(20, 20, 20, 20));
        auto *a = new QWidget, *c = new QWidget;
        a->setFixedSize(50, 10);
        c->setFixedSize(50, 30);
        auto *natural = new QPushButton(QStringLiteral("Go")), *fill = new QPushButton(QStringLiteral("Go"));
        stack.addArranged(a);
        stack.addArranged(natural);
        stack.addArranged(c);
        stack.addArranged(fill, StackLayout::Width::Fill);
        stack.setCustomSpacing(2, a);
        stack.setCustomSpacing(14, c);
        stack.resize(300, 400);
        stack.show();
        QVERIFY(QTest::qWaitForWindowExposed(&stack));
        const auto gap = [](QWidget *x, QWidget *y) { return y->y() - x->geometry().bottom() - 1; };
        const int h = natural->height();

        QCOMPARE(a->pos(), QPoint(20, 20));
        QCOMPARE(gap(a, natural), 2); // the custom space replaces the common one
        QCOMPARE(gap(natural, c), 10);
        QCOMPARE(gap(c, fill), 14);
        QCOMPARE(natural->width(), natural->sizeHint().width());
        QCOMPARE(fill->width(), 300 - 40);
        QCOMPARE(stack.stack()->heightForWidth(300), 20 + 10 + 2 + h + 10 + 30 + 14 + h + 20);

        // A hidden view leaves with the space after it.
        natural->hide();
        c->hide();
        stack.stack()->activate();
        QCOMPARE(gap(a, fill), 2);
        QCOMPARE(stack.stack()->heightForWidth(300), 20 + 10 + 2 + h + 20);

        // A view that cannot shrink widens the minimum rather than being squeezed.
        auto *wide = new QWidget;
        wide->setFixedSize(1000, 10);
        stack.addArranged(wide);
        QTRY_COMPARE(stack.stack()->minimumSize().width(), 1040);
        stack.clearArranged();
        QCOMPARE(stack.stack()->heightForWidth(300), 40);

        std::unique_ptr<QLabel> heading(MainWindowController::heading(QStringLiteral("Straße ﬁne")));
        QCOMPARE(heading->text(), QStringLiteral("STRASSE FINE"));
    }

    void resetLine_data()
    {
        QTest::addColumn<qint64>("minutes");
        QTest::addColumn<double>("resetsAt");
        QTest::addColumn<QString>("line");
        const double t = 1765000000; // 2025-12-06 05:46:40 UTC
        QTest::newRow("past") << qint64(300) << t - 500 << "resets now";
        QTest::newRow("under a minute") << qint64(300) << t + 59.9 << "resets now";
        QTest::newRow("not a number") << qint64(300) << std::numeric_limits<double>::quiet_NaN() << "resets now";
        QTest::newRow("90.5 minutes") << qint64(300) << t + 90.5 * 60 << "resets in 1h 30m";
        QTest::newRow("days not folded") << qint64(300) << t + 3000 * 60 << "resets in 50h 0m";
        QTest::newRow("a billion minutes") << qint64(300) << t + 60e9 << "resets in 16666666h 40m";
        QTest::newRow("minutes overflow 64 bits") << qint64(300) << 1e300 << "resets in the far future";
        QTest::newRow("weekly date") << qint64(10080) << 1765238400.0 + 3600 << "resets Dec 9";
        QTest::newRow("weekly beyond dates") << qint64(10080) << 1e300 << "resets in the far future";
    }

    void resetLine()
    {
        QFETCH(qint64, minutes);
        QFETCH(double, resetsAt);
        QTEST(MainWindowController::resetLine(minutes, resetsAt, 1765000000), "line");
    }

    void quotaStates_data()
    {
        QTest::addColumn<QByteArray>("snapshot"); // empty: the helper fails; "missing": there is none
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<QString>("statusText"); // empty: hidden
        const double t = now();
        const QString needs = QStringLiteral(" Tessaline needs the Codex CLI installed and a signed-in Codex session.");
        QTest::newRow("shown") << snapshotJson({{10080, 80, 1767571200}, {300, 42, t + 200 * 60 + 30}})
                               << QStringList{"5-hour", "42% remaining", "resets in 3h 20m", "Weekly", "80% remaining",
                                              "resets Jan 5"}
                               << QString();
        QTest::newRow("only weekly") << snapshotJson({{10080, 0, 1767571200}})
                                     << QStringList{"Weekly", "0% remaining", "resets Jan 5"} << QString();
        QTest::newRow("first of duplicates")
            << snapshotJson({{60, 5, t}, {300, 100, t - 10}, {300, 7, t + 7200}})
            << QStringList{"5-hour", "100% remaining", "resets now"} << QString();
        QTest::newRow("empty") << snapshotJson({{60, 50, t}}) << QStringList()
                               << "Codex reported no usable quota windows for this account.";
        QTest::newRow("helper fails") << QByteArray() << QStringList()
                                      << "Tessaline could not read your current Codex quota. offline" + needs;
        QTest::newRow("helper missing") << QByteArray("missing") << QStringList()
                                        << "Tessaline could not find its bundled quota helper." + needs;
    }

    void quotaStates()
    {
        QFETCH(QByteArray, snapshot);
        QFETCH(QString, statusText);
        const bool read = snapshot.startsWith('{');
        helperAnswers(read ? snapshot : QByteArray());
        if (snapshot == "missing")
            qputenv("QUORVEL_EXECUTABLE", "/nonexistent/quorvel");
        Rig rig;
        MainWindowController &c = rig.make();
        QTRY_VERIFY(rig.quotaSettled() || !c.quotaRows->arrangedViews().isEmpty());

        QTEST(describe(c.quotaRows), "rows");
        QCOMPARE(c.quotaStatus->isHidden(), statusText.isEmpty());
        QCOMPARE(c.quotaStatus->text(), statusText.isEmpty() ? c.quotaStatus->text() : statusText);
        QCOMPARE(c.usage.has_value(), read);
        QCOMPARE(c.retryButton->isHidden(), read);
        QCOMPARE(c.checkButton->isEnabled(), read);

        // Read again: a failure drops the snapshot (no check on stale quota); Retry recovers.
        if (read) {
            helperAnswers({});
            c.loadQuota();
            QTRY_VERIFY(!c.retryButton->isHidden());
            QVERIFY(!c.usage && !c.checkButton->isEnabled() && c.quotaRows->arrangedViews().isEmpty());
        }
        helperAnswers(quota(10, 20));
        c.retryButton->click();
        // Reading: said so at once, nothing to check or retry meanwhile.
        QVERIFY(!rig.quotaSettled() && !c.quotaStatus->isHidden());
        QVERIFY(c.retryButton->isHidden() && !c.checkButton->isEnabled() && c.quotaRows->arrangedViews().isEmpty());
        QTRY_VERIFY(c.usage.has_value());
        QCOMPARE(describe(c.quotaRows).value(1), QStringLiteral("10% remaining"));
        QVERIFY(c.checkButton->isEnabled());
    }

    void longFailureShowsFourLines()
    {
        Rig rig;
        helperAnswers({});
        qputenv("FIXTURE_STDERR", QByteArray("The Codex session expired. ").repeated(12));
        MainWindowController &c = rig.make();
        rig.shown()->resize(420, 480);
        QTRY_VERIFY(!c.retryButton->isHidden());
        QTRY_COMPARE(c.quotaStatus->height(), 4 * QFontMetrics(c.quotaStatus->font()).lineSpacing());
        // What does not fit stays readable in the tool tip.
        QTRY_COMPARE(c.quotaStatus->toolTip(), c.quotaStatus->text());
    }

    void answerAfterControllerIsGone()
    {
        Rig rig;
        helperAnswers(quota(42, 80));
        rig.make();
        rig.controller.reset(); // its read is still running
        // A later read of the same helper ends after the abandoned one, which must have been dropped.
        bool done = false;
        QuotaReader::read([&done](std::optional<Usage>, std::optional<QString>) { done = true; });
        QTRY_VERIFY(done);
    }

    // Refused before sending, or failed on the way: one sentence, and nothing typed is lost.
    void checkNotDone_data()
    {
        QTest::addColumn<bool>("withQuota");
        QTest::addColumn<QString>("task");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("status"); // of the reply; 0: none sent, -1: an untrusted certificate
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("message");
        const QString unavailable = QStringLiteral("The check is unavailable right now. Try again shortly.");
        QTest::newRow("no quota") << false << "Fix" << "" << 0 << answer() << "Read your current Codex quota first.";
        QTest::newRow("blank") << true << " \n\t \n" << "" << 0 << answer() << "Describe the task first.";
        QTest::newRow("8001 characters") << true << QString(8001, 'x') << "" << 0 << answer()
                                         << "That description is longer than 8,000 characters.";
        QTest::newRow("unusable host") << true << "Fix" << "bad host/with path" << 0 << answer()
                                       << "Could not prepare the check.";
        QTest::newRow("500") << true << "Fix" << "" << 500 << answer() << unavailable;
        QTest::newRow("malformed") << true << "Fix" << "" << 200 << QByteArray("{\"decision\":") << unavailable;
        QTest::newRow("untrusted") << true << "Fix" << "" << -1 << answer() << "The check could not reach HOST.";
    }
    void checkNotDone()
    {
        QFETCH(bool, withQuota);
        QFETCH(QString, task);
        QFETCH(QString, host);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, message);
        Rig rig;
        helperAnswers(withQuota ? quota(42, 80) : QByteArray());
        CheckEndpoint endpoint = rig.endpoint();
        endpoint.host = host.isEmpty() ? endpoint.host : host;
        if (status < 0)
            endpoint.extraAuthorities.clear();
        MainWindowController &c = rig.make(endpoint);
        QTRY_VERIFY(rig.quotaSettled() || c.usage);

        QVERIFY(rig.checkWith(body, std::max(status, 200), task));
        QCOMPARE(c.status->text(), message.replace("HOST", rig.server.host()));
        QCOMPARE(rig.server.requests().size(), status > 0 ? 1 : 0);
        QCOMPARE(c.checkButton->text(), QStringLiteral("Check task"));
        QCOMPARE(c.checkButton->isEnabled(), withQuota);
        QCOMPARE(c.input->toPlainText(), task);
        QVERIFY(!c.result && c.results->arrangedViews().isEmpty());
    }

    void checkInFlight()
    {
        Rig rig;
        MainWindowController &c = rig.withQuota(quota(42, 80));
        QVERIFY(rig.checkWith(answer()));

        rig.server.respondWith(TestHttpsServer::Response::json(200, answer({{"decision", "start_now"}})));
        c.input->setPlainText(QStringLiteral("  Rename the flag\n  in two files \n"));
        c.checkButton->click();
        QCOMPARE(c.checkButton->text(), QStringLiteral("Checking…"));
        QVERIFY(!c.checkButton->isEnabled());
        QVERIFY(c.results->arrangedViews().isEmpty()); // the old result is gone while waiting
        c.check(); // a second press while in flight sends nothing
        QTRY_VERIFY(!c.request);

        QCOMPARE(rig.server.requests().size(), 2);
        const QJsonObject sent = QJsonDocument::fromJson(rig.server.requests().last().body).object();
        QCOMPARE(sent.value("task").toString(), QStringLiteral("Rename the flag\n  in two files"));
        QCOMPARE(sent.value("quota").toObject().value("fiveHourRemainingPercent").toInt(), 42);
        QCOMPARE(c.checkButton->text(), QStringLiteral("Check task"));
        QVERIFY(c.checkButton->isEnabled());
        QCOMPARE(describe(c.results).value(0), QStringLiteral("START NOW"));
    }

    void returnKey()
    {
        Rig rig;
        MainWindowController &c = rig.withQuota(quota(42, 80));
        rig.shown();
        rig.server.respondWith(TestHttpsServer::Response::json(200, answer()));

        // Return in the description is a line break there ...
        c.input->setPlainText(QStringLiteral("first"));
        c.input->setFocus();
        c.input->moveCursor(QTextCursor::End);
        QTRY_VERIFY(c.input->hasFocus());
        QTest::keyClick(c.input, Qt::Key_Return);
        QCOMPARE(c.input->toPlainText(), QStringLiteral("first\n"));
        QVERIFY(!c.request);

        // ... and elsewhere it checks the task.
        c.pasteButton->setFocus();
        QTRY_VERIFY(c.pasteButton->hasFocus());
        QTest::keyClick(c.pasteButton, Qt::Key_Return);
        QVERIFY(c.request);
        QTRY_COMPARE(rig.server.requests().size(), 1);
    }

    void closingCancelsCheck()
    {
        Rig rig;
        MainWindowController &c = rig.withQuota(quota(42, 80));
        QWidget *window = rig.shown();
        QVERIFY(rig.checkWith(answer()));

        TestHttpsServer::Response stall;
        stall.stall = true;
        rig.server.respondWith(stall);
        QSignalSpy received(&rig.server, &TestHttpsServer::requestReceived);
        c.input->setPlainText(QStringLiteral("Refactor the parser"));
        c.check();
        QVERIFY(received.wait(10000));
        QPointer<CheckTransport> transport = c.request;

        QVERIFY(window->close());
        QVERIFY(!window->isVisible());
        QCOMPARE(c.window(), window); // hidden, not destroyed
        QVERIFY(!transport && !c.request);
        QCOMPARE(c.checkButton->text(), QStringLiteral("Check task"));
        QVERIFY(c.checkButton->isEnabled());
        QVERIFY(c.status->text().isEmpty() && c.input->toPlainText().isEmpty());
        QVERIFY(!c.result && c.results->arrangedViews().isEmpty());
    }

    void resultArea_data()
    {
        QTest::addColumn<QByteArray>("quotaJson");
        QTest::addColumn<QByteArray>("answerJson");
        QTest::addColumn<QStringList>("entries"); // each "text|space after"

        const QStringList head{"SCOPE DOWN|2", "Enough quota for a bounded task.|14", "TASK LINTS|4",
                               "No material problems found. The task is bounded as written.|14"};
        const QString disclaimer = QStringLiteral("Experimental task-fit assessment, not an OpenAI quota estimate.|0");
        const QJsonObject lint{{"code", "scope"}, {"title", "Too broad"}, {"message", "Names three."}, {"fix", "Pick one."}};
        QTest::newRow("minimal") << quota(42, 80) << answer() << (head + QStringList{disclaimer});
        QTest::newRow("full, room to start")
            << quota(42, 80)
            << answer({{"decision", "start_now"},
                       {"lints", QJsonArray{lint, lint}},
                       {"taskPacket", "Do X.\n  Then Y."},
                       {"taskShape", QJsonObject{{"scope", "One module"}, {"validation", "Unit tests"}, {"stop", ""}}},
                       {"defer", QJsonArray{"Docs", "", "Refactor"}},
                       {"reservePolicy", "standard"},
                       {"taskSize", "small"}})
            << QStringList{"START NOW|2", "Enough quota for a bounded task.|14", "TASK LINTS|4", "Too broad|1",
                           "Names three.|1", "Fix: Pick one.|8", "Too broad|1", "Names three.|1", "Fix: Pick one.|14",
                           "RUN THIS TASK|4", "Do X.\n  Then Y.|6", "[Copy for Codex]|14", "RECOMMENDED TASK SHAPE|4",
                           "Scope|0", "One module|6", "Validate|0", "Unit tests|14", "DEFER FOR LATER|4",
                           "• Docs\n• Refactor|14", "VALIDATION RESERVE|4", "KEEP HEADROOM|1",
                           "Finish the current unit before starting another branch of work.|8",
                           "Your history: 3 of 5 similarly scoped runs finished.|8", "[Start Protected Run]|14",
                           "Task size: Small|2", disclaimer};
        QTest::newRow("blocked band gets a spacer")
            << quota(0, 80) << answer({{"reservePolicy", "light"}, {"taskSize", "gigantic"}})
            << head + QStringList{"VALIDATION RESERVE|4", "QUOTA EXHAUSTED|1",
                                  "Quota is exhausted. Stop and resume after reset.|8", "[spacer]|6",
                                  "Task size: gigantic|2", disclaimer};
        QTest::newRow("no band, no reserve section")
            << snapshotJson({{60, 50, now()}}) << answer({{"reservePolicy", "high"}}) << (head + QStringList{disclaimer});
    }

    void resultArea()
    {
        QFETCH(QStringList, entries);
        Rig rig;
        // Five earlier small runs from a moderate band with a standard policy, three finished.
        QList<OutcomeRecord> history(5);
        for (int i = 0; i < 5; ++i) {
            history[i].timestamp = 1765000000 + i;
            history[i].taskSize = QStringLiteral("small");
            history[i].startingQuotaBand = QuotaBand::moderate;
            history[i].reservePolicy = ReservePolicy::standard;
            history[i].outcome = i < 3 ? OutcomeRecord::Outcome::finished : OutcomeRecord::Outcome::abandoned;
        }
        QVERIFY(rig.settings->setValue(OutcomeStore::key, *OutcomeStore::encode(history)));
        QFETCH(QByteArray, quotaJson);
        MainWindowController &c = rig.withQuota(quotaJson);
        QFETCH(QByteArray, answerJson);
        QVERIFY(rig.checkWith(answerJson));
        QCOMPARE(c.status->text(), QString());

        QStringList shown;
        for (QWidget *view : c.results->arrangedViews()) {
            shown.append(describe(view) + '|' + QString::number(c.results->stack()->customSpacingAfter(view)));
            QCOMPARE(c.results->stack()->fillsWidth(view), !qobject_cast<QPushButton *>(view));
            if (auto *label = qobject_cast<QLabel *>(view)) {
                QCOMPARE(label->textFormat(), Qt::PlainText);
                const bool selectable = label->textInteractionFlags() & Qt::TextSelectableByMouse;
                QCOMPARE(selectable, label->text() == QStringLiteral("Do X.\n  Then Y."));
            }
        }
        QCOMPARE(shown, entries);
        QCOMPARE(c.copyButton.isNull(), !entries.contains(QStringLiteral("[Copy for Codex]|14")));
        QCOMPARE(c.startButton.isNull(), !entries.contains(QStringLiteral("[Start Protected Run]|14")));
    }

    void narrowWindowWraps()
    {
        Rig rig;
        rig.withQuota(quota(42, 80));
        const QJsonObject lint{{"code", "c"}, {"title", QString("A long lint title ").repeated(8)},
                               {"message", QString("message ").repeated(30)}, {"fix", "Split it."}};
        QVERIFY(rig.checkWith(answer({{"lints", QJsonArray{lint}}, {"taskPacket", QString("packet ").repeated(60)}})));
        QWidget *window = rig.shown();
        window->resize(420, 480);
        QTRY_COMPARE(window->width(), 420);
        auto *scroller = window->findChild<QScrollArea *>();
        QTRY_VERIFY(scroller->verticalScrollBar()->maximum() > 0); // taller than the window, scrolled to the top
        QCOMPARE(scroller->verticalScrollBar()->value(), 0);
        QVERIFY(!scroller->horizontalScrollBar()->isVisible());
        const int visibleWidth = scroller->viewport()->width();
        for (QLabel *view : scroller->widget()->findChildren<QLabel *>())
            QVERIFY2(view->isHidden() || view->mapTo(scroller->widget(), QPoint(view->width(), 0)).x() <= visibleWidth,
                     qPrintable(describe(view)));
    }

    void copyPacket()
    {
        Rig rig;
        MainWindowController &c = rig.withQuota(quota(42, 80));
        const QString packet = QStringLiteral("  Goal: fix the parser.\n\tKeep the tests.  ");
        QVERIFY(rig.checkWith(answer({{"taskPacket", packet}})));
        QElapsedTimer clock;
        clock.start();
        c.copyButton->click();
        QCOMPARE(QGuiApplication::clipboard()->text(), packet);
        QCOMPARE(c.copyButton->text(), QStringLiteral("Copied"));

        // A second press a second later must not postpone the first reset to 2.5 s.
        QVERIFY(QTest::qWaitFor([&] { return clock.elapsed() >= 1000; }));
        c.copyButton->click();
        QTRY_COMPARE_WITH_TIMEOUT(c.copyButton->text(), QStringLiteral("Copy for Codex"), 5000);
        QVERIFY2(clock.elapsed() >= 1500 && clock.elapsed() < 2500, qPrintable(QString::number(clock.elapsed())));
    }

    void paste_data()
    {
        QTest::addColumn<QString>("clipboard");
        QTest::addColumn<QString>("description");
        QTest::addColumn<QString>("statusText");
        QTest::newRow("blanks kept") << "  a\n\nb  \n" << "  a\n\nb  \n" << "";
        QTest::newRow("only blanks") << " \n\t \n" << "typed before" << "The clipboard has no text.";
        QTest::newRow("empty") << "" << "typed before" << "The clipboard has no text.";
    }

    void paste()
    {
        QFETCH(QString, clipboard);
        Rig rig;
        MainWindowController &c = rig.withQuota(quota(42, 80));
        rig.shown();
        c.input->setPlainText(QStringLiteral("typed before"));
        c.status->setText(QStringLiteral("old status"));
        QGuiApplication::clipboard()->setText(clipboard);
        c.checkButton->setFocus();

        c.pasteButton->click();
        QTEST(c.input->toPlainText(), "description");
        QTEST(c.status->text(), "statusText");
        if (c.status->text().isEmpty())
            QTRY_VERIFY(c.input->hasFocus());
    }
};

QTEST_MAIN(TestWindow)
#include "test_window.moc"
