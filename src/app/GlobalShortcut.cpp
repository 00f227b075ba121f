#include "app/GlobalShortcut.h"

#include <QCoreApplication>
#include <QKeySequence>
#include <QMetaObject>

namespace tessaline {

GlobalShortcut::GlobalShortcut(std::function<void()> action, QKeyCombination combination,
                               std::unique_ptr<HotKeyBackend> backend)
    : backend(std::move(backend)), action(std::move(action)), keys(combination)
{
}

GlobalShortcut::~GlobalShortcut()
{
    hotKey.reset();
    handlerRef.reset();
}

bool GlobalShortcut::install()
{
    if (hotKey)
        return true;
    state = Status::unsupported;
    if (!backend)
        return false;

    // The press arrives inside the desktop's event dispatch; the action may open
    // windows and move focus, so it runs later as an ordinary main-thread event. The
    // queued call carries its own copy of the action, so a press already queued still
    // runs if this object goes away meanwhile.
    handlerRef = backend->installHandler(keys, [action = action] {
        QMetaObject::invokeMethod(QCoreApplication::instance(), action, Qt::QueuedConnection);
    });
    if (!handlerRef)
        return false;

    hotKey = backend->registerHotKey(keys);
    if (hotKey) {
        state = Status::installed;
        return true;
    }
    handlerRef.reset();
    state = Status::taken;
    return false;
}

std::optional<QKeyCombination> GlobalShortcut::parse(const QString &text)
{
    const QKeySequence sequence = QKeySequence::fromString(text.trimmed(), QKeySequence::PortableText);
    if (sequence.count() != 1)
        return std::nullopt;
    const QKeyCombination combination = sequence[0];
    const Qt::Key key = combination.key();
    if (key == Qt::Key_unknown || key == Qt::Key_Control || key == Qt::Key_Alt || key == Qt::Key_Shift
        || key == Qt::Key_Meta || key == 0)
        return std::nullopt;
    if (!(combination.keyboardModifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)))
        return std::nullopt;
    return combination;
}

QString GlobalShortcut::text(QKeyCombination combination)
{
    return QKeySequence(combination).toString(QKeySequence::PortableText);
}

} // namespace tessaline
