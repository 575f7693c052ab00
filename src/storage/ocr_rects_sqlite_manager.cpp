#include "storage/ocr_rects_sqlite_manager.h"

#include <set>
#include <string>
#include <utility>

#include "core/app_log.h"
#include "core/uuid.h"
#include "platform/sqlite.h"
#include "storage/fts_tools.h"
#include "storage/shard_layout.h"

namespace lumidex::storage {

using platform::SqliteStatement;

namespace {

constexpr const char* kSelectColumns =
    "SELECT dbId, combinedHash, pageIndex, ocrContent, p0x, p0y, p1x, p1y, p2x, p2y, p3x, p3y FROM ocrRectTable";

// A stable id for a stored row: the same row always reads back as the same value.
Uuid rowUuid(uint32_t combinedHash, int64_t dbId) {
    std::array<uint8_t, 16> bytes{};
    for (int i = 0; i < 4; ++i) bytes[static_cast<size_t>(i)] = static_cast<uint8_t>(combinedHash >> (24 - 8 * i));
    const auto row = static_cast<uint64_t>(dbId);
    for (int i = 0; i < 8; ++i) bytes[static_cast<size_t>(8 + i)] = static_cast<uint8_t>(row >> (56 - 8 * i));
    // Version 8 (custom layout) and the RFC 4122 variant, so the value is a well-formed UUID.
    bytes[6] = 0x80;
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);
    return Uuid(bytes);
}

OcrRect rectFromRow(const SqliteStatement& row) {
    OcrRect rect;
    rect.combinedHash = static_cast<uint32_t>(row.int64At(1));
    rect.id = rowUuid(rect.combinedHash, row.int64At(0));
    rect.pageIndex = row.int64At(2);
    rect.ocrContent = row.textAt(3);
    rect.p0x = row.doubleAt(4);
    rect.p0y = row.doubleAt(5);
    rect.p1x = row.doubleAt(6);
    rect.p1y = row.doubleAt(7);
    rect.p2x = row.doubleAt(8);
    rect.p2y = row.doubleAt(9);
    rect.p3x = row.doubleAt(10);
    rect.p3y = row.doubleAt(11);
    return rect;
}

}  // namespace

OcrRectsSqliteManager::OcrRectsSqliteManager(const std::filesystem::path& folderDataDirectory, uint32_t shard)
    : folderDataDirectory_(folderDataDirectory), shard_(shard) {
    std::lock_guard lock(mutex_);
    openLocked();
}

void OcrRectsSqliteManager::openLocked() {
    db_ = openShardDatabase(folderDataDirectory_, StoreKind::ocrRects, shard_, "ocr");
    if (!db_) return;
    std::string error;
    // The index leads with combinedHash, so document reads and deletes are lookups; pageIndex second
    // makes the page read (the common one) a lookup too.
    if (!db_->exec("CREATE TABLE IF NOT EXISTS ocrRectTable (dbId INTEGER PRIMARY KEY, combinedHash INTEGER NOT NULL, "
                   "pageIndex INTEGER NOT NULL, ocrContent TEXT, p0x REAL NOT NULL, p0y REAL NOT NULL, "
                   "p1x REAL NOT NULL, p1y REAL NOT NULL, p2x REAL NOT NULL, p2y REAL NOT NULL, "
                   "p3x REAL NOT NULL, p3y REAL NOT NULL)",
                   error) ||
        !db_->exec("CREATE INDEX IF NOT EXISTS idx_ocrRects_combinedHash ON ocrRectTable (combinedHash, pageIndex)",
                   error)) {
        appLog("ocr initDatabaseStructure " + error);
        db_.reset();
    }
}

OcrRectsSqliteManager::~OcrRectsSqliteManager() = default;

bool OcrRectsSqliteManager::createOcrRectItem(const std::vector<OcrRect>& rects) {
    if (rects.empty()) return true;
    std::lock_guard lock(mutex_);
    // A shard that could not be created (a full disk) is tried again when there is something to write.
    if (!db_ && !std::filesystem::exists(shardPath(folderDataDirectory_, StoreKind::ocrRects, shard_))) openLocked();
    if (!db_) return false;
    const std::string prefix = "ocr createOcrRectItem ";
    std::string error;
    platform::SqliteTransaction transaction(*db_);
    auto clear = db_->prepare("DELETE FROM ocrRectTable WHERE combinedHash = ? AND pageIndex = ?", error);
    auto insert = clear ? db_->prepare("INSERT INTO ocrRectTable (combinedHash, pageIndex, ocrContent, p0x, p0y, "
                                       "p1x, p1y, p2x, p2y, p3x, p3y) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                                       error)
                        : nullptr;
    if (!transaction.began() || !insert) {
        appLog(prefix + (transaction.began() ? error : transaction.error()));
        return false;
    }
    std::set<std::pair<uint32_t, int64_t>> pages;
    for (const OcrRect& rect : rects) pages.emplace(rect.combinedHash, rect.pageIndex);
    for (const auto& [hash, page] : pages) {
        clear->reset();
        clear->bind(1, static_cast<int64_t>(hash));
        clear->bind(2, page);
        if (!clear->run()) {
            appLog(prefix + clear->errorMessage());
            return false;
        }
    }
    for (const OcrRect& rect : rects) {
        insert->reset();
        insert->bind(1, static_cast<int64_t>(rect.combinedHash));
        insert->bind(2, rect.pageIndex);
        insert->bind(3, std::string_view(rect.ocrContent));
        const double corners[] = {rect.p0x, rect.p0y, rect.p1x, rect.p1y, rect.p2x, rect.p2y, rect.p3x, rect.p3y};
        for (int i = 0; i < 8; ++i) insert->bind(4 + i, corners[i]);
        if (!insert->run()) {
            appLog(prefix + insert->errorMessage());
            return false;
        }
    }
    if (!transaction.commit()) {
        appLog(prefix + transaction.error());
        return false;
    }
    return true;
}

std::optional<std::vector<OcrRect>> OcrRectsSqliteManager::select(uint32_t combinedHash,
                                                                  std::optional<int64_t> pageIndex,
                                                                  const char* prefix) {
    if (!db_) return std::nullopt;
    std::string error;
    auto query = db_->prepare(std::string(kSelectColumns) + " WHERE combinedHash = ?" +
                                  (pageIndex ? " AND pageIndex = ?" : "") + " ORDER BY dbId",
                              error);
    if (!query) {
        appLog(prefix + error);
        return std::nullopt;
    }
    query->bind(1, static_cast<int64_t>(combinedHash));
    if (pageIndex) query->bind(2, *pageIndex);
    std::vector<OcrRect> rects;
    SqliteStatement::Step step;
    while ((step = query->step()) == SqliteStatement::Step::row) rects.push_back(rectFromRow(*query));
    if (step == SqliteStatement::Step::error) {
        appLog(prefix + query->errorMessage());
        return std::nullopt;
    }
    return rects;
}

std::optional<std::vector<OcrRect>> OcrRectsSqliteManager::readOcrRects(uint32_t combinedHash,
                                                                        std::optional<int64_t> pageIndex) {
    std::lock_guard lock(mutex_);
    return select(combinedHash, pageIndex, "ocr ocrRects ");
}

std::vector<OcrRect> OcrRectsSqliteManager::ocrRects(uint32_t combinedHash, std::optional<int64_t> pageIndex) {
    return readOcrRects(combinedHash, pageIndex).value_or(std::vector<OcrRect>{});
}

std::unordered_set<OcrRect> OcrRectsSqliteManager::transcriptSearchResultsFor(uint32_t combinedHash) {
    std::lock_guard lock(mutex_);
    auto rects = select(combinedHash, std::nullopt, "ocr transcriptSearchResultsFor ");
    if (!rects) return {};
    return {std::make_move_iterator(rects->begin()), std::make_move_iterator(rects->end())};
}

bool OcrRectsSqliteManager::deleteRects(uint32_t combinedHash) {
    std::lock_guard lock(mutex_);
    if (!db_) return false;
    std::string error;
    auto del = db_->prepare("DELETE FROM ocrRectTable WHERE combinedHash = ?", error);
    if (!del) {
        appLog("ocr deleteRects " + error);
        return false;
    }
    del->bind(1, static_cast<int64_t>(combinedHash));
    if (!del->run()) {
        appLog("ocr deleteRects " + del->errorMessage());
        return false;
    }
    return true;
}

int64_t OcrRectsSqliteManager::refoldContent() {
    std::lock_guard lock(mutex_);
    if (!db_) return 0;
    std::string error;
    std::vector<std::pair<int64_t, std::string>> changed;
    {
        auto read = db_->prepare("SELECT dbId, ocrContent FROM ocrRectTable", error);
        if (!read) {
            appLog("ocr refoldContent read " + error);
            return 0;
        }
        SqliteStatement::Step step;
        while ((step = read->step()) == SqliteStatement::Step::row) {
            if (read->isNull(1)) continue;
            std::string content = read->textAt(1);
            std::string folded = FtsTools::fold(content);
            if (folded != content) changed.emplace_back(read->int64At(0), std::move(folded));
        }
        if (step == SqliteStatement::Step::error) {
            appLog("ocr refoldContent read " + read->errorMessage());
            return 0;
        }
    }
    if (changed.empty()) return 0;

    platform::SqliteTransaction transaction(*db_);
    auto update = db_->prepare("UPDATE ocrRectTable SET ocrContent = ? WHERE dbId = ?", error);
    if (!transaction.began() || !update) {
        appLog("ocr refoldContent write " + (transaction.began() ? error : transaction.error()));
        return 0;
    }
    for (const auto& [dbId, content] : changed) {
        update->reset();
        update->bind(1, std::string_view(content));
        update->bind(2, dbId);
        if (!update->run()) {
            appLog("ocr refoldContent write " + update->errorMessage());
            return 0;
        }
    }
    if (!transaction.commit()) {
        appLog("ocr refoldContent write " + transaction.error());
        return 0;
    }
    return static_cast<int64_t>(changed.size());
}

int64_t OcrRectsSqliteManager::rowCount() {
    std::lock_guard lock(mutex_);
    if (!db_) return 0;
    std::string error;
    auto count = db_->prepare("SELECT count(*) FROM ocrRectTable", error);
    if (!count || count->step() != SqliteStatement::Step::row) return 0;
    return count->int64At(0);
}

}  // namespace lumidex::storage
