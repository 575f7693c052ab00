#include "storage/fts_sqlite.h"

#include <utility>

#include "core/app_log.h"
#include "platform/sqlite.h"
#include "storage/fts_tools.h"

namespace lumidex::storage {

using platform::SqliteStatement;

FtsSqlite::FtsSqlite(const std::filesystem::path& folderDataDirectory, StoreKind kind, uint32_t shard)
    : prefix_(kind == StoreKind::numbers ? "numbers" : "fts") {
    db_ = openShardDatabase(folderDataDirectory, kind, shard, prefix_);
    if (!db_) return;
    std::string error;
    if (!db_->exec("CREATE VIRTUAL TABLE IF NOT EXISTS ftsVirtualTable USING fts4(content, combinedHash, urlPath, "
                   "fileName, creationDate, modificationDate, contentCreated)",
                   error)) {
        appLog(prefix_ + " initDatabaseStructure " + error);
        // A shard whose table cannot be created cannot answer anything; keep it closed.
        db_.reset();
    }
}

FtsSqlite::~FtsSqlite() = default;

bool FtsSqlite::write(const FtsDocument& document) {
    std::lock_guard lock(mutex_);
    return db_ && writeLocked(document);
}

bool FtsSqlite::write(const std::vector<FtsDocument>& documents) {
    std::lock_guard lock(mutex_);
    if (!db_) return false;
    platform::SqliteTransaction transaction(*db_);
    if (!transaction.began()) {
        appLog(prefix_ + " write " + transaction.error());
        return false;
    }
    for (const FtsDocument& d : documents) {
        if (!writeLocked(d)) return false;
    }
    if (!transaction.commit()) {
        appLog(prefix_ + " write " + transaction.error());
        return false;
    }
    return true;
}

bool FtsSqlite::writeLocked(const FtsDocument& d) {
    if (!insert_) {
        std::string error;
        insert_ = db_->prepare(
            "INSERT OR REPLACE INTO ftsVirtualTable (docid, content, combinedHash, urlPath, fileName, creationDate, "
            "modificationDate, contentCreated) VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
            error);
        if (!insert_) {
            appLog(prefix_ + " write " + error);
            return false;
        }
    }
    const std::string content = d.foldedText + " " + FtsTools::fold(d.urlPath) + " " + FtsTools::fold(d.fileName);
    insert_->reset();
    insert_->bind(1, static_cast<int64_t>(d.combinedHash));
    insert_->bind(2, std::string_view(content));
    insert_->bind(3, static_cast<int64_t>(d.combinedHash));
    insert_->bind(4, std::string_view(d.urlPath));
    insert_->bind(5, std::string_view(d.fileName));
    insert_->bind(6, secondsSince1970(d.creationDate));
    insert_->bind(7, secondsSince1970(d.modificationDate));
    insert_->bind(8, secondsSince1970(d.contentCreated));
    const bool ok = insert_->run();
    if (!ok) appLog(prefix_ + " write " + insert_->errorMessage());
    insert_->reset();
    return ok;
}

bool FtsSqlite::remove(uint32_t combinedHash) {
    std::lock_guard lock(mutex_);
    if (!db_) return false;
    std::string error;
    auto del = db_->prepare("DELETE FROM ftsVirtualTable WHERE docid = ?", error);
    if (!del) {
        appLog(prefix_ + " delete " + error);
        return false;
    }
    del->bind(1, static_cast<int64_t>(combinedHash));
    if (!del->run()) {
        appLog(prefix_ + " delete " + del->errorMessage());
        return false;
    }
    return true;
}

std::vector<FtsSearchResult> FtsSqlite::search(const SearchParameters& parameters, int64_t rowLimit,
                                               bool withSnippet, bool withMatchCounts) {
    std::vector<FtsSearchResult> results;
    const std::optional<FtsStatement> statement =
        FtsTools::buildSelect(parameters, rowLimit, withSnippet, withMatchCounts);
    if (!statement) return results;

    std::lock_guard lock(mutex_);
    if (!db_) return results;
    std::string error;
    auto select = db_->prepare(statement->sql, error);
    if (!select) {
        appLog(prefix_ + " searchComplete prepare error: " + error);
        return results;
    }
    for (size_t i = 0; i < statement->textBindings.size(); ++i) {
        select->bind(static_cast<int>(i + 1), std::string_view(statement->textBindings[i]));
    }
    const std::optional<std::string> insideFolder = parameters.searchInsideUrl;
    SqliteStatement::Step step;
    while ((step = select->step()) == SqliteStatement::Step::row) {
        std::string urlPath = select->textAt(1);
        if (insideFolder && !FtsTools::isInsideFolder(urlPath, *insideFolder)) continue;
        FtsSearchResult r;
        r.combinedHash = static_cast<uint32_t>(select->int64At(0));
        r.urlPath = std::move(urlPath);
        r.fileName = select->textAt(2);
        r.creationDate = dateFromSecondsSince1970(select->doubleAt(3));
        r.modificationDate = dateFromSecondsSince1970(select->doubleAt(4));
        r.contentCreated = dateFromSecondsSince1970(select->doubleAt(5));
        r.snippet = select->optionalTextAt(6);
        const auto blob = select->blobAt(7);
        r.matchCount = FtsTools::matchCount(blob.empty() ? nullptr : blob.data(), blob.size());
        results.push_back(std::move(r));
    }
    if (step == SqliteStatement::Step::error) {
        // A malformed MATCH or a damaged file: this shard contributes nothing rather than half a list.
        appLog(prefix_ + " searchComplete step error: " + select->errorMessage());
        results.clear();
    }
    return results;
}

std::vector<std::pair<uint32_t, std::string>> FtsSqlite::snippets(const SearchParameters& parameters,
                                                                   const std::vector<uint32_t>& combinedHashes) {
    std::vector<std::pair<uint32_t, std::string>> out;
    if (combinedHashes.empty()) return out;
    const std::optional<FtsStatement> statement = FtsTools::buildSelect(parameters, 1, true, false);
    if (!statement || statement->textBindings.empty() || statement->sql.find("content MATCH ?") == std::string::npos) {
        return out;
    }
    std::string sql = "SELECT docid, snippet(ftsVirtualTable, '', '', '...', 0, 80) FROM ftsVirtualTable "
                      "WHERE content MATCH ? AND docid IN (";
    for (size_t i = 0; i < combinedHashes.size(); ++i) sql += i == 0 ? "?" : ", ?";
    sql += ")";

    std::lock_guard lock(mutex_);
    if (!db_) return out;
    std::string error;
    auto select = db_->prepare(sql, error);
    if (!select) {
        appLog(prefix_ + " searchComplete prepare error: " + error);
        return out;
    }
    select->bind(1, std::string_view(statement->textBindings.front()));
    for (size_t i = 0; i < combinedHashes.size(); ++i) {
        select->bind(static_cast<int>(i + 2), static_cast<int64_t>(combinedHashes[i]));
    }
    while (select->step() == SqliteStatement::Step::row) {
        out.emplace_back(static_cast<uint32_t>(select->int64At(0)), select->textAt(1));
    }
    return out;
}

int64_t FtsSqlite::refoldContent() {
    std::lock_guard lock(mutex_);
    if (!db_) return 0;
    std::string error;
    std::vector<std::pair<int64_t, std::string>> changed;
    {
        auto read = db_->prepare("SELECT rowid, content FROM ftsVirtualTable", error);
        if (!read) {
            appLog(prefix_ + " refoldContent read " + error);
            return 0;
        }
        SqliteStatement::Step step;
        while ((step = read->step()) == SqliteStatement::Step::row) {
            std::string content = read->textAt(1);
            std::string folded = FtsTools::fold(content);
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
