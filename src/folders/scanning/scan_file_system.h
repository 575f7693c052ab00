// The few file-system questions a scan asks, behind a small interface so that tests can stage the
// failures a real disk produces only by accident (entries vanishing mid-walk, unreadable folders,
// permission errors even for root).
//
// local() is the process's real file system (POSIX calls; thread-safe, never throws). Implementations
// must be safe to call from several threads at once and must not throw: failures come back as
// error codes.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "core/model/date.h"

namespace lumidex::folders {

struct FileStatus {
    enum class Kind { regular, directory, symlink, other };

    Kind kind = Kind::other;
    std::optional<Date> modified;  // content modification time
    std::optional<Date> created;   // birth time, when the file system keeps one
    uint64_t device = 0;
    uint64_t inode = 0;

    bool isDirectory() const { return kind == Kind::directory; }
    bool isRegularFile() const { return kind == Kind::regular; }
};

struct DirectoryListing {
    std::vector<std::string> names;  // without "." and ".."; what was read before an error, if any
    std::error_code error;
};

struct ListedEntry {
    std::string name;
    std::optional<FileStatus> status;  // nullopt when not asked for, or (with `error`) when it failed
    std::error_code error;
};

struct StatusListing {
    std::vector<ListedEntry> entries;  // as DirectoryListing::names
    std::error_code error;             // of the listing itself
};

class ScanFileSystem {
public:
    virtual ~ScanFileSystem() = default;

    // Entry names of a folder, in the order the file system returns them. With followLink false a
    // symbolic link is refused (ELOOP) instead of listed, so a folder swapped for a link mid-walk cannot
    // lead the walk elsewhere.
    virtual DirectoryListing list(const std::string& directory, bool followLink) = 0;
    // Status of the entry itself (links are not followed unless followLink); nullopt and `error` on failure.
    virtual std::optional<FileStatus> status(const std::string& path, bool followLink, std::error_code& error) = 0;
    virtual bool exists(const std::string& path) = 0;
    // The folder's entries with the status (links not followed) of each name `wanted` accepts: the
    // answers of list() and then status() of every child path. The local file system asks relative to
    // the open folder, which spares the kernel a lookup of the whole path per entry.
    virtual StatusListing listWithStatus(const std::string& directory, bool followLink,
                                         const std::function<bool(const std::string&)>& wanted);

    static ScanFileSystem& local();
};

}  // namespace lumidex::folders
