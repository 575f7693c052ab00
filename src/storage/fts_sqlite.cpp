#include "storage/fts_sqlite.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "core/app_log.h"
#include "platform/compression.h"
#include "platform/sqlite.h"
#include "storage/fts_tools.h"

namespace lumidex::storage {

using platform::SqliteStatement;

namespace {

constexpr const char* kInsertSql =
    "INSERT OR REPLACE INTO ftsVirtualTable (docid, content, combinedHash, urlPath, fileName, creationDate, "
    "modificationDate, contentCreated) VALUES (?, ?, ?, ?, ?, ?, ?, ?)";
constexpr const char* kCreateOriginalsSql =
    "CREATE TABLE IF NOT EXISTS originalTextTable (combinedHash INTEGER PRIMARY KEY, textSize INTEGER NOT NULL, "
    "compressedText BLOB NOT NULL)";
constexpr const char* kWriteOriginalSql =
    "INSERT OR REPLACE INTO originalTextTable (combinedHash, textSize, compressedText) VALUES (?, ?, ?)";
constexpr int64_t kMaxOriginalTextBytes = int64_t{1} << 30;
constexpr const char* kDeleteOriginalSql = "DELETE FROM originalTextTable WHERE combinedHash = ?";
constexpr const char* kSnippetColumn = "snippet(ftsVirtualTable, '', '', '...', 0, 80)";
constexpr const char* kMatchInfoColumn = "matchinfo(ftsVirtualTable, 'x')";
// Hits in the row only: a common word's whole-table counts cost a second pass over its hit list.
constexpr const char* kRowHitsColumn = "matchinfo(ftsVirtualTable, 'y')";
// Statement texts depend only on the shape of a search (IN lists are padded), so few are ever cached;
// the cap only guards against unusual searches, e.g. with dozens of excluded words.
constexpr size_t kMaxCachedStatements = 48;
constexpr size_t kMaxInList = 4096;
// Each write transaction adds a segment to the full-text index, and every search reads every segment
// of all 20 shards, so their count drives the cost of a search more than the data does. FTS4 alone
// merges 16 segments of a level at once, which leaves 10 to 30 per shard after a few hundred batches.
// Merging groups of 4 instead keeps about 4, for some 10 % more write work: every 4th write transaction
// is followed by a merge step writing at most 400 pages, so no single write stalls on a large merge.
constexpr const char* kMergeSql = "INSERT INTO ftsVirtualTable(ftsVirtualTable) VALUES('merge=400,4')";
constexpr int kWritesPerMerge = 4;
// After a run, the segments are merged until no level holds two: a search reads every segment, and the
// merging above does not keep up with a run's many write transactions (24 segments in a shard of a
// 50 000-document index), which made a one-shot search of a word up to a quarter slower. Each step
// writes at most 500 pages (2 MB) in a transaction of its own, so that a search or write of another thread
// waits for one step at most. Like any merging of levels, now and then a step sequence rewrites most of
// a shard; the amortised cost is a few rewrites of each document's entries.
constexpr const char* kCompactSql = "INSERT INTO ftsVirtualTable(ftsVirtualTable) VALUES('merge=500,2')";

// Leaves a cached statement ready for its next use and releases its read snapshot, however the use ends.
class ResetOnExit {
public:
    explicit ResetOnExit(SqliteStatement* statement) : statement_(statement) {}
    ~ResetOnExit() {
        if (statement_ != nullptr) statement_->reset();
    }
    ResetOnExit(const ResetOnExit&) = delete;
    ResetOnExit& operator=(const ResetOnExit&) = delete;

private:
    SqliteStatement* statement_;
};

// FTS4 keeps a transaction's new terms in memory only while docids arrive in ascending order; a
// smaller docid flushes them into a segment of their own. combinedHash docids are random, so an
// unsorted batch would write (and later merge) a segment for about every second document. The sort
// is stable, so of two versions of one document the later one still wins.
std::vector<const FtsDocument*> inDocidOrder(const std::vector<FtsDocument>& documents) {
    std::vector<const FtsDocument*> ordered;
    ordered.reserve(documents.size());
    for (const FtsDocument& d : documents) ordered.push_back(&d);
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const FtsDocument* a, const FtsDocument* b) { return a->combinedHash < b->combinedHash; });
    return ordered;
}

FtsRowIndex::Row rowOf(const FtsDocument& d) {
    return FtsRowIndex::makeRow(d.combinedHash, d.combinedHash, d.urlPath, d.fileName, secondsSince1970(d.creationDate),
                                secondsSince1970(d.modificationDate), secondsSince1970(d.contentCreated));
}

// IN lists are padded to a power of two (repeating the last value), so a few texts cover every size.
size_t paddedCount(size_t n) {
    size_t slots = 8;
    while (slots < n) slots *= 2;
    return slots;
}

// Every document the MATCH finds, with its matchinfo blob or NULL: reads no row.
std::string matchSelect(bool withMatchCounts) {
    return withMatchCounts ? std::string("SELECT docid, ") + kRowHitsColumn + " FROM ftsVirtualTable WHERE content MATCH ?"
                           : "SELECT docid, NULL FROM ftsVirtualTable WHERE content MATCH ?";
}

bool conditionsNeedRows(const FtsSearchConditions& conditions, const SearchParameters& parameters) {
    return conditions.dates || !conditions.query.notLikePatterns.empty() || conditions.query.matchExpression.empty() ||
           parameters.searchInsideUrl;
}

// The two texts hold the same tokens in the same order, as the tokenizer splits them (ASCII letters and
// digits and every non-ASCII byte make tokens).
bool sameTokens(std::string_view a, std::string_view b) {
    const auto isTokenByte = [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u >= 0x80 || std::isalnum(u) != 0;
    };
    const auto nextToken = [&](std::string_view s, size_t& at) {
        while (at < s.size() && !isTokenByte(s[at])) ++at;
        const size_t start = at;
        while (at < s.size() && isTokenByte(s[at])) ++at;
        return s.substr(start, at - start);
    };
    size_t i = 0;
    size_t j = 0;
    for (;;) {
        const std::string_view x = nextToken(a, i);
        const std::string_view y = nextToken(b, j);
        if (x != y) return false;
        if (x.empty()) return true;
    }
}

FtsSearchResult resultOf(const FtsRowIndex::Row& row, int64_t matchCount) {
    FtsSearchResult r;
    r.combinedHash = static_cast<uint32_t>(row.combinedHash);
    r.urlPath = std::string(row.urlPath());
    r.fileName = std::string(row.fileName());
    r.creationDate = dateFromSecondsSince1970(row.creationDate);
    r.modificationDate = dateFromSecondsSince1970(row.modificationDate);
    r.contentCreated = dateFromSecondsSince1970(row.contentCreated);
    r.matchCount = matchCount;
    return r;
}

}  // namespace

FtsSearchResult searchResultFromRow(const SqliteStatement& row) {
    FtsSearchResult r;
    r.combinedHash = static_cast<uint32_t>(row.int64At(0));
    r.urlPath = row.textAt(1);
    r.fileName = row.textAt(2);
    r.creationDate = dateFromSecondsSince1970(row.doubleAt(3));
    r.modificationDate = dateFromSecondsSince1970(row.doubleAt(4));
    r.contentCreated = dateFromSecondsSince1970(row.doubleAt(5));
    r.snippet = row.optionalTextAt(6);
    const auto blob = row.blobAt(7);
    r.matchCount = FtsTools::matchCount(blob.empty() ? nullptr : blob.data(), blob.size());
    return r;
}

FtsSqlite::FtsSqlite(const std::filesystem::path& folderDataDirectory, StoreKind kind, uint32_t shard,
                     ShardUse use)
    : prefix_(kind == StoreKind::numbers ? "numbers" : "fts"),
      folderDataDirectory_(folderDataDirectory),
      kind_(kind),
      shard_(shard),
      use_(use),
      keepRowIndex_(use == ShardUse::lasting),
      keepsOriginals_(kind == StoreKind::fullText) {
    std::lock_guard lock(mutex_);
    openLocked();
}

void FtsSqlite::openLocked() {
    db_ = openShardDatabase(folderDataDirectory_, kind_, shard_, prefix_, use_);
    std::error_code ec;
    // A file that is there but cannot be opened hides its documents as much as a damaged one.
    if (!db_) damaged_ = std::filesystem::exists(shardPath(folderDataDirectory_, kind_, shard_), ec);
    if (!db_ || use_ == ShardUse::oneCommand) return;
    std::string error;
    if (!db_->exec("CREATE VIRTUAL TABLE IF NOT EXISTS ftsVirtualTable USING fts4(content, combinedHash, urlPath, "
                   "fileName, creationDate, modificationDate, contentCreated)",
                   error) ||
        (keepsOriginals_ && !db_->exec(kCreateOriginalsSql, error))) {
        appLog(prefix_ + " initDatabaseStructure " + error);
        // A shard whose table cannot be created cannot answer anything; keep it closed.
        db_.reset();
        return;
    }
    // No memory-mapped reads: a shard file damaged or truncated underneath us would end the process with
    // SIGBUS instead of an SQLite error that the store can log and answer empty.
}

void FtsSqlite::noteReadFailure(std::string_view what, const std::string& message) {
    appLog(prefix_ + std::string(what) + message);
    if (isDamageMessage(message)) damaged_ = true;
}

FtsSqlite::~FtsSqlite() {
    statements_.clear();  // statements before their connection
}

SqliteStatement* FtsSqlite::cached(const std::string& sql, const std::string& logLine) {
    if (auto found = statements_.find(sql); found != statements_.end()) return found->second.get();
    std::string error;
    auto statement = db_->prepare(sql, error);
    if (!statement) {
        appLog(logLine + error);
        if (isDamageMessage(error)) damaged_ = true;
        return nullptr;
    }
    return statements_.emplace(sql, std::move(statement)).first->second.get();
}

void FtsSqlite::trimStatementCache() {
    // Only between operations: statements handed out during one stay valid until it ends.
    if (statements_.size() > kMaxCachedStatements) statements_.clear();
}

bool FtsSqlite::write(const FtsDocument& document) { return write(std::vector<FtsDocument>{document}); }

bool FtsSqlite::write(const std::vector<FtsDocument>& documents) {
    std::lock_guard lock(mutex_);
    // A shard that could not be created (a full disk, a folder not writable then) is tried again; a
    // damaged file never is, so that it is not overwritten.
    if (!db_ && !damaged_) openLocked();
    if (!db_) return false;
    trimStatementCache();
    platform::SqliteTransaction transaction(*db_);
    if (!transaction.began()) {
        appLog(prefix_ + " write " + transaction.error());
        return false;
    }
    for (const FtsDocument* d : inDocidOrder(documents)) {
        if (!writeLocked(*d)) return false;
    }
    if (!transaction.commit()) {
        appLog(prefix_ + " write " + transaction.error());
        return false;
    }
    compacted_ = false;
    // New terms become a segment only at commit, so the merge runs after it, in a transaction of its own.
    if (++writesSinceMerge_ >= kWritesPerMerge) {
        writesSinceMerge_ = 0;
        mergeSegmentsLocked();
    }
    if (rowIndex_.loaded()) {
        std::vector<FtsRowIndex::Row> rows;
        rows.reserve(documents.size());
        for (const FtsDocument& d : documents) rows.push_back(rowOf(d));
        rowIndex_.upsert(std::move(rows));
    }
    return true;
}

bool FtsSqlite::compactSegments(const std::function<bool()>& stop) {
    for (;;) {
        if (stop && stop()) return false;
        std::lock_guard lock(mutex_);
        if (!db_ || compacted_ || damaged_) return true;  // a damaged shard waits to be rebuilt
        trimStatementCache();
        SqliteStatement* merge = cached(kCompactSql, prefix_ + " compact ");
        if (merge == nullptr) return false;
        ResetOnExit guard(merge);
        const int64_t before = db_->totalChanges();
        if (!merge->run()) {
            appLog(prefix_ + " compact " + merge->errorMessage());
            return false;
        }
        // A step that found nothing to merge changes fewer than two rows.
        if (db_->totalChanges() - before < 2) compacted_ = true;
    }
}

void FtsSqlite::mergeSegmentsLocked() {
    SqliteStatement* merge = cached(kMergeSql, prefix_ + " merge ");
    if (merge == nullptr) return;
    ResetOnExit guard(merge);
    // A failed merge leaves the index as it was; the documents are written either way.
    if (!merge->run()) appLog(prefix_ + " merge " + merge->errorMessage());
}

bool FtsSqlite::writeLocked(const FtsDocument& d) {
    SqliteStatement* insert = cached(kInsertSql, prefix_ + " write ");
    if (insert == nullptr) return false;
    ResetOnExit guard(insert);
    const std::string content = d.foldedText + " " + FtsTools::fold(d.urlPath) + " " + FtsTools::fold(d.fileName);
    insert->bind(1, static_cast<int64_t>(d.combinedHash));
    insert->bind(2, std::string_view(content));
    insert->bind(3, static_cast<int64_t>(d.combinedHash));
    insert->bind(4, std::string_view(d.urlPath));
    insert->bind(5, std::string_view(d.fileName));
    insert->bind(6, secondsSince1970(d.creationDate));
    insert->bind(7, secondsSince1970(d.modificationDate));
    insert->bind(8, secondsSince1970(d.contentCreated));
    if (!insert->run()) {
        appLog(prefix_ + " write " + insert->errorMessage());
        return false;
    }
    if (keepsOriginals_ && d.originalText) return writeOriginalLocked(d.combinedHash, *d.originalText);
    return true;
}

bool FtsSqlite::writeOriginalLocked(uint32_t combinedHash, const std::string& text) {
    SqliteStatement* statement = cached(text.empty() ? kDeleteOriginalSql : kWriteOriginalSql, prefix_ + " write original ");
    if (statement == nullptr) return false;
    ResetOnExit guard(statement);
    statement->bind(1, static_cast<int64_t>(combinedHash));
    std::vector<uint8_t> compressed;
    if (!text.empty()) {
        compressed = platform::compressBytes(text);
        statement->bind(2, static_cast<int64_t>(text.size()));
        statement->bindBlob(3, compressed);
    }
    if (!statement->run()) {
        appLog(prefix_ + " write original " + statement->errorMessage());
        return false;
    }
    return true;
}

bool FtsSqlite::remove(uint32_t combinedHash) {
    std::lock_guard lock(mutex_);
    if (!db_) return false;
    trimStatementCache();
    platform::SqliteTransaction transaction(*db_);
    if (!transaction.began()) {
        appLog(prefix_ + " delete " + transaction.error());
        return false;
    }
    std::vector<const char*> statements{"DELETE FROM ftsVirtualTable WHERE docid = ?"};
    if (keepsOriginals_) statements.push_back(kDeleteOriginalSql);
    for (const char* sql : statements) {
        SqliteStatement* del = cached(sql, prefix_ + " delete ");
        if (del == nullptr) return false;
        ResetOnExit guard(del);
        del->bind(1, static_cast<int64_t>(combinedHash));
        if (!del->run()) {
            appLog(prefix_ + " delete " + del->errorMessage());
            return false;
        }
    }
    if (!transaction.commit()) {
        appLog(prefix_ + " delete " + transaction.error());
        return false;
    }
    // A deletion is a segment of its own too: many of them are merged like writes.
    compacted_ = false;
    if (++writesSinceMerge_ >= kWritesPerMerge) {
        writesSinceMerge_ = 0;
        mergeSegmentsLocked();
    }
    if (rowIndex_.loaded()) rowIndex_.erase(combinedHash);
    return true;
}

std::vector<std::pair<uint32_t, platform::LazyInflatedText>> FtsSqlite::originalTexts(
    const std::vector<uint32_t>& combinedHashes) {
    std::vector<std::pair<uint32_t, platform::LazyInflatedText>> out;
    std::lock_guard lock(mutex_);
    if (!db_ || !keepsOriginals_ || combinedHashes.empty()) return out;
    // Prepared here rather than cached: a shard written before the table existed has none, which is
    // no error, and a one-command store never creates it.
    std::string error;
    auto select = db_->prepare("SELECT textSize, compressedText FROM originalTextTable WHERE combinedHash = ?", error);
    if (!select) {
        if (error.find("no such table") == std::string::npos) appLog(prefix_ + " originalTexts " + error);
        return out;
    }
    for (uint32_t hash : combinedHashes) {
        select->reset();
        select->bind(1, static_cast<int64_t>(hash));
        const SqliteStatement::Step step = select->step();
        if (step == SqliteStatement::Step::error) {
            appLog(prefix_ + " originalTexts " + select->errorMessage());
            return out;
        }
        if (step != SqliteStatement::Step::row) continue;
        // The stored size is trusted only as far as any text the pipeline stores can reach.
        const int64_t size = select->int64At(0);
        if (size <= 0 || size > kMaxOriginalTextBytes) {
            appLog(prefix_ + " originalTexts damaged text of " + std::to_string(hash));
            continue;
        }
        const auto blob = select->blobAt(1);
        out.emplace_back(hash, platform::LazyInflatedText(std::vector<uint8_t>(blob.begin(), blob.end()),
                                                         static_cast<size_t>(size)));
    }
    return out;
}

bool FtsSqlite::rowIndexReady() {
    // data_version changes when another connection commits; this connection's own writes keep the
    // index current themselves.
    SqliteStatement* version = cached("PRAGMA data_version", prefix_ + " searchComplete prepare error: ");
    if (version == nullptr) return false;
    int64_t current;
    {
        ResetOnExit guard(version);
        if (version->step() != SqliteStatement::Step::row) return false;
        current = version->int64At(0);
    }
    if (current == rowIndexDataVersion_ && (rowIndex_.loaded() || rowIndexUnusable_)) return rowIndex_.loaded();
    rowIndexDataVersion_ = current;
    std::string error;
    rowIndexUnusable_ = !rowIndex_.load(*db_, error);
    if (rowIndexUnusable_) appLog(prefix_ + " row index not used: " + error);
    return !rowIndexUnusable_;
}

std::vector<FtsSearchResult> FtsSqlite::search(const SearchParameters& parameters, int64_t rowLimit,
                                               bool withSnippet, bool withMatchCounts) {
    const std::optional<FtsSearchConditions> conditions = FtsTools::searchConditions(parameters);
    if (!conditions) return {};
    std::lock_guard lock(mutex_);
    if (!db_) return {};
    trimStatementCache();
    std::vector<int64_t> docids;
    std::vector<FtsSearchResult> results;
    if (!keepRowIndex_) {
        results = searchWithStatement(parameters, rowLimit, withSnippet, withMatchCounts);
        // A command opens every shard at once: what one search read is better reused by the next shard's.
        db_->releaseMemory();
        return results;
    }
    if (!rowIndexReady() ||
        !searchWithRowIndex(parameters, *conditions, rowLimit, withMatchCounts && !withSnippet, results, docids)) {
        return searchWithStatement(parameters, rowLimit, withSnippet, withMatchCounts);
    }
    if (!withSnippet || results.empty()) return results;
    // Snippets (and then the match counts too) for the rows returned only.
    std::unordered_map<int64_t, size_t> rowOfDocid;
    for (size_t i = 0; i < docids.size(); ++i) rowOfDocid.emplace(docids[i], i);
    for (FtsRowDetails& d : detailsLocked(*conditions, docids, true, withMatchCounts)) {
        auto row = rowOfDocid.find(static_cast<int64_t>(d.combinedHash));
        if (row == rowOfDocid.end()) continue;
        results[row->second].snippet = std::move(d.snippet);
        if (withMatchCounts) results[row->second].matchCount = d.matchCount;
    }
    return results;
}

bool FtsSqlite::needsRows(const SearchParameters& parameters) {
    const std::optional<FtsSearchConditions> conditions = FtsTools::searchConditions(parameters);
    return conditions && conditionsNeedRows(*conditions, parameters);
}

std::optional<std::vector<FtsMatch>> FtsSqlite::matches(const SearchParameters& parameters, bool withMatchCounts) {
    const std::optional<FtsSearchConditions> conditions = FtsTools::searchConditions(parameters);
    if (!conditions) return std::vector<FtsMatch>{};
    if (conditionsNeedRows(*conditions, parameters)) return std::nullopt;
    std::vector<FtsMatch> out;
    std::lock_guard lock(mutex_);
    if (!db_) return out;
    trimStatementCache();
    SqliteStatement* select = cached(matchSelect(withMatchCounts), prefix_ + " searchComplete prepare error: ");
    if (select == nullptr) return out;
    {
        ResetOnExit guard(select);
        select->bind(1, std::string_view(conditions->query.matchExpression));
        SqliteStatement::Step step;
        while ((step = select->step()) == SqliteStatement::Step::row) {
            FtsMatch match;
            match.combinedHash = static_cast<uint32_t>(select->int64At(0));
            if (withMatchCounts) {
                const auto blob = select->blobAt(1);
                match.matchCount = FtsTools::matchCountOfRowHits(blob.empty() ? nullptr : blob.data(), blob.size());
            }
            out.push_back(match);
        }
        if (step == SqliteStatement::Step::error) {
            // A malformed MATCH or a damaged file: this shard contributes nothing rather than half a list.
            noteReadFailure(" searchComplete step error: ", select->errorMessage());
            out.clear();
        }
    }
    if (!keepRowIndex_) db_->releaseMemory();
    return out;
}

bool FtsSqlite::searchWithRowIndex(const SearchParameters& parameters, const FtsSearchConditions& conditions,
                                   int64_t rowLimit, bool withMatchCounts, std::vector<FtsSearchResult>& results,
                                   std::vector<int64_t>& docids) {
    const FtsQuery& query = conditions.query;
    const std::string prepareError = prefix_ + " searchComplete prepare error: ";
    const SortOrders order = parameters.sortOrder;
    struct Candidate {
        double key;  // sqlOrderKey, kept here so most comparisons need not touch the row
        size_t position;
        int64_t matchCount;
    };
    std::vector<Candidate> candidates;
    if (!query.matchExpression.empty()) {
        SqliteStatement* select = cached(matchSelect(withMatchCounts), prepareError);
        if (select == nullptr) return true;
        ResetOnExit guard(select);
        select->bind(1, std::string_view(query.matchExpression));
        size_t hint = 0;
        SqliteStatement::Step step;
        while ((step = select->step()) == SqliteStatement::Step::row) {
            const size_t position = rowIndex_.find(select->int64At(0), hint);
            if (position == FtsRowIndex::npos) {
                // Never expected: the index and the table disagree. Rebuild the index next time and
                // answer from the table now.
                rowIndex_.clear();
                rowIndexDataVersion_ = -1;
                return false;
            }
            if (conditions.dates && !inDateRange(rowIndex_.row(position), *conditions.dates)) continue;
            int64_t count = 1;
            if (withMatchCounts) {
                const auto blob = select->blobAt(1);
                count = FtsTools::matchCountOfRowHits(blob.empty() ? nullptr : blob.data(), blob.size());
            }
            candidates.push_back({rowIndex_.orderKey(position, order), position, count});
        }
        if (step == SqliteStatement::Step::error) {
            // A malformed MATCH or a damaged file: this shard contributes nothing rather than half a list.
            noteReadFailure(" searchComplete step error: ", select->errorMessage());
            return true;
        }
    } else {
        for (size_t position = 0; position < rowIndex_.size(); ++position) {
            if (inDateRange(rowIndex_.row(position), *conditions.dates)) {
                candidates.push_back({rowIndex_.orderKey(position, order), position, 1});
            }
        }
    }

    const auto less = [this, order](const Candidate& a, const Candidate& b) {
        return a.key != b.key ? a.key < b.key
                              : sqlOrderLess(rowIndex_.row(a.position), rowIndex_.row(b.position), order);
    };
    const size_t wanted = rowLimit < 0 ? candidates.size() : static_cast<size_t>(rowLimit);
    std::vector<Candidate> kept;
    if (query.notLikePatterns.empty()) {
        const size_t count = std::min(wanted, candidates.size());
        std::partial_sort(candidates.begin(), candidates.begin() + static_cast<std::ptrdiff_t>(count), candidates.end(),
                          less);
        candidates.resize(count);
        kept = std::move(candidates);
    } else {
        // The excluded words need each row's text: rows leave a heap in order and are checked one by
        // one until enough pass, so only about as many texts are read as rows are returned.
        std::string sql = "SELECT docid FROM ftsVirtualTable WHERE docid = ?";
        for (size_t i = 0; i < query.notLikePatterns.size(); ++i) sql += " AND content NOT LIKE ?";
        SqliteStatement* check = cached(sql, prepareError);
        if (check == nullptr) return true;
        const auto later = [&less](const Candidate& a, const Candidate& b) { return less(b, a); };
        std::make_heap(candidates.begin(), candidates.end(), later);
        auto end = candidates.end();
        while (kept.size() < wanted && end != candidates.begin()) {
            std::pop_heap(candidates.begin(), end, later);
            --end;
            ResetOnExit guard(check);
            check->bind(1, rowIndex_.row(end->position).docid);
            for (size_t i = 0; i < query.notLikePatterns.size(); ++i) {
                check->bind(static_cast<int>(i + 2), std::string_view(query.notLikePatterns[i]));
            }
            const SqliteStatement::Step step = check->step();
            if (step == SqliteStatement::Step::error) {
                noteReadFailure(" searchComplete step error: ", check->errorMessage());
                return true;
            }
            if (step == SqliteStatement::Step::row) kept.push_back(*end);
        }
    }

    results.reserve(kept.size());
    docids.reserve(kept.size());
    for (const Candidate& c : kept) {
        const FtsRowIndex::Row& row = rowIndex_.row(c.position);
        // As with the plain statement, the folder restriction applies to the rows within the limit.
        if (parameters.searchInsideUrl && !FtsTools::isInsideFolder(row.urlPath(), *parameters.searchInsideUrl)) {
            continue;
        }
        results.push_back(resultOf(row, c.matchCount));
        docids.push_back(row.docid);
    }
    return true;
}

std::vector<FtsSearchResult> FtsSqlite::searchWithStatement(const SearchParameters& parameters, int64_t rowLimit,
                                                            bool withSnippet, bool withMatchCounts) {
    std::vector<FtsSearchResult> results;
    const std::optional<FtsStatement> statement =
        FtsTools::buildSelect(parameters, rowLimit, withSnippet, withMatchCounts);
    if (!statement) return results;
    std::string error;
    auto select = db_->prepare(statement->sql, error);
    if (!select) {
        noteReadFailure(" searchComplete prepare error: ", error);
        return results;
    }
    for (size_t i = 0; i < statement->textBindings.size(); ++i) {
        select->bind(static_cast<int>(i + 1), std::string_view(statement->textBindings[i]));
    }
    const std::optional<std::string> insideFolder = parameters.searchInsideUrl;
    SqliteStatement::Step step;
    while ((step = select->step()) == SqliteStatement::Step::row) {
        if (insideFolder && !FtsTools::isInsideFolder(select->textAt(1), *insideFolder)) continue;
        results.push_back(searchResultFromRow(*select));
    }
    if (step == SqliteStatement::Step::error) {
        noteReadFailure(" searchComplete step error: ", select->errorMessage());
        results.clear();
    }
    return results;
}

std::vector<FtsRowDetails> FtsSqlite::details(const SearchParameters& parameters,
                                              const std::vector<uint32_t>& combinedHashes, bool withSnippet,
                                              bool withMatchCounts) {
    if (combinedHashes.empty()) return {};
    const std::optional<FtsSearchConditions> conditions = FtsTools::searchConditions(parameters);
    if (!conditions) return {};
    std::lock_guard lock(mutex_);
    if (!db_) return {};
    trimStatementCache();
    // The docid of a row is its combinedHash.
    const std::vector<int64_t> docids(combinedHashes.begin(), combinedHashes.end());
    return detailsLocked(*conditions, docids, withSnippet, withMatchCounts);
}

std::vector<FtsRowDetails> FtsSqlite::detailsLocked(const FtsSearchConditions& conditions,
                                                    const std::vector<int64_t>& docids, bool withSnippet,
                                                    bool withMatchCounts) {
    std::vector<FtsRowDetails> out;
    const std::string& match = conditions.query.matchExpression;
    if (docids.empty() || match.empty() || (!withSnippet && !withMatchCounts)) return out;
    out.reserve(docids.size());
    for (size_t start = 0; start < docids.size(); start += kMaxInList) {
        const size_t count = std::min(kMaxInList, docids.size() - start);
        const size_t slots = paddedCount(count);
        std::string sql = std::string("SELECT docid, ") + (withSnippet ? kSnippetColumn : "NULL") + ", " +
                          (withMatchCounts ? kMatchInfoColumn : "NULL") +
                          " FROM ftsVirtualTable WHERE content MATCH ? AND docid IN (?";
        for (size_t i = 1; i < slots; ++i) sql += ", ?";
        sql += ")";
        SqliteStatement* select = cached(sql, prefix_ + " searchComplete prepare error: ");
        if (select == nullptr) return out;
        ResetOnExit guard(select);
        select->bind(1, std::string_view(match));
        for (size_t i = 0; i < slots; ++i) {
            select->bind(static_cast<int>(i + 2), docids[start + std::min(i, count - 1)]);
        }
        SqliteStatement::Step step;
        while ((step = select->step()) == SqliteStatement::Step::row) {
            FtsRowDetails d;
            d.combinedHash = static_cast<uint32_t>(select->int64At(0));
            d.snippet = select->optionalTextAt(1);
            const auto blob = select->blobAt(2);
            d.matchCount = FtsTools::matchCount(blob.empty() ? nullptr : blob.data(), blob.size());
            out.push_back(std::move(d));
        }
        if (step == SqliteStatement::Step::error) {
            noteReadFailure(" searchComplete step error: ", select->errorMessage());
            return out;
        }
    }
    return out;
}

std::vector<std::pair<uint32_t, std::string>> FtsSqlite::snippets(const SearchParameters& parameters,
                                                                   const std::vector<uint32_t>& combinedHashes) {
    std::vector<std::pair<uint32_t, std::string>> out;
    for (FtsRowDetails& d : details(parameters, combinedHashes, true, false)) {
        out.emplace_back(d.combinedHash, d.snippet.value_or(std::string()));
    }
    return out;
}

int64_t FtsSqlite::refoldContent(std::vector<uint32_t>* pathAndNameOnly) {
    // Only "content" changes, so the row index stays valid.
    std::lock_guard lock(mutex_);
    if (!db_) return 0;
    std::string error;
    std::vector<std::pair<int64_t, std::string>> changed;
    {
        auto read = db_->prepare("SELECT rowid, content, combinedHash, urlPath, fileName FROM ftsVirtualTable", error);
        if (!read) {
            appLog(prefix_ + " refoldContent read " + error);
            return 0;
        }
        SqliteStatement::Step step;
        while ((step = read->step()) == SqliteStatement::Step::row) {
            std::string content = read->textAt(1);
            std::string folded = FtsTools::fold(content);
            if (pathAndNameOnly != nullptr &&
                sameTokens(folded, FtsTools::fold(read->textAt(3)) + " " + FtsTools::fold(read->textAt(4)))) {
                pathAndNameOnly->push_back(static_cast<uint32_t>(read->int64At(2)));
            }
            if (folded != content) changed.emplace_back(read->int64At(0), std::move(folded));
        }
        if (step == SqliteStatement::Step::error) {
            appLog(prefix_ + " refoldContent read " + read->errorMessage());
            return 0;
        }
    }
    if (changed.empty()) return 0;

    platform::SqliteTransaction transaction(*db_);
    auto update = db_->prepare("UPDATE ftsVirtualTable SET content = ? WHERE rowid = ?", error);
    if (!transaction.began() || !update) {
        appLog(prefix_ + " refoldContent write " + (update ? transaction.error() : error));
        return 0;
    }
    for (const auto& [rowid, content] : changed) {
        update->reset();
        update->bind(1, std::string_view(content));
        update->bind(2, rowid);
        if (!update->run()) {
            appLog(prefix_ + " refoldContent write " + update->errorMessage());
            return 0;
        }
    }
    if (!transaction.commit()) {
        appLog(prefix_ + " refoldContent write " + transaction.error());
        return 0;
    }
    compacted_ = false;
    return static_cast<int64_t>(changed.size());
}

int64_t FtsSqlite::rowCount() {
    std::lock_guard lock(mutex_);
    if (!db_) return 0;
    std::string error;
    auto count = db_->prepare("SELECT count(*) FROM ftsVirtualTable", error);
    if (!count || count->step() != SqliteStatement::Step::row) return 0;
    return count->int64At(0);
}

}  // namespace lumidex::storage
