// The main window driven as a user drives it: a real helper process for the quota, a real
// local HTTPS service for the check, and the run's poll called directly instead of waiting
// a minute. What only lays out a snapshot or an answer goes through renderQuota() and
// render() instead.

#include "WindowTestSupport.h"

#include "FixtureRows.h"

#include "quota/QuotaReader.h"

#include <QApplication>
#include <QClipboard>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QTimer>

#include <cmath>

using namespace windowtest;

namespace {

// Contrast as the usual legibility guidelines define it, from relative luminance.
double contrastRatio(const QColor &a, const QColor &b)
{
    const auto luminance = [](const QColor &c) {
        const auto linear = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
    };
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

} // namespace

class TestWindow : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void stack()
    {
        // Spacing 10, but 2 after the first view and 14 after the third; the last one fills.
        StackView stack(10, QMargins(20, 20, 20, 20));
        QList<QWidget *> v{new QWidget, new QPushButton(QStringLiteral("Go")), new QWidget,
                           new QPushButton(QStringLiteral("Go"))};
        v[0]->setFixedSize(50, 10);
        v[2]->setFixedSize(50, 30);
        for (int i = 0; i < 4; ++i)
            stack.addArranged(v[i], i == 3 ? StackLayout::Width::Fill : StackLayout::Width::Natural);
        stack.setCustomSpacing(2, v[0]);
        stack.setCustomSpacing(14, v[2]);
        stack.resize(300, 400);
        stack.show();
        QVERIFY(QTest::qWaitForWindowExposed(&stack));
        const auto gap = [&v](int x, int y) { return v[y]->y() - v[x]->geometry().bottom() - 1; };
        const int h = v[1]->height();
        QCOMPARE(v[0]->pos(), QPoint(20, 20));
        QCOMPARE(QList<int>({gap(0, 1), gap(1, 2), gap(2, 3)}), QList<int>({2, 10, 14}));
        QCOMPARE(QList<int>({v[1]->width(), v[3]->width()}), QList<int>({v[1]->sizeHint().width(), 260}));
        QCOMPARE(stack.stack()->heightForWidth(300), 20 + 10 + 2 + h + 10 + 30 + 14 + h + 20);
        // A hidden view leaves with the space after it.
        v[1]->hide();
        v[2]->hide();
        stack.stack()->activate();
        QCOMPARE(gap(0, 3), 2);
        QCOMPARE(stack.stack()->heightForWidth(300), 20 + 10 + 2 + h + 20);

        std::unique_ptr<QLabel> heading(MainWindowController::heading(QStringLiteral("Straße ﬁne")));
        QCOMPARE(heading->text(), QStringLiteral("STRASSE FINE"));
    }

    void resetLine_data() { addFixtureRows(QStringLiteral("window/reset-lines.json")); }
    void resetLine()
    {
        QFETCH(QJsonObject, row);
        const double at = row.value("resetsAt").toDouble(qQNaN()); // null: not a number, which JSON cannot hold
        QCOMPARE(MainWindowController::resetLine(row.value("minutes").toInteger(), at, 1765000000),
                 row.value("line").toString());
    }

    // Through the helper: a failed read says why and offers Retry, and drops the snapshot so
    // that nothing is checked on stale quota; while reading again it says so at once. A long
    // failure is cut at four lines, the rest in its tool tip.
    void quotaRead()
    {
        helperAnswers({});
        Rig rig;
        MainWindowController &c = rig.make();
        rig.shown();
        QTRY_VERIFY(!c.retryButton->isHidden());
        QVERIFY2(c.quotaStatus->text().contains(QStringLiteral(" offline ")), qPrintable(c.quotaStatus->text()));
        QVERIFY(!c.checkButton->isEnabled());
        helperAnswers(quota(10, 20));
        c.retryButton->click();
        QVERIFY(c.quotaStatus->text().startsWith(QStringLiteral("Reading")));
        QVERIFY(c.retryButton->isHidden() && !c.checkButton->isEnabled() && c.quotaRows->arrangedViews().isEmpty());
        QTRY_VERIFY(c.usage.has_value());
        QCOMPARE(describe(c.quotaRows).value(1), QStringLiteral("10% remaining"));
        QVERIFY(c.checkButton->isEnabled() && c.quotaStatus->isHidden());
        helperAnswers({});
        qputenv("FIXTURE_STDERR", QByteArray("The Codex session expired. ").repeated(12));
        c.loadQuota();
        QTRY_VERIFY(!c.retryButton->isHidden());
        QVERIFY(!c.usage && !c.checkButton->isEnabled() && c.quotaRows->arrangedViews().isEmpty());
        QTRY_COMPARE(c.quotaStatus->height(), 4 * QFontMetrics(c.quotaStatus->font()).lineSpacing());
        QTRY_COMPARE(c.quotaStatus->toolTip(), c.quotaStatus->text());
    }

    // Refused before sending, or failed on the way: one sentence, and nothing typed is lost.
    void checkNotDone_data() { addFixtureRows(QStringLiteral("window/check-not-done.json")); }
    void checkNotDone()
    {
        QFETCH(QJsonObject, row);
        const QString task = row.value("task").toString();
        Rig rig;
        MainWindowController &c = rig.withQuota(quota(42, 80));
        QVERIFY(rig.checkWith(answer(), 500, task));
        QCOMPARE(c.status->text(), row.value("message").toString());
        QCOMPARE(rig.server.requests().size(), task.trimmed().isEmpty() ? 0 : 1);
        QVERIFY(c.checkButton->text() == QStringLiteral("Check task") && c.checkButton->isEnabled());
        QCOMPARE(c.input->toPlainText(), task);
        QVERIFY(!c.result && c.results->arrangedViews().isEmpty());
    }

    // The keyboard alone: typing and pasting into the description, leaving it, checking,
    // pressing the focused button, and closing; the text goes out exactly as entered.
    void keyboard()
    {
        Rig rig;
        MainWindowController &c = rig.withQuota(quota(42, 80));
        QWidget *window = rig.shown();
        QVERIFY(QTest::qWaitForWindowActive(window));
        rig.rendered(answer({{"reservePolicy", "standard"}}));
        rig.server.respondWith(TestHttpsServer::Response::json(200, answer({{"decision", "start_now"},
                                                                            {"reservePolicy", "standard"}})));

        // Return and Shift+Return are line breaks, Ctrl+Tab a tab; a paste keeps no-break
        // spaces, line and paragraph separators and carriage returns.
        const QString pasted = QStringLiteral("keep\u00a0this\u2028together\u2029and\r\nthat\rtoo");
        QGuiApplication::clipboard()->setText(pasted);
        c.input->setFocus();
        QTRY_VERIFY(c.input->hasFocus());
        QTest::keyClicks(c.input, QStringLiteral("Rename"));
        QTest::keyClick(c.input, Qt::Key_Tab, Qt::ControlModifier);
        QTest::keyClick(c.input, Qt::Key_Return);
        QTest::keyClick(c.input, Qt::Key_Return, Qt::ShiftModifier);
        QTest::keyClick(c.input, Qt::Key_V, Qt::ControlModifier);
        const QString typed = QStringLiteral("Rename\t\n\n") + pasted;
        QCOMPARE(c.input->description(), typed);
        QVERIFY(!c.request);
        // Tab and Shift+Tab leave the description.
        QTest::keyClick(c.input, Qt::Key_Tab);
        QTRY_COMPARE(QApplication::focusWidget(), c.checkButton);
        QTest::keyClick(c.checkButton, Qt::Key_Backtab);
        QTest::keyClick(c.input, Qt::Key_Backtab);
        QTRY_COMPARE(QApplication::focusWidget(), c.pasteButton);

        // Outside the description and off any button, Return checks, once however often.
        c.pasteButton->clearFocus();
        QTest::keyClick(window, Qt::Key_Return);
        QVERIFY(!c.checkButton->isEnabled() && c.results->arrangedViews().isEmpty()); // the old result is gone
        QTest::keyClick(window, Qt::Key_Return);
        QTRY_VERIFY(!c.request);
        QCOMPARE(rig.server.requests().size(), 1);
        QCOMPARE(QJsonDocument::fromJson(rig.server.requests().last().body).object().value("task").toString(), typed);
        QCOMPARE(describe(c.results).value(0), QStringLiteral("START NOW"));

        // Return presses the focused button, and checks nothing.
        c.startButton->setFocus();
        QTRY_VERIFY(c.startButton->hasFocus());
        QTest::keyClick(c.startButton, Qt::Key_Return);
        QVERIFY(c.run && rig.server.requests().size() == 1);

        // Escape and Ctrl+W close the window, as its close button does; it comes back
        // without the last status line.
        for (const QKeySequence &keys : {QKeySequence(Qt::Key_Escape), QKeySequence(Qt::CTRL | Qt::Key_W)}) {
            c.status->setText(QStringLiteral("The clipboard has no text."));
            c.input->setFocus();
            QTest::keySequence(window, keys);
            QVERIFY(!window->isVisible());
            QVERIFY(c.status->text().isEmpty() && c.input->description().isEmpty());
            rig.shown();
            QVERIFY(QTest::qWaitForWindowActive(window));
        }
    }

    // What a snapshot and an answer lay out: the quota rows and the status line, then every
    // section of the answer in order, with the space after each.
    void layout_data() { addFixtureRows(QStringLiteral("window/layout.json")); }
    void layout()
    {
        QFETCH(QJsonObject, row);
        Rig rig;
        // Five earlier small runs from a moderate band with a standard policy, three finished.
        const QJsonDocument history(fixtureRows(QStringLiteral("window/history.json")));
        QVERIFY(rig.settings->setValue(OutcomeStore::key, history.toJson(QJsonDocument::Compact)));
        MainWindowController &c = rig.withQuota(snapshotOf(row));
        QCOMPARE(describe(c.quotaRows), row.value("quotaRows").toVariant().toStringList());
        QCOMPARE(c.quotaStatus->isHidden() ? QString() : c.quotaStatus->text(), row.value("status").toString());
        rig.rendered(answer(row.value("answer").toObject()));

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
        QCOMPARE(shown, row.value("entries").toVariant().toStringList());
    }

    // Made centred at its size. Rows are placed as they arrive. Secondary and tertiary text
    // stay legible on light and dark palettes, and follow a change of palette while the
    // window is open; never the separators' Mid. At the narrowest size everything wraps
    // inside the width.
    void look()
    {
        Rig rig;
        MainWindowController &c = rig.withQuota(quota(42, 80));
        QWidget *window = c.window(); // as made, before any window manager moves it
        QVERIFY(window->size() == QSize(480, 720) && window->minimumSize() == QSize(420, 480));
        const QPoint centre = QGuiApplication::primaryScreen()->availableGeometry().center();
        QVERIFY2((window->geometry().center() - centre).manhattanLength() <= 1,
                 qPrintable(QStringLiteral("%1,%2").arg(window->x()).arg(window->y())));
        rig.rendered(answer({{"lints", QJsonArray{lint(QString("A long lint title ").repeated(8), "Split it.",
                                                        QString("message ").repeated(30))}},
                             {"taskPacket", QString("packet ").repeated(60)}, {"reservePolicy", "standard"},
                             {"taskSize", "small"}}));
        c.startRun(); // text of every colour is on show, a run's among it
        rig.shown();
        // Figures arriving in a shown window are placed before control returns to the event
        // loop, so the next paint draws them in place rather than needing another.
        c.renderQuota(*Usage::decode(quota(10, 20)));
        int bottom = 0;
        for (const QWidget *row : c.quotaRows->arrangedViews()) {
            QVERIFY(row->isVisible() && row->y() >= bottom && row->height() > 0);
            bottom = row->y() + row->height();
        }
        QVERIFY(bottom > 0 && c.quotaRows->height() >= bottom);

        QPalette dark; // the secondary shades are mixed from these two
        dark.setColor(QPalette::Window, QColor(53, 53, 53));
        dark.setColor(QPalette::WindowText, Qt::white);
        const QPalette before = QApplication::palette();
        for (const QPalette &palette : {QApplication::style()->standardPalette(), dark}) {
            QApplication::setPalette(palette);
            QSet<TextColor> seen;
            for (WrapLabel *label : c.window()->findChildren<WrapLabel *>()) {
                if (label->textColor() != TextColor::Secondary && label->textColor() != TextColor::Tertiary)
                    continue;
                seen.insert(label->textColor());
                QVERIFY(label->foregroundRole() != QPalette::Mid);
                for (const auto group : {QPalette::Active, QPalette::Inactive}) {
                    const double ratio = contrastRatio(label->palette().color(group, label->foregroundRole()),
                                                       label->palette().color(group, QPalette::Window));
                    QVERIFY2(ratio >= 4.5, qPrintable(QStringLiteral("%1: %2").arg(label->text()).arg(ratio)));
                }
            }
            QCOMPARE(seen.size(), 2);
        }
        QApplication::setPalette(before);

        window->resize(420, 480);
        QTRY_COMPARE(window->width(), 420);
        auto *scroller = window->findChild<QScrollArea *>();
        QTRY_VERIFY(scroller->verticalScrollBar()->maximum() > 0);
        QVERIFY(!scroller->horizontalScrollBar()->isVisible());
        const int visibleWidth = scroller->viewport()->width();
        for (QLabel *view : scroller->widget()->findChildren<QLabel *>())
            QVERIFY2(view->isHidden() || view->mapTo(scroller->widget(), QPoint(view->width(), 0)).x() <= visibleWidth,
                     qPrintable(view->text()));
    }

    void clipboard()
    {
        Rig rig;
        MainWindowController &c = rig.withQuota(quota(42, 80));
        rig.shown();
        const QString packet = QStringLiteral("  Goal: fix the parser.\n\n\tKeep the tests.  ");
        rig.rendered(answer({{"taskPacket", packet}}));
        QElapsedTimer clock;
        clock.start();
        c.copyButton->click();
        QCOMPARE(c.copyButton->text(), QStringLiteral("Copied"));

        // Pasting keeps the text as it is, blanks and all, and moves to the description.
        c.status->setText(QStringLiteral("old status"));
        c.checkButton->setFocus();
        c.pasteButton->click();
        QCOMPARE(c.input->toPlainText(), packet);
        QCOMPARE(c.status->text(), QString());
        QTRY_VERIFY(c.input->hasFocus());
        for (const QString &blank : {QString(), QStringLiteral(" \n\t \n")}) {
            QGuiApplication::clipboard()->setText(blank);
            c.pasteButton->click();
            QCOMPARE(c.input->toPlainText(), packet);
            QCOMPARE(c.status->text(), QStringLiteral("The clipboard has no text."));
        }

        // A second press a second later must not postpone the first reset to 2.5 s.
        QVERIFY(QTest::qWaitFor([&] { return clock.elapsed() >= 1000; }));
        c.copyButton->click();
        QTRY_COMPARE_WITH_TIMEOUT(c.copyButton->text(), QStringLiteral("Copy for Codex"), 5000);
        QVERIFY2(clock.elapsed() >= 1500 && clock.elapsed() < 2500, qPrintable(QString::number(clock.elapsed())));
    }

    // No "windows": a failed read before the start.
    void startRefusals_data() { addFixtureRows(QStringLiteral("window/start-refusals.json")); }
    void startRefusals()
    {
        QFETCH(QJsonObject, row);
        Rig rig;
        MainWindowController &c = rig.withQuota(quota(50, 50));
        if (row.contains("answer"))
            rig.rendered(answer(row.value("answer").toObject()));
        QCOMPARE(bool(c.startButton), row.value("answer").toObject().contains("reservePolicy")); // offered until the quota changes
        helperAnswers(snapshotOf(row));
        c.loadQuota();
        QTRY_VERIFY(c.quotaStatus->isHidden() || !c.retryButton->isHidden()); // read, or failed
        c.startRun();
        QVERIFY(!c.run && !c.runTimer && c.runPanel->isHidden());
    }

    // A run from start to its recorded outcome. Closing the window on the way drops the check
    // in flight but not the run, which is still watched and shown again with the window; a
    // reading that ends after "End Run" is not part of the run. Each poll reads through the
    // helper; the panel follows the reading, and a failed read or one without windows changes
    // nothing. The rig's notifier has no bus, so nothing is ever shown, and a level reached
    // again is tried again.
    void runToOutcome_data() { addFixtureRows(QStringLiteral("window/outcomes.json")); }
    void runToOutcome()
    {
        Rig rig;
        MainWindowController &c = rig.readyToStart();
        QWidget *window = rig.shown();
        c.startButton->click();
        QVERIFY(c.startButton->isHidden() && c.runTimer && c.runTimer->isActive());
        // A new result during the run offers no second start, and starting again changes nothing.
        QTimer *timer = c.runTimer;
        rig.rendered(answer({{"reservePolicy", "high"}}));
        QVERIFY(!c.startButton && describe(c.results).contains(QStringLiteral("[spacer]")));
        c.startRun();
        QVERIFY(c.run->reservePolicy == ReservePolicy::standard && c.runTimer.data() == timer);

        rig.server.respondWith(TestHttpsServer::Response{200, {}, {}, true}); // read, never answered
        c.input->setPlainText(QStringLiteral("Refactor the parser"));
        c.check();
        QTRY_VERIFY_WITH_TIMEOUT(!rig.server.requests().isEmpty(), 10000);
        QPointer<CheckTransport> transport = c.request;
        QVERIFY(window->close());
        QVERIFY(!window->isVisible() && !transport && !c.request);
        QVERIFY(c.checkButton->text() == QStringLiteral("Check task") && c.checkButton->isEnabled());
        QVERIFY(c.input->toPlainText().isEmpty() && !c.result && c.results->arrangedViews().isEmpty());
        for (const QJsonValue &step : fixtureRows(QStringLiteral("window/polls.json"))) {
            const double fetchedBefore = c.usage->fetchedAt;
            helperAnswers(snapshotOf(step.toObject()));
            c.pollRun();
            QTRY_VERIFY(!c.polling);
            QCOMPARE(describe(c.runPanel).mid(2, 2), step["panel"].toVariant().toStringList());
            const QVariant told = rig.notified.isEmpty() ? QVariant() : rig.notified.takeFirst()[0]; // the level, if any
            QCOMPARE(told.isNull() ? QString() : title(told.value<ReserveState>()), step["notified"].toString());
            if (snapshotOf(step.toObject()).isEmpty()) // the window keeps its snapshot and offers no Retry
                QVERIFY(c.usage && c.usage->fetchedAt == fetchedBefore && c.retryButton->isHidden());
        }
        rig.shown();
        QVERIFY(c.runPanel->isVisible());
        QCOMPARE(describe(c.runPanel),
                 QStringList({"PROTECTED RUN", "Started with: 5-hour 40% · Weekly 90%", "Now: 5-hour 0% · Weekly 90%",
                              "Validation reserve: QUOTA EXHAUSTED", "Quota is exhausted. Stop and resume after reset.",
                              "[End Run]"}));

        helperAnswers(quota(5, 90));
        c.pollRun();
        qobject_cast<QPushButton *>(c.runPanel->arrangedViews().constLast())->click(); // End Run, reading in flight
        QVERIFY(!c.runTimer && c.polling);
        const QStringList question{"How did this run end?", "[Finished] [Partial] [Abandoned] [Skip]"};
        QCOMPARE(describe(c.runPanel), question);
        // The quota above follows the late reading; the ended run does not, tells nobody,
        // and the question stays.
        QTRY_VERIFY(!c.polling);
        QCOMPARE(describe(c.quotaRows).value(1), QStringLiteral("5% remaining"));
        QVERIFY(rig.notified.isEmpty() && describe(c.runPanel) == question);

        QFETCH(QJsonObject, row);
        const QString button = row.value("button").toString(), stored = row.value("stored").toString();
        for (auto *choice : c.runPanel->findChildren<QPushButton *>())
            if (choice->text() == button)
                choice->click();
        QVERIFY(!c.run && c.runPanel->isHidden() && c.runPanel->arrangedViews().isEmpty());
        QCOMPARE(rig.settings->contains(OutcomeStore::key), !stored.isEmpty());
        if (stored.isEmpty())
            return;
        const OutcomeRecord record = c.outcomes.records().value(0);
        QCOMPARE(rawValue(record.outcome), stored);
        QCOMPARE(record.lintCodes, QStringList({"scope", "tests"}));
        QVERIFY(record.startingQuotaBand == QuotaBand::moderate && record.endingQuotaBand == QuotaBand::blocked);
        QCOMPARE(record.maximumReserveConstraintReached, ReserveState::exhausted);
    }

    // Readings that end after the window, or the whole controller, has gone are dropped.
    void lateReadings()
    {
        Rig rig;
        MainWindowController &c = rig.readyToStart();
        c.startRun();
        helperAnswers(quota(0, 90));
        c.pollRun();
        delete c.window();
        QVERIFY(!c.window() && !c.runTimer);
        QTRY_VERIFY(!c.polling);
        QCOMPARE(rig.notified.size(), 0);
        rig.make();
        rig.controller.reset(); // its first read is still running
        bool done = false; // a later read of the same helper ends after it
        QuotaReader::read([&done](std::optional<Usage>, std::optional<QString>) { done = true; });
        QTRY_VERIFY(done);
    }
};

QTEST_MAIN(TestWindow)
#include "test_window.moc"
