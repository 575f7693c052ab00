#include "app/serve_command.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <iostream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/local_api.h"
#include "app/mail_background.h"
#include "app/scan_command.h"
#include "app/stop_signals.h"
#include "core/app_log.h"
#include "core/settings/settings.h"
#include "folders/coordinator/core_manager_data.h"
#include "folders/registry/security_bookmarks.h"
#include "folders/watch/presenter_observer.h"
#include "processing/default_runner.h"

namespace lumidex {
namespace {

// The stop signals' descriptor (stop_signals.h), set by runServe before the loop waits on it.
int stopSignals = -1;

// The main thread's loop while serving: runs the tasks posted to it (the diagnostics' responsiveness
// probe) until a stop signal arrives. Tasks still queued then are dropped.
class MainLoop {
public:
    MainLoop() {
        if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) wake_[0] = wake_[1] = -1;
    }
    ~MainLoop() {
        for (int fd : wake_) {
            if (fd >= 0) ::close(fd);
        }
    }
    MainLoop(const MainLoop&) = delete;
    MainLoop& operator=(const MainLoop&) = delete;

    // Any thread.
    void post(std::function<void()> task) {
        {
            std::lock_guard lock(mutex_);
            tasks_.push_back(std::move(task));
        }
        const char byte = 't';
        [[maybe_unused]] const ssize_t written = ::write(wake_[1], &byte, 1);  // a full pipe is awake already
    }

    void runUntilStopSignal() {
        pollfd waiting[2] = {{stopSignals, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        while (true) {
            if (::poll(waiting, wake_[0] >= 0 ? 2 : 1, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (waiting[0].revents != 0) return;
            char drain[64];
            while (::read(wake_[0], drain, sizeof drain) > 0) {
            }
            std::vector<std::function<void()>> ready;
            {
                std::lock_guard lock(mutex_);
                ready.swap(tasks_);
            }
            for (auto& task : ready) task();
        }
    }

private:
    int wake_[2] = {-1, -1};
    std::mutex mutex_;
    std::vector<std::function<void()>> tasks_;
};

// Indexes the folders one after another on its own thread, so that the server answers (and a stop
// signal is heard) meanwhile. Afterwards the folders' watchers keep the index current.
void indexFolders(folders::CoreManagerData& core, const std::vector<std::string>& stored, const std::atomic<bool>& stopping) {
    const auto runner = processing::makeDefaultProcessingRunner();
    for (const std::string& folder : stored) {
        if (stopping) return;
        indexFolderAndReport(core, folder, *runner, false, std::cout);
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

void printServerAddress(const LocalApi& server) {
    const std::string base = server.baseUrl();
    std::cout << "API server listening on " << server.config().host << ":" << server.port()
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
    stopSignals = installStopSignals("serve");
    const std::vector<std::string> stored = folders::SecurityBookmarks::shared().list();
    if (stored.empty()) std::cout << "No searchable folders yet; add one with `lumidex folders add PATH`.\n";

    const auto writer = holdIndexForWriting("serve");
    migrateLanDefault();
    folders::CoreManagerDataDependencies dependencies = indexerDependencies();
    dependencies.observerFactory = folders::makePresenterObserverFactory();
    folders::CoreManagerData core(std::move(dependencies));

    MainLoop mainLoop;
    // Before the server: the mail routes steer these runs.
    auto mailIndexing = startBackgroundMailIndexing("serve");
    if (mailIndexing) std::cout << "Keeping the mail index current." << std::endl;
    std::unique_ptr<LocalApi> server;
    if (apiRequested || Settings::shared().apiServerEnabled()) {
        server = LocalApi::start(
            core, [&mainLoop](std::function<void()> task) { mainLoop.post(std::move(task)); }, {},
            mailIndexing ? std::optional(mailIndexing->control()) : std::nullopt);
        if (server) {
            printServerAddress(*server);
        } else if (apiRequested) {
            throw CLI::RuntimeError(1);
        }
    } else {
        std::cout << "The API server is off (setting apiServerEnabledKey); `lumidex serve --api` starts it.\n";
    }

    std::atomic<bool> stopping{false};
    std::thread indexing([&] { indexFolders(core, stored, stopping); });
    std::cout << "Press Ctrl-C to stop." << std::endl;
    mainLoop.runUntilStopSignal();

    std::cout << "\nStopping ..." << std::endl;
    stopping = true;
    server.reset();  // stops the listener and waits for the handlers still running
    mailIndexing.reset();
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
