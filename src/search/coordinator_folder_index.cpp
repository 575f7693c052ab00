#include "search/coordinator_folder_index.h"

#include <utility>

#include "folders/coordinator/balanced_data_manager.h"
#include "folders/coordinator/core_manager_data.h"

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
    return [&core] {
        std::vector<std::shared_ptr<SearchableFolderIndex>> list;
        for (auto& manager : core.balancedDataManagers()) list.push_back(makeCoordinatorFolderIndex(manager));
        return list;
    };
}

}  // namespace lumidex::search
