#include "storage/shard_layout.h"

#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <system_error>

#include "core/app_log.h"
#include "core/atomic_file.h"
#include "core/model/date.h"
#include "platform/process_lock.h"

namespace lumidex::storage {
namespace {

constexpr int kBusyTimeoutMilliseconds = 5000;
constexpr int kShardCacheKibibytes = 512;  // page cache per lasting shard connection

// A damaged shard would otherwise log on every operation; once per path and process is enough.
void logShardFailureOnce(const std::filesystem::path& path, const std::string& line) {
    static std::mutex mutex;
    static std::set<std::string> logged;
    {
        std::lock_guard lock(mutex);
        if (!logged.insert(path.string() + '\n' + line.substr(0, line.find(':'))).second) return;
    }
    appLog(line);
}

std::unique_ptr<platform::SqliteDatabase> openForOneCommand(const std::filesystem::path& folderDataDirectory,
                                                            const std::filesystem::path& path, std::string_view tag) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return nullptr;
    std::string error;
    std::unique_ptr<platform::SqliteDatabase> db;
    // Two commands that each held some shards alone and waited for the other's would both wait out
    // their busy timeouts and find nothing there: only the one that locks the folder's data directory
    // holds shards alone, the others share them.
    if (platform::holdDirectoryLockUntilExit(folderDataDirectory)) db = platform::SqliteDatabase::openExisting(path, error);
    if (db) {
        // The first read takes the exclusive lock, at once or not at all (no busy timeout yet).
        db->keepWriteAheadLogOnClose();
        if (db->exec("PRAGMA locking_mode=EXCLUSIVE", error) && db->exec("PRAGMA schema_version", error)) {
            db->setBusyTimeout(kBusyTimeoutMilliseconds);
            return db;
        }
        db.reset();
    }
    // Someone else has the shard open (or the exclusive read failed for another reason): share it.
    db = platform::SqliteDatabase::openExisting(path, error);
    if (!db) {
        logShardFailureOnce(path, "Sqlite connection failed " + std::string(tag) + ": " + path.string() + ": " + error);
        return nullptr;
    }
    db->setBusyTimeout(kBusyTimeoutMilliseconds);
    db->keepWriteAheadLogOnClose();
    return db;
}

}  // namespace

std::string_view subdirectory(StoreKind kind) {
    switch (kind) {
        case StoreKind::items: return "balanced_db_v9";
        case StoreKind::fullText: return "balanced_db_fts_v9";
        case StoreKind::numbers: return "balanced_db_numbers_v9";
        case StoreKind::ocrRects: return "balanced_db_ocr_v9";
    }
    return "balanced_db_v9";
}

std::filesystem::path shardPath(const std::filesystem::path& folderDataDirectory, StoreKind kind, uint32_t shard) {
    return folderDataDirectory / subdirectory(kind) / (std::to_string(shard) + ".sqlite");
}

std::unique_ptr<platform::SqliteDatabase> openShardDatabase(const std::filesystem::path& folderDataDirectory,
                                                            StoreKind kind, uint32_t shard, std::string_view tag,
                                                            ShardUse use) {
    const std::filesystem::path path = shardPath(folderDataDirectory, kind, shard);
    if (use == ShardUse::oneCommand) return openForOneCommand(folderDataDirectory, path, tag);
    std::error_code ec;
    // One stat when the folder exists (nearly always); creating walks every ancestor.
    if (!std::filesystem::is_directory(path.parent_path(), ec)) std::filesystem::create_directories(path.parent_path(), ec);

    std::string error;
    auto db = platform::SqliteDatabase::open(path, error);
    if (!db) {
        logShardFailureOnce(path, "Sqlite connection failed " + std::string(tag) + ": " + path.string() + ": " + error);
        return nullptr;
    }
    db->setBusyTimeout(kBusyTimeoutMilliseconds);
    // journal_mode is the first statement that reads the file, so a file that is not a database
    // shows up here; such a shard stays closed instead of being recreated over the user's data.
    // A pragma that fails on a readable database (e.g. WAL unsupported) leaves the store usable.
    if (!db->exec("PRAGMA journal_mode=WAL", error) || !db->exec("PRAGMA synchronous=NORMAL", error)) {
        logShardFailureOnce(path, std::string(tag) + " openDatabaseFile " + path.string() + ": " + error);
        std::string readError;
        if (!db->exec("SELECT count(*) FROM sqlite_master", readError)) return nullptr;
    }
    // Shards are opened and closed for single operations: re-creating the log files on every open cost
    // more than the query. The log left between opens is checkpointed and cut back to a bounded size.
    db->keepWriteAheadLogOnClose();
    db->exec("PRAGMA journal_size_limit=1048576", error);
    // Every store keeps its 20 shards open: at SQLite's default of 2 MB of page cache each, the four
    // stores' 80 connections grew with the index towards 160 MB. The pages read again come from the
    // system's file cache.
    db->exec("PRAGMA cache_size=" + std::to_string(-kShardCacheKibibytes), error);
    return db;
}

bool isDamageMessage(std::string_view sqliteMessage) {
    return sqliteMessage.find("disk image is malformed") != std::string_view::npos ||
           sqliteMessage.find("not a database") != std::string_view::npos;
}

namespace {

// " <size> <modification time>" of a file, or " -" when it is missing.
std::string fileStamp(const std::filesystem::path& path) {
    std::error_code sizeError, timeError;
    const auto size = std::filesystem::file_size(path, sizeError);
    const auto time = std::filesystem::last_write_time(path, timeError);
    if (sizeError || timeError) return " -";
    return " " + std::to_string(size) + " " + std::to_string(time.time_since_epoch().count());
}

// "ok", or what is wrong with the file.
std::string checkShard(const std::filesystem::path& path) {
    std::string error;
    auto db = platform::SqliteDatabase::openExisting(path, error);
    if (!db) return error;
    auto check = db->prepare("PRAGMA quick_check", error);
    if (!check) return error;
    std::string verdict;
    const auto step = check->step();
    if (step == platform::SqliteStatement::Step::row) verdict = check->textAt(0);
    if (step == platform::SqliteStatement::Step::error) verdict = check->errorMessage();
    return verdict.empty() ? "no answer from the integrity check" : verdict;
}

}  // namespace

std::vector<DamagedShard> moveDamagedShardsAside(const std::filesystem::path& folderDataDirectory) {
    // A check reads the whole file: files unchanged since they last passed are not read again.
    const std::filesystem::path memoFile = folderDataDirectory / "checked_shards.txt";
    std::map<std::string, std::string> passed;
    {
        std::ifstream in(memoFile);
        for (std::string name, stamp; in >> name && std::getline(in, stamp);) passed[name] = stamp;
    }
    std::string memo;
    std::vector<DamagedShard> damaged;
    for (StoreKind kind : {StoreKind::items, StoreKind::fullText, StoreKind::numbers, StoreKind::ocrRects}) {
        for (uint32_t shard = 0; shard < loadBalancerCount; ++shard) {
            const std::filesystem::path path = shardPath(folderDataDirectory, kind, shard);
            std::error_code ec;
            if (!std::filesystem::is_regular_file(path, ec)) continue;
            const std::string name = std::string(subdirectory(kind)) + "/" + std::to_string(shard);
            const std::string stamp = fileStamp(path) + fileStamp(path.string() + "-wal");
            std::string problem = passed.contains(name) && passed[name] == stamp ? "ok" : checkShard(path);
            if (problem == "ok") {
                memo += name + stamp + "\n";
                continue;
            }
            DamagedShard found{kind, shard, std::move(problem), {}};
            std::string aside = path.string() + ".damaged-" + compactUtcTimestamp();
            for (int n = 2; std::filesystem::exists(aside, ec) && n < 1000; ++n) {
                aside = path.string() + ".damaged-" + compactUtcTimestamp() + "-" + std::to_string(n);
            }
            std::filesystem::rename(path, aside, ec);
            if (!ec) {
                found.movedTo = aside;
                // The log files belong to the damaged file; beside a fresh shard they would be replayed into it.
                for (const char* suffix : {"-wal", "-shm"}) {
                    std::error_code ignored;
                    const std::filesystem::path log = path.string() + suffix;
                    if (std::filesystem::exists(log, ignored)) std::filesystem::rename(log, aside + suffix, ignored);
                }
            }
            appLog("Beschädigter Index-Shard " + path.string() + ": " + found.problem +
                   (ec ? "; konnte nicht beiseitegelegt werden: " + ec.message() : "; beiseitegelegt als " + aside));
            damaged.push_back(std::move(found));
        }
    }
    // Only a cache: without it every file is checked again next time.
    if (writeFileAtomically(memoFile, memo, defaultFilePermissions, FileDurability::cache)) {
        appLog("Prüfvermerk der Index-Shards nicht gespeichert: " + memoFile.string());
    }
    return damaged;
}

}  // namespace lumidex::storage
