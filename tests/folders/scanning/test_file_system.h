// Test helpers for scanning: a file system over the real one that injects the failures a real disk
// produces only by accident, and small tree-building helpers.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <system_error>

#include "folders/scanning/scan_file_system.h"
#include "support/temp_home.h"

namespace lumidex::folders::testing {

class FaultInjectingFileSystem : public ScanFileSystem {
public:
    DirectoryListing list(const std::string& directory, bool followLink) override {
        if (onList) onList(directory);
        ++listCalls;
        {
            std::lock_guard lock(mutex);
            if (auto found = listErrors.find(directory); found != listErrors.end()) return DirectoryListing{{}, found->second};
        }
        return ScanFileSystem::local().list(directory, followLink);
    }
    std::optional<FileStatus> status(const std::string& path, bool followLink, std::error_code& error) override {
        if (onStatus) onStatus(path);
        {
            std::lock_guard lock(mutex);
            if (auto found = statusErrors.find(path); found != statusErrors.end()) {
                error = found->second;
                return std::nullopt;
            }
        }
        return ScanFileSystem::local().status(path, followLink, error);
    }
    bool exists(const std::string& path) override {
        ++existsCalls;
        return ScanFileSystem::local().exists(path);
    }

    void failList(const std::string& path, std::errc code) {
        std::lock_guard lock(mutex);
        listErrors[path] = std::make_error_code(code);
    }
    void failStatus(const std::string& path, std::errc code) {
        std::lock_guard lock(mutex);
        statusErrors[path] = std::make_error_code(code);
    }
    void clearFailures() {
        std::lock_guard lock(mutex);
        listErrors.clear();
        statusErrors.clear();
    }

    std::function<void(const std::string&)> onList;
    std::function<void(const std::string&)> onStatus;
    std::atomic<int> listCalls{0};
    std::atomic<int> existsCalls{0};

private:
    std::mutex mutex;
    std::map<std::string, std::error_code> listErrors;
    std::map<std::string, std::error_code> statusErrors;
};

inline void makeFile(const std::filesystem::path& path, const std::string& content = "x") {
    std::filesystem::create_directories(path.parent_path());
    lumidex::testing::writeFile(path, content);
}

// Sets access and modification time to `seconds` (plus `nanoseconds`) since 1970 (may be negative or
// past 2106).
inline bool setModificationTime(const std::filesystem::path& path, int64_t seconds, long nanoseconds = 0) {
    struct timespec times[2];
    times[0].tv_sec = static_cast<time_t>(seconds);
    times[0].tv_nsec = nanoseconds;
    times[1] = times[0];
    return ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

}  // namespace lumidex::folders::testing
