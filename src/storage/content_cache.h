// A folder's results of earlier extractions, kept by the content they were made from, so that a file
// whose bytes were seen before (copied, moved, renamed or only touched) is not read and recognised
// again. The file "content_cache.sqlite" in the folder's data directory.
//
// An entry is opaque to this store: the caller's key (built from the content's digest and whatever else
// decides the result), the result as the extraction reported it, the text a later pass added (optional),
// and named files (previews and the like), each with its bytes or as a file of the cache's own in
// "content_cache_files/": a hard link to the file the caller names, so that a preview kept both for the
// document and in the cache takes its place on disk once (a copy where the file system has no links).
// Callers that change such a file replace it (write and rename), never write into it. The store is bounded: after every store the
// entries used least recently are dropped until the sizes of all entries add up to at most maxBytes; an
// entry larger than maxBytes alone is not kept. A find counts as a use.
//
// Failure: it is only a cache. A file SQLite calls damaged or foreign is deleted (with its log files) and
// made anew, empty, at once; the operation that met it answers as if the entry were missing. Writes
// report failure by their return value; find answers nullopt for a missing entry and for any failure.
// Thread-safety: every member may be called from any thread (one connection, serialised). Nothing
// throws except std::bad_alloc.
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

namespace lumidex::storage {

struct ContentCacheFile {
    std::string name;   // the caller's name for it
    std::string bytes;  // empty when `kept` is set
    // store(): the file whose bytes these are, kept by a link instead of in the database. find(): the
    // cache's own file, to be placed with placeKeptFile() and never written to; a file missing there
    // (removed behind the cache's back) makes placing fail, never a wrong answer.
    std::filesystem::path kept;
};

struct ContentCacheEntry {
    std::string result;
    std::optional<std::string> addedText;
    std::vector<ContentCacheFile> files;
};

class ContentCache {
public:
    static constexpr std::string_view fileName = "content_cache.sqlite";

    // Opens (or creates) the file lazily, on the first call that needs it. `log` receives one line per
    // damaged file dropped and per failed write; null: the application log.
    ContentCache(std::filesystem::path folderDataDirectory, std::uint64_t maxBytes,
                 std::function<void(std::string_view)> log = {});
    ~ContentCache();
    ContentCache(const ContentCache&) = delete;
    ContentCache& operator=(const ContentCache&) = delete;

    std::optional<ContentCacheEntry> find(std::string_view key);
    // Replaces any entry of the key, then evicts down to the bound.
    bool store(std::string_view key, const ContentCacheEntry& entry);
    // Sets the added text of an existing entry (false when there is none, or the write failed).
    bool setAddedText(std::string_view key, std::string_view text);
    // Sum of the sizes of the entries kept (0 when the file cannot be read).
    std::uint64_t storedBytes();
    // How often a damaged file was dropped since construction.
    int rebuilds() const;

    const std::filesystem::path& path() const { return path_; }

    // Puts a kept file (find()) at `target`, whole or not at all: a link where it can, else a copy.
    static bool placeKeptFile(const std::filesystem::path& kept, const std::filesystem::path& target);

private:
    bool openLocked();
    // Drops a damaged file when `message` says so; true when it did.
    bool dropIfDamagedLocked(const std::string& message);
    bool evictLocked();
    std::uint64_t storedBytesLocked();
    // Removes the kept files no entry names (left by a crash between a change and its clean-up).
    void sweepKeptLocked();
    // Links (or copies) the entry's kept files in; false when one could not be, having removed the rest.
    bool keepFilesLocked(const ContentCacheEntry& entry, std::vector<std::string>& names);
    void removeKept(const std::vector<std::string>& names) const;
    void log(std::string_view line) const;

    const std::filesystem::path path_;
    const std::filesystem::path keptDirectory_;
    const std::uint64_t maxBytes_;
    std::function<void(std::string_view)> log_;
    mutable std::mutex mutex_;
    std::unique_ptr<platform::SqliteDatabase> db_;
    int64_t nextUse_ = 1;
    int rebuilds_ = 0;
    // The sum of the entries' sizes, summed once per opening and then kept up to date: summing the table
    // reads every entry (its size is stored after its blobs), which at every store made filling the
    // cache quadratic in its size. Empty: not known yet.
    std::optional<std::uint64_t> storedBytes_;
};

}  // namespace lumidex::storage
