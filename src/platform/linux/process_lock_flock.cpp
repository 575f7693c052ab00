#include "platform/process_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

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

}  // namespace lumidex::platform
