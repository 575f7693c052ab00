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
#include "core/settings/settings.h"
#include "core/settings/settings_store.h"
#include "folders/coordinator/core_manager_data.h"
#include "folders/registry/rootfolder_manager.h"
#include "folders/registry/security_bookmarks.h"
#include "folders/watch/presenter_observer.h"
#include "ui/main_window.h"

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

    auto& bookmarks = folders::SecurityBookmarks::shared();
    const auto protectedFolders = folders::ProtectedFolders::forCurrentUser();
    if (!folderArgument.empty()) {
        std::error_code ec;
        const auto absolute = std::filesystem::absolute(folderArgument, ec);
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

    std::unique_ptr<LocalApi> api;
    if (withApi || Settings::shared().apiServerEnabled()) {
        api = LocalApi::start(core, [&application](std::function<void()> task) {
            QMetaObject::invokeMethod(&application, std::move(task), Qt::QueuedConnection);
        });
        if (api) std::cout << "API server listening on " << api->baseUrl() << std::endl;
    }

    auto mailIndexing = startBackgroundMailIndexing("window");
    int status = 0;
    {
        ui::WindowServices services;
        services.core = &core;
        services.settings = &SettingsStore::shared();
        services.bookmarks = &bookmarks;
        services.protectedFolders = protectedFolders;
        ui::MainWindow window(services);
        window.show();
        std::cout << "Lumidex window open on the platform \"" << QApplication::platformName().toStdString() << "\""
                  << std::endl;
        status = QApplication::exec();
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
