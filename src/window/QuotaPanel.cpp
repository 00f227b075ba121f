// The quota panel of the main window: reading the quota and showing its two windows.

#include "check/CheckTransport.h"
#include "quota/QuotaReader.h"
#include "window/MainWindowController.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QEvent>
#include <QLabel>
#include <QLocale>
#include <QPushButton>

#include <cmath>
#include <limits>

namespace tessaline {

namespace {

const QString readingText = QStringLiteral("Reading your current Codex quota…");
const QString needsText =
    QStringLiteral(" Tessaline needs the Codex CLI installed and a signed-in Codex session.");

// A reset whose distance in minutes does not even fit a 64-bit count cannot be shown
// as a countdown or as a date.
const QString farFutureText = QStringLiteral("resets in the far future");

struct RowKind {
    qint64 minutes;
    const char *title;
};
constexpr RowKind rowKinds[] = {{Usage::fiveHourMinutes, "5-hour"}, {Usage::weeklyMinutes, "Weekly"}};

} // namespace

QString MainWindowController::resetLine(qint64 windowMinutes, double resetsAt, double now)
{
    if (windowMinutes == Usage::fiveHourMinutes) {
        const double ahead = resetsAt - now;
        // NaN lands here too: nothing sensible is ahead of us.
        const double minutes = ahead > 0 ? std::trunc(ahead / 60) : 0;
        if (!(minutes < 0x1p63))
            return farFutureText;
        const auto whole = static_cast<qint64>(minutes);
        if (whole == 0)
            return QStringLiteral("resets now");
        return QStringLiteral("resets in %1h %2m").arg(whole / 60).arg(whole % 60);
    }

    // QDateTime counts milliseconds in 64 bits; keep well inside that before converting.
    constexpr double limit = 9.0e15;
    if (!(std::fabs(resetsAt) < limit))
        return farFutureText;
    const QDateTime when =
        QDateTime::fromSecsSinceEpoch(static_cast<qint64>(std::floor(resetsAt)), Qt::LocalTime);
    if (!when.isValid())
        return farFutureText;
    return QStringLiteral("resets ") + QLocale().toString(when, QStringLiteral("MMM d"));
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
    quotaStatus->setText(readingText);
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
        quotaStatus->setText(message.value_or(QStringLiteral("Quota unavailable.")) + needsText);
        retryButton->show();
        checkButton->setEnabled(false);
    }
}

void MainWindowController::renderQuota(const Usage &snapshot)
{
    quotaStatus->hide();
    quotaRows->clearArranged();
    const double now = double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;

    for (const RowKind &kind : rowKinds) {
        const Usage::Window *window =
            kind.minutes == Usage::fiveHourMinutes ? snapshot.fiveHourWindow() : snapshot.weeklyWindow();
        if (!window)
            continue;
        quotaRows->addArranged(makeLabel(QString::fromLatin1(kind.title), 12, FontWeight::Semibold,
                                         TextColor::Label));
        quotaRows->addArranged(makeLabel(QString::number(window->remainingPercent) +
                                             QStringLiteral("% remaining"),
                                         13, FontWeight::Regular, TextColor::Label));
        quotaRows->addArranged(makeLabel(resetLine(kind.minutes, window->resetsAt, now), 11,
                                         FontWeight::Regular, TextColor::Secondary));
    }

    if (quotaRows->arrangedViews().isEmpty()) {
        quotaStatus->setText(QStringLiteral("Codex reported no usable quota windows for this account."));
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
