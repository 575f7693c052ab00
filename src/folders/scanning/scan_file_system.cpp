#include "folders/scanning/scan_file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace lumidex::folders {
namespace {

Date dateOf(const struct statx_timestamp& t) {
    return dateFromSecondsSince1970(static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9);
}

FileStatus::Kind kindOf(uint16_t mode) {
    if (S_ISREG(mode)) return FileStatus::Kind::regular;
    if (S_ISDIR(mode)) return FileStatus::Kind::directory;
    if (S_ISLNK(mode)) return FileStatus::Kind::symlink;
    return FileStatus::Kind::other;
}

DIR* openDirectory(const std::string& directory, bool followLink, std::error_code& error) {
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW);
    const int fd = ::open(directory.c_str(), flags);
    if (fd < 0) {
        error = std::error_code(errno, std::system_category());
        return nullptr;
    }
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        error = std::error_code(errno, std::system_category());
        ::close(fd);
    }
    return dir;
}

// Calls `entry` with every name but "." and ".."; a read error ends the listing and lands in `error`.
template <class EntryFunction>
void readEntries(DIR* dir, std::error_code& error, EntryFunction entry) {
    for (;;) {
        errno = 0;
        const dirent* found = ::readdir(dir);
        if (found == nullptr) {
            if (errno != 0) error = std::error_code(errno, std::system_category());
            return;
        }
        if (std::strcmp(found->d_name, ".") == 0 || std::strcmp(found->d_name, "..") == 0) continue;
        entry(found->d_name);
    }
}

std::optional<FileStatus> statusAt(int directoryFd, const char* path, bool followLink, std::error_code& error) {
    struct statx sx{};
    const int flags = AT_NO_AUTOMOUNT | (followLink ? 0 : AT_SYMLINK_NOFOLLOW);
    if (::statx(directoryFd, path, flags, STATX_TYPE | STATX_MTIME | STATX_BTIME | STATX_INO, &sx) != 0) {
        error = std::error_code(errno, std::system_category());
        return std::nullopt;
    }
    error.clear();
    FileStatus status;
    status.kind = kindOf(sx.stx_mode);
    if (sx.stx_mask & STATX_MTIME) status.modified = dateOf(sx.stx_mtime);
    if (sx.stx_mask & STATX_BTIME) status.created = dateOf(sx.stx_btime);
    status.device = (static_cast<uint64_t>(sx.stx_dev_major) << 32) | sx.stx_dev_minor;
    status.inode = sx.stx_ino;
    return status;
}

class LocalFileSystem final : public ScanFileSystem {
public:
    DirectoryListing list(const std::string& directory, bool followLink) override {
        DirectoryListing listing;
        DIR* dir = openDirectory(directory, followLink, listing.error);
        if (dir == nullptr) return listing;
        readEntries(dir, listing.error, [&](const char* name) { listing.names.emplace_back(name); });
        ::closedir(dir);
        return listing;
    }

    std::optional<FileStatus> status(const std::string& path, bool followLink, std::error_code& error) override {
        return statusAt(AT_FDCWD, path.c_str(), followLink, error);
    }

    StatusListing listWithStatus(const std::string& directory, bool followLink,
                                 const std::function<bool(const std::string&)>& wanted) override {
        StatusListing listing;
        DIR* dir = openDirectory(directory, followLink, listing.error);
        if (dir == nullptr) return listing;
        const int fd = ::dirfd(dir);
        readEntries(dir, listing.error, [&](const char* name) {
            ListedEntry entry{name, std::nullopt, {}};
            if (wanted(entry.name)) entry.status = statusAt(fd, name, false, entry.error);
            listing.entries.push_back(std::move(entry));
        });
        ::closedir(dir);
        return listing;
    }

    bool exists(const std::string& path) override {
        struct stat st{};
        return ::lstat(path.c_str(), &st) == 0;
    }
};

}  // namespace

StatusListing ScanFileSystem::listWithStatus(const std::string& directory, bool followLink,
                                             const std::function<bool(const std::string&)>& wanted) {
    DirectoryListing names = list(directory, followLink);
    StatusListing listing;
    listing.error = names.error;
    listing.entries.reserve(names.names.size());
    for (std::string& name : names.names) {
        ListedEntry entry{std::move(name), std::nullopt, {}};
        if (wanted(entry.name)) {
            const bool slash = !directory.empty() && directory.back() == '/';
            const std::string path = slash ? directory + entry.name : directory + "/" + entry.name;
            entry.status = status(path, false, entry.error);
        }
        listing.entries.push_back(std::move(entry));
    }
    return listing;
}

ScanFileSystem& ScanFileSystem::local() {
    static LocalFileSystem fileSystem;
    return fileSystem;
}

}  // namespace lumidex::folders
