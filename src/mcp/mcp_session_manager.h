// MCP sessions: created by "initialize", refreshed by every request that names them, dropped after an
// hour without use or by DELETE. In memory only: a restart forgets them and clients initialise again.
// Thread-safe (one mutex); the clock is borrowed.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "core/concurrency/clock.h"

namespace lumidex::mcp {

struct McpSession {
    std::string id;
    Clock::TimePoint createdAt;
    Clock::TimePoint lastActivity;
};

class McpSessionManager {
public:
    static constexpr std::chrono::seconds timeout{3600};
    // Beyond it, a new session replaces the one unused for longest, so clients that never end their
    // sessions cannot grow the server without bound.
    static constexpr std::size_t maxSessions = 1000;

    explicit McpSessionManager(Clock& clock = Clock::steady());

    // A new session with an upper-case UUID id; expired sessions are dropped first.
    std::string create();
    // The live session ID names, its last activity set to now; none when unknown or idle for an hour.
    std::optional<McpSession> lookup(const std::string& id);
    void remove(const std::string& id);
    void expire();
    std::size_t count() const;

private:
    void expireLocked();
    Clock* clock_;
    mutable std::mutex mutex_;
    std::map<std::string, McpSession> sessions_;
};

}  // namespace lumidex::mcp
