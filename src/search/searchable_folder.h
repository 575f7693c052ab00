// What the search needs from one searchable folder, and from the mail index, without depending on the
// folder coordinator: the application adapts its per-folder coordinator to SearchableFolderIndex and
// hands the search a function listing the configured folders.
//
// Contract for implementations: every member may be called from any thread, concurrently. Nothing may
// throw (the search still guards each folder and drops one that does). The stores returned by reference
// must live as long as the SearchableFolderIndex object, so a search holding the shared_ptr can finish
// its queries even after the folder was removed from the configuration.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/concurrency/cancellation_token.h"
#include "core/model/date.h"
#include "core/model/fts_search_result.h"
#include "core/model/nan_item.h"
#include "core/model/search_parameters.h"

namespace lumidex {
class ThreadPool;
}

namespace lumidex::storage {
class SqliteFtsDatabaseBalancer;
}

namespace lumidex::search {

class SearchableFolderIndex {
public:
    virtual ~SearchableFolderIndex() = default;

    // The folder's path (NFC, no trailing slash), as listed in SearchParameters::rootFolderUrlStrings.
    virtual std::string rootPath() const = 0;
    // Blocks until the folder's start-up has ended, successfully or not; returns at once afterwards.
    virtual void waitForInitToComplete() = 0;
    // True while the folder is still being scanned or its documents processed: results may be incomplete.
    virtual bool isIndexing() const = 0;
    // True once the folder was removed from the configuration (or its coordinator cancelled). A search
    // that sees this after querying the folder drops the folder's rows.
    virtual bool isRemoved() const = 0;

    virtual storage::SqliteFtsDatabaseBalancer& ftsBalancer() = 0;
    // The documents a search matches, found without reading their rows (the items then give paths,
    // names and dates), or nullopt when the search needs the rows. Folders that keep the default,
    // nullopt, are searched row by row.
    virtual std::optional<std::vector<FtsMatch>> matchesWithoutRows(const SearchParameters& /*parameters*/,
                                                                    ThreadPool& /*workers*/) {
        return std::nullopt;
    }
    // The folder's current item for a document version, nullopt when the folder does not know it (a
    // full-text row left behind by a removed document is then not shown).
    virtual std::optional<NanItem> itemForCombinedHash(uint32_t combinedHash) = 0;
    // The same for many versions at once; versions the folder does not know are left out. Stores that
    // read from disk answer this with one query per shard.
    virtual std::unordered_map<uint32_t, NanItem> itemsForCombinedHashes(const std::vector<uint32_t>& combinedHashes) {
        std::unordered_map<uint32_t, NanItem> items;
        for (uint32_t combinedHash : combinedHashes) {
            if (auto item = itemForCombinedHash(combinedHash)) items.emplace(combinedHash, std::move(*item));
        }
        return items;
    }
    // For a folder whose items are read from disk: the name and modification date of the versions it
    // knows, keys[i] for combinedHashes[i] (found false for the others, which itemsForCombinedHashes
    // leaves out), so a search can rank every hit and read only the items it keeps. nullopt: no cheaper
    // way than the whole items.
    virtual std::optional<ItemSortKeys> sortKeysForCombinedHashes(const std::vector<uint32_t>& /*combinedHashes*/) {
        return std::nullopt;
    }
    // Every item of the folder (the duplicates scan walks them).
    virtual std::vector<NanItem> allItems() = 0;
    // Lets go of store connections kept for later calls; the next call opens them again. Commands that
    // read and exit call it as soon as they have their answer, so that their hold on the stores ends
    // before their output, which may wait on a slow reader, is written.
    virtual void closeStores() {}
};

// All configured searchable folders at the moment of the call. A folder removed and added again must
// come back as a new object.
using FolderListFunction = std::function<std::vector<std::shared_ptr<SearchableFolderIndex>>()>;

// One message found in the mail index.
struct MailSearchHit {
    std::string indexId;  // the mail identity: document id or "lumidex-internal:rowid=<n>"
    std::string subject;
    std::string mailbox;
    Date receivedDate{};
    std::optional<std::string> snippet;
    int64_t matchCount = 1;
};

// The merge point for mail results. Implementations are thread-safe, never throw, return at most
// `rowLimit` hits (negative: no limit) and may stop early, returning anything, once `token` is
// cancelled.
class MailSearchSource {
public:
    virtual ~MailSearchSource() = default;
    // The rootFolderUrl given to mail results, e.g. "###appleMailSourceIdentifier###".
    virtual std::string rootFolderUrl() const = 0;
    virtual std::vector<MailSearchHit> search(const SearchParameters& parameters, int64_t rowLimit,
                                              const CancellationToken& token) = 0;
};

}  // namespace lumidex::search
