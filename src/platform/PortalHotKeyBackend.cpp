#include "platform/HotKeyBackend.h"

#include "platform/DesktopActivation.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QEventLoop>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QVariantMap>

#include <optional>

namespace tessaline {
namespace {

const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString shortcutsInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString requestInterface = QStringLiteral("org.freedesktop.portal.Request");
const QString sessionInterface = QStringLiteral("org.freedesktop.portal.Session");
const QString shortcutId = QStringLiteral("open-window");

// The portal answers at once when it can; binding may wait while the desktop asks the
// user, so it gets longer. The window stays responsive meanwhile.
constexpr int sessionTimeout = 25000;
constexpr int bindTimeout = 120000;

// One entry of BindShortcuts' a(sa{sv}).
struct PortalShortcut {
    QString id;
    QVariantMap properties;
};

QDBusArgument &operator<<(QDBusArgument &argument, const PortalShortcut &shortcut)
{
    argument.beginStructure();
    argument << shortcut.id << shortcut.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, PortalShortcut &shortcut)
{
    argument.beginStructure();
    argument >> shortcut.id >> shortcut.properties;
    argument.endStructure();
    return argument;
}

} // namespace
} // namespace tessaline

Q_DECLARE_METATYPE(tessaline::PortalShortcut)

namespace tessaline {
namespace {

// The key as the shortcuts specification names it (an XKB keysym name); empty for keys
// it has no plain name for, in which case the desktop lets the user pick the trigger.
QString keyName(Qt::Key key)
{
    if (key >= Qt::Key_A && key <= Qt::Key_Z)
        return QString(QChar(char16_t('a' + (key - Qt::Key_A))));
    if (key >= Qt::Key_0 && key <= Qt::Key_9)
        return QString(QChar(char16_t('0' + (key - Qt::Key_0))));
    if (key >= Qt::Key_F1 && key <= Qt::Key_F35)
        return QStringLiteral("F%1").arg(key - Qt::Key_F1 + 1);
    switch (key) {
    case Qt::Key_Space: return QStringLiteral("space");
    case Qt::Key_Escape: return QStringLiteral("Escape");
    case Qt::Key_Tab: return QStringLiteral("Tab");
    case Qt::Key_Backspace: return QStringLiteral("BackSpace");
    case Qt::Key_Return: return QStringLiteral("Return");
    case Qt::Key_Enter: return QStringLiteral("KP_Enter");
    case Qt::Key_Insert: return QStringLiteral("Insert");
    case Qt::Key_Delete: return QStringLiteral("Delete");
    case Qt::Key_Pause: return QStringLiteral("Pause");
    case Qt::Key_Print: return QStringLiteral("Print");
    case Qt::Key_Home: return QStringLiteral("Home");
    case Qt::Key_End: return QStringLiteral("End");
    case Qt::Key_Left: return QStringLiteral("Left");
    case Qt::Key_Up: return QStringLiteral("Up");
    case Qt::Key_Right: return QStringLiteral("Right");
    case Qt::Key_Down: return QStringLiteral("Down");
    case Qt::Key_PageUp: return QStringLiteral("Page_Up");
    case Qt::Key_PageDown: return QStringLiteral("Page_Down");
    default: return QString();
    }
}

QString preferredTrigger(QKeyCombination combination)
{
    const QString key = keyName(combination.key());
    if (key.isEmpty())
        return QString();
    QStringList parts;
    const Qt::KeyboardModifiers modifiers = combination.keyboardModifiers();
    if (modifiers & Qt::ControlModifier)
        parts << QStringLiteral("CTRL");
    if (modifiers & Qt::AltModifier)
        parts << QStringLiteral("ALT");
    if (modifiers & Qt::ShiftModifier)
        parts << QStringLiteral("SHIFT");
    if (modifiers & Qt::MetaModifier)
        parts << QStringLiteral("LOGO");
    parts << key;
    return parts.join(QLatin1Char('+'));
}

QString objectPathOf(const QVariant &value)
{
    if (value.metaType() == QMetaType::fromType<QDBusObjectPath>())
        return value.value<QDBusObjectPath>().path();
    return value.toString(); // the portal has sent the session handle as a plain string
}

// One call of the portal's Request/Response handshake. The answer comes later, as a
// Response signal from a request object whose path follows from this connection's name
// and a token of ours; the signal is subscribed before the call, so it cannot be missed.
class PortalRequest : public QObject {
    Q_OBJECT
public:
    struct Answer {
        uint response = 2; // 0 granted, 1 declined by the user, 2 ended otherwise
        QVariantMap results;
    };

    // `message`'s last argument, the options, gets the handle token added. Nothing when
    // the portal or the interface is missing, the call fails or no answer comes in time.
    static std::optional<Answer> call(QDBusConnection bus, QDBusMessage message, int timeout)
    {
        static uint counter = 0;
        const QString token =
            QStringLiteral("tessaline_%1_%2").arg(QCoreApplication::applicationPid()).arg(++counter);
        QList<QVariant> arguments = message.arguments();
        QVariantMap options = arguments.takeLast().toMap();
        options.insert(QStringLiteral("handle_token"), token);
        arguments.append(options);
        message.setArguments(arguments);

        PortalRequest request;
        QString sender = bus.baseService().mid(1);
        sender.replace(QLatin1Char('.'), QLatin1Char('_'));
        request.path = portalPath + QStringLiteral("/request/") + sender + QLatin1Char('/') + token;
        if (!request.listen(bus))
            return std::nullopt;

        QEventLoop loop;
        request.loop = &loop;
        QDBusPendingCallWatcher watcher(bus.asyncCall(message, timeout));
        QObject::connect(&watcher, &QDBusPendingCallWatcher::finished, &request, [&] {
            const QDBusMessage reply = watcher.reply();
            if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
                loop.exit(1);
                return;
            }
            // A portal from before predictable paths answers on a path of its own.
            const QString path = reply.arguments().constFirst().value<QDBusObjectPath>().path();
            if (!path.isEmpty() && path != request.path) {
                request.stop(bus);
                request.path = path;
                if (!request.listen(bus))
                    loop.exit(1);
            }
        });
        QTimer::singleShot(timeout, &loop, [&loop] { loop.exit(1); });
        if (!request.answer)
            loop.exec();
        const bool answered = request.answer.has_value();
        request.stop(bus);
        if (!answered) {
            // Withdrawn, so that a late answer binds nothing on our behalf.
            bus.send(QDBusMessage::createMethodCall(portalService, request.path, requestInterface,
                                                    QStringLiteral("Close")));
            return std::nullopt;
        }
        return request.answer;
    }

private Q_SLOTS:
    void respond(uint response, const QVariantMap &results)
    {
        answer = Answer{response, results};
        if (loop)
            loop->exit(0);
    }

private:
    bool listen(QDBusConnection &bus)
    {
        return bus.connect(QString(), path, requestInterface, QStringLiteral("Response"), this,
                           SLOT(respond(uint, QVariantMap)));
    }
    void stop(QDBusConnection &bus)
    {
        bus.disconnect(QString(), path, requestInterface, QStringLiteral("Response"), this,
                       SLOT(respond(uint, QVariantMap)));
    }

    QString path;
    QEventLoop *loop = nullptr;
    std::optional<Answer> answer;
};

// A portal session: presses arrive as Activated signals naming it. Closing it, when the
// handler goes, takes the binding away again.
class PortalSession final : public QObject, public HotKeyBackend::Handler {
    Q_OBJECT
public:
    PortalSession(QDBusConnection bus, QString path, std::function<void()> pressed)
        : bus(std::move(bus)), path(std::move(path)), pressed(std::move(pressed))
    {
        this->bus.connect(QString(), portalPath, shortcutsInterface, QStringLiteral("Activated"), this,
                          SLOT(activated(QDBusObjectPath, QString, qulonglong, QVariantMap)));
    }
    ~PortalSession() override
    {
        bus.disconnect(QString(), portalPath, shortcutsInterface, QStringLiteral("Activated"), this,
                       SLOT(activated(QDBusObjectPath, QString, qulonglong, QVariantMap)));
        bus.send(QDBusMessage::createMethodCall(portalService, path, sessionInterface, QStringLiteral("Close")));
    }

    const QString &sessionPath() const { return path; }

private Q_SLOTS:
    void activated(const QDBusObjectPath &session, const QString &id, qulonglong, const QVariantMap &options)
    {
        if (session.path() != path || id != shortcutId)
            return;
        // The desktop's proof that the user asked, for the window to take the focus with.
        const QString token = options.value(QStringLiteral("activation_token")).toString();
        if (!token.isEmpty())
            DesktopActivation::setActivationToken(token.toUtf8());
        pressed();
    }

private:
    QDBusConnection bus;
    QString path;
    std::function<void()> pressed;
};

// Nothing to release of its own: the binding lasts as long as the session.
class PortalHotKey final : public HotKeyBackend::HotKey {};

class PortalHotKeyBackend final : public HotKeyBackend {
public:
    explicit PortalHotKeyBackend(QDBusConnection bus) : bus(std::move(bus))
    {
        qDBusRegisterMetaType<PortalShortcut>();
        qDBusRegisterMetaType<QList<PortalShortcut>>();
    }

    std::unique_ptr<Handler> installHandler(QKeyCombination, std::function<void()> pressed) override
    {
        if (!bus.isConnected())
            return nullptr;
        QDBusMessage create =
            QDBusMessage::createMethodCall(portalService, portalPath, shortcutsInterface, QStringLiteral("CreateSession"));
        // A fresh token each time: the session of a shortcut just replaced may still be closing.
        static uint sessions = 0;
        create << QVariantMap{{QStringLiteral("session_handle_token"),
                               QStringLiteral("tessaline_%1_%2").arg(QCoreApplication::applicationPid()).arg(++sessions)}};
        const auto answer = PortalRequest::call(bus, create, sessionTimeout);
        if (!answer)
            return nullptr;
        const QString path = objectPathOf(answer->results.value(QStringLiteral("session_handle")));
        if (path.isEmpty())
            return nullptr;
        auto handler = std::make_unique<PortalSession>(bus, path, std::move(pressed));
        if (answer->response != 0)
            return nullptr; // the handler's end closes whatever the portal set up
        session = handler.get();
        return handler;
    }

    std::unique_ptr<HotKey> registerHotKey(QKeyCombination combination) override
    {
        if (!session)
            return nullptr;
        QVariantMap properties{{QStringLiteral("description"), QStringLiteral("Open the Tessaline window")}};
        const QString trigger = preferredTrigger(combination);
        if (!trigger.isEmpty())
            properties.insert(QStringLiteral("preferred_trigger"), trigger);
        QDBusMessage bind =
            QDBusMessage::createMethodCall(portalService, portalPath, shortcutsInterface, QStringLiteral("BindShortcuts"));
        bind << QVariant::fromValue(QDBusObjectPath(session->sessionPath()))
             << QVariant::fromValue(QList<PortalShortcut>{{shortcutId, properties}}) << QString() << QVariantMap();
        const auto answer = PortalRequest::call(bus, bind, bindTimeout);
        if (!answer || answer->response != 0 || !binds(answer->results))
            return nullptr;
        return std::make_unique<PortalHotKey>();
    }

private:
    // Whether the desktop's answer includes our shortcut (the user may have left it out).
    static bool binds(const QVariantMap &results)
    {
        const QVariant value = results.value(QStringLiteral("shortcuts"));
        if (!value.canConvert<QDBusArgument>())
            return false;
        QList<PortalShortcut> shortcuts;
        value.value<QDBusArgument>() >> shortcuts;
        for (const PortalShortcut &shortcut : shortcuts)
            if (shortcut.id == shortcutId)
                return true;
        return false;
    }

    QDBusConnection bus;
    QPointer<PortalSession> session;
};

} // namespace

std::unique_ptr<HotKeyBackend> HotKeyBackend::portal(const QDBusConnection &bus)
{
    return std::make_unique<PortalHotKeyBackend>(bus);
}

} // namespace tessaline

#include "PortalHotKeyBackend.moc"
