#include "app/shell_command.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "app/local_api.h"
#include "app/scan_command.h"
#include "app/search_command.h"
#include "core/settings/settings.h"
#include "folders/coordinator/balanced_data_manager.h"
#include "folders/coordinator/core_manager_data.h"
#include "folders/registry/folder_paths.h"
#include "folders/registry/rootfolder_manager.h"
#include "folders/registry/security_bookmarks.h"
#include "folders/watch/presenter_observer.h"
#include "processing/default_runner.h"
#include "search/coordinator_folder_index.h"

namespace lumidex {
namespace {

[[noreturn]] void refuse(const std::string& message) {
    std::cerr << "lumidex shell: " << message << '\n';
    throw CLI::RuntimeError(1);
}

// Stores FOLDER as a searchable folder, or explains why it cannot be one.
void addSearchableFolder(const std::string& argument) {
    std::error_code ec;
    const auto absolute = std::filesystem::absolute(argument, ec);
    if (ec) refuse("cannot resolve " + argument + ": " + ec.message());
    folders::RootfolderManager manager(folders::SecurityBookmarks::shared(),
                                       folders::ProtectedFolders::forCurrentUser());
    const auto result = manager.addFolder(absolute.string(), folders::RootFolderTypes::searchableFolder);
    switch (result.status) {
        case folders::AddFolderStatus::added:
            std::cout << "Added " << result.folderPath << " as a searchable folder\n";
            return;
        case folders::AddFolderStatus::alreadySearchable: return;
        case folders::AddFolderStatus::notAFolder: refuse(absolute.string() + " is not a folder");
        case folders::AddFolderStatus::refused:
            refuse(result.alert ? result.alert->text : absolute.string() + " cannot be added");
        case folders::AddFolderStatus::bookmarkFailed:
            refuse("the bookmark for " + absolute.string() + " could not be stored (details in the debug log)");
    }
}

// How to search the demo from another terminal: the address and a curl command to paste, token
// included (this is the user's own terminal, as with `lumidex token show`).
void printApiSearchExample(const LocalApi& api) {
    const std::string token = Settings::shared().apiServerToken();
    std::cout << "\nThe local API answers on " << api.baseUrl() << " (documentation: " << api.baseUrl()
              << "/api/v1/docs). Search it from another terminal:\n";
    if (token.empty()) {
        std::cout << "  (first make a token: lumidex token new)\n";
    }
    std::cout << "  curl -s -H 'Authorization: Bearer " << (token.empty() ? "TOKEN" : token)
              << "' -H 'Content-Type: application/json' -d '{\"query\": \"invoice\", \"limit\": 5}' " << api.baseUrl()
              << "/api/v1/search\n";
}

void runShell(const std::string& folderArgument, bool withApi) {
    if (!folderArgument.empty()) addSearchableFolder(folderArgument);
    const std::vector<std::string> stored = folders::SecurityBookmarks::shared().list();
    if (stored.empty()) refuse("no searchable folders yet: start it with a folder, `lumidex shell PATH`");

    const auto writer = holdIndexForWriting("shell");
    const auto runner = processing::makeDefaultProcessingRunner();  // the one the dependencies hold
    folders::CoreManagerDataDependencies dependencies = indexerDependencies();
    dependencies.observerFactory = folders::makePresenterObserverFactory();
    folders::CoreManagerData core(std::move(dependencies));

    const bool interactive = ::isatty(STDIN_FILENO) == 1;
    const bool showProgress = ::isatty(STDOUT_FILENO) == 1;
    for (const std::string& folder : stored) indexFolderAndReport(core, folder, *runner, showProgress, std::cout);

    std::unique_ptr<LocalApi> api;
    if (withApi) {
        api = LocalApi::start(core);
        if (api) printApiSearchExample(*api);
    }

    const auto folderList = search::coordinatorFolderList(core);
    std::cout << "\nType a search and press Enter (\"quit\" to leave). Changes to the folders are indexed "
                 "while this prompt is open.\n";
    std::string line;
    while (true) {
        if (interactive) std::cout << "search> " << std::flush;
        if (!std::getline(std::cin, line)) break;
        const auto first = line.find_first_not_of(" \t");
        if (first == std::string::npos) continue;
        const std::string query = line.substr(first);
        if (query == "quit" || query == "exit") break;
        if (!interactive) std::cout << "search> " << query << '\n';
        searchAndPrint(query, folderList);
        std::cout << '\n';
    }
    api.reset();
    core.cancelAll();
}

}  // namespace

void addShellCommand(CLI::App& app) {
    auto folder = std::make_shared<std::string>();
    auto* shell = app.add_subcommand("shell", "Index the searchable folders (adding FOLDER first) and search them at a prompt");
    shell->add_option("FOLDER", *folder, "a folder to add as a searchable folder before indexing");
    auto withApi = std::make_shared<bool>(false);
    shell->add_flag("--api", *withApi, "also serve the local API while the prompt is open, and show a curl search");
    shell->callback([folder, withApi] { runShell(*folder, *withApi); });
}

}  // namespace lumidex
