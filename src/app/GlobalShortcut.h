#pragma once

#include "platform/HotKeyBackend.h"

#include <QKeyCombination>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace tessaline {

// One system-wide key combination that brings the main window forward, by default L
// with the primary and the alternate modifier (Control-Alt-L on X11). Each press runs
// `action` once, afterwards, on the main thread, never inside the desktop's event
// dispatch.
class GlobalShortcut {
public:
    static constexpr QKeyCombination defaultCombination{Qt::ControlModifier | Qt::AltModifier, Qt::Key_L};

    enum class Status {
        notInstalled, // install() not called yet
        pending,      // the desktop has not answered yet
        installed,
        taken,        // another program holds the combination, or the desktop said no
        unsupported,  // this desktop offers no global shortcuts here, or not this key
    };

    explicit GlobalShortcut(std::function<void()> action, QKeyCombination combination = defaultCombination,
                            std::unique_ptr<HotKeyBackend> backend = HotKeyBackend::create());
    ~GlobalShortcut();

    GlobalShortcut(const GlobalShortcut &) = delete;
    GlobalShortcut &operator=(const GlobalShortcut &) = delete;

    // Starts registering the combination and returns at once: true when it is registered
    // already (on X11 the answer is immediate), false while the desktop is still
    // answering or after a refusal. Calling it again while registered or pending does
    // nothing; after a refusal it tries again.
    bool install();
    // Runs whenever the status settles or changes later (never for pending), outside
    // install()'s caller only where the desktop answers later. It may not destroy the
    // shortcut.
    void onStatusChanged(std::function<void(Status)> changed) { statusChanged = std::move(changed); }

    bool installed() const { return state == Status::installed; }
    // The keys the desktop keeps for the shortcut instead of ours, when it does so
    // (see HotKeyBackend::Binding::desktopKeys()).
    QString desktopKeys() const { return installed() && hotKey ? hotKey->desktopKeys() : QString(); }
    Status status() const { return state; }
    QKeyCombination combination() const { return keys; }

    // A combination as the user writes it ("Ctrl+Alt+L", "Meta+F12"): one key with at
    // least one of Ctrl, Alt and Meta, since a global grab of a plain key would take it
    // from every other program. Nothing for anything else.
    static std::optional<QKeyCombination> parse(const QString &text);
    // The form parse() reads.
    static QString text(QKeyCombination combination);

private:
    void settle(HotKeyBackend::Outcome outcome);

    std::unique_ptr<HotKeyBackend> backend;
    std::unique_ptr<HotKeyBackend::Binding> hotKey;
    std::function<void()> action;
    std::function<void(Status)> statusChanged;
    QKeyCombination keys;
    Status state = Status::notInstalled;
};

} // namespace tessaline
