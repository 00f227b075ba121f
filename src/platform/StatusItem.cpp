#include "platform/StatusItem.h"

#include <QFont>
#include <QGuiApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QKeySequence>
#include <QAction>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>

namespace tessaline {

StatusItem::StatusItem(const QString &title, QMenu *menu, QObject *parent)
    : QObject(parent), tray(std::make_unique<QSystemTrayIcon>(drawIcon(title))), menu(menu), title(title)
{
    tray->setToolTip(title);
    tray->setContextMenu(menu);
    // A plain click opens the same menu as the context click, as a status item does. A
    // Wayland client cannot put a menu at the pointer (Qt would show it as a window of its
    // own in the middle of the screen); there the panel draws the menu on a context click,
    // and a plain click does the menu's first entry, opening the window.
    const bool wayland = QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
    connect(tray.get(), &QSystemTrayIcon::activated, this,
            [this, wayland](QSystemTrayIcon::ActivationReason reason) {
                if (reason != QSystemTrayIcon::Trigger || !this->menu)
                    return;
                if (!wayland)
                    this->menu->popup(QCursor::pos());
                else if (QAction *first = this->menu->actions().value(0))
                    first->trigger();
            });
    // The open menu holds the keyboard, and Qt does not look at its entries' shortcuts
    // then; a status menu's key equivalents are meant to work exactly while it is open.
    menu->installEventFilter(this);
    tray->show();
}

StatusItem::~StatusItem() = default;

bool StatusItem::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != menu || event->type() != QEvent::KeyPress)
        return false;
    const QKeySequence pressed(static_cast<QKeyEvent *>(event)->keyCombination());
    for (QAction *action : menu->actions()) {
        if (action->isEnabled() && !action->shortcut().isEmpty()
            && action->shortcut().matches(pressed) == QKeySequence::ExactMatch) {
            menu->close();
            action->trigger();
            return true;
        }
    }
    return false;
}

bool StatusItem::isShown() const
{
    return tray->isVisible() && QSystemTrayIcon::isSystemTrayAvailable();
}

void StatusItem::setNote(const QString &note)
{
    tray->setToolTip(note.isEmpty() ? title : title + QLatin1Char('\n') + note);
}

QIcon StatusItem::drawIcon(const QString &title)
{
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(0x2f, 0x6f, 0xb3));
        painter.drawRoundedRect(QRectF(0, 0, size, size), size * 0.2, size * 0.2);
        QFont font;
        font.setBold(true);
        font.setPixelSize(int(size * 0.7));
        painter.setFont(font);
        painter.setPen(Qt::white);
        painter.drawText(QRect(0, 0, size, size), Qt::AlignCenter, title.left(1).toUpper());
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

} // namespace tessaline
