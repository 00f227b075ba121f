#include "platform/HotKeyBackend.h"

#include "platform/DesktopActivation.h"

#include <QGuiApplication>
#include <QKeySequence>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QObject>
#include <QTimer>
#include <QVariantMap>

#include <algorithm>
#include <optional>
#include <utility>

namespace tessaline {
namespace {

const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString shortcutsInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString requestInterface = QStringLiteral("org.freedesktop.portal.Request");
const QString sessionInterface = QStringLiteral("org.freedesktop.portal.Session");
const QString registryInterface = QStringLiteral("org.freedesktop.host.portal.Registry");
const QString shortcutId = QStringLiteral("open-window");
// The same at every start, so that the desktop recognises the program and finds the keys
// it kept for it (KDE names its shortcut component after the session).
const QString sessionToken = QStringLiteral("tessaline");

// The portal answers at once when it can; binding may wait while the desktop asks the
// user, so it gets longer.
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

// Our shortcut as a portal answer lists it, with the keys the desktop gives it.
std::optional<QVariantMap> listed(const QVariantMap &results)
{
    const QVariant value = results.value(QStringLiteral("shortcuts"));
    if (!value.canConvert<QDBusArgument>())
        return std::nullopt;
    QList<PortalShortcut> shortcuts;
    value.value<QDBusArgument>() >> shortcuts;
    for (const PortalShortcut &s : shortcuts)
        if (s.id == shortcutId)
            return s.properties;
    return std::nullopt;
}

// One call of the portal's Request/Response handshake. The answer comes later, as a
// Response signal from a request object whose path follows from this connection's name
// and a token of ours; the signal is subscribed before the call, so it cannot be missed.
// `answered` runs once, from the event loop: with the response (0 granted, 1 declined
// by the user, 2 ended otherwise) and results, or with nothing when the portal or the
// interface is missing, the call fails or no answer comes in time. Destroying the
// request withdraws it, so that a late answer binds nothing on our behalf.
class PortalRequest final : public QObject {
    Q_OBJECT
public:
    struct Answer {
        uint response = 2;
        QVariantMap results;
    };
    using Answered = std::function<void(std::optional<Answer>)>;

    // `message`'s last argument, the options, gets the handle token added.
    PortalRequest(QDBusConnection bus, QDBusMessage message, int timeout, Answered answered)
        : bus(std::move(bus)), answered(std::move(answered))
    {
        static uint counter = 0;
        const QString token = QStringLiteral("tessaline%1").arg(++counter);
        QList<QVariant> arguments = message.arguments();
        QVariantMap options = arguments.takeLast().toMap();
        options.insert(QStringLiteral("handle_token"), token);
        arguments.append(options);
        message.setArguments(arguments);

        QString sender = this->bus.baseService().mid(1);
        sender.replace(QLatin1Char('.'), QLatin1Char('_'));
        path = portalPath + QStringLiteral("/request/") + sender + QLatin1Char('/') + token;
        if (!listen()) {
            finish(std::nullopt);
            return;
        }
        auto *watcher = new QDBusPendingCallWatcher(this->bus.asyncCall(message, timeout), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
            watcher->deleteLater();
            const QDBusMessage reply = watcher->reply();
            if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
                return finish(std::nullopt);
            // A portal from before predictable paths answers on a path of its own.
            const QString other = reply.arguments().constFirst().value<QDBusObjectPath>().path();
            if (!other.isEmpty() && other != path) {
                stop();
                path = other;
                if (!listen())
                    finish(std::nullopt);
            }
        });
        timer.setSingleShot(true);
        connect(&timer, &QTimer::timeout, this, [this] { finish(std::nullopt); });
        timer.start(timeout);
    }
    ~PortalRequest() override
    {
        if (answered) {
            stop();
            bus.send(QDBusMessage::createMethodCall(portalService, path, requestInterface, QStringLiteral("Close")));
        }
    }

private Q_SLOTS:
    void respond(uint response, const QVariantMap &results) { finish(Answer{response, results}); }

private:
    bool listen()
    {
        return bus.connect(QString(), path, requestInterface, QStringLiteral("Response"), this,
                           SLOT(respond(uint, QVariantMap)));
    }
    void stop()
    {
        bus.disconnect(QString(), path, requestInterface, QStringLiteral("Response"), this,
                       SLOT(respond(uint, QVariantMap)));
    }
    // Always through the event loop, so `answered` never runs inside its caller.
    void finish(std::optional<Answer> answer)
    {
        if (!answered)
            return;
        timer.stop();
        if (!answer)
            bus.send(QDBusMessage::createMethodCall(portalService, path, requestInterface, QStringLiteral("Close")));
        stop();
        QMetaObject::invokeMethod(this, [this, f = std::exchange(answered, nullptr), answer] { f(answer); },
                                  Qt::QueuedConnection);
    }

    QDBusConnection bus;
    QString path;
    Answered answered;
    QTimer timer;
};

// The shortcut's binding through the portal: the session that carries it, and the
// handshake that sets it up. The portals in use differ in where they take the shortcuts
// from, so they are offered everywhere the interface allows: KDE's (5.27) registers only
// those given to CreateSession and answers BindShortcuts with what is registered; others
// take them from BindShortcuts, and may show the user a dialog for each. So the session
// is created with them, then listed, and only what is missing is bound. Closing the
// session when the binding goes takes the shortcut away again.
class PortalBinding final : public QObject, public HotKeyBackend::Binding {
    Q_OBJECT
public:
    PortalBinding(QDBusConnection bus, QKeyCombination combination, std::function<void()> pressed,
                  std::function<void(HotKeyBackend::Outcome)> outcome)
        : bus(std::move(bus)), combination(combination), pressed(std::move(pressed)), outcome(std::move(outcome))
    {
        properties = {{QStringLiteral("description"), QStringLiteral("Open the Tessaline window")}};
        const QString trigger = preferredTrigger(combination);
        if (!trigger.isEmpty())
            properties.insert(QStringLiteral("preferred_trigger"), trigger);
        this->bus.connect(QString(), portalPath, shortcutsInterface, QStringLiteral("Activated"), this,
                          SLOT(activated(QDBusObjectPath, QString, qulonglong, QVariantMap)));
    }
    ~PortalBinding() override
    {
        outcome = nullptr;
        request.reset();
        bus.disconnect(QString(), portalPath, shortcutsInterface, QStringLiteral("Activated"), this,
                       SLOT(activated(QDBusObjectPath, QString, qulonglong, QVariantMap)));
        closeSession();
    }

    // The frontend takes a host program's app id from Registry.Register (1.19 and later,
    // which refuse a session without one from 1.21), so the program says who it is first;
    // an older frontend answers with an error, and the desktop then goes by the session.
    void start()
    {
        const QString appId = QGuiApplication::desktopFileName();
        if (appId.isEmpty() || registered)
            return createSession();
        registered = true;
        QDBusMessage registry =
            QDBusMessage::createMethodCall(portalService, portalPath, registryInterface, QStringLiteral("Register"));
        registry << appId << QVariantMap();
        auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(registry, sessionTimeout), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
            watcher->deleteLater();
            createSession();
        });
    }

    QString desktopKeys() const override { return keptKeys; }

private Q_SLOTS:
    void activated(const QDBusObjectPath &session, const QString &id, qulonglong, const QVariantMap &options)
    {
        if (session.path() != sessionPath || id != shortcutId)
            return;
        // The desktop's proof that the user asked, for the window to take the focus with.
        const QString token = options.value(QStringLiteral("activation_token")).toString();
        if (!token.isEmpty())
            DesktopActivation::setActivationToken(token.toUtf8());
        pressed();
    }

    // The portal ended the session (it restarted, or the desktop withdrew it): set up
    // once more, and say so if that fails.
    void closed()
    {
        stopWatchingSession();
        sessionPath.clear();
        if (!bound)
            return;
        bound = false;
        if (rebinds++ == 0)
            return start();
        settle(HotKeyBackend::Outcome::taken);
    }

private:
    QList<PortalShortcut> ours() const { return {{shortcutId, properties}}; }

    void createSession()
    {
        QDBusMessage create =
            QDBusMessage::createMethodCall(portalService, portalPath, shortcutsInterface, QStringLiteral("CreateSession"));
        create << QVariantMap{{QStringLiteral("session_handle_token"), sessionToken},
                              {QStringLiteral("shortcuts"), QVariant::fromValue(ours())}};
        ask(create, sessionTimeout, [this](std::optional<PortalRequest::Answer> answer) {
            if (answer)
                sessionPath = objectPathOf(answer->results.value(QStringLiteral("session_handle")));
            if (!sessionPath.isEmpty())
                bus.connect(QString(), sessionPath, sessionInterface, QStringLiteral("Closed"), this, SLOT(closed()));
            if (!answer || answer->response != 0 || sessionPath.isEmpty())
                return settle(HotKeyBackend::Outcome::unsupported);
            list([this](std::optional<QVariantMap> shortcut) {
                if (!shortcut)
                    return bindShortcuts();
                // Registered already, by an earlier start (or, on KDE, by the session's
                // creation): the desktop keeps the keys it has, which may not be ours.
                const QString keys = shortcut->value(QStringLiteral("trigger_description")).toString();
                const QKeySequence wanted(combination);
                if (keys.isEmpty())
                    keptKeys = QStringLiteral("?");
                else if (QKeySequence::fromString(keys, QKeySequence::PortableText) != wanted
                         && QKeySequence::fromString(keys, QKeySequence::NativeText) != wanted)
                    keptKeys = keys;
                settle(HotKeyBackend::Outcome::bound);
            });
        });
    }

    void bindShortcuts()
    {
        QDBusMessage bind =
            QDBusMessage::createMethodCall(portalService, portalPath, shortcutsInterface, QStringLiteral("BindShortcuts"));
        bind << QVariant::fromValue(QDBusObjectPath(sessionPath)) << QVariant::fromValue(ours()) << QString()
             << QVariantMap();
        ask(bind, bindTimeout, [this](std::optional<PortalRequest::Answer> answer) {
            if (!answer || answer->response != 0)
                return settle(HotKeyBackend::Outcome::taken);
            if (listed(answer->results))
                return settle(HotKeyBackend::Outcome::bound);
            // Granted without saying what (as some portals answer when the user accepts
            // their dialog): what the session holds now decides.
            list([this](std::optional<QVariantMap> shortcut) {
                settle(shortcut ? HotKeyBackend::Outcome::bound : HotKeyBackend::Outcome::taken);
            });
        });
    }

    void list(std::function<void(std::optional<QVariantMap>)> found)
    {
        QDBusMessage message =
            QDBusMessage::createMethodCall(portalService, portalPath, shortcutsInterface, QStringLiteral("ListShortcuts"));
        message << QVariant::fromValue(QDBusObjectPath(sessionPath)) << QVariantMap();
        ask(message, sessionTimeout, [found = std::move(found)](std::optional<PortalRequest::Answer> answer) {
            found(answer && answer->response == 0 ? listed(answer->results) : std::nullopt);
        });
    }

    void ask(const QDBusMessage &message, int timeout, PortalRequest::Answered answered)
    {
        // The request asking now is the one whose answer is being handled: it goes later.
        if (request)
            request.release()->deleteLater();
        request = std::make_unique<PortalRequest>(bus, message, timeout, std::move(answered));
    }

    void settle(HotKeyBackend::Outcome result)
    {
        bound = result == HotKeyBackend::Outcome::bound;
        if (!bound)
            closeSession();
        if (outcome)
            outcome(result);
    }

    void stopWatchingSession()
    {
        if (!sessionPath.isEmpty())
            bus.disconnect(QString(), sessionPath, sessionInterface, QStringLiteral("Closed"), this, SLOT(closed()));
    }
    void closeSession()
    {
        if (sessionPath.isEmpty())
            return;
        stopWatchingSession();
        bus.send(QDBusMessage::createMethodCall(portalService, sessionPath, sessionInterface, QStringLiteral("Close")));
        sessionPath.clear();
    }

    QDBusConnection bus;
    QKeyCombination combination;
    QVariantMap properties;
    std::function<void()> pressed;
    std::function<void(HotKeyBackend::Outcome)> outcome;
    std::unique_ptr<PortalRequest> request;
    QString sessionPath;
    QString keptKeys;
    bool bound = false;
    bool registered = false;
    int rebinds = 0;
};

class PortalHotKeyBackend final : public HotKeyBackend {
public:
    explicit PortalHotKeyBackend(QDBusConnection bus) : bus(std::move(bus))
    {
        qDBusRegisterMetaType<PortalShortcut>();
        qDBusRegisterMetaType<QList<PortalShortcut>>();
        // Known by name before a slot taking it is connected to a signal.
        qRegisterMetaType<QDBusObjectPath>();
    }

    std::unique_ptr<Binding> bind(QKeyCombination combination, std::function<void()> pressed,
                                  std::function<void(Outcome)> outcome) override
    {
        if (!bus.isConnected()) {
            outcome(Outcome::unsupported);
            return nullptr;
        }
        auto binding = std::make_unique<PortalBinding>(bus, combination, std::move(pressed), std::move(outcome));
        binding->start();
        return binding;
    }

private:
    QDBusConnection bus;
};

} // namespace

std::unique_ptr<HotKeyBackend> HotKeyBackend::portal(const QDBusConnection &bus)
{
    return std::make_unique<PortalHotKeyBackend>(bus);
}

} // namespace tessaline

#include "PortalHotKeyBackend.moc"
