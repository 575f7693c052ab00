#include "app/local_api.h"

#include <iostream>

#include "cloud/cloud_item_store.h"
#include "core/settings/settings_store.h"
#include "folders/coordinator/core_manager_data.h"

namespace lumidex {

std::unique_ptr<LocalApi> LocalApi::start(folders::CoreManagerData& core,
                                          std::function<void(std::function<void()>)> mainLoop,
                                          const RouteHook& addRoutes,
                                          std::optional<service::MailIndexControl> mailControl) {
    std::unique_ptr<LocalApi> api(new LocalApi());
    // The MCP counters see each head before the server's own checks; the handler exists before the
    // server listens, so the hook never finds it missing while requests arrive.
    api::ApiServerOptions options;
    LocalApi* self = api.get();
    options.onHead = [self](const api::ApiRequest& head, int rejectedStatus) {
        if (self->mcp_) self->mcp_->noteHead(head, rejectedStatus);
    };
    // The server exists before the routes are made, so the uptime they report counts from its start.
    api->server_ = std::make_unique<api::ApiServer>(api->router_, SettingsStore::shared(), std::move(options));
    api->services_.core = &core;
    api->services_.startTime = api->server_->startTime();
    api->services_.mainLoop = std::move(mainLoop);
    api::ApiServer* server = api->server_.get();
    api->services_.actualPort = [server] { return server->actualPort(); };
    // The conversion service's records live beside the folders' data; forgetting the completed ones
    // opens the store only for that moment.
    api->services_.cleanUpCompletedConversions = [directory = core.dataDirectory()] {
        return cloud::CloudItemSqliteManager(directory).markAllCompletedAsDeleted();
    };
    // Mail index runs the mail routes ask for, over the configured mail stores.
    if (mailControl) {
        api->services_.mailControl = std::move(*mailControl);
    } else {
        api->mailRuns_ = std::make_unique<MailApiRuns>();
        api->services_.mailControl = api->mailRuns_->control();
    }
    api::registerRoutes(api->router_, api->services_);
    if (addRoutes) addRoutes(api->router_);
    mcp::McpHandlerOptions mcpOptions;
    mcpOptions.tools.startTime = api->services_.startTime;
    mcpOptions.tools.actualPort = api->services_.actualPort;
    api->mcp_ = std::make_unique<mcp::McpHandler>(api->router_, SettingsStore::shared(), std::move(mcpOptions));
    mcp::registerMcpRoutes(api->router_, *api->mcp_);
    if (!api->server_->start(0)) {
        std::cerr << "lumidex: no port for the API server could be bound (details in the debug log)\n";
        return nullptr;
    }
    return api;
}

LocalApi::~LocalApi() {
    server_->stop();
    server_.reset();  // waits for the handlers still running, before the routes, services and MCP handler go
}

std::string LocalApi::baseUrl() const { return "http://127.0.0.1:" + std::to_string(port()); }

}  // namespace lumidex
