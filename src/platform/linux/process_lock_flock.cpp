#include "platform/process_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

namespace lumidex::platform {

bool holdDirectoryLockUntilExit(const std::filesystem::path& directory) {
    static std::mutex mutex;
    static std::map<std::string, bool> held;  // the answer for each directory asked about
    std::lock_guard lock(mutex);
    // One key per directory however it is spelled: a second descriptor of our own would find the lock taken.
    std::filesystem::path normal = directory.lexically_normal();
    if (!normal.has_filename() && normal.has_parent_path()) normal = normal.parent_path();
    const std::string key = normal.string();
    if (auto found = held.find(key); found != held.end()) return found->second;
    const int fd = ::open(key.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool ok = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    // A held lock keeps its descriptor open until exit, which releases it.
    if (!ok && fd >= 0) ::close(fd);
    held.emplace(key, ok);
    return ok;
}

namespace {

// The holder's line; it names itself right after taking the lock, so give it a moment when not there yet.
std::string holderOf(int fd) {
    std::string current;
    for (int attempt = 0; attempt < 20 && current.empty(); ++attempt) {
        if (attempt > 0) ::usleep(10000);
        current.assign(256, '\0');
        const ssize_t n = ::pread(fd, current.data(), current.size(), 0);
        current.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        while (!current.empty() && (current.back() == '\n' || current.back() == '\0')) current.pop_back();
    }
    return current.empty() ? "another process" : current;
}

int openLockFile(const std::filesystem::path& file, std::string& error) {
    std::error_code ec;
    std::filesystem::create_directories(file.parent_path(), ec);
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) error = "cannot open " + file.string() + ": " + std::strerror(errno);
    return fd;
}

// Best effort: the name only helps a waiting process say whom it waits for.
void nameHolder(int fd, const std::string& holder) {
    const std::string line = holder + "\n";
    if (::ftruncate(fd, 0) == 0) {
        [[maybe_unused]] const ssize_t written = ::pwrite(fd, line.data(), line.size(), 0);
    }
}

}  // namespace

std::unique_ptr<WriterLock> WriterLock::acquire(const std::filesystem::path& file, const std::string& holder,
                                                const std::function<void(const std::string& holder)>& waiting,
                                                std::string& error) {
    const int fd = openLockFile(file, error);
    if (fd < 0) return nullptr;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const std::string current = holderOf(fd);
        if (waiting) waiting(current);
        int result;
        while ((result = ::flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
        }
        if (result != 0) {
            error = "cannot lock " + file.string() + ": " + std::strerror(errno);
            ::close(fd);
            return nullptr;
        }
    }
    nameHolder(fd, holder);
    return std::unique_ptr<WriterLock>(new WriterLock(fd));
}

std::unique_ptr<WriterLock> WriterLock::tryAcquire(const std::filesystem::path& file, const std::string& holder,
                                                   std::string& heldBy, std::string& error) {
    const int fd = openLockFile(file, error);
    if (fd < 0) return nullptr;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            heldBy = holderOf(fd);
        } else {
            error = "cannot lock " + file.string() + ": " + std::strerror(errno);
        }
        ::close(fd);
        return nullptr;
    }
    nameHolder(fd, holder);
    return std::unique_ptr<WriterLock>(new WriterLock(fd));
}

WriterLock::~WriterLock() { ::close(descriptor_); }

}  // namespace lumidex::platform
