#pragma once

#include "check/CheckEndpoint.h"
#include "check/TaskLintResult.h"
#include "quota/Usage.h"
#include "reserve/OutcomeStore.h"
#include "reserve/ProtectedRun.h"
#include "window/DescriptionEdit.h"
#include "window/Labels.h"
#include "window/StackView.h"

#include <QObject>
#include <QPointer>

#include <memory>
#include <optional>

class QClipboard;
class QLabel;
class QPushButton;
class QTimer;

namespace tessaline {

class CheckTransport;
class RunNotifier;
class SettingsStore;
struct CheckOutcome;

// The desktop's clipboard, read the way the description wants it.
struct Clipboard {
    // The clipboard's plain text exactly as it is, or nothing when there is no text or
    // only white space and line breaks.
    static std::optional<QString> readText(const QClipboard *clipboard);
};

// Owns the program's one window and every piece of state behind it: the last quota
// snapshot, the check in flight, the last check result and the protected run. Closing
// the window only hides it; the controller, and a run with its poll timer, live on.
class MainWindowController : public QObject {
    Q_OBJECT
public:
    // What the controller talks to, replaceable so tests use a temporary settings file,
    // a local check service and a notifier of their own.
    struct Dependencies {
        std::shared_ptr<SettingsStore> settings; // the outcome history's store
        CheckEndpoint endpoint;                  // the check service
        RunNotifier *notifier = nullptr;         // not owned; must outlive the controller
    };

    // Builds the window (not shown) and starts the first quota read, with the user's
    // settings, the build's check service and the desktop's notifications.
    explicit MainWindowController(QObject *parent = nullptr);
    MainWindowController(Dependencies dependencies, QObject *parent = nullptr);
    ~MainWindowController() override;

    // Null once the window has been destroyed.
    QWidget *window() const;

    // Label factories for every label of the window: wrapping, plain text, not selectable.
    static QLabel *makeLabel(const QString &text, qreal points, FontWeight weight, TextColor color);
    // A section title: the text upper-cased, 11 points semibold, secondary colour.
    static QLabel *heading(const QString &text);

    // Quota panel.
    void loadQuota();
    void renderQuota(const Usage &snapshot);
    // The line under a quota row: a countdown for the five-hour window, a date otherwise.
    static QString resetLine(qint64 windowMinutes, double resetsAt, double now);

    // Task check panel.
    void check();
    void render(const TaskLintResult &checked);
    void pasteClipboard();
    void copyPacket();
    void openWebChecker();

    // Protected-run panel.
    void startRun();
    void pollRun();
    void renderRun();
    void setRunPanel(const QList<QWidget *> &views);
    void endRun();
    void recordOutcome(int tag);
    static QString percentLine(const ProtectedRun::Snapshot &snapshot);

    // Views and state, in the order the window's design lists them.
    StackView *quotaRows;
    WrapLabel *quotaStatus;
    QPushButton *retryButton;
    DescriptionEdit *input;
    QPushButton *checkButton;
    QPushButton *pasteButton;
    WrapLabel *status;
    StackView *results;
    StackView *runPanel;
    std::optional<Usage> usage;
    QPointer<CheckTransport> request;
    std::optional<TaskLintResult> result;
    QPointer<QPushButton> copyButton;
    QPointer<QPushButton> startButton;
    std::optional<ProtectedRun> run;
    QPointer<QTimer> runTimer;
    bool polling = false;
    OutcomeStore outcomes;

    // The button titles with their action.
    static const QString checkTitle;
    static const QString checkingTitle;
    static const QString copyTitle;
    static const QString copiedTitle;
    // How long "Copied" stays; the poll interval of a protected run.
    static constexpr int copiedMilliseconds = 1500;
    static constexpr int pollMilliseconds = 60000;

private:
    QWidget *buildContent();
    void showQuotaReading();
    void readQuota();
    void takeQuota(const std::optional<Usage> &snapshot, const std::optional<QString> &message);
    bool eventFilter(QObject *watched, QEvent *event) override;
    void windowWillClose();
    void checkFinished(const CheckOutcome &outcome);
    void returnPressed();

    CheckEndpoint endpoint;
    RunNotifier *notifier;
    QPointer<QWidget> mainWindow;
    bool built = false;
};

} // namespace tessaline
