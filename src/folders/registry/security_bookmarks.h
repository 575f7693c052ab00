// The stored list of searchable folders: one bookmark file per folder in <data directory>/bookmarks_v2,
// named by bookmarkFileName() of the folder's normalized path. Without a sandbox the bookmark data is
// the folder's absolute path in UTF-8 (NFC); "access" needs no grant, so resolving means reading the
// file and finding the folder on disk. A folder is resolved at most once per run per object (the cache).
//
// Check states: no bookmark file (or a reserved identifier) → noSecurityBookmark; a file that cannot be
// read or holds no absolute path → error; a folder no longer on disk → doesNotExist; data not in the
// current form (not NFC, a "file://" prefix, a trailing "/" or newline, another folder's path, or a file
// not under its proper name) → stale, which resolving rewrites; otherwise valid.
//
// Bookmark files of the older generation in <data directory>/bookmarks are moved into bookmarks_v2 on
// the first operation of each object: each one that resolves is written again and its old file deleted
// (so a folder removed later cannot come back from there); one that does not resolve stays for a later
// run. Files whose names contain "bookmark__" belong to other stores and are never listed or moved.
//
// Thread-safe: one mutex guards the cache and is never held during file-system access. Failures are
// logged (through the log sink) and reported only as false / nullopt / a state.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/model/enums.h"

namespace lumidex::folders {

using LogSink = std::function<void(std::string_view message)>;

class SecurityBookmarks {
public:
    static constexpr std::string_view directoryName = "bookmarks_v2";
    static constexpr std::string_view oldDirectoryName = "bookmarks";

    struct StoredBookmark {
        std::filesystem::path file;
        std::string folderPath;  // from the bookmark data; empty when it could not be read
        SecurityBookmarkStates state = SecurityBookmarkStates::error;
    };

    // `dataDirectory` is the application's data folder; the default sink is the debug log.
    explicit SecurityBookmarks(std::filesystem::path dataDirectory, LogSink log = {});
    SecurityBookmarks(const SecurityBookmarks&) = delete;
    SecurityBookmarks& operator=(const SecurityBookmarks&) = delete;

    // Over lumidex::dataDirectory(), created on first use.
    static SecurityBookmarks& shared();

    const std::filesystem::path& directory() const { return directory_; }
    const std::filesystem::path& dataDirectory() const { return dataDirectory_; }

    // The resolved paths of every stored folder that resolves, sorted, without duplicates.
    std::vector<std::string> list();
    // Every bookmark file with the folder it names and its state, by folder path (for showing the list
    // to the user). Stale files are reported, not rewritten.
    std::vector<StoredBookmark> storedBookmarks();
    // Writes the bookmark file for the folder, replacing an older one. False (logged) for a relative
    // path, a reserved identifier, or when the folder or file cannot be written. The folder itself need
    // not exist.
    bool add(std::string_view folderPath);
    // The folder's resolved path, or nullopt (logged) when there is no usable bookmark or the folder is
    // gone.
    std::optional<std::string> resolve(std::string_view folderPath);
    SecurityBookmarkStates check(std::string_view folderPath);
    // Drops the folder from the cache and deletes its bookmark file; only that file is touched. False
    // when there was nothing to delete or the deletion failed ("Delete failed e354656 " + the error).
    bool remove(std::string_view folderPath);

private:
    struct Decoded;
    std::optional<Decoded> readBookmark(const std::filesystem::path& file, std::string* error) const;
    SecurityBookmarkStates stateOf(const std::filesystem::path& file, const std::string* expectedPath) const;
    std::optional<std::string> resolveFile(const std::filesystem::path& file, const std::string& cacheKey);
    bool writeBookmark(const std::string& normalizedPath);
    std::vector<std::filesystem::path> bookmarkFiles();
    void migrateOldGeneration();
    void ensureMigrated();
    void log(const std::string& message) const;

    const std::filesystem::path dataDirectory_;
    const std::filesystem::path directory_;
    const LogSink log_;
    std::once_flag migrated_;
    std::mutex mutex_;
    std::map<std::string, std::string, std::less<>> resolvedUrlsCache_;  // requested path → resolved path
};

}  // namespace lumidex::folders
