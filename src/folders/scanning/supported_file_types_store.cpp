#include "folders/scanning/supported_file_types_store.h"

#include "core/app_log.h"
#include "core/model/date.h"
#include "core/settings/settings_store.h"
#include "platform/sqlite.h"

namespace lumidex::folders {
namespace {

using platform::SqliteStatement;

constexpr const char* kTable = "supportedFileTypesChatTable";

SupportedFileTypeItem itemFromRow(const SqliteStatement& row) {
    return SupportedFileTypeItem{row.int64At(0), row.textAt(1), row.int64At(2), row.int64At(3), row.int64At(4) != 0};
}

}  // namespace

SupportedFileTypesSqliteManager::SupportedFileTypesSqliteManager(std::filesystem::path databaseFile)
    : databaseFile_(std::move(databaseFile)), queue_("SupportedFileTypesSqliteManager") {}

SupportedFileTypesSqliteManager::~SupportedFileTypesSqliteManager() = default;

std::filesystem::path SupportedFileTypesSqliteManager::defaultPath(const std::filesystem::path& dataDirectory) {
    return dataDirectory / kSupportedFileTypesDatabaseName;
}

platform::SqliteDatabase* SupportedFileTypesSqliteManager::databaseOnQueue() {
    if (db_ || openAttempted_) return db_.get();
    openAttempted_ = true;
    std::error_code ec;
    std::filesystem::create_directories(databaseFile_.parent_path(), ec);
    std::string error;
    db_ = platform::SqliteDatabase::open(databaseFile_, error);
    if (!db_) {
        appLog("supported openDatabaseFile " + error);
        appLog("Sqlite connection failed veko2sqn4121");
        return nullptr;
    }
    db_->setBusyTimeout(5000);
    if (!db_->exec(std::string("CREATE TABLE IF NOT EXISTS ") + kTable +
                       " (dbId INTEGER PRIMARY KEY, fileExtension TEXT NOT NULL, fileCount INTEGER NOT NULL, "
                       "handledCount INTEGER NOT NULL, supported INTEGER NOT NULL); "
                       "CREATE UNIQUE INDEX IF NOT EXISTS idx_supportedFileTypes_extension ON " +
                       kTable + " (fileExtension)",
                   error)) {
        appLog("supported initDatabaseStructure " + error);
    }
    return db_.get();
}

bool SupportedFileTypesSqliteManager::isOpen() {
    return queue_.sync([this] { return databaseOnQueue() != nullptr; });
}

std::optional<SupportedFileTypeItem> SupportedFileTypesSqliteManager::itemForOnQueue(const std::string& fileExtension) {
    auto* db = databaseOnQueue();
    if (db == nullptr) return std::nullopt;
    std::string error;
    auto select = db->prepare(std::string("SELECT dbId, fileExtension, fileCount, handledCount, supported FROM ") +
                                  kTable + " WHERE fileExtension = ?1",
                              error);
    if (!select) {
        appLog("supported fileTypeItemFor " + error);
        return std::nullopt;
    }
    select->bind(1, std::string_view(fileExtension));
    switch (select->step()) {
        case SqliteStatement::Step::row: return itemFromRow(*select);
        case SqliteStatement::Step::error: appLog("supported fileTypeItemFor " + select->errorMessage()); break;
        case SqliteStatement::Step::done: break;
    }
    return std::nullopt;
}

std::optional<SupportedFileTypeItem> SupportedFileTypesSqliteManager::fileTypeItemFor(const std::string& fileExtension) {
    return queue_.sync([&] { return itemForOnQueue(fileExtension); });
}

std::optional<int64_t> SupportedFileTypesSqliteManager::createDeveloperChatItem(const SupportedFileTypeItem& item) {
    return queue_.sync([&]() -> std::optional<int64_t> {
        auto* db = databaseOnQueue();
        if (db == nullptr) return std::nullopt;
        std::string error;
        auto insert = db->prepare(std::string("INSERT INTO ") + kTable +
                                      " (fileExtension, fileCount, handledCount, supported) VALUES (?1, ?2, ?3, ?4)",
                                  error);
        if (!insert) {
            appLog("supported createDeveloperChatItem " + error);
            return std::nullopt;
        }
        insert->bind(1, std::string_view(item.fileExtension));
        insert->bind(2, item.fileCount);
        insert->bind(3, item.handledCount);
        insert->bind(4, static_cast<int64_t>(item.supported ? 1 : 0));
        if (!insert->run()) {
            appLog("supported createDeveloperChatItem " + insert->errorMessage());
            return std::nullopt;
        }
        return db->lastInsertRowId();
    });
}

bool SupportedFileTypesSqliteManager::upsertOnQueue(const SupportedFileTypeItem& item) {
    auto* db = databaseOnQueue();
    if (db == nullptr) return false;
    std::string error;
    auto upsert = db->prepare(std::string("INSERT INTO ") + kTable +
                                  " (fileExtension, fileCount, handledCount, supported) VALUES (?1, ?2, ?3, ?4) "
                                  "ON CONFLICT(fileExtension) DO UPDATE SET fileCount = ?2, handledCount = ?3, "
                                  "supported = ?4",
                              error);
    if (!upsert) {
        appLog("supported updateFileCountFor " + error);
        return false;
    }
    upsert->bind(1, std::string_view(item.fileExtension));
    upsert->bind(2, item.fileCount);
    upsert->bind(3, item.handledCount);
    upsert->bind(4, static_cast<int64_t>(item.supported ? 1 : 0));
    if (!upsert->run()) {
        appLog("supported updateFileCountFor " + upsert->errorMessage());
        return false;
    }
    return true;
}

bool SupportedFileTypesSqliteManager::updateFileCountFor(const std::string& fileExtension, int64_t fileCount,
                                                         int64_t handledCount, bool supported) {
    return queue_.sync(
        [&] { return upsertOnQueue(SupportedFileTypeItem{0, fileExtension, fileCount, handledCount, supported}); });
}

bool SupportedFileTypesSqliteManager::replaceCounts(const std::vector<SupportedFileTypeItem>& tallies) {
    return queue_.sync([&] {
        auto* db = databaseOnQueue();
        if (db == nullptr) return false;
        platform::SqliteTransaction transaction(*db);
        std::string error;
        if (!transaction.began() ||
            !db->exec(std::string("UPDATE ") + kTable + " SET fileCount = 0, handledCount = 0", error)) {
            appLog("supported updateFileCountFor " + (transaction.began() ? error : transaction.error()));
            return false;
        }
        for (const auto& item : tallies) {
            if (!upsertOnQueue(item)) return false;
        }
        if (!transaction.commit()) {
            appLog("supported updateFileCountFor " + transaction.error());
            return false;
        }
        return true;
    });
}

std::vector<SupportedFileTypeItem> SupportedFileTypesSqliteManager::allItems() {
    return queue_.sync([this] {
        std::vector<SupportedFileTypeItem> items;
        auto* db = databaseOnQueue();
        if (db == nullptr) return items;
        std::string error;
        auto select = db->prepare(std::string("SELECT dbId, fileExtension, fileCount, handledCount, supported FROM ") +
                                      kTable + " ORDER BY fileExtension",
                                  error);
        if (!select) {
            appLog("supported fileTypeItemFor " + error);
            return items;
        }
        SqliteStatement::Step step;
        while ((step = select->step()) == SqliteStatement::Step::row) items.push_back(itemFromRow(*select));
        if (step == SqliteStatement::Step::error) appLog("supported fileTypeItemFor " + select->errorMessage());
        return items;
    });
}

SupportedFileTypesManager::SupportedFileTypesManager(SupportedFileTypesSqliteManager& store, SettingsStore& settings)
    : store_(store), settings_(settings) {}

SupportedFileTypesManager::~SupportedFileTypesManager() { timer_.cancel(); }

void SupportedFileTypesManager::refresh() {
    auto items = store_.allItems();
    {
        std::lock_guard lock(mutex_);
        cacheArray_ = std::move(items);
    }
    settings_.setDouble(kSupportedFileTypesSyncDateKey, secondsSince1970(now()));
}

void SupportedFileTypesManager::startRefreshing(Timer::Duration interval) {
    timer_.scheduleRepeating(interval, [this] { refresh(); });
}

std::vector<SupportedFileTypeItem> SupportedFileTypesManager::cacheArray() const {
    std::lock_guard lock(mutex_);
    return cacheArray_;
}

}  // namespace lumidex::folders
