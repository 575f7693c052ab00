// Advisory locks between processes of this application.
//
// Thread-safety: may be called from any thread. Failure behaviour: never throws; a lock that cannot
// be taken (held elsewhere, unreadable directory) is reported as not held.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace lumidex::platform {

// Takes an exclusive advisory lock on `directory`, without waiting, and keeps it until the process
// ends. True when this process holds it (from this call or an earlier one); false when another
// process does, or the directory cannot be opened. Child processes do not inherit it.
bool holdDirectoryLockUntilExit(const std::filesystem::path& directory);

// The right to write one index: held by one process at a time through an exclusive advisory lock on
// `file` (created when missing), released when the object is destroyed or the process ends. The holder
// writes a line naming itself into the file, so that a process that has to wait can say for whom.
class WriterLock {
public:
    // Takes the lock, waiting as long as another process holds it; `waiting` is called once, with the
    // holder's description, before the wait begins. Null (with `error` set) when the file cannot be
    // opened or locked.
    static std::unique_ptr<WriterLock> acquire(const std::filesystem::path& file, const std::string& holder,
                                               const std::function<void(const std::string& holder)>& waiting,
                                               std::string& error);
    // The same without waiting: null when another process holds the lock (`heldBy` names it, `error`
    // stays empty) or the file cannot be opened (`error` set).
    static std::unique_ptr<WriterLock> tryAcquire(const std::filesystem::path& file, const std::string& holder,
                                                  std::string& heldBy, std::string& error);
    ~WriterLock();
    WriterLock(const WriterLock&) = delete;
    WriterLock& operator=(const WriterLock&) = delete;

private:
    explicit WriterLock(int descriptor) : descriptor_(descriptor) {}
    int descriptor_;
};

}  // namespace lumidex::platform
