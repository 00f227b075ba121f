// The task check panel: sending a check, showing its result, the clipboard buttons and
// the link to the web checker.

#include "check/CheckTransport.h"
#include "check/ResultWords.h"
#include "check/TaskCheck.h"
#include "reserve/Reserve.h"
#include "window/DescriptionEdit.h"
#include "window/MainWindowController.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

namespace tessaline {

std::optional<QString> Clipboard::readText(const QClipboard *clipboard)
{
    if (!clipboard)
        return std::nullopt;
    const QString text = clipboard->text(QClipboard::Clipboard);
    if (TaskCheck::trimmedDescription(text).isEmpty())
        return std::nullopt;
    return text;
}

void MainWindowController::check()
{
    if (request)
        return; // one check at a time

    auto prepared = TaskCheck::prepare(input->description(), usage, endpoint);
    if (const QString *refusal = std::get_if<QString>(&prepared)) {
        status->setText(*refusal);
        return;
    }

    checkButton->setEnabled(false);
    checkButton->setText(checkingTitle);
    status->setText(QString());
    results->clearArranged();

    auto *transport = new CheckTransport(this);
    connect(transport, &CheckTransport::finished, this, [this, transport](const CheckOutcome &outcome) {
        transport->deleteLater();
        if (request == transport)
            checkFinished(outcome);
    });
    request = transport;
    if (!transport->start(std::get<PreparedCheck>(prepared))) {
        // A fresh transport always sends; should it ever refuse, do not stay "Checking…".
        delete transport;
        request = nullptr;
        checkButton->setText(checkTitle);
        checkButton->setEnabled(usage.has_value());
        status->setText(QStringLiteral("Could not prepare the check."));
    }
}

void MainWindowController::checkFinished(const CheckOutcome &outcome)
{
    request = nullptr;
    checkButton->setText(checkTitle);
    // Usable only while a snapshot is held: a quota read may have failed meanwhile.
    checkButton->setEnabled(usage.has_value());
    if (outcome.result) {
        render(*outcome.result);
        return;
    }
    status->setText(outcome.status);
}

void MainWindowController::render(const TaskLintResult &checked)
{
    struct Entry {
        QWidget *view;
        int spaceAfter;
    };
    QList<Entry> entries;
    auto add = [&entries](QWidget *view, int spaceAfter) { entries.append({view, spaceAfter}); };
    auto label = [](const QString &text, qreal points, FontWeight weight, TextColor color) {
        return makeLabel(text, points, weight, color);
    };
    auto button = [this](const QString &title, const QString &description, void (MainWindowController::*action)()) {
        auto *b = new QPushButton(title);
        b->setAutoDefault(false);
        b->setAccessibleDescription(description);
        connect(b, &QPushButton::clicked, this, action);
        return b;
    };

    add(label(checked.verdict(), 26, FontWeight::Bold, TextColor::Accent), 2);
    add(label(checked.quota.reason, 13, FontWeight::Regular, TextColor::Label), 14);

    add(heading(ResultWords::lintsHeading()), 4);
    if (checked.lints.isEmpty()) {
        add(label(ResultWords::noLints(), 12,
                  FontWeight::Regular, TextColor::Secondary),
            14);
    } else {
        for (qsizetype i = 0; i < checked.lints.size(); ++i) {
            const TaskLintResult::Lint &lint = checked.lints.at(i);
            add(label(lint.title, 13, FontWeight::Semibold, TextColor::Label), 1);
            add(label(lint.message, 12, FontWeight::Regular, TextColor::Secondary), 1);
            add(label(ResultWords::fixPrefix() + lint.fix, 12, FontWeight::Regular, TextColor::Label),
                i + 1 == checked.lints.size() ? 14 : 8);
        }
    }

    QPushButton *newCopyButton = nullptr;
    if (checked.taskPacket) {
        add(heading(ResultWords::packetHeading()), 4);
        QLabel *packet = label(*checked.taskPacket, 13, FontWeight::Regular, TextColor::Label);
        // The one label meant to be selected and copied by hand.
        packet->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        add(packet, 6);
        newCopyButton = button(copyTitle, QStringLiteral("Copies the task packet to the clipboard."),
                               &MainWindowController::copyPacket);
        add(newCopyButton, 14);
    }

    const QList<TaskLintResult::Shape::Row> rows =
        checked.taskShape ? checked.taskShape->rows() : QList<TaskLintResult::Shape::Row>();
    if (!rows.isEmpty()) {
        add(heading(ResultWords::shapeHeading()), 4);
        for (qsizetype i = 0; i < rows.size(); ++i) {
            add(label(rows.at(i).label, 12, FontWeight::Semibold, TextColor::Label), 0);
            add(label(rows.at(i).value, 12, FontWeight::Regular, TextColor::Label), i + 1 == rows.size() ? 14 : 6);
        }
    }

    if (!checked.deferred.isEmpty()) {
        add(heading(ResultWords::deferHeading()), 4);
        QStringList items;
        for (const QString &item : checked.deferred)
            items.append(ResultWords::bullet() + item);
        add(label(items.join(QLatin1Char('\n')), 12, FontWeight::Regular, TextColor::Label), 14);
    }

    QPushButton *newStartButton = nullptr;
    const std::optional<QuotaBand> band =
        usage ? ProtectedRun::Snapshot(*usage).band() : std::optional<QuotaBand>();
    if (band && checked.reservePolicy) {
        const ReserveState state = reserveStateFrom(*band, *checked.reservePolicy);
        add(heading(ResultWords::reserveHeading()), 4);
        add(label(title(state), 13, FontWeight::Semibold, TextColor::Label), 1);
        add(label(guidance(state), 12, FontWeight::Regular, TextColor::Secondary), 8);
        if (checked.taskSize) {
            if (const std::optional<QString> insight =
                    OutcomeStore::insight(outcomes.records(), *checked.taskSize, *checked.reservePolicy, band))
                add(label(*insight, 12, FontWeight::Regular, TextColor::Label), 8);
        }
        if (*band != QuotaBand::blocked && !run) {
            newStartButton = button(QStringLiteral("Start Protected Run"),
                                    QStringLiteral("Watches your quota while this task runs."),
                                    &MainWindowController::startRun);
            add(newStartButton, 14);
        } else {
            auto *spacer = new QWidget;
            spacer->setFixedHeight(0);
            add(spacer, 6);
        }
    }

    if (const std::optional<QString> size = checked.sizeLabel())
        add(label(ResultWords::sizePrefix() + *size, 11, FontWeight::Regular, TextColor::Tertiary), 2);
    add(label(ResultWords::disclaimer(), 11,
              FontWeight::Regular, TextColor::Secondary),
        0);

    result = checked;
    copyButton = newCopyButton;
    startButton = newStartButton;
    results->clearArranged();
    for (const Entry &entry : entries) {
        const bool isButton = qobject_cast<QPushButton *>(entry.view) != nullptr;
        results->addArranged(entry.view, isButton ? StackLayout::Width::Natural : StackLayout::Width::Fill);
        results->setCustomSpacing(entry.spaceAfter, entry.view);
    }
}

void MainWindowController::pasteClipboard()
{
    const std::optional<QString> text = Clipboard::readText(QGuiApplication::clipboard());
    if (!text) {
        status->setText(QStringLiteral("The clipboard has no text."));
        return;
    }
    input->setDescription(*text);
    status->setText(QString());
    if (mainWindow)
        input->setFocus(Qt::OtherFocusReason);
}

void MainWindowController::copyPacket()
{
    if (!result || !result->taskPacket)
        return;
    QGuiApplication::clipboard()->setText(*result->taskPacket, QClipboard::Clipboard);
    if (!copyButton)
        return;
    copyButton->setText(copiedTitle);
    // Each press schedules its own reset; a later press does not postpone an earlier one.
    QTimer::singleShot(copiedMilliseconds, this, [this] {
        if (copyButton)
            copyButton->setText(copyTitle);
    });
}

void MainWindowController::openWebChecker()
{
    // Only the address: nothing of the description, the quota or the result goes along.
    if (const std::optional<QUrl> url = endpoint.webCheckerUrl())
        QDesktopServices::openUrl(*url);
}

} // namespace tessaline
