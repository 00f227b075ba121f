#pragma once

#include "platform/HotKeyBackend.h"

#include <functional>
#include <memory>

namespace tessaline {

// The one system-wide key combination that brings the main window forward: L with the
// primary and the alternate modifier (Control-Alt-L on X11). Each press runs `action`
// once, afterwards, on the main thread, never inside the desktop's event dispatch.
class GlobalShortcut {
public:
    explicit GlobalShortcut(std::function<void()> action,
                            std::unique_ptr<HotKeyBackend> backend = HotKeyBackend::create());
    ~GlobalShortcut();

    GlobalShortcut(const GlobalShortcut &) = delete;
    GlobalShortcut &operator=(const GlobalShortcut &) = delete;

    // True when the combination is registered, now or by an earlier call; false when
    // it could not be, with nothing left installed.
    bool install();

    bool installed() const { return hotKey != nullptr; }

private:
    std::unique_ptr<HotKeyBackend> backend;
    std::unique_ptr<HotKeyBackend::HotKey> hotKey;
    std::unique_ptr<HotKeyBackend::Handler> handlerRef;
    std::function<void()> action;
};

} // namespace tessaline
