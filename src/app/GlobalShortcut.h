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
        installed,
        taken,        // another program holds the combination
        unsupported,  // this desktop offers no global shortcuts here, or not this key
    };

    explicit GlobalShortcut(std::function<void()> action, QKeyCombination combination = defaultCombination,
                            std::unique_ptr<HotKeyBackend> backend = HotKeyBackend::create());
    ~GlobalShortcut();

    GlobalShortcut(const GlobalShortcut &) = delete;
    GlobalShortcut &operator=(const GlobalShortcut &) = delete;

    // True when the combination is registered, now or by an earlier call; false when
    // it could not be, with nothing left installed.
    bool install();

    bool installed() const { return hotKey != nullptr; }
    Status status() const { return state; }
    QKeyCombination combination() const { return keys; }

    // A combination as the user writes it ("Ctrl+Alt+L", "Meta+F12"): one key with at
    // least one of Ctrl, Alt and Meta, since a global grab of a plain key would take it
    // from every other program. Nothing for anything else.
    static std::optional<QKeyCombination> parse(const QString &text);
    // The form parse() reads.
    static QString text(QKeyCombination combination);

private:
    std::unique_ptr<HotKeyBackend> backend;
    std::unique_ptr<HotKeyBackend::HotKey> hotKey;
    std::unique_ptr<HotKeyBackend::Handler> handlerRef;
    std::function<void()> action;
    QKeyCombination keys;
    Status state = Status::notInstalled;
};

} // namespace tessaline
