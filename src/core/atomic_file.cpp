#include "core/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

namespace lumidex {

namespace {

std::error_code lastError() { return {errno, std::generic_category()}; }

// Closes the descriptor and removes the temporary file unless it was renamed into place.
class TemporaryFile {
public:
    explicit TemporaryFile(const std::filesystem::path& target) {
        const std::string pattern = target.string() + ".tmp-XXXXXX";
        name_.assign(pattern.begin(), pattern.end());
        name_.push_back('\0');
        fd_ = ::mkostemp(name_.data(), O_CLOEXEC);
        created_ = fd_ >= 0;
    }
    ~TemporaryFile() {
        close();
        if (created_ && !committed_) ::unlink(name_.data());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    int fd() const { return fd_; }
    const char* path() const { return name_.data(); }
    void commit() { committed_ = true; }
    int close() {
        if (fd_ < 0) return 0;
        const int result = ::close(fd_);
        fd_ = -1;
        return result;
    }

private:
    std::vector<char> name_;
    int fd_ = -1;
    bool created_ = false;
    bool committed_ = false;
};

bool writeAll(int fd, std::string_view bytes) {
    const char* data = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, data, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

int syncFolder(const std::filesystem::path& folder) {
    const int dirFd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) return -1;
    int result = ::fsync(dirFd);
    const int savedErrno = errno;
    ::close(dirFd);
    errno = savedErrno;
    return result;
}

}  // namespace

std::string FileWriteError::message() const {
    std::string what;
    switch (step) {
    case Step::createTemporary: what = "Could not create a temporary file next to "; break;
    case Step::write: what = "Could not write "; break;
    case Step::flush: what = "Could not flush "; break;
    case Step::replace: what = "Could not replace "; break;
    case Step::flushFolder: what = "Replaced, but could not flush the folder of "; break;
    }
    return what + path.string() + ": " + code.message();
}

std::optional<FileWriteError> writeFileAtomically(const std::filesystem::path& requested, std::string_view bytes,
                                                  std::filesystem::perms permissions, FileDurability durability) {
    const bool sync = durability == FileDurability::synced;
    // Replace the target of a symbolic link (dotfiles are often linked), not the link itself.
    std::filesystem::path path = requested;
    std::error_code ec;
    if (std::filesystem::is_symlink(requested, ec)) {
        auto resolved = std::filesystem::weakly_canonical(requested, ec);
        if (!ec) path = std::move(resolved);
    }

    TemporaryFile temp(path);
    if (temp.fd() < 0) return FileWriteError{FileWriteError::Step::createTemporary, path, lastError()};

    const auto mode = static_cast<mode_t>(permissions & std::filesystem::perms::mask);
    if (::fchmod(temp.fd(), mode) != 0) return FileWriteError{FileWriteError::Step::write, path, lastError()};
    if (!writeAll(temp.fd(), bytes)) return FileWriteError{FileWriteError::Step::write, path, lastError()};
    if (sync && ::fsync(temp.fd()) != 0) return FileWriteError{FileWriteError::Step::flush, path, lastError()};
    // close() can report a deferred write error (for example on network file systems).
    if (temp.close() != 0) return FileWriteError{FileWriteError::Step::flush, path, lastError()};
    if (::rename(temp.path(), path.c_str()) != 0)
        return FileWriteError{FileWriteError::Step::replace, path, lastError()};
    temp.commit();

    if (sync && syncFolder(path.parent_path()) != 0)
        return FileWriteError{FileWriteError::Step::flushFolder, path, lastError()};
    return std::nullopt;
}

}  // namespace lumidex
