// The local API server over the folders a command runs (serve, shell --api): the routes over the
// running CoreManagerData and the MCP endpoint "/mcp", the listener on the configured port or a fallback, uptime counted from the
// server's start.
//
// Owned by the command that owns `core`, and destroyed before it: destruction stops the listener and
// waits for the handlers still running. Not copyable; any thread may read port().
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "api/api_router.h"
#include "api/api_routes.h"
#include "api/api_server.h"
#include "app/mail_api_runs.h"
#include "mcp/mcp_handler.h"

namespace lumidex::folders {
class CoreManagerData;
}

namespace lumidex {

class LocalApi {
public:
    // Adds routes of the caller's own (the window's) to the router before the server listens.
    using RouteHook = std::function<void(api::ApiRouter&)>;

    // `mainLoop` posts a task to the command's main loop for the responsiveness probe; none: the
    // shared thread pool is probed. `mailControl`: the process's own mail index runs, which the mail
    // routes then steer (it must outlive the server); none: the routes run the indexer themselves when
    // no other process holds the mail index. nullptr when no candidate port could be bound (said on
    // stderr).
    static std::unique_ptr<LocalApi> start(folders::CoreManagerData& core,
                                           std::function<void(std::function<void()>)> mainLoop = {},
                                           const RouteHook& addRoutes = {},
                                           std::optional<service::MailIndexControl> mailControl = std::nullopt);
    ~LocalApi();
    LocalApi(const LocalApi&) = delete;
    LocalApi& operator=(const LocalApi&) = delete;

    uint16_t port() const { return server_->actualPort(); }
    const api::ApiServerConfig& config() const { return server_->config(); }
    // "http://127.0.0.1:PORT"
    std::string baseUrl() const;

private:
    LocalApi() = default;

    std::unique_ptr<MailApiRuns> mailRuns_;  // first made, last gone: the mail routes call it
    api::ApiServices services_;
    api::ApiRouter router_;
    std::unique_ptr<mcp::McpHandler> mcp_;
    std::unique_ptr<api::ApiServer> server_;
};

}  // namespace lumidex
