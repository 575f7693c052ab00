#include "search/stored_folder_index.h"

#include <array>
#include <mutex>
#include <optional>
#include <type_traits>
#include <unordered_map>
#include <utility>

#include "core/concurrency/task_group.h"
#include "platform/paths.h"
#include "search/sort_keys.h"
#include "storage/fts_balancer.h"
#include "storage/nan_item_sqlite_manager.h"
#include "storage/shard_layout.h"
#include "storage/sort_key_memo.h"

namespace lumidex::search {
namespace {

// One cache folder per folder index, named as its data directory is.
std::filesystem::path sortKeyMemoDirectory(const std::filesystem::path& folderDataDirectory) {
    const std::filesystem::path name =
        folderDataDirectory.has_filename() ? folderDataDirectory.filename() : folderDataDirectory.parent_path().filename();
    return platform::userDirectories().cacheDirectory / "sort_keys" / name;
}

class StoredFolderIndex final : public SearchableFolderIndex {
public:
    StoredFolderIndex(std::string rootPath, std::filesystem::path folderDataDirectory)
        : rootPath_(std::move(rootPath)),
          folderDataDirectory_(std::move(folderDataDirectory)),
          sortKeyMemoDirectory_(sortKeyMemoDirectory(folderDataDirectory_)),
          fts_(folderDataDirectory_, storage::StoreKind::fullText, storage::ShardUse::oneCommand) {}

    std::string rootPath() const override { return rootPath_; }
    void waitForInitToComplete() override {}
    bool isIndexing() const override { return false; }
    bool isRemoved() const override { return false; }
    storage::SqliteFtsDatabaseBalancer& ftsBalancer() override { return fts_; }

    std::optional<std::vector<FtsMatch>> matchesWithoutRows(const SearchParameters& parameters,
                                                            ThreadPool& workers) override {
        return fts_.matches(parameters, true, &workers);
    }

    std::optional<NanItem> itemForCombinedHash(uint32_t combinedHash) override {
        Shard& shard = shards_[storage::balancerId(combinedHash)];
        std::lock_guard lock(shard.mutex);
        return store(shard, storage::balancerId(combinedHash)).itemForCombinedHash(combinedHash);
    }

    std::unordered_map<uint32_t, NanItem> itemsForCombinedHashes(const std::vector<uint32_t>& combinedHashes) override {
        auto perShard = byShard(combinedHashes, [](storage::NanItemSqliteManager_v2& store, const std::vector<uint32_t>& hashes) {
            return store.itemsForCombinedHashes(hashes);
        });
        std::unordered_map<uint32_t, NanItem> items;
        for (auto& shardItems : perShard) {
            for (NanItem& item : shardItems) {
                const uint32_t combinedHash = item.combinedHash;
                items.insert_or_assign(combinedHash, std::move(item));
            }
        }
        return items;
    }

    std::optional<ItemSortKeys> sortKeysForCombinedHashes(const std::vector<uint32_t>& combinedHashes) override {
        return sortKeysByShard(combinedHashes, [this](uint32_t i, const std::vector<uint32_t>& hashes) {
            std::lock_guard lock(shards_[i].mutex);
            return storage::SortKeyMemo(sortKeyMemoDirectory_ / (std::to_string(i) + ".keys"),
                                        storage::shardPath(folderDataDirectory_, storage::StoreKind::items, i))
                .sortKeys(store(shards_[i], i), hashes);
        });
    }

    std::vector<NanItem> allItems() override {
        std::vector<NanItem> all;
        for (uint32_t i = 0; i < storage::loadBalancerCount; ++i) {
            std::lock_guard lock(shards_[i].mutex);
            std::vector<NanItem> items = store(shards_[i], i).allItems();
            all.insert(all.end(), std::make_move_iterator(items.begin()), std::make_move_iterator(items.end()));
        }
        return all;
    }

    void closeStores() override {
        fts_.closeStores();
        for (Shard& shard : shards_) {
            std::unique_ptr<storage::NanItemSqliteManager_v2> closing;
            std::lock_guard lock(shard.mutex);
            closing.swap(shard.store);
        }
    }

private:
    struct Shard {
        std::mutex mutex;
        std::unique_ptr<storage::NanItemSqliteManager_v2> store;
    };

    // `read(store, hashes)` on the item shard of each group of hashes, shards in parallel: a common word
    // finds thousands of documents in all of them. One result per shard that had hashes.
    template <class Read>
    auto byShard(const std::vector<uint32_t>& combinedHashes, Read read)
        -> std::vector<std::invoke_result_t<Read&, storage::NanItemSqliteManager_v2&, const std::vector<uint32_t>&>> {
        std::array<std::vector<uint32_t>, storage::loadBalancerCount> groups;
        for (uint32_t combinedHash : combinedHashes) groups[storage::balancerId(combinedHash)].push_back(combinedHash);
        std::vector<uint32_t> shards;
        for (uint32_t i = 0; i < storage::loadBalancerCount; ++i) {
            if (!groups[i].empty()) shards.push_back(i);
        }
        return parallelMap(shards.size(), [&](size_t k) {
            const uint32_t i = shards[k];
            std::lock_guard lock(shards_[i].mutex);
            return read(store(shards_[i], i), groups[i]);
        });
    }

    storage::NanItemSqliteManager_v2& store(Shard& shard, uint32_t index) {
        if (!shard.store) {
            shard.store = std::make_unique<storage::NanItemSqliteManager_v2>(folderDataDirectory_, index, rootPath_,
                                                                           storage::ShardUse::oneCommand);
        }
        return *shard.store;
    }

    std::string rootPath_;
    std::filesystem::path folderDataDirectory_;
    std::filesystem::path sortKeyMemoDirectory_;  // remembered sort keys of a common word's hits
    storage::SqliteFtsDatabaseBalancer fts_;
    std::array<Shard, storage::loadBalancerCount> shards_;
};

}  // namespace

std::shared_ptr<SearchableFolderIndex> makeStoredFolderIndex(std::string rootPath,
                                                             std::filesystem::path folderDataDirectory) {
    return std::make_shared<StoredFolderIndex>(std::move(rootPath), std::move(folderDataDirectory));
}

FolderListFunction storedFolderIndexList(std::vector<std::string> rootPaths,
                                         std::function<std::filesystem::path(const std::string&)> folderDataDirectoryOf) {
    // The same objects on every call: the search tells a removed folder by its object leaving the list.
    std::vector<std::shared_ptr<SearchableFolderIndex>> folders;
    for (const std::string& root : rootPaths) folders.push_back(makeStoredFolderIndex(root, folderDataDirectoryOf(root)));
    return [folders = std::move(folders)] { return folders; };
}

}  // namespace lumidex::search
