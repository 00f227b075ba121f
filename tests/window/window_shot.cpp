// Renders the main window after a task check, for the README's screenshot.
//   window_shot OUTPUT.png WIDTH [--run]
// The quota comes from the helper QUORVEL_EXECUTABLE names, the check answer from the
// recording in tests/fixtures/window. The whole content is rendered, however tall, so
// nothing is hidden below the fold; --run starts a protected run first, to show its panel.

#include "WindowTestSupport.h"

#include <QApplication>
#include <QScrollArea>

using namespace windowtest;

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const auto fail = [](const char *message) { qCritical("window_shot: %s", message); return 1; };
    const QStringList args = app.arguments();
    QFile recorded(QStringLiteral(TESSALINE_FIXTURES "/window/check-answer.json"));
    if (args.size() < 3 || !recorded.open(QIODevice::ReadOnly))
        return fail("usage: window_shot OUTPUT.png WIDTH [--run], built in a tree with its test fixtures");
    Rig rig;
    MainWindowController &c = rig.make();
    QWidget *window = c.window();
    const int width = args.at(2).toInt();
    window->resize(width, 720);
    window->show();
    if (!QTest::qWaitFor([&] { return c.usage.has_value(); }, 10000))
        return fail("the quota helper gave no snapshot");
    if (!rig.checkWith(recorded.readAll(), 200,
                       QStringLiteral("Move our storage layer from JSON files to SQLite, and while you are at it "
                                      "redesign the settings page.")) || !c.result)
        return fail("the check gave no result");
    if (args.contains(QStringLiteral("--run")))
        c.startRun();

    // Tall enough for the whole content at this width.
    auto *scroller = window->findChild<QScrollArea *>();
    QTest::qWait(50);
    window->resize(width, scroller->widget()->heightForWidth(scroller->viewport()->width()) + 2);
    QTest::qWait(200);
    return window->grab().save(args.at(1)) ? 0 : fail("the image could not be written");
}
