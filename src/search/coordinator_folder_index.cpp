#include "search/coordinator_folder_index.h"

#include <map>
#include <mutex>
#include <utility>

#include "folders/coordinator/balanced_data_manager.h"
#include "folders/coordinator/core_manager_data.h"
#include "search/sort_keys.h"

namespace lumidex::search {
namespace {

class CoordinatorFolderIndex final : public SearchableFolderIndex {
public:
    explicit CoordinatorFolderIndex(std::shared_ptr<folders::BalancedDataManager> manager)
        : manager_(std::move(manager)) {}

    std::string rootPath() const override { return manager_->rootFolderUrlString(); }
    void waitForInitToComplete() override { manager_->waitForInitToComplete(); }
    bool isIndexing() const override { return !manager_->isInitialized() || manager_->isProcessing(); }
    bool isRemoved() const override { return manager_->isCancelled(); }
    storage::SqliteFtsDatabaseBalancer& ftsBalancer() override { return manager_->ftsDatabaseBalancer(); }
    // A common word finds a good part of the folder: its matches are ranked by their items' names and
    // dates, and only the rows kept are copied whole, instead of a full-text row and an item for each.
    std::optional<std::vector<FtsMatch>> matchesWithoutRows(const SearchParameters& parameters,
                                                            ThreadPool& workers) override {
        return manager_->ftsDatabaseBalancer().matches(parameters, true, &workers);
    }
    std::optional<ItemSortKeys> sortKeysForCombinedHashes(const std::vector<uint32_t>& combinedHashes) override {
        return sortKeysByShard(combinedHashes, [this](uint32_t, const std::vector<uint32_t>& hashes) {
            return manager_->sortKeysForCombinedHashes(hashes);
        });
    }
    std::optional<NanItem> itemForCombinedHash(uint32_t combinedHash) override {
        return manager_->itemByCombinedHash(combinedHash);
    }
    std::vector<NanItem> allItems() override { return manager_->allItems(); }

private:
    std::shared_ptr<folders::BalancedDataManager> manager_;
};

}  // namespace

std::shared_ptr<SearchableFolderIndex> makeCoordinatorFolderIndex(
    std::shared_ptr<folders::BalancedDataManager> manager) {
    return std::make_shared<CoordinatorFolderIndex>(std::move(manager));
}

FolderListFunction coordinatorFolderList(folders::CoreManagerData& core) {
    // The search tells a removed folder by its adapter disappearing from the list, so each coordinator
    // keeps one adapter for as long as it is configured.
    struct Adapters {
        std::mutex mutex;
        std::map<const folders::BalancedDataManager*, std::shared_ptr<SearchableFolderIndex>> byManager;
    };
    auto adapters = std::make_shared<Adapters>();
    return [&core, adapters] {
        const auto managers = core.balancedDataManagers();
        std::lock_guard lock(adapters->mutex);
        std::map<const folders::BalancedDataManager*, std::shared_ptr<SearchableFolderIndex>> current;
        std::vector<std::shared_ptr<SearchableFolderIndex>> list;
        for (const auto& manager : managers) {
            auto found = adapters->byManager.find(manager.get());
            auto adapter = found != adapters->byManager.end() ? found->second : makeCoordinatorFolderIndex(manager);
            current.emplace(manager.get(), adapter);
            list.push_back(std::move(adapter));
        }
        // Adapters of removed folders are dropped; each holds its coordinator, so an address is never
        // reused while its adapter is still mapped.
        adapters->byManager = std::move(current);
        return list;
    };
}

}  // namespace lumidex::search
