// Renders the main window and saves it as an image, for the README's screenshot.
//   window_shot OUTPUT.png [WIDTH HEIGHT]
// The quota comes from whatever helper QUORVEL_EXECUTABLE names.

#include "window/MainWindowController.h"

#include <QApplication>
#include <QLabel>
#include <QTimer>

using namespace tessaline;

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2)
        return 2;
    MainWindowController controller;
    QWidget *window = controller.window();
    if (args.size() >= 4)
        window->resize(args.at(2).toInt(), args.at(3).toInt());
    window->show();
    QTimer::singleShot(1500, &app, [&] {
        window->grab().save(args.at(1));
        app.quit();
    });
    return app.exec();
}
