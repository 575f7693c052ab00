// The local HTTP/1.1 server: one listener, one request per connection, every answer closing it.
//
// Threads: one network thread owns the listener and every connection (reads, the idle guard, writes);
// handlers run on a small pool of their own, several at once, so a slow handler never stalls the
// network. The router is borrowed, must outlive the server and must not change once `start` is called.
// The settings are read on every request (host check, token), so changes apply at once, except the bind
// host, fixed at construction from "apiServerAllowLanKey".
//
// start/stop/actualPort may be called from any thread. Destruction stops the listener, drops the open
// connections and waits for running handlers. Failures are logged, never thrown.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "api/api_router.h"
#include "core/settings/api_server_ports.h"

namespace lumidex {
class SettingsStore;
}

namespace lumidex::api {

inline constexpr uint16_t kDefaultApiPort = kDefaultApiServerPort;

struct ApiServerConfig {
    std::string host = "127.0.0.1";  // "0.0.0.0" when other machines may connect
    uint16_t port = kDefaultApiPort;
    bool authEnabled = true;
};

// The ports `start` tries (apiServerPortCandidates).
std::vector<uint16_t> portCandidates(int64_t configuredPort);

// This machine's name as the Host and Origin checks accept it: the host name's first label,
// lower-cased (empty when the system has none).
std::string localHostName();

// The token check on every request, against the token stored under "apiServerTokenKey" at that moment.
class ApiAuthManager {
public:
    explicit ApiAuthManager(SettingsStore& settings) : settings_(&settings) {}
    bool isAuthorized(const ApiRequest& request) const;

private:
    SettingsStore* settings_;
};

struct ApiServerOptions {
    std::chrono::milliseconds idleTimeout{30000};  // without a byte received (or sent), the connection ends
    std::size_t maxConnections = 256;              // beyond it a new connection is closed at once
    std::size_t handlerThreads = 4;
    // The ports to try; empty: portCandidates of the stored "apiServerPortKey". Tests pass their own
    // (0 picks a free port).
    std::function<std::vector<uint16_t>()> ports;
    std::function<void(std::string_view line)> log;  // empty: the application log, category "api"
    // Sees every request head that parsed, before its body is read, with the status its host, origin
    // or content-type validation rejected it with (0: it passed). Runs on the network thread: must be
    // quick and must not throw.
    std::function<void(const ApiRequest& head, int rejectedStatus)> onHead;
};

class ApiServer {
public:
    ApiServer(const ApiRouter& router, SettingsStore& settings, ApiServerOptions options = {});
    ~ApiServer();
    ApiServer(const ApiServer&) = delete;
    ApiServer& operator=(const ApiServer&) = delete;

    // Listens on the candidate port at `portIndex`, moving on to the next while a port cannot be
    // bound; after the last one logs "Kein Port verfügbar (...)" and stays down. True when listening
    // (also when it already was).
    bool start(std::size_t portIndex = 0);
    // Closes the listener (open connections finish their request); logs "Server gestoppt".
    void stop();
    uint16_t actualPort() const;  // 0 while not listening

    const ApiServerConfig& config() const;
    std::chrono::system_clock::time_point startTime() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace lumidex::api
