#include "app/GlobalShortcut.h"

#include <QCoreApplication>
#include <QMetaObject>

namespace tessaline {

GlobalShortcut::GlobalShortcut(std::function<void()> action, std::unique_ptr<HotKeyBackend> backend)
    : backend(std::move(backend)), action(std::move(action))
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
    if (!backend)
        return false;

    // The press arrives inside the desktop's event dispatch; the action may open
    // windows and move focus, so it runs later as an ordinary main-thread event. The
    // queued call carries its own copy of the action, so a press already queued still
    // runs if this object goes away meanwhile.
    handlerRef = backend->installHandler([action = action] {
        QMetaObject::invokeMethod(QCoreApplication::instance(), action, Qt::QueuedConnection);
    });
    if (!handlerRef)
        return false;

    hotKey = backend->registerHotKey();
    if (hotKey)
        return true;

    handlerRef.reset();
    return false;
}

} // namespace tessaline
