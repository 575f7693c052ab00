#include "app/serve_command.h"

#include <poll.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "api/api_routes.h"
#include "api/api_server.h"
#include "app/scan_command.h"
#include "core/app_log.h"
#include "core/settings/settings.h"
#include "folders/coordinator/core_manager_data.h"
#include "folders/registry/security_bookmarks.h"
#include "folders/watch/presenter_observer.h"
#include "processing/default_runner.h"

namespace lumidex {
namespace {

// A stop signal writes one byte here; the main thread waits on the other end. Whichever thread the
// kernel picks for the signal, the handler only does an async-signal-safe write.
int stopPipe[2] = {-1, -1};

extern "C" void onStopSignal(int) {
    const char byte = 's';
    [[maybe_unused]] const ssize_t written = ::write(stopPipe[1], &byte, 1);
}

void installStopSignals() {
    if (::pipe(stopPipe) != 0) {
        std::cerr << "lumidex serve: cannot prepare for stop signals\n";
        throw CLI::RuntimeError(1);
    }
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_RESETHAND;  // a second signal ends the process the default way
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

void waitForStopSignal() {
    pollfd waiting{stopPipe[0], POLLIN, 0};
    while (::poll(&waiting, 1, -1) < 0 && errno == EINTR) {
    }
}

// Indexes the folders one after another on its own thread, so that the server answers (and a stop
// signal is heard) meanwhile. Afterwards the folders' watchers keep the index current.
void indexFolders(folders::CoreManagerData& core, const std::vector<std::string>& stored, const std::atomic<bool>& stopping) {
    const auto runner = processing::makeDefaultProcessingRunner();
    for (const std::string& folder : stored) {
        if (stopping) return;
        std::cout << "Indexing " << folder << std::endl;
        auto manager = core.addFolder(folder);
        startWithDamagedShardsRebuilt(*manager, std::cout);
        const auto result = manager->fullScan();
        if (stopping) return;
        std::cout << "  " << result.found << " files found, " << result.newItems << " new, " << result.removedOrphans
                  << " removed" << std::endl;
        processing::completeFolderProcessing(*manager, *runner, std::cout, false, std::chrono::milliseconds(500), false);
    }
    if (!stopping) std::cout << "Indexing done; watching the folders for changes." << std::endl;
}

// The LAN-default migration: an installation that ran the server before the network option existed
// keeps network access. No window here, so it is told in the log.
void migrateLanDefault() {
    Settings settings = Settings::shared();
    const auto error = settings.migrateLanDefault([] {
        appLog("[api] Zugriff aus dem lokalen Netzwerk bleibt erlaubt (apiServerAllowLanKey = true): der Server lief "
               "schon, bevor es diese Einstellung gab");
    });
    if (error) std::cerr << "lumidex serve: settings not saved: " << error->message << '\n';
}

void printServerAddress(const api::ApiServer& server) {
    const std::string base = "http://127.0.0.1:" + std::to_string(server.actualPort());
    std::cout << "API server listening on " << server.config().host << ":" << server.actualPort()
              << (server.config().host == "0.0.0.0" ? " (other machines on the network may connect)" : "") << '\n'
              << "  health: curl " << base << "/api/v1/health\n";
    if (Settings::shared().apiServerToken().empty()) {
        std::cout << "  No access token is set yet: run `lumidex token new`; until then only the open routes answer.\n";
    } else {
        std::cout << "  Other routes need the token: `lumidex token show` prints it; send it as "
                     "\"Authorization: Bearer TOKEN\", e.g.\n"
                  << "  curl -H \"Authorization: Bearer $(lumidex token show)\" " << base << "/api/v1/info\n";
    }
    std::cout << std::flush;
}

void runServe(bool apiRequested) {
    installStopSignals();
    const std::vector<std::string> stored = folders::SecurityBookmarks::shared().list();
    if (stored.empty()) std::cout << "No searchable folders yet; add one with `lumidex folders add PATH`.\n";

    const auto writer = holdIndexForWriting("serve");
    migrateLanDefault();
    folders::CoreManagerDataDependencies dependencies = indexerDependencies();
    dependencies.observerFactory = folders::makePresenterObserverFactory();
    folders::CoreManagerData core(std::move(dependencies));

    api::ApiServices services;
    services.core = &core;
    api::ApiRouter router;
    std::unique_ptr<api::ApiServer> server;
    services.actualPort = [&server] { return server ? server->actualPort() : uint16_t{0}; };
    api::registerRoutes(router, services);

    if (apiRequested || Settings::shared().apiServerEnabled()) {
        server = std::make_unique<api::ApiServer>(router, SettingsStore::shared());
        services.startTime = server->startTime();
        if (server->start(0)) {
            printServerAddress(*server);
        } else {
            std::cerr << "lumidex serve: no port for the API server could be bound (details in the debug log)\n";
            if (apiRequested) throw CLI::RuntimeError(1);
        }
    } else {
        std::cout << "The API server is off (setting apiServerEnabledKey); `lumidex serve --api` starts it.\n";
    }

    std::atomic<bool> stopping{false};
    std::thread indexing([&] { indexFolders(core, stored, stopping); });
    std::cout << "Press Ctrl-C to stop." << std::endl;
    waitForStopSignal();

    std::cout << "\nStopping ..." << std::endl;
    stopping = true;
    if (server) server->stop();
    server.reset();  // waits for the handlers still running
    core.cancelAll();
    indexing.join();
    std::cout << "Stopped." << std::endl;
}

}  // namespace

void addServeCommand(CLI::App& app) {
    auto api = std::make_shared<bool>(false);
    auto* serve = app.add_subcommand("serve", "Index and watch the searchable folders without a window, with the local API server");
    serve->add_flag("--api", *api, "start the API server even when the setting apiServerEnabledKey is off");
    serve->callback([api] { runServe(*api); });
}

}  // namespace lumidex
