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
    statusChanged = nullptr;
    hotKey.reset();
}

bool GlobalShortcut::install()
{
    if (state == Status::installed || state == Status::pending)
        return state == Status::installed;
    hotKey.reset(); // what is left of a refused attempt
    if (!backend) {
        settle(HotKeyBackend::Outcome::unsupported);
        return false;
    }
    state = Status::pending;
    // The press arrives inside the desktop's event dispatch; the action may open
    // windows and move focus, so it runs later as an ordinary main-thread event. The
    // queued call carries its own copy of the action, so a press already queued still
    // runs if this object goes away meanwhile.
    auto binding = backend->bind(
        keys, [action = action] { QMetaObject::invokeMethod(QCoreApplication::instance(), action, Qt::QueuedConnection); },
        [this](HotKeyBackend::Outcome outcome) { settle(outcome); });
    // Refused at once: the backend has released everything already.
    if (state == Status::installed || state == Status::pending)
        hotKey = std::move(binding);
    return state == Status::installed;
}

void GlobalShortcut::settle(HotKeyBackend::Outcome outcome)
{
    switch (outcome) {
    case HotKeyBackend::Outcome::bound: state = Status::installed; break;
    case HotKeyBackend::Outcome::taken: state = Status::taken; break;
    case HotKeyBackend::Outcome::unsupported: state = Status::unsupported; break;
    }
    if (statusChanged)
        statusChanged(state);
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
