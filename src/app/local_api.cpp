#include "app/local_api.h"

#include <iostream>

#include "core/settings/settings_store.h"

namespace lumidex {

std::unique_ptr<LocalApi> LocalApi::start(folders::CoreManagerData& core,
                                          std::function<void(std::function<void()>)> mainLoop) {
    std::unique_ptr<LocalApi> api(new LocalApi());
    // The server exists before the routes are made, so the uptime they report counts from its start.
    api->server_ = std::make_unique<api::ApiServer>(api->router_, SettingsStore::shared());
    api->services_.core = &core;
    api->services_.startTime = api->server_->startTime();
    api->services_.mainLoop = std::move(mainLoop);
    api::ApiServer* server = api->server_.get();
    api->services_.actualPort = [server] { return server->actualPort(); };
    api::registerRoutes(api->router_, api->services_);
    if (!api->server_->start(0)) {
        std::cerr << "lumidex: no port for the API server could be bound (details in the debug log)\n";
        return nullptr;
    }
    return api;
}

LocalApi::~LocalApi() {
    server_->stop();
    server_.reset();  // waits for the handlers still running, before the routes and services go
}

std::string LocalApi::baseUrl() const { return "http://127.0.0.1:" + std::to_string(port()); }

}  // namespace lumidex
