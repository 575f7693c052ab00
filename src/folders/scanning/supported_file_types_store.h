// Statistics of the file types found in the searchable folders, for the settings screen: the SQLite
// file "supported_file_types.sqlite3" in the data directory, table "supportedFileTypesChatTable"
// (dbId, fileExtension, fileCount, handledCount, supported), one row per extension.
//
// SupportedFileTypesSqliteManager runs every database access on its serial queue
// "SupportedFileTypesSqliteManager"; its members may be called from any thread (never from that queue)
// and block until done. The database is opened on first use. Failure behaviour: nothing throws; errors
// are logged with the operation's prefix ("supported openDatabaseFile ", "supported initDatabaseStructure ",
// "supported fileTypeItemFor ", "supported createDeveloperChatItem ", "supported updateFileCountFor ") and
// the call returns an empty result or false; "Sqlite connection failed veko2sqn4121" when the file cannot
// be opened at all.
//
// SupportedFileTypesManager keeps the copy (`cacheArray`) the settings screen shows, refreshed on demand
// or by a repeating timer; each refresh stores its time in "getSupportedFileTypesDataSyncDate".
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/concurrency/serial_executor.h"
#include "core/concurrency/timer.h"

namespace lumidex::platform {
class SqliteDatabase;
}

namespace lumidex {
class SettingsStore;
}

namespace lumidex::folders {

inline constexpr std::string_view kSupportedFileTypesDatabaseName = "supported_file_types.sqlite3";
inline constexpr std::string_view kSupportedFileTypesSyncDateKey = "getSupportedFileTypesDataSyncDate";

struct SupportedFileTypeItem {
    int64_t dbId = 0;
    std::string fileExtension;  // lower case, "" for files without one
    int64_t fileCount = 0;      // files seen with this extension
    int64_t handledCount = 0;   // files of it processed
    bool supported = false;

    bool operator==(const SupportedFileTypeItem&) const = default;
};

class SupportedFileTypesSqliteManager {
public:
    explicit SupportedFileTypesSqliteManager(std::filesystem::path databaseFile);
    ~SupportedFileTypesSqliteManager();
    SupportedFileTypesSqliteManager(const SupportedFileTypesSqliteManager&) = delete;
    SupportedFileTypesSqliteManager& operator=(const SupportedFileTypesSqliteManager&) = delete;

    static std::filesystem::path defaultPath(const std::filesystem::path& dataDirectory);

    bool isOpen();
    std::optional<SupportedFileTypeItem> fileTypeItemFor(const std::string& fileExtension);
    // Inserts a row; returns its dbId.
    std::optional<int64_t> createDeveloperChatItem(const SupportedFileTypeItem& item);
    // Sets both counts of the extension's row, creating the row when missing.
    bool updateFileCountFor(const std::string& fileExtension, int64_t fileCount, int64_t handledCount,
                            bool supported);
    // Replaces all counts at once: rows of extensions not listed drop to 0. One transaction.
    bool replaceCounts(const std::vector<SupportedFileTypeItem>& tallies);
    std::vector<SupportedFileTypeItem> allItems();  // ordered by extension

private:
    platform::SqliteDatabase* databaseOnQueue();
    std::optional<SupportedFileTypeItem> itemForOnQueue(const std::string& fileExtension);
    bool upsertOnQueue(const SupportedFileTypeItem& item);

    std::filesystem::path databaseFile_;
    std::unique_ptr<platform::SqliteDatabase> db_;  // touched only on queue_
    bool openAttempted_ = false;
    SerialExecutor queue_;
};

class SupportedFileTypesManager {
public:
    SupportedFileTypesManager(SupportedFileTypesSqliteManager& store, SettingsStore& settings);
    ~SupportedFileTypesManager();

    void refresh();
    void startRefreshing(Timer::Duration interval);
    std::vector<SupportedFileTypeItem> cacheArray() const;

private:
    SupportedFileTypesSqliteManager& store_;
    SettingsStore& settings_;
    mutable std::mutex mutex_;
    std::vector<SupportedFileTypeItem> cacheArray_;
    Timer timer_;  // last: stops before the state it refreshes goes away
};

}  // namespace lumidex::folders
