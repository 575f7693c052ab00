#include "app/folders_command.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

#include "folders/registry/folder_paths.h"
#include "folders/registry/rootfolder_manager.h"
#include "folders/registry/security_bookmarks.h"
#include "service/folder_service.h"

namespace lumidex {

namespace {

using folders::AddFolderStatus;
using folders::RootfolderManager;
using folders::RootFolderTypes;
using folders::SecurityBookmarks;

[[noreturn]] void refuse(const std::string& message) {
    std::cerr << "lumidex folders: " << message << '\n';
    throw CLI::RuntimeError(1);
}

std::string absolutePath(const std::string& argument) {
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(argument, ec);
    if (ec) refuse("cannot resolve " + argument + ": " + ec.message());
    return folders::normalizedFolderPath(absolute.string());
}

// No running application here: the folders are started at its next start.
service::FolderService folderService() {
    return service::FolderService(SecurityBookmarks::shared(), folders::ProtectedFolders::forCurrentUser());
}

std::string_view stateNote(SecurityBookmarkStates state) {
    switch (state) {
        case SecurityBookmarkStates::valid: return "";
        case SecurityBookmarkStates::stale: return "  (bookmark outdated; renewed at next use)";
        case SecurityBookmarkStates::doesNotExist: return "  (folder not found)";
        case SecurityBookmarkStates::error: return "  (bookmark unreadable)";
        case SecurityBookmarkStates::noSecurityBookmark: return "  (no bookmark)";
    }
    return "";
}

void addFolder(const std::string& argument, bool ai) {
    const std::string path = absolutePath(argument);
    const auto result = folderService().add(path, ai ? RootFolderTypes::aiFolder : RootFolderTypes::searchableFolder);
    switch (result.status) {
        case AddFolderStatus::added:
            std::cout << "Added " << result.folderPath << (ai ? " as an AI folder\n" : " as a searchable folder\n");
            return;
        case AddFolderStatus::alreadySearchable:
            std::cout << result.folderPath << " is already a searchable folder\n";
            return;
        case AddFolderStatus::notAFolder: refuse(path + " is not a folder");
        case AddFolderStatus::refused: refuse(result.alert ? result.alert->text : path + " cannot be added");
        case AddFolderStatus::bookmarkFailed:
            refuse("the bookmark for " + path + " could not be stored (details in the debug log)");
    }
}

void listFolders() {
    const auto stored = folderService().storedFolders();
    if (stored.empty()) {
        std::cout << "No searchable folders. Add one with `lumidex folders add PATH`.\n";
        return;
    }
    for (const auto& [entry, ai] : stored) {
        if (entry.folderPath.empty()) {
            std::cout << entry.file.string() << stateNote(entry.state) << '\n';
            continue;
        }
        std::cout << entry.folderPath << (ai ? "  [AI folder]" : "") << stateNote(entry.state) << '\n';
    }
}

void removeFolder(const std::string& argument, bool confirmed) {
    const std::string path = absolutePath(argument);
    const auto stored = SecurityBookmarks::shared().storedBookmarks();
    const bool known = std::any_of(stored.begin(), stored.end(), [&](const auto& e) { return e.folderPath == path; });
    if (!known) refuse(path + " is not a searchable folder (see `lumidex folders list`)");
    if (!confirmed) {
        std::cout << RootfolderManager::removeConfirmationText(path) << '\n'
                  << "Type \"y\" to " << RootfolderManager::removeButtonTitle << ", anything else to "
                  << RootfolderManager::cancelButtonTitle << ": " << std::flush;
        std::string answer;
        if (!std::getline(std::cin, answer) || (answer != "y" && answer != "Y" && answer != "yes")) {
            std::cout << "Cancelled; nothing was removed.\n";
            return;
        }
    }
    switch (folderService().remove(path)) {
        case service::FolderRemoval::removed: break;
        case service::FolderRemoval::notStored: refuse(path + " is not a searchable folder (see `lumidex folders list`)");
        case service::FolderRemoval::failed:
            refuse("the bookmark for " + path + " could not be deleted (details in the debug log)");
    }
    std::cout << "Removed " << path << " from the searchable folders; no files or folders were deleted.\n";
}

}  // namespace

void addFoldersCommand(CLI::App& app) {
    auto* command = app.add_subcommand("folders", "Show, add or remove the searchable folders");
    command->require_subcommand(1);

    auto path = std::make_shared<std::string>();

    auto* add = command->add_subcommand("add", "Make PATH a searchable folder");
    add->add_option("PATH", *path, "folder to search")->required();
    auto ai = std::make_shared<bool>(false);
    add->add_flag("--ai", *ai, "Add it as an AI folder (new files in its root are sorted into sub-folders)");
    add->callback([path, ai] { addFolder(*path, *ai); });

    auto* list = command->add_subcommand("list", "Every searchable folder with the state of its bookmark");
    list->callback([] { listFolders(); });

    auto* remove = command->add_subcommand("remove", "Stop searching PATH (its files stay untouched)");
    remove->add_option("PATH", *path, "searchable folder")->required();
    auto yes = std::make_shared<bool>(false);
    remove->add_flag("-y,--yes", *yes, "Do not ask for confirmation");
    remove->callback([path, yes] { removeFolder(*path, *yes); });
}

}  // namespace lumidex
