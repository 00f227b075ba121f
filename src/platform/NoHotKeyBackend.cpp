#include "platform/HotKeyBackend.h"

namespace tessaline {
namespace {

// Desktops without a supported global-shortcut facility: the program runs on without one.
class NoHotKeyBackend final : public HotKeyBackend {
public:
    std::unique_ptr<Handler> installHandler(QKeyCombination, std::function<void()>) override { return nullptr; }
    std::unique_ptr<HotKey> registerHotKey(QKeyCombination) override { return nullptr; }
};

} // namespace

std::unique_ptr<HotKeyBackend> HotKeyBackend::create()
{
    return std::make_unique<NoHotKeyBackend>();
}

} // namespace tessaline
