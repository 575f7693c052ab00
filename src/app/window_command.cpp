#include "app/window_command.h"

#include <CLI/CLI.hpp>
#include <QApplication>
#include <QMetaObject>
#include <QSocketNotifier>

#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

#include "app/local_api.h"
#include "app/mail_background.h"
#include "app/scan_command.h"
#include "app/stop_signals.h"
#include "core/data_directory.h"
#include "core/settings/settings.h"
#include "core/settings/settings_store.h"
#include "folders/coordinator/core_manager_data.h"
#include "folders/registry/rootfolder_manager.h"
#include "folders/registry/security_bookmarks.h"
#include "folders/watch/presenter_observer.h"
#include "ui/main_window.h"
#include "ui/single_instance.h"
#include "ui/ui_routes.h"

namespace lumidex {
namespace {

// QApplication keeps references to these for its whole life.
int qtArgc = 1;
char qtName[] = "lumidex";
char* qtArgv[] = {qtName, nullptr};

int runWindow(const std::string& folderArgument, bool withApi) {
    QApplication application(qtArgc, qtArgv);
    // Ctrl-C or a TERM closes the window the way its close button does, so the index is left tidy.
    QSocketNotifier stop(installStopSignals("window"), QSocketNotifier::Read);
    QObject::connect(&stop, &QSocketNotifier::activated, &application, &QApplication::quit);
    QApplication::setApplicationName(QStringLiteral("Lumidex"));
    QApplication::setDesktopFileName(QStringLiteral("lumidex"));

    // A window already open on this index takes the folder and raises itself; this start then ends.
    std::error_code ec;
    const auto absolute = folderArgument.empty() ? std::filesystem::path() : std::filesystem::absolute(folderArgument, ec);
    const QStringList handedOver = absolute.empty() ? QStringList() : QStringList{QString::fromStdString(absolute.string())};
    auto election = ui::electInstance(ui::instanceSocketPath(QString::fromStdString(dataDirectory().string())), handedOver);
    if (election.handover == ui::Handover::done) {
        std::cout << "The Lumidex window already open took over." << std::endl;
        if (withApi) std::cout << "--api was ignored: the open window keeps its own API server setting." << std::endl;
        return 0;
    }
    if (election.handover == ui::Handover::noAnswer) {
        // Most likely a window still starting: opening a second one would wait for its index lock.
        std::cerr << "lumidex window: " << election.error.toStdString()
                  << ". A Lumidex window may still be starting or be stuck; try again, or close it first." << std::endl;
        return 1;
    }
    if (!election.server) std::cerr << "lumidex window: " << election.error.toStdString() << "; opening a window of its own\n";

    auto& bookmarks = folders::SecurityBookmarks::shared();
    const auto protectedFolders = folders::ProtectedFolders::forCurrentUser();
    if (!folderArgument.empty()) {
        folders::RootfolderManager manager(bookmarks, protectedFolders);
        const auto result = manager.addFolder(absolute.string(), folders::RootFolderTypes::searchableFolder);
        if (!result.success()) {
            std::cerr << "lumidex window: " << (result.alert ? result.alert->text : absolute.string() + " cannot be added")
                      << '\n';
        }
    }

    const auto writer = holdIndexForWriting("window");
    folders::CoreManagerDataDependencies dependencies = indexerDependencies();
    dependencies.observerFactory = folders::makePresenterObserverFactory();
    folders::CoreManagerData core(std::move(dependencies));
    for (const std::string& folder : bookmarks.list()) core.addFolder(folder);
    core.startAll(true);

    const auto mainLoop = [&application](std::function<void()> task) {
        QMetaObject::invokeMethod(&application, std::move(task), Qt::QueuedConnection);
    };
    // The window's own routes exist from the start and answer once the window is there.
    ui::WindowRoutes windowRoutes(mainLoop, core);
    // Before the server: the mail routes steer these runs.
    auto mailIndexing = startBackgroundMailIndexing("window");
    std::unique_ptr<LocalApi> api;
    if (withApi || Settings::shared().apiServerEnabled()) {
        api = LocalApi::start(
            core, mainLoop, [&windowRoutes](lumidex::api::ApiRouter& router) { windowRoutes.registerOn(router); },
            mailIndexing ? std::optional(mailIndexing->control()) : std::nullopt);
        if (api) std::cout << "API server listening on " << api->baseUrl() << std::endl;
    }
    int status = 0;
    {
        ui::WindowServices services;
        services.core = &core;
        services.settings = &SettingsStore::shared();
        services.bookmarks = &bookmarks;
        services.protectedFolders = protectedFolders;
        services.apiPort = [&api] { return api ? api->port() : uint16_t{0}; };
        ui::MainWindow window(services);
        windowRoutes.attach(window);
        // A request arriving while the window closes is answered at once instead of waiting for it.
        QObject::connect(&application, &QApplication::aboutToQuit, [&windowRoutes] { windowRoutes.close(); });
        if (election.server) {
            QObject::connect(election.server.get(), &ui::InstanceServer::argumentsReceived, &window,
                             &ui::MainWindow::takeArguments);
        }
        window.show();
        std::cout << "Lumidex window open on the platform \"" << QApplication::platformName().toStdString() << "\""
                  << std::endl;
        status = QApplication::exec();
        windowRoutes.close();
    }
    // The window's searches and page fetches borrow `core`; the closed window has cancelled its search.
    ui::QtScheduler::shared().waitForBackground();
    api.reset();
    mailIndexing.reset();
    core.cancelAll();
    return status;
}

}  // namespace

void addWindowCommand(CLI::App& app) {
    auto folder = std::make_shared<std::string>();
    auto withApi = std::make_shared<bool>(false);
    auto* window = app.add_subcommand("window", "Open the search window (adding FOLDER as a searchable folder first)");
    window->add_option("FOLDER", *folder, "a folder to add as a searchable folder");
    window->add_flag("--api", *withApi, "also start the local API server");
    window->callback([folder, withApi] {
        if (const int status = runWindow(*folder, *withApi); status != 0) throw CLI::RuntimeError(status);
    });
}

int runWindowWithoutArguments() {
    Settings::shared().ensureIdentifiers();
    return runWindow({}, false);
}

}  // namespace lumidex
