#include "platform/library_messages.h"

#include <memory>
#include <mutex>

namespace lumidex::platform {
namespace {

using Handler = std::function<void(std::string_view)>;

struct Slot {
    std::mutex mutex;
    std::shared_ptr<const Handler> handler;
};

Slot& slot() {
    static Slot instance;
    return instance;
}

}  // namespace

void setLibraryMessageHandler(std::function<void(std::string_view)> handler) {
    auto next = handler ? std::make_shared<const Handler>(std::move(handler)) : nullptr;
    std::lock_guard lock(slot().mutex);
    slot().handler = std::move(next);
}

void reportLibraryMessage(std::string_view message) {
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.remove_suffix(1);
    if (message.empty()) return;
    std::shared_ptr<const Handler> handler;
    {
        std::lock_guard lock(slot().mutex);
        handler = slot().handler;
    }
    // Called outside the lock: a slow handler must not hold up other threads' reports.
    if (handler) (*handler)(message);
}

}  // namespace lumidex::platform
