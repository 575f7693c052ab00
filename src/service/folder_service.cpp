#include "service/folder_service.h"

#include <algorithm>

#include "folders/coordinator/core_manager_data.h"
#include "folders/registry/folder_paths.h"
#include "search/stored_folder_index.h"
#include "service/index_identity.h"

namespace lumidex::service {

using folders::AddFolderStatus;

FolderService::FolderService(folders::SecurityBookmarks& bookmarks, folders::ProtectedFolders protectedFolders,
                             folders::CoreManagerData* core)
    : bookmarks_(bookmarks), protected_(std::move(protectedFolders)), core_(core) {}

folders::RootfolderManager FolderService::manager() { return folders::RootfolderManager(bookmarks_, protected_); }

std::vector<FolderEntry> FolderService::list() {
    auto folderManager = manager();
    std::vector<FolderEntry> entries;
    for (std::string& path : bookmarks_.list()) {
        const bool ai = folderManager.isAiFolder(path);
        entries.push_back(FolderEntry{std::move(path), ai});
    }
    return entries;
}

std::vector<StoredFolder> FolderService::storedFolders() {
    auto folderManager = manager();
    std::vector<StoredFolder> stored;
    for (auto& bookmark : bookmarks_.storedBookmarks()) {
        const bool usable = !bookmark.folderPath.empty() && bookmark.state == SecurityBookmarkStates::valid;
        const bool ai = usable && folderManager.isAiFolder(bookmark.folderPath);
        stored.push_back(StoredFolder{std::move(bookmark), ai});
    }
    return stored;
}

std::optional<FolderEntry> FolderService::find(uint32_t id) {
    for (FolderEntry& entry : list()) {
        if (folderId(entry.path) == id) return std::move(entry);
    }
    return std::nullopt;
}

folders::AddFolderResult FolderService::add(std::string_view absolutePath, folders::RootFolderTypes type) {
    folders::AddFolderResult result = manager().addFolder(absolutePath, type);
    if (result.success() && core_ != nullptr) core_->addAndStartFolder(result.folderPath);
    return result;
}

GrantedAdd FolderService::addGranted(std::string_view absolutePath, folders::RootFolderTypes type) {
    GrantedAdd outcome;
    const std::string path = folders::normalizedFolderPath(absolutePath);
    switch (bookmarks_.check(path)) {
        case SecurityBookmarkStates::valid:
        case SecurityBookmarkStates::stale: break;
        case SecurityBookmarkStates::doesNotExist: outcome.status = GrantedAddStatus::notAFolder; return outcome;
        case SecurityBookmarkStates::error:
        case SecurityBookmarkStates::noSecurityBookmark: outcome.status = GrantedAddStatus::noAccess; return outcome;
    }
    folders::AddFolderResult added = add(path, type);
    switch (added.status) {
        case AddFolderStatus::added:
        case AddFolderStatus::alreadySearchable:
            outcome.status = GrantedAddStatus::registered;
            outcome.folder = FolderEntry{added.folderPath, manager().isAiFolder(added.folderPath)};
            break;
        case AddFolderStatus::notAFolder: outcome.status = GrantedAddStatus::notAFolder; break;
        case AddFolderStatus::refused:
            outcome.status = GrantedAddStatus::refused;
            outcome.alert = std::move(added.alert);
            break;
        case AddFolderStatus::bookmarkFailed: outcome.status = GrantedAddStatus::failed; break;
    }
    return outcome;
}

FolderRemoval FolderService::remove(std::string_view absolutePath) {
    const std::string path = folders::normalizedFolderPath(absolutePath);
    const auto stored = bookmarks_.storedBookmarks();
    const bool known = std::any_of(stored.begin(), stored.end(), [&](const auto& e) { return e.folderPath == path; });
    if (!known) return FolderRemoval::notStored;
    if (!manager().removeFolder(path)) return FolderRemoval::failed;
    if (core_ != nullptr) core_->removeFolder(path);
    return FolderRemoval::removed;
}

std::vector<NanItem> FolderService::itemsOf(const FolderEntry& folder) {
    if (core_ != nullptr) {
        if (auto running = core_->balancedDataManager(folder.path)) return running->allItems();
    }
    // Not running here: what its last indexing run stored.
    const auto directory = core_ != nullptr ? folders::folderDataDirectory(core_->dataDirectory(), folder.path)
                                            : folders::folderDataDirectory(folder.path);
    auto stored = search::makeStoredFolderIndex(folder.path, directory);
    std::vector<NanItem> items = stored->allItems();
    stored->closeStores();
    return items;
}

FolderContents FolderService::contents(const FolderEntry& folder, int64_t offset, int64_t limit) {
    std::vector<NanItem> items = itemsOf(folder);
    std::sort(items.begin(), items.end(), [](const NanItem& a, const NanItem& b) { return a.urlString < b.urlString; });
    FolderContents contents;
    contents.totalCount = static_cast<int64_t>(items.size());
    const size_t first = std::min(items.size(), static_cast<size_t>(std::max<int64_t>(offset, 0)));
    const size_t last = std::min(items.size(), first + static_cast<size_t>(std::max<int64_t>(limit, 0)));
    contents.items.assign(std::make_move_iterator(items.begin() + static_cast<std::ptrdiff_t>(first)),
                          std::make_move_iterator(items.begin() + static_cast<std::ptrdiff_t>(last)));
    return contents;
}

FolderStats FolderService::stats(const FolderEntry& folder) {
    FolderStats stats;
    if (core_ != nullptr) {
        // A running folder keeps its counts per state: no need to copy every item.
        if (auto running = core_->balancedDataManager(folder.path); running && running->isInitialized()) {
            for (const auto& [state, count] : running->stateCounts()) {
                if (count == 0) continue;
                stats.totalFiles += count;
                stats.byState[std::string(processingStateName(state))] += count;
            }
            return stats;
        }
    }
    for (const NanItem& item : itemsOf(folder)) {
        ++stats.totalFiles;
        ++stats.byState[std::string(processingStateName(item.processingState))];
    }
    return stats;
}

}  // namespace lumidex::service
