#include "platform/StatusItem.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
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

namespace {

const QString watcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString watcherPath = QStringLiteral("/StatusNotifierWatcher");

} // namespace

StatusItem::StatusItem(const QString &title, QMenu *menu, QObject *parent)
    : QObject(parent), menu(menu), title(title)
{
    // The open menu holds the keyboard, and Qt does not look at its entries' shortcuts
    // then; a status menu's key equivalents are meant to work exactly while it is open.
    menu->installEventFilter(this);
    if (!QGuiApplication::platformName().startsWith(QLatin1String("wayland"))) {
        createTray();
        return;
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    auto *watcher = new QDBusServiceWatcher(watcherService, bus, QDBusServiceWatcher::WatchForRegistration, this);
    connect(watcher, &QDBusServiceWatcher::serviceRegistered, this, &StatusItem::askForHost);
    bus.connect(QString(), watcherPath, watcherService, QStringLiteral("StatusNotifierHostRegistered"), this,
                SLOT(hostRegistered()));
    askForHost();
}

void StatusItem::askForHost()
{
    QDBusMessage get = QDBusMessage::createMethodCall(watcherService, watcherPath,
                                                      QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    get << watcherService << QStringLiteral("IsStatusNotifierHostRegistered");
    auto *call = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(get), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, [this, call] {
        call->deleteLater();
        const QDBusMessage reply = call->reply();
        if (reply.type() == QDBusMessage::ReplyMessage
            && reply.arguments().value(0).value<QDBusVariant>().variant().toBool())
            createTray();
    });
}

void StatusItem::createTray()
{
    if (tray || !menu)
        return;
    tray = std::make_unique<QSystemTrayIcon>(drawIcon(title));
    setNote(note);
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
    return tray && tray->isVisible() && QSystemTrayIcon::isSystemTrayAvailable();
}

void StatusItem::setNote(const QString &sentence)
{
    note = sentence;
    if (tray)
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
