#include "mcp/mcp_session_manager.h"

#include <algorithm>

#include "core/app_log.h"
#include "core/uuid.h"

namespace lumidex::mcp {
namespace {

std::string shortId(const std::string& id) { return id.substr(0, 8); }

}  // namespace

McpSessionManager::McpSessionManager(Clock& clock) : clock_(&clock) {}

std::string McpSessionManager::create() {
    std::lock_guard lock(mutex_);
    expireLocked();
    if (sessions_.size() >= maxSessions) {
        const auto idlest = std::min_element(sessions_.begin(), sessions_.end(), [](const auto& a, const auto& b) {
            return a.second.lastActivity < b.second.lastActivity;
        });
        appLog("[mcp] Session verdrängt: " + shortId(idlest->first));
        sessions_.erase(idlest);
    }
    std::string id = Uuid::random().toString();
    const Clock::TimePoint now = clock_->now();
    sessions_.insert_or_assign(id, McpSession{id, now, now});
    appLog("[mcp] Session erstellt: " + shortId(id));
    return id;
}

std::optional<McpSession> McpSessionManager::lookup(const std::string& id) {
    std::lock_guard lock(mutex_);
    expireLocked();
    const auto found = sessions_.find(id);
    if (found == sessions_.end()) return std::nullopt;
    found->second.lastActivity = clock_->now();
    return found->second;
}

void McpSessionManager::remove(const std::string& id) {
    std::lock_guard lock(mutex_);
    sessions_.erase(id);
}

void McpSessionManager::expire() {
    std::lock_guard lock(mutex_);
    expireLocked();
}

std::size_t McpSessionManager::count() const {
    std::lock_guard lock(mutex_);
    return sessions_.size();
}

void McpSessionManager::expireLocked() {
    const Clock::TimePoint now = clock_->now();
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        if (now - it->second.lastActivity >= timeout) {
            appLog("[mcp] Session abgelaufen: " + shortId(it->first));
            it = sessions_.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace lumidex::mcp
