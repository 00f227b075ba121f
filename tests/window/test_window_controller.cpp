// The main window driven as a user drives it: a real helper process for the quota and a
// real local HTTPS service for the check.

#include "WindowTestSupport.h"

#include "quota/QuotaReader.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>

using namespace windowtest;

class TestWindowController : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void newWindow();
    void narrowWindowWrapsWithoutHorizontalScrolling();
    void quotaStates_data();
    void quotaStates();
    void retryReadsAgainAndFailureDropsSnapshot();
    void longFailureShowsFourLines();
    void answerAfterControllerIsGone();
    void checkRefusals_data();
    void checkRefusals();
    void checkInFlight();
    void returnKey();
    void closingCancelsCheck();
    void checkFailures_data();
    void checkFailures();
    void resultArea_data();
    void resultArea();
    void insightFromHistory();
    void copyPacket();
    void paste_data();
    void paste();
    void webCheckerOpensOnlyTheAddress();
};

// Stands in for the browser: records what the desktop was asked to open.
class UrlRecorder : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public Q_SLOTS:
    void open(const QUrl &url) { opened.append(url); }
};

void TestWindowController::newWindow()
{
    Rig rig;
    helperAnswers(quota(42, 80));
    MainWindowController &c = rig.make();
    QWidget *window = c.window();
    QVERIFY(window);
    QCOMPARE(window->windowTitle(), QStringLiteral("Tessaline"));
    QCOMPARE(window->size(), QSize(480, 720));
    QCOMPARE(window->minimumSize(), QSize(420, 480));
    QCOMPARE(window->geometry().center(), QGuiApplication::primaryScreen()->availableGeometry().center());
    QVERIFY(!window->isVisible()); // shown by the application, not by the controller

    // The read is under way: the window says so and nothing can be checked yet.
    QCOMPARE(c.quotaStatus->text(), QStringLiteral("Reading your current Codex quota…"));
    QVERIFY(!c.quotaStatus->isHidden());
    QVERIFY(c.retryButton->isHidden());
    QVERIFY(c.runPanel->isHidden());
    QVERIFY(!c.checkButton->isEnabled());
    QCOMPARE(c.checkButton->text(), QStringLiteral("Check task"));
    QTRY_VERIFY(c.usage.has_value());
    QVERIFY(c.checkButton->isEnabled());
}

void TestWindowController::narrowWindowWrapsWithoutHorizontalScrolling()
{
    Rig rig;
    MainWindowController &c = rig.withQuota(quota(42, 80));
    QVERIFY(rig.checkWith(answer({{"lints", QJsonArray{QJsonObject{{"code", "c"},
                                                                    {"title", QString("A long lint title ").repeated(8)},
                                                                    {"message", QString("message ").repeated(30)},
                                                                    {"fix", "Split it."}}}},
                                  {"taskPacket", QString("packet ").repeated(60)}})));
    QWidget *window = c.window();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    auto *scroller = window->findChild<QScrollArea *>();
    QVERIFY(scroller);

    const QLabel *hint = nullptr;
    for (auto *label : window->findChildren<QLabel *>())
        if (label->text().startsWith(QStringLiteral("Describe the job")))
            hint = label;
    QVERIFY(hint);
    const QSize pasteSize = c.pasteButton->size();
    const int hintHeight = hint->height();

    window->resize(420, 480);
    QTRY_COMPARE(window->width(), 420);
    QTRY_VERIFY(hint->height() > hintHeight); // the hint wraps ...
    QCOMPARE(c.pasteButton->size(), pasteSize); // ... and the button keeps its size
    QVERIFY(!scroller->horizontalScrollBar()->isVisible());
    // Every view of the result area fits in the visible width; the content is taller than
    // the window and scrolls from the top.
    const int visibleWidth = scroller->viewport()->width();
    for (QWidget *view : c.results->arrangedViews())
        QVERIFY2(view->mapTo(scroller->widget(), QPoint(view->width(), 0)).x() <= visibleWidth,
                 qPrintable(describe(view)));
    QVERIFY(scroller->verticalScrollBar()->maximum() > 0);
    QCOMPARE(scroller->verticalScrollBar()->value(), 0);
}

void TestWindowController::quotaStates_data()
{
    QTest::addColumn<QByteArray>("snapshot"); // empty: the helper fails
    QTest::addColumn<QByteArray>("helperError");
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<QString>("statusText"); // empty: hidden
    QTest::addColumn<bool>("retry");
    QTest::addColumn<bool>("checkable");

    const double t = now();
    QTest::newRow("shown") << snapshotJson({{10080, 80, 1767571200}, {300, 42, t + 200 * 60 + 30}}) << QByteArray()
                           << QStringList{"5-hour", "42% remaining", "resets in 3h 20m", "Weekly", "80% remaining",
                                          "resets Jan 5"}
                           << QString() << false << true;
    QTest::newRow("only weekly") << snapshotJson({{10080, 0, 1767571200}}) << QByteArray()
                                 << QStringList{"Weekly", "0% remaining", "resets Jan 5"} << QString() << false << true;
    QTest::newRow("first of duplicates, others ignored")
        << snapshotJson({{60, 5, t}, {300, 100, t - 10}, {300, 7, t + 7200}}) << QByteArray()
        << QStringList{"5-hour", "100% remaining", "resets now"} << QString() << false << true;
    QTest::newRow("empty") << snapshotJson({{60, 50, t}}) << QByteArray() << QStringList()
                           << QStringLiteral("Codex reported no usable quota windows for this account.") << false
                           << true;
    QTest::newRow("helper fails") << QByteArray() << QByteArray("not signed in") << QStringList()
                                  << QStringLiteral("Tessaline could not read your current Codex quota. not signed in "
                                                    "Tessaline needs the Codex CLI installed and a signed-in Codex "
                                                    "session.")
                                  << true << false;
    QTest::newRow("helper missing") << QByteArray() << QByteArray() << QStringList()
                                    << QStringLiteral("Tessaline could not find its bundled quota helper. Tessaline "
                                                      "needs the Codex CLI installed and a signed-in Codex session.")
                                    << true << false;
}

void TestWindowController::quotaStates()
{
    QFETCH(QByteArray, snapshot);
    QFETCH(QByteArray, helperError);
    QFETCH(QString, statusText);
    if (!snapshot.isEmpty())
        helperAnswers(snapshot);
    else if (!helperError.isEmpty())
        helperFails(helperError);
    else
        helperMissing();

    Rig rig;
    MainWindowController &c = rig.make();
    QTRY_VERIFY(rig.quotaSettled() || !c.quotaRows->arrangedViews().isEmpty());

    QTEST(describe(c.quotaRows), "rows");
    QCOMPARE(c.quotaStatus->isHidden(), statusText.isEmpty());
    if (!statusText.isEmpty())
        QCOMPARE(c.quotaStatus->text(), statusText);
    QTEST(!c.retryButton->isHidden(), "retry");
    QTEST(c.checkButton->isEnabled(), "checkable");
    QCOMPARE(c.usage.has_value(), !snapshot.isEmpty());
}

void TestWindowController::retryReadsAgainAndFailureDropsSnapshot()
{
    Rig rig;
    MainWindowController &c = rig.withQuota(quota(42, 80));

    helperFails("", 3);
    c.loadQuota();
    // Back to reading at once, before the helper answers.
    QCOMPARE(c.quotaStatus->text(), QStringLiteral("Reading your current Codex quota…"));
    QVERIFY(c.quotaRows->arrangedViews().isEmpty());
    QVERIFY(!c.checkButton->isEnabled());
    QTRY_VERIFY(!c.retryButton->isHidden());
    QVERIFY(!c.usage); // no check on stale quota
    QVERIFY(c.quotaStatus->text().startsWith(QStringLiteral("Tessaline could not read your current Codex quota (3).")));

    helperAnswers(quota(10, 20));
    c.retryButton->click();
    QVERIFY(c.retryButton->isHidden());
    QCOMPARE(c.quotaStatus->text(), QStringLiteral("Reading your current Codex quota…"));
    QTRY_VERIFY(c.usage.has_value());
    QCOMPARE(describe(c.quotaRows).value(1), QStringLiteral("10% remaining"));
    QVERIFY(c.checkButton->isEnabled());
}

void TestWindowController::longFailureShowsFourLines()
{
    Rig rig;
    helperFails(QByteArray("The Codex session expired. ").repeated(12));
    MainWindowController &c = rig.make();
    QWidget *window = c.window();
    window->resize(420, 480);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    QTRY_VERIFY(!c.retryButton->isHidden());

    const int lineSpacing = QFontMetrics(c.quotaStatus->font()).lineSpacing();
    QTRY_VERIFY(c.quotaStatus->height() > 0);
    QCOMPARE(c.quotaStatus->height(), 4 * lineSpacing);
    // What does not fit stays readable in the tool tip.
    QTRY_COMPARE(c.quotaStatus->toolTip(), c.quotaStatus->text());
    QVERIFY(c.quotaStatus->text().endsWith(QStringLiteral("a signed-in Codex session.")));
}

void TestWindowController::answerAfterControllerIsGone()
{
    Rig rig;
    helperAnswers(quota(42, 80));
    rig.make();
    rig.controller.reset(); // its read is still running
    // A later read of the same helper ends after the abandoned one; by then the abandoned
    // answer has arrived and must have been dropped without touching the controller.
    bool done = false;
    QuotaReader::read([&done](std::optional<Usage>, std::optional<QString>) { done = true; });
    QTRY_VERIFY(done);
}

void TestWindowController::checkRefusals_data()
{
    QTest::addColumn<bool>("withQuota");
    QTest::addColumn<QString>("task");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("message");
    QTest::newRow("no quota") << false << "Fix the bug" << QString() << "Read your current Codex quota first.";
    QTest::newRow("blank") << true << " \n\t \n" << QString() << "Describe the task first.";
    QTest::newRow("8001 characters") << true << QString(8001, QLatin1Char('x')) << QString()
                                     << "That description is longer than 8,000 characters.";
    QTest::newRow("unusable host") << true << "Fix the bug" << "bad host/with path"
                                   << "Could not prepare the check.";
}

void TestWindowController::checkRefusals()
{
    QFETCH(bool, withQuota);
    QFETCH(QString, task);
    QFETCH(QString, host);
    Rig rig;
    if (withQuota) {
        helperAnswers(quota(42, 80));
    } else {
        helperMissing();
    }
    CheckEndpoint endpoint = rig.endpoint();
    if (!host.isEmpty())
        endpoint.host = host;
    MainWindowController &c = rig.make(endpoint);
    QTRY_VERIFY(rig.quotaSettled() || c.usage);
    QCOMPARE(c.usage.has_value(), withQuota);

    c.input->setPlainText(task);
    c.check();
    QTEST(c.status->text(), "message");
    QVERIFY(!c.request);
    QCOMPARE(c.checkButton->text(), QStringLiteral("Check task"));
    QCOMPARE(c.input->toPlainText(), task); // nothing the user typed is lost
    QVERIFY(rig.server.requests().isEmpty());
}

void TestWindowController::checkInFlight()
{
    Rig rig;
    MainWindowController &c = rig.withQuota(quota(42, 80));
    QVERIFY(rig.checkWith(answer()));
    QCOMPARE(c.results->arrangedViews().size(), 5);

    rig.server.respondWith(TestHttpsServer::Response::json(200, answer({{"decision", "start_now"}})));
    c.input->setPlainText(QStringLiteral("  Rename the flag\n  in two files \n"));
    c.checkButton->click();
    QCOMPARE(c.checkButton->text(), QStringLiteral("Checking…"));
    QVERIFY(!c.checkButton->isEnabled());
    QVERIFY(c.results->arrangedViews().isEmpty()); // the old result is gone while waiting
    QCOMPARE(c.status->text(), QString());
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

void TestWindowController::returnKey()
{
    Rig rig;
    MainWindowController &c = rig.withQuota(quota(42, 80));
    QWidget *window = c.window();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    rig.server.respondWith(TestHttpsServer::Response::json(200, answer()));

    // Return typed in the description is a line break there.
    c.input->setPlainText(QStringLiteral("first"));
    c.input->setFocus();
    c.input->moveCursor(QTextCursor::End);
    QTRY_VERIFY(c.input->hasFocus());
    QTest::keyClick(c.input, Qt::Key_Return);
    QCOMPARE(c.input->toPlainText(), QStringLiteral("first\n"));
    QVERIFY(!c.request);

    // Elsewhere in the window Return checks the task.
    c.pasteButton->setFocus();
    QTRY_VERIFY(c.pasteButton->hasFocus());
    QTest::keyClick(c.pasteButton, Qt::Key_Return);
    QVERIFY(c.request);
    QTRY_VERIFY(!c.request);
    QCOMPARE(rig.server.requests().size(), 1);
}

void TestWindowController::closingCancelsCheck()
{
    Rig rig;
    MainWindowController &c = rig.withQuota(quota(42, 80));
    QWidget *window = c.window();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    QVERIFY(rig.checkWith(answer()));
    QVERIFY(c.result);

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
    QVERIFY(!transport);          // the request is gone with its connection
    QVERIFY(!c.request);
    QCOMPARE(c.checkButton->text(), QStringLiteral("Check task"));
    QVERIFY(c.checkButton->isEnabled());
    QCOMPARE(c.status->text(), QString());
    QCOMPARE(c.input->toPlainText(), QString());
    QVERIFY(!c.result);
    QVERIFY(c.results->arrangedViews().isEmpty());
}

void TestWindowController::checkFailures_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("trusted");
    const QString unavailable = QStringLiteral("The check is unavailable right now. Try again shortly.");
    QTest::newRow("204") << 204 << QByteArray() << true;
    QTest::newRow("201 with an answer") << 201 << answer() << true;
    QTest::newRow("500") << 500 << answer() << true;
    QTest::newRow("malformed") << 200 << QByteArray("{\"decision\":") << true;
    QTest::newRow("unknown decision") << 200 << answer({{"decision", "START_NOW"}}) << true;
    QTest::newRow("untrusted certificate") << 200 << answer() << false;
}

void TestWindowController::checkFailures()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(bool, trusted);
    Rig rig;
    helperAnswers(quota(42, 80));
    CheckEndpoint endpoint = rig.endpoint();
    if (!trusted)
        endpoint.extraAuthorities.clear();
    MainWindowController &c = rig.make(endpoint);
    QTRY_VERIFY(c.usage.has_value());
    QVERIFY(rig.checkWith(answer()) || !trusted);

    QVERIFY(rig.checkWith(body, status));
    QCOMPARE(c.status->text(), trusted ? QStringLiteral("The check is unavailable right now. Try again shortly.")
                                       : QStringLiteral("The check could not reach %1.").arg(rig.server.host()));
    QVERIFY(c.results->arrangedViews().isEmpty());
    QCOMPARE(c.checkButton->text(), QStringLiteral("Check task"));
    QVERIFY(c.checkButton->isEnabled());
    // The earlier result is still held though no longer shown.
    QCOMPARE(c.result.has_value(), trusted);
}

void TestWindowController::resultArea_data()
{
    QTest::addColumn<QByteArray>("quotaJson");
    QTest::addColumn<QByteArray>("answerJson");
    QTest::addColumn<QStringList>("entries"); // each "text|space after"

    const QString disclaimer = QStringLiteral("Experimental task-fit assessment, not an OpenAI quota estimate.|0");
    const QJsonObject lint{{"code", "scope"}, {"title", "Too broad"}, {"message", "Names three subsystems."},
                           {"fix", "Pick one."}};
    QTest::newRow("bare") << quota(42, 80) << answer()
                          << QStringList{"SCOPE DOWN|2", "Enough quota for a bounded task.|14", "TASK LINTS|4",
                                         "No material problems found. The task is bounded as written.|14", disclaimer};

    QJsonArray fourLints;
    for (int i = 1; i <= 4; ++i) {
        QJsonObject l = lint;
        l["title"] = QStringLiteral("Lint %1").arg(i);
        fourLints.append(l);
    }
    QStringList lintEntries{"PLAN FIRST|2", "Enough quota for a bounded task.|14", "TASK LINTS|4"};
    for (int i = 1; i <= 4; ++i)
        lintEntries << QStringLiteral("Lint %1|1").arg(i) << "Names three subsystems.|1"
                    << QStringLiteral("Fix: Pick one.|%1").arg(i == 4 ? 14 : 8);
    QTest::newRow("four lints") << quota(42, 80) << answer({{"decision", "plan_first"}, {"lints", fourLints}})
                                << (lintEntries << disclaimer);

    QTest::newRow("everything, room to start")
        << quota(42, 80)
        << answer({{"decision", "start_now"},
                   {"lints", QJsonArray{lint}},
                   {"taskPacket", "Do X.\n  Then Y."},
                   {"taskShape", QJsonObject{{"scope", "One module"}, {"validation", "Unit tests"}, {"stop", ""}}},
                   {"defer", QJsonArray{"Docs", "", "Refactor"}},
                   {"reservePolicy", "standard"},
                   {"taskSize", "medium"}})
        << QStringList{"START NOW|2",
                       "Enough quota for a bounded task.|14",
                       "TASK LINTS|4",
                       "Too broad|1",
                       "Names three subsystems.|1",
                       "Fix: Pick one.|14",
                       "RUN THIS TASK|4",
                       "Do X.\n  Then Y.|6",
                       "[Copy for Codex]|14",
                       "RECOMMENDED TASK SHAPE|4",
                       "Scope|0",
                       "One module|6",
                       "Validate|0",
                       "Unit tests|14",
                       "DEFER FOR LATER|4",
                       "• Docs\n• Refactor|14",
                       "VALIDATION RESERVE|4",
                       "KEEP HEADROOM|1",
                       "Finish the current unit before starting another branch of work.|8",
                       "[Start Protected Run]|14",
                       "Task size: Medium|2",
                       disclaimer};

    QTest::newRow("blocked band gets a spacer")
        << quota(0, 80) << answer({{"reservePolicy", "light"}, {"taskSize", "gigantic"}})
        << QStringList{"SCOPE DOWN|2",
                       "Enough quota for a bounded task.|14",
                       "TASK LINTS|4",
                       "No material problems found. The task is bounded as written.|14",
                       "VALIDATION RESERVE|4",
                       "QUOTA EXHAUSTED|1",
                       "Quota is exhausted. Stop and resume after reset.|8",
                       "[spacer]|6",
                       "Task size: gigantic|2",
                       disclaimer};

    QTest::newRow("no policy, no reserve section")
        << quota(5, 5) << answer({{"reservePolicy", "High"}, {"taskShape", QJsonObject{{"scope", ""}}}})
        << QStringList{"SCOPE DOWN|2", "Enough quota for a bounded task.|14", "TASK LINTS|4",
                       "No material problems found. The task is bounded as written.|14", disclaimer};

    QTest::newRow("no band, no reserve section")
        << snapshotJson({{60, 50, now()}}) << answer({{"reservePolicy", "high"}})
        << QStringList{"SCOPE DOWN|2", "Enough quota for a bounded task.|14", "TASK LINTS|4",
                       "No material problems found. The task is bounded as written.|14", disclaimer};
}

void TestWindowController::resultArea()
{
    QFETCH(QByteArray, quotaJson);
    QFETCH(QByteArray, answerJson);
    QFETCH(QStringList, entries);
    Rig rig;
    MainWindowController &c = rig.withQuota(quotaJson);
    QVERIFY(rig.checkWith(answerJson));
    QCOMPARE(c.status->text(), QString());

    QStringList shown;
    for (QWidget *view : c.results->arrangedViews()) {
        shown.append(describe(view) + QLatin1Char('|') + QString::number(c.results->stack()->customSpacingAfter(view)));
        const bool isButton = qobject_cast<QPushButton *>(view) != nullptr;
        QCOMPARE(c.results->stack()->fillsWidth(view), !isButton);
        if (auto *label = qobject_cast<QLabel *>(view)) {
            QCOMPARE(label->textFormat(), Qt::PlainText);
            const bool selectable = label->textInteractionFlags() & Qt::TextSelectableByMouse;
            QCOMPARE(selectable, c.result->taskPacket && label->text() == *c.result->taskPacket);
        }
    }
    QCOMPARE(shown, entries);
    QCOMPARE(c.copyButton.isNull(), !entries.contains(QStringLiteral("[Copy for Codex]|14")));
    QCOMPARE(c.startButton.isNull(), !entries.contains(QStringLiteral("[Start Protected Run]|14")));
}

void TestWindowController::insightFromHistory()
{
    Rig rig;
    // Five earlier runs of the same size, policy and starting band, three finished.
    QList<OutcomeRecord> history;
    for (int i = 0; i < 5; ++i) {
        OutcomeRecord r;
        r.timestamp = 1765000000 + i;
        r.taskSize = QStringLiteral("small");
        r.startingQuotaBand = QuotaBand::moderate;
        r.reservePolicy = ReservePolicy::standard;
        r.outcome = i < 3 ? OutcomeRecord::Outcome::finished : OutcomeRecord::Outcome::abandoned;
        history.append(r);
    }
    QVERIFY(rig.settings->setValue(OutcomeStore::key, *OutcomeStore::encode(history)));

    MainWindowController &c = rig.withQuota(quota(42, 80));
    QVERIFY(rig.checkWith(answer({{"reservePolicy", "standard"}, {"taskSize", "small"}})));
    const QStringList shown = describe(c.results);
    const qsizetype at = shown.indexOf(QStringLiteral("Your history: 3 of 5 similarly scoped runs finished."));
    QVERIFY2(at > 0, qPrintable(shown.join(" / ")));
    QCOMPARE(shown.at(at + 1), QStringLiteral("[Start Protected Run]"));

    // Another size: no insight.
    QVERIFY(rig.checkWith(answer({{"reservePolicy", "standard"}, {"taskSize", "large"}})));
    QVERIFY(!describe(c.results).join(" ").contains(QStringLiteral("Your history")));
}

void TestWindowController::copyPacket()
{
    Rig rig;
    MainWindowController &c = rig.withQuota(quota(42, 80));
    const QString packet = QStringLiteral("  Goal: fix the parser.\n\tKeep the tests.  ");
    QVERIFY(rig.checkWith(answer({{"taskPacket", packet}})));
    QVERIFY(c.copyButton);

    QElapsedTimer clock;
    clock.start();
    c.copyButton->click();
    QCOMPARE(QGuiApplication::clipboard()->text(), packet);
    QCOMPARE(c.copyButton->text(), QStringLiteral("Copied"));

    // A second press a second later does not postpone the first reset (which would
    // bring it to 2.5 s or later).
    QVERIFY(QTest::qWaitFor([&] { return clock.elapsed() >= 1000; }));
    c.copyButton->click();
    QCOMPARE(c.copyButton->text(), QStringLiteral("Copied"));
    QTRY_COMPARE_WITH_TIMEOUT(c.copyButton->text(), QStringLiteral("Copy for Codex"), 5000);
    QVERIFY2(clock.elapsed() < 2500, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(clock.elapsed() >= 1500);
}

void TestWindowController::paste_data()
{
    QTest::addColumn<QString>("clipboard");
    QTest::addColumn<QString>("description");
    QTest::addColumn<QString>("statusText");
    QTest::newRow("text with blanks kept") << "  word  " << "  word  " << "";
    QTest::newRow("multi-line") << "a\n\nb\n" << "a\n\nb\n" << "";
    QTest::newRow("only blanks") << " \n\t \n" << "typed before" << "The clipboard has no text.";
    QTest::newRow("empty") << "" << "typed before" << "The clipboard has no text.";
}

void TestWindowController::paste()
{
    QFETCH(QString, clipboard);
    Rig rig;
    MainWindowController &c = rig.withQuota(quota(42, 80));
    QWidget *window = c.window();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
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

void TestWindowController::webCheckerOpensOnlyTheAddress()
{
    Rig rig;
    MainWindowController &c = rig.withQuota(quota(42, 80));
    c.input->setPlainText(QStringLiteral("secret task"));
    UrlRecorder browser;
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &browser, "open");
    auto *link = c.window()->findChild<QPushButton *>(QStringLiteral("webChecker"));
    QVERIFY(link);
    link->click();
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    QCOMPARE(browser.opened, QList<QUrl>{QUrl(QStringLiteral("https://%1/tessaline/check").arg(rig.server.host()))});
}

QTEST_MAIN(TestWindowController)
#include "test_window_controller.moc"
