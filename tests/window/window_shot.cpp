// Renders the main window after a task check, for the README's screenshot.
//   window_shot OUTPUT.png WIDTH [--run | --quota-only]
// The quota comes from the helper that QUORVEL_EXECUTABLE names; the check answer is the
// recorded one in tests/fixtures/window, served over HTTPS from this process. The whole
// content is rendered, however tall, so nothing is hidden below the fold. With --run a
// protected run is started first, to show its panel; with --quota-only the window is
// taken as soon as the quota read ends, whatever it gave.

#include "TestHttpsServer.h"
#include "platform/InstallIdentity.h"
#include "platform/SettingsStore.h"
#include "reserve/RunNotifier.h"
#include "window/MainWindowController.h"

#include <QApplication>
#include <QDBusConnection>
#include <QFile>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

using namespace tessaline;

namespace {

int fail(const char *message)
{
    std::fprintf(stderr, "window_shot: %s\n", message);
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3)
        return fail("usage: window_shot OUTPUT.png WIDTH [--run | --quota-only]");
    const int width = args.at(2).toInt();
    const bool withRun = args.contains(QStringLiteral("--run"));
    const bool quotaOnly = args.contains(QStringLiteral("--quota-only"));

    QFile recorded(QStringLiteral(TESSALINE_FIXTURES "/window/check-answer.json"));
    if (!recorded.open(QIODevice::ReadOnly))
        return fail("the recorded check answer is missing");
    TestHttpsServer server;
    if (!server.listen())
        return fail("the local check service did not start");
    server.respondWith(TestHttpsServer::Response::json(200, recorded.readAll()));

    QTemporaryDir dir;
    RunNotifier notifier(QDBusConnection(QStringLiteral("window-shot-no-bus")), InstallIdentity{});
    MainWindowController controller(MainWindowController::Dependencies{
        std::make_shared<QSettingsStore>(dir.filePath(QStringLiteral("settings.ini"))),
        CheckEndpoint{server.host(), {TestHttpsServer::authority()}}, &notifier});
    QWidget *window = controller.window();
    window->resize(width, 720);
    window->show();
    if (!QTest::qWaitForWindowExposed(window))
        return fail("the window was not shown");
    if (quotaOnly) {
        if (!QTest::qWaitFor([&] { return controller.usage || !controller.retryButton->isHidden(); }, 10000))
            return fail("the quota read did not end");
        QTest::qWait(200);
        return window->grab().save(args.at(1)) ? 0 : fail("the image could not be written");
    }
    if (!QTest::qWaitFor([&] { return controller.usage.has_value(); }, 10000))
        return fail("the quota helper gave no snapshot");

    controller.input->setPlainText(QStringLiteral(
        "Move our storage layer from JSON files to SQLite, and while you are at it redesign the settings page."));
    controller.check();
    if (!QTest::qWaitFor([&] { return controller.result.has_value(); }, 15000))
        return fail("the check gave no result");
    if (withRun)
        controller.startRun();

    // Tall enough for the whole content at this width, so the image shows all of it.
    auto *scroller = window->findChild<QScrollArea *>();
    QTest::qWait(50);
    const int contentHeight = scroller->widget()->heightForWidth(scroller->viewport()->width());
    window->resize(width, contentHeight + 2);
    QTest::qWait(200);
    if (!window->grab().save(args.at(1)))
        return fail("the image could not be written");
    return 0;
}
