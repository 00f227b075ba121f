// The quota panel of the main window: reading the quota and showing its two windows.

#include "check/CheckTransport.h"
#include "quota/QuotaReader.h"
#include "quota/QuotaText.h"
#include "window/MainWindowController.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QEvent>
#include <QLabel>
#include <QPushButton>

namespace tessaline {

QString MainWindowController::resetLine(qint64 windowMinutes, double resetsAt, double now)
{
    return QuotaText::resetLine(windowMinutes, resetsAt, now);
}

void MainWindowController::loadQuota()
{
    showQuotaReading();
    readQuota();
}

void MainWindowController::showQuotaReading()
{
    retryButton->hide();
    quotaRows->clearArranged();
    quotaStatus->show();
    quotaStatus->setText(QuotaText::reading());
    checkButton->setEnabled(false);
}

void MainWindowController::readQuota()
{
    QPointer<MainWindowController> self(this);
    QuotaReader::read([self](std::optional<Usage> snapshot, std::optional<QString> message) {
        if (!self)
            return;
        // A helper that cannot be found or started is reported at once, which during
        // construction is before there are views to show it in: take it once they exist.
        if (!self->built) {
            QMetaObject::invokeMethod(
                self, [self, snapshot, message] { self->takeQuota(snapshot, message); }, Qt::QueuedConnection);
            return;
        }
        self->takeQuota(snapshot, message);
    });
}

void MainWindowController::takeQuota(const std::optional<Usage> &snapshot, const std::optional<QString> &message)
{
    if (!mainWindow)
        return;
    if (snapshot) {
        usage = *snapshot;
        renderQuota(*snapshot);
        // A check in flight keeps its button disabled until it ends.
        checkButton->setEnabled(!request);
    } else {
        // A failed read drops the old snapshot: no check on stale quota.
        usage.reset();
        quotaStatus->setText(QuotaText::failure(message));
        retryButton->show();
        checkButton->setEnabled(false);
    }
}

void MainWindowController::renderQuota(const Usage &snapshot)
{
    quotaStatus->hide();
    quotaRows->clearArranged();
    const double now = double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;

    for (const QuotaText::Row &kind : QuotaText::rows) {
        const Usage::Window *window =
            kind.minutes == Usage::fiveHourMinutes ? snapshot.fiveHourWindow() : snapshot.weeklyWindow();
        if (!window)
            continue;
        quotaRows->addArranged(makeLabel(QuotaText::title(kind), 12, FontWeight::Semibold,
                                         TextColor::Label));
        quotaRows->addArranged(makeLabel(QuotaText::remainingLine(window->remainingPercent), 13, FontWeight::Regular, TextColor::Label));
        quotaRows->addArranged(makeLabel(resetLine(kind.minutes, window->resetsAt, now), 11,
                                         FontWeight::Regular, TextColor::Secondary));
    }

    if (quotaRows->arrangedViews().isEmpty()) {
        quotaStatus->setText(QuotaText::noWindows());
        quotaStatus->show();
    }
    // Qt shows views added to a visible window, and lays them out, on a later pass of the
    // event loop. Do both now, so a paint already due (the window's first) draws the rows
    // rather than a second full paint a moment later.
    for (QWidget *row : quotaRows->arrangedViews())
        row->show();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
}

} // namespace tessaline
