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
// initial, the title as tool tip, and a menu that opens on a click. The icon is always
// shown: Qt docks it whenever a tray appears, however long after the program started
// (a panel started late, restarted after a crash, or a tray applet added later). On
// Wayland, where the only tray is a StatusNotifierItem host on the session bus and Qt
// looks for one just once, the icon is made when a host is there.
class StatusItem : public QObject {
    Q_OBJECT
public:
    StatusItem(const QString &title, QMenu *menu, QObject *parent = nullptr);
    ~StatusItem() override;

    // Null on Wayland until a StatusNotifierItem host is there.
    QSystemTrayIcon *trayIcon() const { return tray.get(); }
    QMenu *contextMenu() const { return menu; }
    // Whether a tray is there to show the icon now.
    bool isShown() const;

    // A sentence the tool tip carries under the title, such as why the shortcut is
    // missing; empty for none.
    void setNote(const QString &sentence);

    // The program's icon: its initial on a rounded tile, for the tray and the window.
    static QIcon drawIcon(const QString &title);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private Q_SLOTS:
    void hostRegistered() { createTray(); }

private:
    void createTray();
    void askForHost();

    std::unique_ptr<QSystemTrayIcon> tray;
    QPointer<QMenu> menu;
    QString title;
    QString note;
};

} // namespace tessaline
