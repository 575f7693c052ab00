#include "cloud/cloud_item_store.h"

#include <system_error>
#include <utility>

#include "core/app_log.h"
#include "core/uuid.h"
#include "platform/sqlite.h"

namespace lumidex::cloud {

using platform::SqliteStatement;

namespace {

constexpr const char* kSelect =
    "SELECT dbId, uuidString, urlPath, fileModificationTimestamp, CloudItemProcessingState, serverHost, serverPort, "
    "jobId FROM cloudItemTable";

NanCloudItemFile itemFromRow(const SqliteStatement& row) {
    NanCloudItemFile item;
    item.dbId = row.int64At(0);
    item.uuid = row.textAt(1);
    item.nanItemUrl = row.textAt(2);
    item.fileModificationTimestamp = row.doubleAt(3);
    item.processingState = static_cast<CloudItemProcessingStates>(row.int64At(4));
    item.serverHost = row.textAt(5);
    item.serverPort = row.int64At(6);
    item.jobId = row.textAt(7);
    return item;
}

}  // namespace

CloudItemSqliteManager::CloudItemSqliteManager(const std::filesystem::path& directory) {
    std::error_code ec;
    std::filesystem::create_directories(directory, ec);
    std::string error;
    db_ = platform::SqliteDatabase::open(directory / kFileName, error);
    // A damaged file opens lazily; the first statement is where it says so.
    if (db_ && (!db_->exec("PRAGMA journal_mode=WAL", error) || !db_->exec("PRAGMA synchronous=NORMAL", error))) {
        db_.reset();
    }
    if (!db_) {
        appLog("cloudItem openDatabaseFile " + error);
        return;
    }
    db_->setBusyTimeout(5000);
    if (!db_->exec("CREATE TABLE IF NOT EXISTS cloudItemTable (dbId INTEGER PRIMARY KEY, uuidString TEXT NOT NULL, "
                   "urlPath TEXT NOT NULL UNIQUE, fileModificationTimestamp REAL NOT NULL, "
                   "isDeleted BOOLEAN NOT NULL DEFAULT 0, CloudItemProcessingState INTEGER NOT NULL, "
                   "serverHost TEXT NOT NULL DEFAULT '', serverPort INTEGER NOT NULL DEFAULT 0, "
                   "jobId TEXT NOT NULL DEFAULT '')",
                   error) ||
        !db_->exec("CREATE INDEX IF NOT EXISTS idx_cloudItem_state ON cloudItemTable (CloudItemProcessingState)",
                   error)) {
        appLog("cloudItem initDatabaseStructure " + error);
        db_.reset();
    }
}

CloudItemSqliteManager::~CloudItemSqliteManager() = default;

bool CloudItemSqliteManager::isOpen() const {
    std::lock_guard lock(mutex_);
    return db_ != nullptr;
}

std::optional<std::vector<NanCloudItemFile>> CloudItemSqliteManager::select(const std::string& where,
                                                                            const std::string& text, int64_t number,
                                                                            const char* operation) {
    const std::string prefix = std::string("cloudItem ") + operation + " ";
    if (!db_) {
        appLog(prefix + "database not open");
        return std::nullopt;
    }
    std::string error;
    auto statement = db_->prepare(std::string(kSelect) + " WHERE " + where, error);
    if (!statement) {
        appLog(prefix + error);
        return std::nullopt;
    }
    if (!text.empty()) statement->bind(1, std::string_view(text));
    else statement->bind(1, number);
    std::vector<NanCloudItemFile> items;
    for (;;) {
        const SqliteStatement::Step step = statement->step();
        if (step == SqliteStatement::Step::done) return items;
        if (step == SqliteStatement::Step::error) {
            appLog(prefix + statement->errorMessage());
            return std::nullopt;
        }
        items.push_back(itemFromRow(*statement));
    }
}

std::optional<std::optional<NanCloudItemFile>> CloudItemSqliteManager::nanCloudItemFileFor(
    const std::filesystem::path& file) {
    std::lock_guard lock(mutex_);
    auto rows = select("urlPath = ? AND isDeleted = 0", file.string(), 0, "nanCloudItemFileFor");
    if (!rows) return std::nullopt;
    if (rows->empty()) return std::optional<NanCloudItemFile>();
    return std::optional<NanCloudItemFile>(std::move(rows->front()));
}

bool CloudItemSqliteManager::save(NanCloudItemFile& item) {
    std::lock_guard lock(mutex_);
    const std::string prefix = "cloudItem save ";
    if (!db_) {
        appLog(prefix + "database not open");
        return false;
    }
    if (item.uuid.empty()) item.uuid = Uuid::random().toString();
    std::string error;
    auto statement = db_->prepare(
        "INSERT INTO cloudItemTable (uuidString, urlPath, fileModificationTimestamp, isDeleted, "
        "CloudItemProcessingState, serverHost, serverPort, jobId) VALUES (?, ?, ?, 0, ?, ?, ?, ?) "
        "ON CONFLICT(urlPath) DO UPDATE SET uuidString = excluded.uuidString, "
        "fileModificationTimestamp = excluded.fileModificationTimestamp, isDeleted = 0, "
        "CloudItemProcessingState = excluded.CloudItemProcessingState, serverHost = excluded.serverHost, "
        "serverPort = excluded.serverPort, jobId = excluded.jobId RETURNING dbId",
        error);
    if (!statement) {
        appLog(prefix + error);
        return false;
    }
    const std::string path = item.nanItemUrl.string();
    statement->bind(1, std::string_view(item.uuid));
    statement->bind(2, std::string_view(path));
    statement->bind(3, item.fileModificationTimestamp);
    statement->bind(4, static_cast<int64_t>(item.processingState));
    statement->bind(5, std::string_view(item.serverHost));
    statement->bind(6, item.serverPort);
    statement->bind(7, std::string_view(item.jobId));
    if (statement->step() != SqliteStatement::Step::row) {
        appLog(prefix + statement->errorMessage());
        return false;
    }
    item.dbId = statement->int64At(0);
    if (statement->step() == SqliteStatement::Step::error) {
        appLog(prefix + statement->errorMessage());
        return false;
    }
    return true;
}

bool CloudItemSqliteManager::updateState(const std::filesystem::path& file, CloudItemProcessingStates state,
                                         const std::optional<std::string>& jobId) {
    std::lock_guard lock(mutex_);
    const std::string prefix = "cloudItem updateState ";
    if (!db_) {
        appLog(prefix + "database not open");
        return false;
    }
    std::string error;
    auto statement = db_->prepare(jobId ? "UPDATE cloudItemTable SET CloudItemProcessingState = ?, jobId = ? "
                                          "WHERE urlPath = ? AND isDeleted = 0"
                                        : "UPDATE cloudItemTable SET CloudItemProcessingState = ? "
                                          "WHERE urlPath = ? AND isDeleted = 0",
                                  error);
    if (!statement) {
        appLog(prefix + error);
        return false;
    }
    const std::string path = file.string();
    int index = 1;
    statement->bind(index++, static_cast<int64_t>(state));
    if (jobId) statement->bind(index++, std::string_view(*jobId));
    statement->bind(index, std::string_view(path));
    if (!statement->run()) {
        appLog(prefix + statement->errorMessage());
        return false;
    }
    if (db_->changes() == 0) {
        appLog(prefix + "no row for " + path);
        return false;
    }
    return true;
}

std::optional<std::vector<NanCloudItemFile>> CloudItemSqliteManager::getAllUploaded() {
    std::lock_guard lock(mutex_);
    return select("CloudItemProcessingState = ? AND isDeleted = 0", {},
                  static_cast<int64_t>(CloudItemProcessingStates::uploadFinished), "getAllUploaded");
}

std::optional<std::vector<NanCloudItemFile>> CloudItemSqliteManager::openItems() {
    std::lock_guard lock(mutex_);
    return select("CloudItemProcessingState <= ? AND isDeleted = 0", {},
                  static_cast<int64_t>(CloudItemProcessingStates::processing), "openItems");
}

std::optional<int64_t> CloudItemSqliteManager::markAllCompletedAsDeleted() {
    std::lock_guard lock(mutex_);
    const std::string prefix = "cloudItem markAllCompletedAsDeleted ";
    if (!db_) {
        appLog(prefix + "database not open");
        return std::nullopt;
    }
    std::string error;
    auto statement = db_->prepare(
        "UPDATE cloudItemTable SET isDeleted = 1 WHERE CloudItemProcessingState = ? AND isDeleted = 0", error);
    if (!statement) {
        appLog(prefix + error);
        return std::nullopt;
    }
    statement->bind(1, static_cast<int64_t>(CloudItemProcessingStates::completed));
    if (!statement->run()) {
        appLog(prefix + statement->errorMessage());
        return std::nullopt;
    }
    return db_->changes();
}

std::optional<int64_t> CloudItemSqliteManager::countByState(CloudItemProcessingStates state) {
    std::lock_guard lock(mutex_);
    const std::string prefix = "cloudItem countByState ";
    if (!db_) {
        appLog(prefix + "database not open");
        return std::nullopt;
    }
    std::string error;
    auto statement =
        db_->prepare("SELECT COUNT(*) FROM cloudItemTable WHERE CloudItemProcessingState = ? AND isDeleted = 0", error);
    if (!statement) {
        appLog(prefix + error);
        return std::nullopt;
    }
    statement->bind(1, static_cast<int64_t>(state));
    if (statement->step() != SqliteStatement::Step::row) {
        appLog(prefix + statement->errorMessage());
        return std::nullopt;
    }
    return statement->int64At(0);
}

std::string cloudItemStateName(CloudItemProcessingStates state) {
    switch (state) {
    case CloudItemProcessingStates::preparing: return "preparing";
    case CloudItemProcessingStates::uploadFinished: return "uploadFinished";
    case CloudItemProcessingStates::processing: return "processing";
    case CloudItemProcessingStates::notSupported: return "notSupported";
    case CloudItemProcessingStates::completed: return "completed";
    case CloudItemProcessingStates::cloudFailed: return "cloudFailed";
    }
    return std::to_string(static_cast<int64_t>(state));
}

std::optional<int64_t> markOpenItemsCloudFailed(const std::filesystem::path& directory,
                                                const std::function<void(std::string_view)>& log) {
    std::error_code ec;
    if (!std::filesystem::exists(directory / CloudItemSqliteManager::kFileName, ec)) return ec ? std::nullopt : std::optional<int64_t>(0);
    CloudItemSqliteManager store(directory);
    const auto open = store.openItems();
    if (!open) return std::nullopt;
    int64_t marked = 0;
    for (const NanCloudItemFile& item : *open) {
        const std::string name = item.nanItemUrl.filename().string();
        if (!store.updateState(item.nanItemUrl, CloudItemProcessingStates::cloudFailed)) continue;
        log("Cloud disabled, marking " + name + " as cloudFailed (was " + cloudItemStateName(item.processingState) + ")");
        ++marked;
    }
    return marked;
}

}  // namespace lumidex::cloud
