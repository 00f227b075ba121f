#pragma once

#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>

class QIcon;
class QSystemTrayIcon;

namespace tessaline {

// The program's item in the desktop's system tray: an icon drawn from the program's
// initial, the title as tool tip, and a menu that opens on a click. A tray often starts
// after the programs of a session, so when none is there yet the item looks again a
// few times, further apart each time, and then gives up; the program works through its
// window meanwhile.
class StatusItem : public QObject {
    Q_OBJECT
public:
    StatusItem(const QString &title, QMenu *menu, QObject *parent = nullptr);
    ~StatusItem() override;

    QSystemTrayIcon *trayIcon() const { return tray.get(); }
    bool isShown() const;

    // The program's icon: its initial on a rounded tile, for the tray and the window.
    static QIcon drawIcon(const QString &title);

    // Delays between looks for a tray, in milliseconds.
    static constexpr int retryDelays[] = {1000, 2000, 4000, 8000, 16000, 30000};

Q_SIGNALS:
    void shown();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void tryShow();

    std::unique_ptr<QSystemTrayIcon> tray;
    QPointer<QMenu> menu;
    int attempts = 0;
};

} // namespace tessaline
