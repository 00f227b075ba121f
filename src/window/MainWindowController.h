#pragma once

#include "quota/Usage.h"
#include "window/Labels.h"
#include "window/StackView.h"

#include <QObject>
#include <QPointer>

#include <optional>

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QScrollArea;

namespace tessaline {

// Owns the program's one window and every piece of state behind it: the last quota
// snapshot, the check in flight, the last check result and the protected run. Closing
// the window only hides it; the controller, and a run with its poll timer, live on.
class MainWindowController : public QObject {
    Q_OBJECT
public:
    // Builds the window (shown by the caller) and starts the first quota read.
    explicit MainWindowController(QObject *parent = nullptr);
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

    // Views and state, in the order the window's design lists them.
    StackView *quotaRows;
    QLabel *quotaStatus;
    QPushButton *retryButton;
    QPlainTextEdit *input;
    QPushButton *checkButton;
    QPushButton *pasteButton;
    QLabel *status;
    StackView *results;
    StackView *runPanel;
    std::optional<Usage> usage;

private:
    QWidget *buildContent();
    bool eventFilter(QObject *watched, QEvent *event) override;
    void windowWillClose();

    QPointer<QWidget> mainWindow;
};

} // namespace tessaline
