#include "window/MainWindowController.h"

#include "check/CheckTransport.h"
#include "platform/SettingsStore.h"
#include "reserve/RunNotifier.h"
#include "window/DescriptionEdit.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QShortcut>
#include <QTextDocument>
#include <QTimer>
#include <QVBoxLayout>

namespace tessaline {

namespace {

constexpr int contentWidth = 480;
constexpr int contentHeight = 720;
constexpr int minimumWidth = 420;
constexpr int minimumHeight = 480;
constexpr int inset = 20;

QPushButton *pushButton(const QString &title, const QString &description)
{
    auto *button = new QPushButton(title);
    // No button is the dialog-style default: Return is handled once, for the whole window.
    button->setAutoDefault(false);
    button->setAccessibleDescription(description);
    return button;
}

// A horizontal row: its views centred vertically, an empty stretch between the leading
// views and the trailing one.
QWidget *row(std::initializer_list<QWidget *> leading, QWidget *trailing)
{
    auto *widget = new QWidget;
    auto *layout = new QHBoxLayout(widget);
    layout->setContentsMargins(0, 0, 0, 0);
    for (QWidget *view : leading)
        layout->addWidget(view, 0, Qt::AlignVCenter);
    layout->addStretch(1);
    layout->addWidget(trailing, 0, Qt::AlignVCenter);
    return widget;
}

} // namespace

const QString MainWindowController::checkTitle = QStringLiteral("Check task");
const QString MainWindowController::checkingTitle = QStringLiteral("Checking…");
const QString MainWindowController::copyTitle = QStringLiteral("Copy for Codex");
const QString MainWindowController::copiedTitle = QStringLiteral("Copied");

MainWindowController::MainWindowController(QObject *parent)
    : MainWindowController(Dependencies{std::make_shared<QSettingsStore>(), CheckEndpoint::build(), nullptr},
                           parent)
{
}

MainWindowController::MainWindowController(Dependencies dependencies, QObject *parent)
    : QObject(parent),
      quotaRows(new StackView(2)),
      quotaStatus(new WrapLabel),
      retryButton(pushButton(QStringLiteral("Retry"), QStringLiteral("Reads your current Codex quota again."))),
      input(new DescriptionEdit),
      checkButton(pushButton(checkTitle, QStringLiteral("Sends the task description and coarse quota state "
                                                        "to the check service."))),
      pasteButton(pushButton(QStringLiteral("Paste Clipboard"),
                             QStringLiteral("Replaces the task description with the clipboard's text."))),
      status(new WrapLabel),
      results(new StackView(6)),
      runPanel(new StackView(4, QMargins(12, 10, 12, 10))),
      outcomes(dependencies.settings ? std::move(dependencies.settings) : std::make_shared<QSettingsStore>()),
      endpoint(std::move(dependencies.endpoint)),
      notifier(dependencies.notifier ? dependencies.notifier : new RunNotifier(this))
{
    // The helper runs while the views are built: its answer is then usually in before the
    // window's first paint, which draws the figures instead of redrawing them a moment later.
    readQuota();

    // A state whose notification could not be shown was never brought to the user's
    // attention: the next poll that still finds it tries again.
    connect(notifier, &RunNotifier::handled, this, [this](ReserveState state, bool posted) {
        if (!posted && run)
            run->notSurfaced(state);
    });

    auto *window = new QWidget;
    mainWindow = window;
    window->setWindowTitle(QStringLiteral("Tessaline"));
    window->resize(contentWidth, contentHeight);
    window->setMinimumSize(minimumWidth, minimumHeight);
    if (QScreen *screen = QGuiApplication::primaryScreen())
        window->move(screen->availableGeometry().center() - window->rect().center());
    window->installEventFilter(this);
    // Every view belongs to the window: should anyone destroy it, nothing may touch them
    // again. The application then makes a new controller.
    connect(window, &QObject::destroyed, this, [this] {
        delete runTimer.data();
        delete request.data();
    });

    auto *windowLayout = new QVBoxLayout(window);
    windowLayout->setContentsMargins(0, 0, 0, 0);
    windowLayout->addWidget(buildContent());

    showQuotaReading();
    built = true;
}

MainWindowController::~MainWindowController()
{
    // A check still in flight is dropped with its transport (a child of this object),
    // and the poll timer with it; the window is ours to delete.
    if (mainWindow)
        disconnect(mainWindow, nullptr, this, nullptr);
    delete mainWindow.data();
}

QWidget *MainWindowController::window() const
{
    return mainWindow.data();
}

QWidget *MainWindowController::buildContent()
{
    auto *scroller = new QScrollArea;
    scroller->setFrameShape(QFrame::NoFrame);
    scroller->setWidgetResizable(true);
    scroller->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    scroller->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroller->viewport()->setAutoFillBackground(false);

    auto *content = new StackView(10, QMargins(inset, inset, inset, inset));
    content->setObjectName(QStringLiteral("content"));
    content->setAutoFillBackground(false);
    using W = StackLayout::Width;

    QLabel *programName = makeLabel(QStringLiteral("Tessaline"), 12, FontWeight::Semibold,
                                    TextColor::Secondary);
    content->addArranged(programName, W::Natural);
    content->setCustomSpacing(2, programName);

    content->addArranged(makeLabel(QStringLiteral("Lint the task before it burns your quota."), 20,
                                   FontWeight::Semibold, TextColor::Label),
                         W::Fill);

    content->addArranged(row({makeLabel(QStringLiteral("Current Codex quota"), 12,
                                        FontWeight::Semibold, TextColor::Secondary)},
                             retryButton),
                         W::Fill);

    quotaRows->setAccessibleName(QStringLiteral("Current Codex quota"));
    content->addArranged(quotaRows, W::Natural);

    applyFont(quotaStatus, 12, FontWeight::Regular);
    quotaStatus->setTextColor(TextColor::Secondary);
    quotaStatus->setMaximumLineCount(4);
    quotaStatus->setTextInteractionFlags(Qt::NoTextInteraction);
    // Status lines are read out when they change, wherever the focus is.
    quotaStatus->setAccessibleRole(QAccessible::StatusBar);
    quotaStatus->setAccessibleDescription(QStringLiteral("Quota status"));
    content->addArranged(quotaStatus, W::Fill);

    runPanel->setAccessibleName(QStringLiteral("Protected run"));
    runPanel->setBordered(true);
    runPanel->hide();
    content->addArranged(runPanel, W::Fill);

    content->addArranged(makeLabel(QStringLiteral("What are you about to ask your coding agent to do?"),
                                   13, FontWeight::Regular, TextColor::Label),
                         W::Fill);

    QLabel *hint = makeLabel(QStringLiteral("Describe the job, not source code, secrets, or a transcript."),
                             11, FontWeight::Regular, TextColor::Secondary);
    // The hint wraps before the paste button is squeezed (buttons never shrink below
    // their size hint; the label narrows down to its longest word).
    content->addArranged(row({hint}, pasteButton), W::Fill);

    applyFont(input, 13, FontWeight::Regular);
    input->setAccessibleName(QStringLiteral("Task description"));
    input->setAccessibleDescription(hint->text());
    input->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    input->setFrameShape(QFrame::StyledPanel);
    input->setFrameShadow(QFrame::Sunken);
    input->setFixedHeight(108);
    content->addArranged(input, W::Fill);

    content->addArranged(
        makeLabel(QStringLiteral("Only this task description and coarse quota state are sent for this "
                                 "optional check. Your repo and Codex history are not sent."),
                  11, FontWeight::Regular, TextColor::Secondary),
        W::Fill);

    applyFont(status, 11, FontWeight::Regular);
    status->setTextColor(TextColor::Secondary);
    // A WrapLabel: wraps rather than being cut off in a narrow window.
    status->setTextInteractionFlags(Qt::NoTextInteraction);
    status->setAccessibleRole(QAccessible::StatusBar);
    status->setAccessibleDescription(QStringLiteral("Check status"));
    content->addArranged(row({status}, checkButton), W::Fill);

    results->setAccessibleName(QStringLiteral("Check result"));
    content->addArranged(results, W::Fill);

    auto *webChecker = new QPushButton(QStringLiteral("Use the web checker"));
    webChecker->setObjectName(QStringLiteral("webChecker"));
    webChecker->setFlat(true);
    webChecker->setAutoDefault(false);
    webChecker->setCursor(Qt::PointingHandCursor);
    webChecker->setAccessibleDescription(QStringLiteral("Opens the web checker in your browser."));
    connect(webChecker, &QPushButton::clicked, this, &MainWindowController::openWebChecker);
    applyFont(webChecker, 11, FontWeight::Regular);
    {
        QPalette palette = webChecker->palette();
        palette.setColor(QPalette::ButtonText, palette.color(QPalette::Link));
        webChecker->setPalette(palette);
    }
    content->addArranged(webChecker, W::Natural);

    retryButton->hide();
    connect(retryButton, &QPushButton::clicked, this, &MainWindowController::loadQuota);
    connect(pasteButton, &QPushButton::clicked, this, &MainWindowController::pasteClipboard);
    applyFont(pasteButton, 11, FontWeight::Regular);
    connect(checkButton, &QPushButton::clicked, this, &MainWindowController::check);
    checkButton->setEnabled(false);

    scroller->setWidget(content);

    // Keys for the whole window. The description claims plain Return for itself first
    // (text input overrides shortcuts), so a line break typed there stays a line break.
    const auto windowKey = [this, scroller](const QKeySequence &keys, auto action) {
        auto *shortcut = new QShortcut(keys, scroller);
        shortcut->setContext(Qt::WindowShortcut);
        connect(shortcut, &QShortcut::activated, this, action);
    };
    for (const auto key : {Qt::Key_Return, Qt::Key_Enter})
        windowKey(QKeySequence(key), [this] { returnPressed(); });
    // Closing only hides the window, as its close button does.
    for (const QKeySequence &keys : {QKeySequence(Qt::Key_Escape), QKeySequence(Qt::CTRL | Qt::Key_W)})
        windowKey(keys, [this] {
            if (mainWindow)
                mainWindow->close();
        });
    return scroller;
}

void MainWindowController::returnPressed()
{
    // A focused button is pressed, as a keyboard user expects; anywhere else Return checks.
    auto *button = qobject_cast<QAbstractButton *>(QApplication::focusWidget());
    if (button && button->window() == mainWindow) {
        if (button->isEnabled())
            button->click();
        return;
    }
    if (checkButton->isEnabled())
        checkButton->click();
}

bool MainWindowController::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == mainWindow && event->type() == QEvent::Close)
        windowWillClose(); // the close itself goes on and only hides the window
    return QObject::eventFilter(watched, event);
}


} // namespace tessaline
