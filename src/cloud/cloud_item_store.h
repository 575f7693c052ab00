// The conversion service's own record of the files it handles: "cloud.sqlite3" in the data directory,
// table cloudItemTable, one row per file (urlPath is unique), with the job the service converts it in.
//
// Stored state codes (CloudItemProcessingState column): 0 preparing (queued, not yet uploaded),
// 1 uploadFinished (uploaded, job open), 2 processing (the PDF is being downloaded), 3 notSupported
// (permanent: not sent again for the same file version), 4 completed, 5 cloudFailed (transient: sent
// again on the next request).
//
// Thread-safety: every member may be called from any thread; one mutex serialises the connection.
// Failure behaviour: nothing throws. SQLite errors are logged as "cloudItem <operation> <error>"; reads
// then answer nullopt (not "nothing there") and writes false. A file that cannot be opened (damaged,
// not a database) leaves the store closed: isOpen() is false and every operation fails.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumidex::platform {
class SqliteDatabase;
}

namespace lumidex::cloud {

enum class CloudItemProcessingStates : int64_t {
    preparing = 0,
    uploadFinished = 1,
    processing = 2,
    notSupported = 3,
    completed = 4,
    cloudFailed = 5,
};

struct NanCloudItemFile {
    int64_t dbId = 0;  // 0 until stored
    std::string uuid;
    double fileModificationTimestamp = 0;  // seconds
    CloudItemProcessingStates processingState = CloudItemProcessingStates::preparing;
    std::filesystem::path nanItemUrl;
    std::string serverHost;
    int64_t serverPort = 0;
    std::string jobId;  // empty until uploaded
};

class CloudItemSqliteManager {
public:
    static constexpr const char* kFileName = "cloud.sqlite3";

    // Opens (creating when missing) DIRECTORY/cloud.sqlite3; the folder is created when missing.
    explicit CloudItemSqliteManager(const std::filesystem::path& directory);
    ~CloudItemSqliteManager();
    CloudItemSqliteManager(const CloudItemSqliteManager&) = delete;
    CloudItemSqliteManager& operator=(const CloudItemSqliteManager&) = delete;

    bool isOpen() const;

    // The live (not deleted) row of FILE; nullopt on failure, an empty optional inside when there is none.
    std::optional<std::optional<NanCloudItemFile>> nanCloudItemFileFor(const std::filesystem::path& file);
    // Inserts ITEM, or replaces the row of the same file; sets item.dbId (and a uuid when it had none).
    [[nodiscard]] bool save(NanCloudItemFile& item);
    // Sets the state (and, when given, the job id) of FILE's row; false when there is no such row.
    [[nodiscard]] bool updateState(const std::filesystem::path& file, CloudItemProcessingStates state,
                     const std::optional<std::string>& jobId = std::nullopt);
    std::optional<std::vector<NanCloudItemFile>> getAllUploaded();
    // The rows still in the service's hands: preparing, uploadFinished or processing.
    std::optional<std::vector<NanCloudItemFile>> openItems();
    // Returns how many rows were marked.
    std::optional<int64_t> markAllCompletedAsDeleted();
    std::optional<int64_t> countByState(CloudItemProcessingStates state);

private:
    std::optional<std::vector<NanCloudItemFile>> select(const std::string& where, const std::string& text,
                                                        int64_t number, const char* operation);

    mutable std::mutex mutex_;
    std::unique_ptr<platform::SqliteDatabase> db_;
};

// The stored state's name as log lines give it ("uploadFinished").
std::string cloudItemStateName(CloudItemProcessingStates state);

// With the conversion service switched off, the files it still held would wait for it for ever: each
// open row of DIRECTORY/cloud.sqlite3 becomes cloudFailed (sent again once the service is back), with
// "Cloud disabled, marking NAME as cloudFailed (was STATE)" through LOG. Nothing is created when there is
// no store. Returns how many rows were marked; nullopt when the store cannot be read.
std::optional<int64_t> markOpenItemsCloudFailed(const std::filesystem::path& directory,
                                                const std::function<void(std::string_view)>& log);

}  // namespace lumidex::cloud
