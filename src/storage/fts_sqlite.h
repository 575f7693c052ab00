// The searchable text of one shard of one folder: an FTS4 table "ftsVirtualTable".
//
// The same class serves the full-text store and the numbers store; they differ only in their shard
// directory and log prefix. The row's docid is the document's combinedHash, so writing and deleting a
// document is a key lookup instead of a scan of the virtual table.
//
// Thread-safety: all operations may be called from any thread; one mutex serialises the connection.
// Failure behaviour: SQLite errors are logged with the operation's prefix and the operation returns an
// empty result; a shard that could not be opened answers everything with nothing.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/model/date.h"
#include "core/model/fts_search_result.h"
#include "core/model/search_parameters.h"
#include "storage/shard_layout.h"

namespace lumidex::platform {
class SqliteDatabase;
class SqliteStatement;
}

namespace lumidex::storage {

struct FtsDocument {
    std::string urlPath;
    std::string fileName;
    uint32_t combinedHash = 0;
    std::string foldedText;  // already folded by FtsTools::fold
    Date creationDate{};
    Date modificationDate{};
    Date contentCreated{};
};

class FtsSqlite {
public:
    // kind is StoreKind::fullText or StoreKind::numbers.
    FtsSqlite(const std::filesystem::path& folderDataDirectory, StoreKind kind, uint32_t shard);
    ~FtsSqlite();
    FtsSqlite(const FtsSqlite&) = delete;
    FtsSqlite& operator=(const FtsSqlite&) = delete;

    bool isOpen() const { return db_ != nullptr; }

    // Inserts the document, or replaces the row of the same combinedHash. The stored content is the
    // text, the folded path and the folded file name, so path and name words are found too.
    bool write(const FtsDocument& document);
    // Many documents in one transaction: all or none are written.
    bool write(const std::vector<FtsDocument>& documents);
    bool remove(uint32_t combinedHash);
    std::vector<FtsSearchResult> search(const SearchParameters& parameters, int64_t rowLimit, bool withSnippet,
                                        bool withMatchCounts);
    // Snippets for rows found earlier by search() without snippets: combinedHash -> snippet. Lets a
    // fan-out compute snippets only for the rows that survive the merge and limit.
    std::vector<std::pair<uint32_t, std::string>> snippets(const SearchParameters& parameters,
                                                           const std::vector<uint32_t>& combinedHashes);
    // Re-applies the folding rule to every stored content; returns the number of rows changed.
    int64_t refoldContent();
    int64_t rowCount();

private:
    bool writeLocked(const FtsDocument& document);

    std::string prefix_;  // "fts" or "numbers"
    std::mutex mutex_;
    std::unique_ptr<platform::SqliteDatabase> db_;
    std::unique_ptr<platform::SqliteStatement> insert_;  // prepared once: writes are the hot path
};

}  // namespace lumidex::storage
