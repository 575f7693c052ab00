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

class LocalFileSystem final : public ScanFileSystem {
public:
    DirectoryListing list(const std::string& directory, bool followLink) override {
        DirectoryListing listing;
        const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW);
        const int fd = ::open(directory.c_str(), flags);
        if (fd < 0) {
            listing.error = std::error_code(errno, std::system_category());
            return listing;
        }
        DIR* dir = ::fdopendir(fd);
        if (dir == nullptr) {
            listing.error = std::error_code(errno, std::system_category());
            ::close(fd);
            return listing;
        }
        for (;;) {
            errno = 0;
            const dirent* entry = ::readdir(dir);
            if (entry == nullptr) {
                if (errno != 0) listing.error = std::error_code(errno, std::system_category());
                break;
            }
            if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
            listing.names.emplace_back(entry->d_name);
        }
        ::closedir(dir);
        return listing;
    }

    std::optional<FileStatus> status(const std::string& path, bool followLink, std::error_code& error) override {
        struct statx sx{};
        const int flags = AT_NO_AUTOMOUNT | (followLink ? 0 : AT_SYMLINK_NOFOLLOW);
        if (::statx(AT_FDCWD, path.c_str(), flags, STATX_TYPE | STATX_MTIME | STATX_BTIME | STATX_INO, &sx) != 0) {
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

    bool exists(const std::string& path) override {
        struct stat st{};
        return ::lstat(path.c_str(), &st) == 0;
    }
};

}  // namespace

ScanFileSystem& ScanFileSystem::local() {
    static LocalFileSystem fileSystem;
    return fileSystem;
}

}  // namespace lumidex::folders
