// Recursive change notification for one root folder.
//
// A FileWatcher reports the path of every entry below the root that is created, deleted, modified,
// moved in or out, or whose attributes change, as root + "/" + the names on disk (bytes as the file
// system gives them). A directory that appears (created or moved in) is watched and then listed, and
// everything found in it is reported too, since entries made before its watch existed would otherwise
// be missed. A directory that disappears is reported by its own path only. When notifications were
// lost (the kernel queue overflowed) or part of the tree cannot be watched (the per-user watch limit),
// the watcher says so through rescanNeeded instead: only a full scan of the root can catch up then.
// The limit is reported once per watcher; the tree stays watched as far as it could be.
//
// Callbacks run on the watcher's own thread, one at a time, and should return quickly. stop() (also
// run by the destructor) ends the thread promptly, also during the initial walk of a large tree; once
// it returns no callback runs any more. stop() must not be called from inside a callback.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace lumidex::platform {

enum class RescanReason {
    queueOverflow,  // notifications were dropped
    watchLimit,     // a directory could not be watched: the watch or instance limit is exhausted
};

class FileWatcher {
public:
    struct Handler {
        std::function<void(const std::string& path)> changed;
        std::function<void(RescanReason reason)> rescanNeeded;
        // Non-fatal problems (a sub-folder that cannot be read, ...), as a readable line. Optional.
        std::function<void(const std::string& message)> problem;
    };
    struct Options {
        // Directories below the root for which this returns true are neither watched nor entered.
        std::function<bool(const std::filesystem::path& directory)> skipDirectory;
    };

    virtual ~FileWatcher() = default;

    // Idempotent. Must not be called from a callback.
    virtual void stop() = 0;
    // Waits until the initial watches are in place (true), or the timeout passed or the watcher stopped
    // before (false). Changes made after a true return are reported.
    virtual bool waitUntilWatching(std::chrono::milliseconds timeout) = 0;
    // Directories currently watched, the root included.
    virtual std::size_t watchedDirectoryCount() const = 0;
};

// Starts watching at once on a new thread. A root that cannot be watched at all is reported through
// `problem` (and, when a limit is the cause, rescanNeeded); the watcher then stays idle.
std::unique_ptr<FileWatcher> createFileWatcher(const std::filesystem::path& root, FileWatcher::Handler handler,
                                               FileWatcher::Options options = {});

}  // namespace lumidex::platform
