// The protected-run panel: starting a run from the last check, polling the quota while
// it lasts, asking how it ended, and what closing the window does.

#include "check/CheckTransport.h"
#include "quota/QuotaReader.h"
#include "reserve/RunNotifier.h"
#include "window/DescriptionEdit.h"
#include "window/MainWindowController.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

namespace tessaline {

namespace {

struct OutcomeButton {
    const char *title;
    int tag;
};
constexpr OutcomeButton outcomeButtons[] = {{"Finished", 0}, {"Partial", 1}, {"Abandoned", 2}, {"Skip", 3}};

std::optional<OutcomeRecord::Outcome> outcomeForTag(int tag)
{
    switch (tag) {
    case 0: return OutcomeRecord::Outcome::finished;
    case 1: return OutcomeRecord::Outcome::partial;
    case 2: return OutcomeRecord::Outcome::abandoned;
    default: return std::nullopt; // "Skip"
    }
}

} // namespace

void MainWindowController::startRun()
{
    if (run || !result || !result->reservePolicy || !usage)
        return;
    QStringList lintCodes;
    for (const TaskLintResult::Lint &lint : result->lints)
        lintCodes.append(lint.code);
    std::optional<ProtectedRun> started =
        ProtectedRun::begin(QDateTime::currentDateTimeUtc(), ProtectedRun::Snapshot(*usage), result->taskSize,
                            lintCodes, *result->reservePolicy);
    if (!started)
        return; // no band, or nothing left to protect
    run = std::move(started);

    if (startButton)
        startButton->hide();
    if (notifier->available())
        notifier->requestPermission();

    auto *timer = new QTimer(this);
    timer->setInterval(pollMilliseconds);
    connect(timer, &QTimer::timeout, this, &MainWindowController::pollRun);
    timer->start();
    runTimer = timer;
    renderRun();
}

void MainWindowController::pollRun()
{
    if (!run || polling)
        return;
    polling = true;
    QPointer<MainWindowController> self(this);
    QuotaReader::read([self](std::optional<Usage> snapshot, std::optional<QString>) {
        if (!self)
            return;
        self->polling = false;
        if (!self->mainWindow)
            return; // its views are gone
        if (!snapshot || !self->run)
            return; // a failed poll changes nothing; the next tick tries again
        self->usage = *snapshot;
        self->renderQuota(*snapshot);
        // Once "End Run" was pressed the run is over: a reading that arrives late still
        // updates the quota above, but it is not part of the run, tells nobody, and must
        // not replace the question of how the run ended.
        if (!self->runTimer)
            return;
        if (const std::optional<ReserveState> worse = self->run->observe(ProtectedRun::Snapshot(*snapshot)))
            if (self->notifier->available())
                self->notifier->notify(*worse);
        self->renderRun();
    });
}

QString MainWindowController::percentLine(const ProtectedRun::Snapshot &snapshot)
{
    QStringList parts;
    if (snapshot.fiveHour)
        parts.append(QStringLiteral("5-hour %1%").arg(*snapshot.fiveHour));
    if (snapshot.weekly)
        parts.append(QStringLiteral("Weekly %1%").arg(*snapshot.weekly));
    return parts.join(QStringLiteral(" · "));
}

void MainWindowController::renderRun()
{
    if (!run) {
        setRunPanel({});
        return;
    }
    auto *endButton = new QPushButton(QStringLiteral("End Run"));
    endButton->setAutoDefault(false);
    endButton->setAccessibleDescription(QStringLiteral("Stops watching the quota and asks how the run ended."));
    connect(endButton, &QPushButton::clicked, this, &MainWindowController::endRun);
    setRunPanel({
        heading(QStringLiteral("Protected run")),
        makeLabel(QStringLiteral("Started with: ") + percentLine(run->start), 12, FontWeight::Regular,
                  TextColor::Secondary),
        makeLabel(QStringLiteral("Now: ") + percentLine(run->latest), 12, FontWeight::Regular, TextColor::Label),
        makeLabel(QStringLiteral("Validation reserve: ") + title(run->state), 13, FontWeight::Semibold,
                  TextColor::Label),
        makeLabel(guidance(run->state), 12, FontWeight::Regular, TextColor::Label),
        endButton,
    });
}

void MainWindowController::setRunPanel(const QList<QWidget *> &views)
{
    runPanel->clearArranged();
    for (QWidget *view : views) {
        // Labels follow the panel's width; buttons and the button row keep their own.
        const bool fill = qobject_cast<QLabel *>(view) != nullptr;
        runPanel->addArranged(view, fill ? StackLayout::Width::Fill : StackLayout::Width::Natural);
    }
    runPanel->setVisible(!views.isEmpty());
}

void MainWindowController::endRun()
{
    delete runTimer.data();
    runTimer = nullptr;
    if (!run)
        return;

    auto *row = new QWidget;
    row->setAccessibleName(QStringLiteral("How did this run end?"));
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    for (const OutcomeButton &entry : outcomeButtons) {
        auto *button = new QPushButton(QString::fromLatin1(entry.title));
        button->setAutoDefault(false);
        const int tag = entry.tag;
        connect(button, &QPushButton::clicked, this, [this, tag] { recordOutcome(tag); });
        layout->addWidget(button);
    }
    setRunPanel({makeLabel(QStringLiteral("How did this run end?"), 13, FontWeight::Semibold, TextColor::Label), row});
}

void MainWindowController::recordOutcome(int tag)
{
    if (!run)
        return;
    outcomes.record(*run, outcomeForTag(tag), QDateTime::currentDateTimeUtc());
    run.reset();
    setRunPanel({});
}

void MainWindowController::windowWillClose()
{
    // The check is dropped with its transport: nothing failed, so no failure is shown,
    // and the button is ready for the next check when the window comes back.
    if (request) {
        delete request.data();
        request = nullptr;
        checkButton->setText(checkTitle);
        checkButton->setEnabled(usage.has_value());
    }
    input->clear();
    // Whatever the status line said belonged to the description just cleared.
    status->setText(QString());
    result.reset();
    results->clearArranged();
    // The run, its timer and its panel stay: the run is watched while the window is closed.
}

} // namespace tessaline
