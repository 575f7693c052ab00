// FileWatcher over inotify: one watch per directory, kept in two maps (descriptor → path and path →
// descriptor, the latter ordered so a whole subtree is one range). Only the watcher thread touches the
// maps; the public members use atomics and one mutex for the readiness flag.
#include "platform/file_watcher.h"

#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace lumidex::platform {
namespace {

constexpr std::uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_FROM |
                                     IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR |
                                     IN_EXCL_UNLINK;

std::string errorText(int error) { return std::strerror(error); }

class InotifyFileWatcher final : public FileWatcher {
public:
    InotifyFileWatcher(const std::filesystem::path& root, Handler handler, Options options)
        : root_(rootString(root)), handler_(std::move(handler)), options_(std::move(options)) {
        inotifyFd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        initError_ = inotifyFd_ < 0 ? errno : 0;
        wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (wakeFd_ < 0 && initError_ == 0) initError_ = errno;
        thread_ = std::thread([this] { run(); });
    }

    ~InotifyFileWatcher() override {
        stop();
        if (inotifyFd_ >= 0) close(inotifyFd_);
        if (wakeFd_ >= 0) close(wakeFd_);
    }

    void stop() override {
        std::call_once(stopOnce_, [this] {
            stopping_ = true;
            if (wakeFd_ >= 0) {
                const std::uint64_t one = 1;
                [[maybe_unused]] const auto written = write(wakeFd_, &one, sizeof one);
            }
            if (thread_.joinable()) thread_.join();
            std::lock_guard lock(mutex_);
            finished_ = true;
            stateChanged_.notify_all();
        });
    }

    bool waitUntilWatching(std::chrono::milliseconds timeout) override {
        std::unique_lock lock(mutex_);
        stateChanged_.wait_for(lock, timeout, [this] { return watching_ || finished_; });
        return watching_ && !finished_;
    }

    std::size_t watchedDirectoryCount() const override { return watchCount_.load(); }

private:
    static std::string rootString(const std::filesystem::path& root) {
        std::string path = root.string();
        while (path.size() > 1 && path.back() == '/') path.pop_back();
        return path;
    }

    void reportChanged(const std::string& path) {
        if (handler_.changed && !stopping_) handler_.changed(path);
    }
    void reportRescan(RescanReason reason) {
        if (handler_.rescanNeeded && !stopping_) handler_.rescanNeeded(reason);
    }
    void reportProblem(const std::string& message) {
        if (handler_.problem && !stopping_) handler_.problem(message);
    }

    bool skipped(const std::string& directory) const {
        return options_.skipDirectory && options_.skipDirectory(std::filesystem::path(directory));
    }

    void markReady(bool watching) {
        std::lock_guard lock(mutex_);
        watching_ = watching;
        if (!watching) finished_ = true;
        stateChanged_.notify_all();
    }

    void run() {
        if (initError_ != 0) {
            reportProblem("Cannot watch " + root_ + ": " + errorText(initError_));
            if (initError_ == EMFILE) reportRescan(RescanReason::watchLimit);
            markReady(false);
            return;
        }
        addTree(root_, /*reportEntries=*/false);
        if (stopping_) return;
        markReady(pathToWatch_.count(root_) > 0);

        alignas(inotify_event) char buffer[64 * 1024];
        pollfd fds[2] = {{inotifyFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        while (!stopping_) {
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                reportProblem("Watching " + root_ + " ended: " + errorText(errno));
                return;
            }
            if (stopping_) return;
            if ((fds[0].revents & POLLIN) == 0) continue;
            for (;;) {
                const ssize_t length = read(inotifyFd_, buffer, sizeof buffer);
                if (length <= 0) break;  // EAGAIN: drained
                for (ssize_t offset = 0; offset < length && !stopping_;) {
                    const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
                    handle(*event);
                    offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                }
                if (stopping_) return;
            }
        }
    }

    void handle(const inotify_event& event) {
        if (event.mask & IN_Q_OVERFLOW) {
            // Directories created among the lost notifications may have no watch yet.
            addTree(root_, /*reportEntries=*/false);
            reportRescan(RescanReason::queueOverflow);
            return;
        }
        if (event.mask & IN_IGNORED) {
            forget(event.wd);
            return;
        }
        const auto it = watchToPath_.find(event.wd);
        if (it == watchToPath_.end()) return;
        const std::string directory = it->second;
        if (event.len == 0) {
            // Events of a watched directory itself are also reported by its parent, except for the root.
            if (directory == root_ && (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)))
                reportChanged(root_);
            return;
        }
        const std::string path = directory + "/" + event.name;
        if (event.mask & IN_ISDIR) {
            if (event.mask & (IN_MOVED_FROM | IN_DELETE)) {
                removeTree(path);
            } else if (event.mask & (IN_CREATE | IN_MOVED_TO)) {
                reportChanged(path);
                if (!skipped(path)) addTree(path, /*reportEntries=*/true);
                return;
            }
        }
        reportChanged(path);
    }

    // Watches `top` and every directory below it that is not skipped. With reportEntries, every entry
    // found is reported (entries made before their directory's watch existed would be missed otherwise).
    void addTree(const std::string& top, bool reportEntries) {
        std::vector<std::string> pending{top};
        while (!pending.empty() && !stopping_) {
            const std::string directory = std::move(pending.back());
            pending.pop_back();
            if (!addWatch(directory)) continue;
            DIR* dir = opendir(directory.c_str());
            if (dir == nullptr) {
                if (errno != ENOENT && errno != ENOTDIR) reportProblem("Cannot read " + directory + ": " + errorText(errno));
                continue;
            }
            while (const dirent* entry = readdir(dir)) {
                const std::string_view name = entry->d_name;
                if (name == "." || name == "..") continue;
                const std::string path = directory + "/" + entry->d_name;
                if (reportEntries) reportChanged(path);
                bool isDirectory = entry->d_type == DT_DIR;
                if (entry->d_type == DT_UNKNOWN) {
                    struct stat info {};
                    isDirectory = lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
                }
                if (isDirectory && !skipped(path)) pending.push_back(path);
            }
            closedir(dir);
        }
    }

    bool addWatch(const std::string& directory) {
        const bool isRoot = directory == root_;
        const int wd = inotify_add_watch(inotifyFd_, directory.c_str(), kWatchMask | (isRoot ? 0 : IN_DONT_FOLLOW));
        if (wd < 0) {
            const int error = errno;
            if (error == ENOSPC) {
                if (!limitReported_) {
                    limitReported_ = true;
                    reportProblem("Cannot watch " + directory + ": the inotify watch limit is exhausted "
                                  "(fs.inotify.max_user_watches)");
                    reportRescan(RescanReason::watchLimit);
                }
            } else if (isRoot || (error != ENOENT && error != ENOTDIR)) {
                reportProblem("Cannot watch " + directory + ": " + errorText(error));
            }
            return false;
        }
        // The same directory can come back under another path (moved, or found again after an overflow).
        if (auto old = watchToPath_.find(wd); old != watchToPath_.end() && old->second != directory) {
            pathToWatch_.erase(old->second);
        }
        watchToPath_[wd] = directory;
        pathToWatch_[directory] = wd;
        watchCount_ = watchToPath_.size();
        return true;
    }

    void removeTree(const std::string& top) {
        std::vector<std::pair<std::string, int>> doomed;
        if (auto it = pathToWatch_.find(top); it != pathToWatch_.end()) doomed.emplace_back(*it);
        const std::string prefix = top + "/";
        for (auto it = pathToWatch_.lower_bound(prefix); it != pathToWatch_.end() && it->first.starts_with(prefix); ++it)
            doomed.emplace_back(*it);
        for (const auto& [path, wd] : doomed) {
            inotify_rm_watch(inotifyFd_, wd);  // fails harmlessly when the kernel already dropped it
            pathToWatch_.erase(path);
            watchToPath_.erase(wd);
        }
        watchCount_ = watchToPath_.size();
    }

    void forget(int wd) {
        const auto it = watchToPath_.find(wd);
        if (it == watchToPath_.end()) return;
        if (auto back = pathToWatch_.find(it->second); back != pathToWatch_.end() && back->second == wd)
            pathToWatch_.erase(back);
        watchToPath_.erase(it);
        watchCount_ = watchToPath_.size();
    }

    const std::string root_;
    const Handler handler_;
    const Options options_;
    int inotifyFd_ = -1;
    int wakeFd_ = -1;
    int initError_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<std::size_t> watchCount_{0};
    std::once_flag stopOnce_;
    std::mutex mutex_;
    std::condition_variable stateChanged_;
    bool watching_ = false;
    bool finished_ = false;
    // Watcher thread only.
    bool limitReported_ = false;
    std::unordered_map<int, std::string> watchToPath_;
    std::map<std::string, int> pathToWatch_;
    std::thread thread_;
};

}  // namespace

std::unique_ptr<FileWatcher> createFileWatcher(const std::filesystem::path& root, FileWatcher::Handler handler,
                                               FileWatcher::Options options) {
    return std::make_unique<InotifyFileWatcher>(root, std::move(handler), std::move(options));
}

}  // namespace lumidex::platform
