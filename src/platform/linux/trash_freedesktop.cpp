#include "platform/trash.h"

#include "platform/file_tree.h"
#include "platform/paths.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <string_view>

namespace lumidex::platform {
namespace fs = std::filesystem;

namespace {

std::error_code lastError() { return {errno, std::generic_category()}; }

// Trash folders hold other people's deleted files' names and contents: owner-only, as the freedesktop
// trash standard asks.
std::error_code makePrivateDirectory(const fs::path& dir) {
    if (::mkdir(dir.c_str(), 0700) == 0) return {};
    const std::error_code failure = lastError();
    std::error_code ec;
    if (fs::is_directory(dir, ec)) return {};
    return failure;
}

std::error_code prepareTrash(const fs::path& trashHome) {
    std::error_code ec;
    fs::create_directories(trashHome.parent_path(), ec);
    if (ec) return ec;
    for (const fs::path& dir : {trashHome, trashHome / "files", trashHome / "info"}) {
        if (auto failure = makePrivateDirectory(dir)) return failure;
    }
    return {};
}

// Percent-encodes everything except unreserved characters and the path separator.
std::string encodePath(const std::string& path) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(path.size());
    for (const unsigned char c : path) {
        const bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                          c == '_' || c == '.' || c == '~' || c == '/';
        if (keep) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 0x0F]);
        }
    }
    return out;
}

std::string deletionDate() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    return text;
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool entryExists(const fs::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// Reserves a name by creating its .trashinfo exclusively; the info file is written before the item moves,
// so a name with an info file is never handed out twice, also across processes.
std::error_code reserveName(const fs::path& trashHome, const fs::path& item, fs::path& name) {
    const std::string base = item.filename().string();
    const std::string info = "[Trash Info]\nPath=" + encodePath(item.string()) + "\nDeletionDate=" + deletionDate() + "\n";
    for (int n = 1; n < 100000; ++n) {
        const std::string candidate = n == 1 ? base : base + "." + std::to_string(n);
        if (entryExists(trashHome / "files" / candidate)) continue;
        const fs::path infoPath = trashHome / "info" / (candidate + ".trashinfo");
        const int fd = ::open(infoPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return lastError();
        }
        const bool written = writeAll(fd, info);
        const std::error_code writeError = lastError();
        if (::close(fd) != 0 || !written) {
            ::unlink(infoPath.c_str());
            return written ? lastError() : writeError;
        }
        name = candidate;
        return {};
    }
    return std::make_error_code(std::errc::file_exists);
}

// Never replaces an existing target (rename(2) would silently replace an empty folder).
int renameNoReplace(const fs::path& from, const fs::path& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return -1;
    if (entryExists(to)) {
        errno = EEXIST;
        return -1;
    }
    return ::rename(from.c_str(), to.c_str());
}

}  // namespace

std::string TrashError::message() const {
    std::string what;
    switch (step) {
    case Step::find: what = "Could not find "; break;
    case Step::prepareTrash: what = "Could not create the trash folder for "; break;
    case Step::reserveName: what = "Could not record the trash entry of "; break;
    case Step::move: what = "Could not move to the trash: "; break;
    case Step::removeOriginal: what = "Copied to the trash, but could not remove the original "; break;
    }
    return what + path.string() + ": " + code.message();
}

TrashResult moveToTrash(const fs::path& item) {
    std::error_code ec;
    fs::path absolute = fs::absolute(item, ec).lexically_normal();
    if (ec) return {{}, TrashError{TrashError::Step::find, item, ec}};
    if (!absolute.has_filename()) absolute = absolute.parent_path();  // "a/b/" names b
    if (absolute == absolute.root_path() || !entryExists(absolute))
        return {{}, TrashError{TrashError::Step::find, absolute, std::make_error_code(std::errc::no_such_file_or_directory)}};

    const fs::path trashHome = userDirectories().trashHome;
    if (auto failure = prepareTrash(trashHome)) return {{}, TrashError{TrashError::Step::prepareTrash, absolute, failure}};

    fs::path name;
    if (auto failure = reserveName(trashHome, absolute, name))
        return {{}, TrashError{TrashError::Step::reserveName, absolute, failure}};
    const fs::path infoPath = trashHome / "info" / (name.string() + ".trashinfo");
    const fs::path target = trashHome / "files" / name;

    if (renameNoReplace(absolute, target) == 0) return {target, std::nullopt};
    std::error_code failure = lastError();
    if (failure.value() == EXDEV) {
        // The original goes only once the copy in the trash is known to be whole.
        failure = copyTree(absolute, target);
        if (!failure && !sameTree(absolute, target)) failure = std::make_error_code(std::errc::io_error);
        if (!failure) {
            fs::remove_all(absolute, failure);
            if (failure) return {target, TrashError{TrashError::Step::removeOriginal, absolute, failure}};
            return {target, std::nullopt};
        }
        fs::remove_all(target, ec);
    }
    ::unlink(infoPath.c_str());
    return {{}, TrashError{TrashError::Step::move, absolute, failure}};
}

}  // namespace lumidex::platform
