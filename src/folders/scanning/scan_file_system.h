// The few file-system questions a scan asks, behind a small interface so that tests can stage the
// failures a real disk produces only by accident (entries vanishing mid-walk, unreadable folders,
// permission errors even for root).
//
// local() is the process's real file system (POSIX calls; thread-safe, never throws). Implementations
// must be safe to call from several threads at once and must not throw: failures come back as
// error codes.
#pragma once

#include <cstdint>
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

    static ScanFileSystem& local();
};

}  // namespace lumidex::folders
