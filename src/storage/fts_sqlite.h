// The searchable text of one shard of one folder: an FTS4 table "ftsVirtualTable".
//
// The same class serves the full-text store and the numbers store; they differ only in their shard
// directory and log prefix. The row's docid is the document's combinedHash, so writing and deleting a
// document is a key lookup instead of a scan of the virtual table.
//
// Searches return what the search statement built by FtsTools::buildSelect returns, but are run in
// steps: the full-text index yields the matching docids, an in-memory copy of the short columns
// (FtsRowIndex, loaded on the first search and kept current by this object's writes; a commit by another
// connection makes the next search reload it) orders and date-filters them, and only the rows returned
// are read in full. Snippets and match counts can be fetched afterwards for just the rows a caller
// keeps (details()). A table whose values the copy cannot model is searched with the plain statement.
// Writes sort each batch by docid, and every write merges a little of the index (see kMergeSql), which
// keeps the number of index segments each search has to read small.
//
// The full-text store also keeps each document's text as extracted (original spelling, case and
// punctuation; zlib-compressed in the table "originalTextTable" of the same shard database), so that a
// search can show a passage in the document's own words. It is written and deleted in the same
// transactions as the document's row, so the two come and go together. Shards written before the table
// existed simply have no original texts.
//
// Thread-safety: all operations may be called from any thread; one mutex serialises the connection.
// Failure behaviour: SQLite errors are logged with the operation's prefix and the operation returns an
// empty result; a shard that could not be opened answers everything with nothing.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/model/date.h"
#include "core/model/fts_search_result.h"
#include "core/model/search_parameters.h"
#include "platform/compression.h"
#include "storage/fts_row_index.h"
#include "storage/shard_layout.h"

namespace lumidex::platform {
class SqliteDatabase;
class SqliteStatement;
}

namespace lumidex::storage {

// One row of the search statement built by FtsTools::buildSelect (hash, path, name, three dates,
// snippet, matchinfo), decoded. The statement must be on a row.
FtsSearchResult searchResultFromRow(const platform::SqliteStatement& row);

struct FtsDocument {
    std::string urlPath;
    std::string fileName;
    uint32_t combinedHash = 0;
    std::string foldedText;  // already folded by FtsTools::fold
    // The text as extracted, kept for display (full-text store only). nullopt leaves the stored original
    // as it is (a rewrite that only adds recognised words); an empty text removes it.
    std::optional<std::string> originalText;
    Date creationDate{};
    Date modificationDate{};
    Date contentCreated{};
};

// Snippet and match count of one row found by a search.
struct FtsRowDetails {
    uint32_t combinedHash = 0;
    std::optional<std::string> snippet;
    int64_t matchCount = 1;
};

class FtsSqlite {
public:
    // kind is StoreKind::fullText or StoreKind::numbers. A ShardUse::oneCommand store (see shard_layout.h)
    // creates nothing, and its searches run their SQL statement directly instead of loading the in-memory
    // copy of the short columns first, which pays off only for a store that answers many searches.
    FtsSqlite(const std::filesystem::path& folderDataDirectory, StoreKind kind, uint32_t shard,
              ShardUse use = ShardUse::lasting);
    ~FtsSqlite();
    FtsSqlite(const FtsSqlite&) = delete;
    FtsSqlite& operator=(const FtsSqlite&) = delete;

    bool isOpen() const { return db_ != nullptr; }
    // True once the shard file turned out to be damaged (it could not be opened although it exists, or
    // SQLite reported it malformed): its documents are missing from every answer until it is rebuilt.
    bool looksDamaged() const { return damaged_; }

    // Inserts the document, or replaces the row of the same combinedHash. The stored content is the
    // text, the folded path and the folded file name, so path and name words are found too.
    bool write(const FtsDocument& document);
    // Many documents in one transaction: all or none are written.
    bool write(const std::vector<FtsDocument>& documents);
    // Deletes the document's row and its original text together.
    bool remove(uint32_t combinedHash);
    // The stored original texts of these documents (combinedHash -> text), inflated as they are read;
    // documents without one, or whose stored size is impossible (logged), are left out.
    std::vector<std::pair<uint32_t, platform::LazyInflatedText>> originalTexts(const std::vector<uint32_t>& combinedHashes);
    std::vector<FtsSearchResult> search(const SearchParameters& parameters, int64_t rowLimit, bool withSnippet,
                                        bool withMatchCounts);
    // The documents the search text matches, in no particular order, reading none of their rows: a row's
    // short columns lie behind its text, so a search that returns them reads every matching text.
    // nullopt when the search needs the rows (see needsRows); empty for a closed store or a failed query.
    std::optional<std::vector<FtsMatch>> matches(const SearchParameters& parameters, bool withMatchCounts);
    // True when a search has to read its rows: for a date range, excluded words or a folder restriction.
    static bool needsRows(const SearchParameters& parameters);
    // Snippets and/or match counts for rows found earlier by search(), by combinedHash; rows that no
    // longer match are left out. Nothing when the search has no words to match.
    std::vector<FtsRowDetails> details(const SearchParameters& parameters, const std::vector<uint32_t>& combinedHashes,
                                       bool withSnippet, bool withMatchCounts);
    // Snippets for rows found earlier by search() without snippets: combinedHash -> snippet. Lets a
    // fan-out compute snippets only for the rows that survive the merge and limit.
    std::vector<std::pair<uint32_t, std::string>> snippets(const SearchParameters& parameters,
                                                           const std::vector<uint32_t>& combinedHashes);
    // Re-applies the folding rule to every stored content; returns the number of rows changed. With
    // `pathAndNameOnly`, adds the combinedHash of every row whose content holds nothing but the words of
    // its path and file name (a document stored without text).
    int64_t refoldContent(std::vector<uint32_t>* pathAndNameOnly = nullptr);
    // Merges the index's segments until no level holds more than one (a search reads every segment), in
    // bounded steps, each a transaction of its own. A store found compacted is not looked at again until
    // it is written. Returns false when a step failed (logged) or `stop()` returned true before a step.
    bool compactSegments(const std::function<bool()>& stop = {});
    int64_t rowCount();

private:
    // Opens (creating if need be) the shard and its tables; leaves db_ null when it cannot.
    void openLocked();
    bool writeLocked(const FtsDocument& document);
    bool writeOriginalLocked(uint32_t combinedHash, const std::string& text);
    // Some incremental merging of the index's segments (see kMergeSql).
    void mergeSegmentsLocked();
    // The statement for `sql`, prepared once per connection; null (and logged) when it cannot be prepared.
    platform::SqliteStatement* cached(const std::string& sql, const std::string& logLine);
    void trimStatementCache();
    // True when the row index is loaded and current; loads or reloads it as needed.
    bool rowIndexReady();
    // False when the row index turned out not to match the table; the caller then uses the statement.
    bool searchWithRowIndex(const SearchParameters& parameters, const FtsSearchConditions& conditions,
                            int64_t rowLimit, bool withMatchCounts, std::vector<FtsSearchResult>& results,
                            std::vector<int64_t>& docids);
    std::vector<FtsSearchResult> searchWithStatement(const SearchParameters& parameters, int64_t rowLimit,
                                                     bool withSnippet, bool withMatchCounts);
    std::vector<FtsRowDetails> detailsLocked(const FtsSearchConditions& conditions, const std::vector<int64_t>& docids,
                                             bool withSnippet, bool withMatchCounts);

    // Logs a failed read; a failure that says the file is damaged marks the store.
    void noteReadFailure(std::string_view what, const std::string& message);

    std::string prefix_;  // "fts" or "numbers"
    std::filesystem::path folderDataDirectory_;
    StoreKind kind_;
    uint32_t shard_;
    ShardUse use_;
    std::atomic<bool> damaged_{false};
    bool keepRowIndex_ = true;
    bool keepsOriginals_ = false;  // the full-text store does, the numbers store does not
    std::mutex mutex_;
    std::unique_ptr<platform::SqliteDatabase> db_;
    std::unordered_map<std::string, std::unique_ptr<platform::SqliteStatement>> statements_;
    int writesSinceMerge_ = 0;
    bool compacted_ = false;  // no merge step had anything to do since the last write
    FtsRowIndex rowIndex_;
    int64_t rowIndexDataVersion_ = -1;
    bool rowIndexUnusable_ = false;  // the table holds values the index cannot model
};

}  // namespace lumidex::storage
