#include "storage/content_cache.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <unordered_set>
#include <span>

#include "core/app_log.h"
#include "platform/sqlite.h"
#include "storage/shard_layout.h"

namespace lumidex::storage {
namespace {

using Step = platform::SqliteStatement::Step;

constexpr std::string_view schema =
    "PRAGMA journal_mode=WAL;"
    "PRAGMA synchronous=NORMAL;"
    "CREATE TABLE IF NOT EXISTS entries(key TEXT PRIMARY KEY, result BLOB NOT NULL, addedText BLOB,"
    " bytes INTEGER NOT NULL, used INTEGER NOT NULL);"
    "CREATE INDEX IF NOT EXISTS entries_used ON entries(used);"
    "CREATE TABLE IF NOT EXISTS files(key TEXT NOT NULL, name TEXT NOT NULL, data BLOB NOT NULL);"
    "CREATE INDEX IF NOT EXISTS files_key ON files(key);"
    "CREATE TABLE IF NOT EXISTS kept(key TEXT NOT NULL, name TEXT NOT NULL, file TEXT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS kept_key ON kept(key);";

constexpr std::string_view keptDirectoryName = "content_cache_files";
// No store takes this long between linking its files in and committing them.
constexpr std::chrono::minutes sweepAge{10};

// A name no other kept or temporary file has, also across processes.
std::string uniqueName() {
    thread_local std::mt19937_64 random = [] {
        std::random_device device;
        std::seed_seq seed{device(), device(), device(), device()};
        return std::mt19937_64(seed);
    }();
    static constexpr char digits[] = "0123456789abcdef";
    std::string name(16, '0');
    uint64_t value = random();
    for (char& c : name) {
        c = digits[value & 15U];
        value >>= 4U;
    }
    return name;
}

// `to` becomes the same file as `from` (a link), or a copy of it where no link can be made.
bool linkOrCopy(const std::filesystem::path& from, const std::filesystem::path& to) {
    std::error_code ec;
    std::filesystem::create_hard_link(from, to, ec);
    if (!ec) return true;
    if (ec == std::errc::file_exists) return false;  // someone else's: left alone
    std::filesystem::copy_file(from, to, ec);
    if (!ec) return true;
    if (ec != std::errc::file_exists) std::filesystem::remove(to, ec);
    return false;
}

std::span<const uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

std::string stringOf(std::span<const uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace

ContentCache::ContentCache(std::filesystem::path folderDataDirectory, std::uint64_t maxBytes,
                           std::function<void(std::string_view)> log)
    : path_(folderDataDirectory / fileName),
      keptDirectory_(folderDataDirectory / keptDirectoryName),
      maxBytes_(maxBytes),
      log_(std::move(log)) {}

bool ContentCache::placeKeptFile(const std::filesystem::path& kept, const std::filesystem::path& target) {
    // Under a temporary name first: a reader of `target` sees the old file or the whole new one.
    const std::filesystem::path temporary = target.string() + ".tmp-" + uniqueName();
    if (!linkOrCopy(kept, temporary)) return false;
    std::error_code ec;
    std::filesystem::rename(temporary, target, ec);
    // Renaming a name onto another name of the same file does nothing: the temporary one is left.
    std::error_code ignored;
    std::filesystem::remove(temporary, ignored);
    return !ec;
}

bool ContentCache::keepFilesLocked(const ContentCacheEntry& entry, std::vector<std::string>& names) {
    std::error_code ec;
    std::filesystem::create_directories(keptDirectory_, ec);
    for (const ContentCacheFile& file : entry.files) {
        if (file.kept.empty()) continue;
        names.push_back(uniqueName());
        if (ec || !linkOrCopy(file.kept, keptDirectory_ / names.back())) {
            names.pop_back();
            removeKept(names);
            names.clear();
            log("[ContentCache] nicht gespeichert: " + file.kept.string() + ": nicht verknüpft");
            return false;
        }
    }
    return true;
}

void ContentCache::removeKept(const std::vector<std::string>& names) const {
    std::error_code ec;
    for (const std::string& name : names) std::filesystem::remove(keptDirectory_ / name, ec);
}

void ContentCache::sweepKeptLocked() {
    // A store links its files in before it commits them, and another cache object of the same folder
    // may be between the two: a file linked in lately (a link sets the file's change time) is left for
    // a later sweep.
    const auto now = std::chrono::system_clock::now();
    std::vector<std::string> present;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(keptDirectory_, ec), end; !ec && it != end; it.increment(ec)) {
        struct stat status {};
        if (::lstat(it->path().c_str(), &status) != 0) continue;
        const auto changed = std::chrono::system_clock::from_time_t(status.st_ctime);
        if (now - changed < sweepAge) continue;
        present.push_back(it->path().filename().string());
    }
    if (ec || present.empty()) return;
    std::unordered_set<std::string> named;
    std::string error;
    auto all = db_->prepare("SELECT file FROM kept", error);
    if (!all) return;
    for (Step step = all->step();; step = all->step()) {
        if (step == Step::error) return;  // not knowing every name, nothing can be called unnamed
        if (step == Step::done) break;
        named.insert(all->textAt(0));
    }
    std::erase_if(present, [&named](const std::string& name) { return named.contains(name); });
    removeKept(present);
}

ContentCache::~ContentCache() = default;

void ContentCache::log(std::string_view line) const {
    if (log_) {
        log_(line);
    } else {
        appLog(line);
    }
}

bool ContentCache::openLocked() {
    if (db_) return true;
    storedBytes_.reset();
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::string error;
        db_ = platform::SqliteDatabase::open(path_, error);
        if (db_) {
            db_->setBusyTimeout(5000);
            if (db_->exec(schema, error)) {
                auto last = db_->prepare("SELECT COALESCE(MAX(used), 0) FROM entries", error);
                if (last && last->step() == Step::row) {
                    nextUse_ = last->int64At(0) + 1;
                    last.reset();
                    sweepKeptLocked();
                    return true;
                }
                if (last) error = last->errorMessage();
            }
        }
        if (!dropIfDamagedLocked(error)) {
            log("[ContentCache] nicht geöffnet: " + path_.string() + ": " + error);
            db_.reset();
            return false;
        }
    }
    return false;
}

bool ContentCache::dropIfDamagedLocked(const std::string& message) {
    if (!isDamageMessage(message)) return false;
    db_.reset();
    storedBytes_.reset();
    std::error_code ec;
    for (const char* suffix : {"", "-wal", "-shm"}) {
        std::filesystem::remove(path_.string() + suffix, ec);
    }
    std::filesystem::remove_all(keptDirectory_, ec);
    ++rebuilds_;
    log("[ContentCache] beschädigt, neu angelegt: " + path_.string() + ": " + message);
    return true;
}

std::optional<ContentCacheEntry> ContentCache::find(std::string_view key) {
    std::lock_guard lock(mutex_);
    if (!openLocked()) return std::nullopt;
    ContentCacheEntry entry;
    bool found = false;
    // Statements end inside the lambda: a damaged file is dropped only after they have let go of it.
    const std::string failure = [&]() -> std::string {
        std::string error;
        auto entryQuery = db_->prepare("SELECT result, addedText FROM entries WHERE key = ?", error);
        if (!entryQuery) return error;
        entryQuery->bind(1, key);
        const Step step = entryQuery->step();
        if (step == Step::error) return entryQuery->errorMessage();
        if (step == Step::done) return {};
        entry.result = stringOf(entryQuery->blobAt(0));
        if (!entryQuery->isNull(1)) entry.addedText = stringOf(entryQuery->blobAt(1));

        auto fileQuery = db_->prepare("SELECT name, data FROM files WHERE key = ? ORDER BY rowid", error);
        if (!fileQuery) return error;
        fileQuery->bind(1, key);
        for (;;) {
            const Step row = fileQuery->step();
            if (row == Step::error) return fileQuery->errorMessage();
            if (row == Step::done) break;
            entry.files.push_back(ContentCacheFile{fileQuery->textAt(0), stringOf(fileQuery->blobAt(1)), {}});
        }
        auto keptQuery = db_->prepare("SELECT name, file FROM kept WHERE key = ? ORDER BY rowid", error);
        if (!keptQuery) return error;
        keptQuery->bind(1, key);
        for (;;) {
            const Step row = keptQuery->step();
            if (row == Step::error) return keptQuery->errorMessage();
            if (row == Step::done) break;
            entry.files.push_back(ContentCacheFile{keptQuery->textAt(0), {}, keptDirectory_ / keptQuery->textAt(1)});
        }
        found = true;
        // A use that cannot be recorded only makes the entry look older than it is.
        auto touch = db_->prepare("UPDATE entries SET used = ? WHERE key = ?", error);
        if (!touch) return error;
        touch->bind(1, nextUse_++);
        touch->bind(2, key);
        return touch->run() ? std::string() : touch->errorMessage();
    }();
    if (!failure.empty() && dropIfDamagedLocked(failure)) return std::nullopt;
    if (!found) return std::nullopt;
    return entry;
}

bool ContentCache::store(std::string_view key, const ContentCacheEntry& entry) {
    std::uint64_t bytes = entry.result.size() + entry.addedText.value_or("").size();
    for (const ContentCacheFile& file : entry.files) {
        bytes += file.name.size() + file.bytes.size();
        if (file.kept.empty()) continue;
        std::error_code ec;
        const auto size = std::filesystem::file_size(file.kept, ec);
        if (ec) {
            log("[ContentCache] nicht gespeichert: " + file.kept.string() + ": " + ec.message());
            return false;
        }
        bytes += size;  // it takes its place on disk once the document's own is gone
    }
    std::lock_guard lock(mutex_);
    if (bytes > maxBytes_) return true;  // kept nowhere, by the bound's own rule
    if (!openLocked()) return false;
    std::vector<std::string> linked;
    if (!keepFilesLocked(entry, linked)) return false;
    std::vector<std::string> replacedFiles;
    std::uint64_t replaced = 0;
    const std::string failure = [&]() -> std::string {
        std::string error;
        platform::SqliteTransaction transaction(*db_);
        if (!transaction.began()) return transaction.error();
        if (storedBytes_) {
            auto old = db_->prepare("SELECT bytes FROM entries WHERE key = ?", error);
            if (!old) return error;
            old->bind(1, key);
            const Step step = old->step();
            if (step == Step::error) return old->errorMessage();
            if (step == Step::row) replaced = static_cast<std::uint64_t>(old->int64At(0));
        }
        auto oldKept = db_->prepare("SELECT file FROM kept WHERE key = ?", error);
        if (!oldKept) return error;
        oldKept->bind(1, key);
        for (Step step = oldKept->step();; step = oldKept->step()) {
            if (step == Step::error) return oldKept->errorMessage();
            if (step == Step::done) break;
            replacedFiles.push_back(oldKept->textAt(0));
        }
        for (const char* drop : {"DELETE FROM files WHERE key = ?", "DELETE FROM kept WHERE key = ?"}) {
            auto dropFiles = db_->prepare(drop, error);
            if (!dropFiles) return error;
            dropFiles->bind(1, key);
            if (!dropFiles->run()) return dropFiles->errorMessage();
        }
        auto insert = db_->prepare(
            "INSERT OR REPLACE INTO entries(key, result, addedText, bytes, used) VALUES(?, ?, ?, ?, ?)", error);
        if (!insert) return error;
        insert->bind(1, key);
        insert->bindBlob(2, bytesOf(entry.result));
        if (entry.addedText) {
            insert->bindBlob(3, bytesOf(*entry.addedText));
        } else {
            insert->bindNull(3);
        }
        insert->bind(4, static_cast<int64_t>(bytes));
        insert->bind(5, nextUse_++);
        if (!insert->run()) return insert->errorMessage();
        auto insertFile = db_->prepare("INSERT INTO files(key, name, data) VALUES(?, ?, ?)", error);
        if (!insertFile) return error;
        auto insertKept = db_->prepare("INSERT INTO kept(key, name, file) VALUES(?, ?, ?)", error);
        if (!insertKept) return error;
        std::size_t nextLinked = 0;
        for (const ContentCacheFile& file : entry.files) {
            auto& statement = file.kept.empty() ? insertFile : insertKept;
            statement->reset();
            statement->bind(1, key);
            statement->bind(2, file.name);
            if (file.kept.empty()) {
                statement->bindBlob(3, bytesOf(file.bytes));
            } else {
                statement->bind(3, linked[nextLinked++]);
            }
            if (!statement->run()) return statement->errorMessage();
        }
        if (!transaction.commit()) return transaction.error().empty() ? "commit failed" : transaction.error();
        return {};
    }();
    if (!failure.empty()) {
        removeKept(linked);
        if (!dropIfDamagedLocked(failure)) log("[ContentCache] nicht gespeichert: " + path_.string() + ": " + failure);
        return false;
    }
    removeKept(replacedFiles);
    if (storedBytes_) *storedBytes_ = *storedBytes_ - std::min(*storedBytes_, replaced) + bytes;
    return evictLocked();
}

bool ContentCache::setAddedText(std::string_view key, std::string_view text) {
    std::lock_guard lock(mutex_);
    if (!openLocked()) return false;
    bool updated = false;
    const std::string failure = [&]() -> std::string {
        std::string error;
        auto update = db_->prepare(
            "UPDATE entries SET addedText = ?, bytes = bytes - COALESCE(LENGTH(addedText), 0) + ? WHERE key = ?", error);
        if (!update) return error;
        auto size = db_->prepare("SELECT bytes FROM entries WHERE key = ?", error);
        if (!size) return error;
        const auto sizeOfEntry = [&]() -> std::optional<std::uint64_t> {
            size->reset();
            size->bind(1, key);
            if (size->step() != Step::row) return std::nullopt;
            return static_cast<std::uint64_t>(size->int64At(0));
        };
        const auto before = sizeOfEntry();
        update->bindBlob(1, bytesOf(text));
        update->bind(2, static_cast<int64_t>(text.size()));
        update->bind(3, key);
        if (!update->run()) return update->errorMessage();
        updated = db_->changes() > 0;
        const auto after = sizeOfEntry();
        if (storedBytes_ && before && after) {
            *storedBytes_ = *storedBytes_ - std::min(*storedBytes_, *before) + *after;
        } else if (updated) {
            storedBytes_.reset();  // summed again when next needed
        }
        return {};
    }();
    if (!failure.empty()) {
        if (!dropIfDamagedLocked(failure)) log("[ContentCache] nicht gespeichert: " + path_.string() + ": " + failure);
        return false;
    }
    return evictLocked() && updated;
}

std::uint64_t ContentCache::storedBytesLocked() {
    if (storedBytes_) return *storedBytes_;
    std::uint64_t total = 0;
    const std::string failure = [&]() -> std::string {
        std::string error;
        auto sum = db_->prepare("SELECT COALESCE(SUM(bytes), 0) FROM entries", error);
        if (!sum) return error;
        if (sum->step() != Step::row) return sum->errorMessage();
        total = static_cast<std::uint64_t>(sum->int64At(0));
        return {};
    }();
    if (!failure.empty()) {
        dropIfDamagedLocked(failure);
        return total;
    }
    storedBytes_ = total;
    return total;
}

std::uint64_t ContentCache::storedBytes() {
    std::lock_guard lock(mutex_);
    if (!openLocked()) return 0;
    return storedBytesLocked();
}

bool ContentCache::evictLocked() {
    std::uint64_t total = storedBytesLocked();
    if (!db_) return false;
    if (total <= maxBytes_) return true;
    std::vector<std::string> evictedFiles;  // removed once the entries naming them are gone
    const std::string failure = [&]() -> std::string {
        std::string error;
        std::vector<std::string> victims;
        {
            auto oldest = db_->prepare("SELECT key, bytes FROM entries ORDER BY used ASC", error);
            if (!oldest) return error;
            while (total > maxBytes_) {
                const Step step = oldest->step();
                if (step == Step::error) return oldest->errorMessage();
                if (step == Step::done) break;
                victims.push_back(oldest->textAt(0));
                total -= std::min<std::uint64_t>(total, static_cast<std::uint64_t>(oldest->int64At(1)));
            }
        }
        platform::SqliteTransaction transaction(*db_);
        if (!transaction.began()) return transaction.error();
        auto dropEntry = db_->prepare("DELETE FROM entries WHERE key = ?", error);
        if (!dropEntry) return error;
        auto dropFiles = db_->prepare("DELETE FROM files WHERE key = ?", error);
        if (!dropFiles) return error;
        auto victimKept = db_->prepare("SELECT file FROM kept WHERE key = ?", error);
        if (!victimKept) return error;
        auto dropKept = db_->prepare("DELETE FROM kept WHERE key = ?", error);
        if (!dropKept) return error;
        for (const std::string& victim : victims) {
            victimKept->reset();
            victimKept->bind(1, victim);
            for (Step step = victimKept->step();; step = victimKept->step()) {
                if (step == Step::error) return victimKept->errorMessage();
                if (step == Step::done) break;
                evictedFiles.push_back(victimKept->textAt(0));
            }
            for (auto* drop : {&dropEntry, &dropFiles, &dropKept}) {
                (*drop)->reset();
                (*drop)->bind(1, victim);
                if (!(*drop)->run()) return (*drop)->errorMessage();
            }
        }
        if (!transaction.commit()) return transaction.error().empty() ? "commit failed" : transaction.error();
        storedBytes_ = total;
        return {};
    }();
    if (failure.empty()) {
        removeKept(evictedFiles);
        return true;
    }
    storedBytes_.reset();
    if (!dropIfDamagedLocked(failure)) log("[ContentCache] Verdrängung fehlgeschlagen: " + path_.string() + ": " + failure);
    return false;
}

int ContentCache::rebuilds() const {
    std::lock_guard lock(mutex_);
    return rebuilds_;
}

}  // namespace lumidex::storage
