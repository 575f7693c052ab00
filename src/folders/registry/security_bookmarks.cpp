#include "folders/registry/security_bookmarks.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <system_error>
#include <tuple>

#include "core/app_log.h"
#include "core/atomic_file.h"
#include "core/data_directory.h"
#include "folders/registry/bookmark_naming.h"
#include "folders/registry/folder_paths.h"
#include "folders/registry/root_folder_types.h"

namespace lumidex::folders {
namespace fs = std::filesystem;

struct SecurityBookmarks::Decoded {
    std::string path;        // normalized absolute folder path
    bool canonical = true;   // the data is exactly what add() writes for `path`
};

namespace {

constexpr std::string_view kOtherStoresMarker = "bookmark__";
constexpr std::string_view kBookmarkExtension = ".data";

bool isFolderBookmarkName(const std::string& name) {
    return name.ends_with(kBookmarkExtension) && name.find(kOtherStoresMarker) == std::string::npos;
}

bool isDirectory(const std::string& path) {
    std::error_code ec;
    return fs::is_directory(path, ec);
}

// The bookmark data of a folder: its normalized path. Older or hand-made forms (a "file://" prefix, a
// trailing newline or "/", decomposed Unicode) are accepted but are not canonical.
std::optional<std::string> decodePath(std::string data, bool& canonical) {
    canonical = true;
    if (data.starts_with("file://")) {
        data.erase(0, 7);
        canonical = false;
    }
    while (!data.empty() && (data.back() == '\n' || data.back() == '\r')) {
        data.pop_back();
        canonical = false;
    }
    if (data.empty() || data.front() != '/' || data.find('\0') != std::string::npos) return std::nullopt;
    std::string normal = normalizedFolderPath(data);
    if (normal != data) canonical = false;
    return normal;
}

std::optional<std::string> readWholeFile(const fs::path& file, std::string& error) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        error = std::strerror(errno);
        return std::nullopt;
    }
    std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) {
        error = "read error";
        return std::nullopt;
    }
    return bytes;
}

}  // namespace

SecurityBookmarks::SecurityBookmarks(fs::path dataDirectory, LogSink log)
    : dataDirectory_(std::move(dataDirectory)), directory_(dataDirectory_ / directoryName), log_(std::move(log)) {}

SecurityBookmarks& SecurityBookmarks::shared() {
    static SecurityBookmarks instance(lumidex::dataDirectory());
    return instance;
}

void SecurityBookmarks::log(const std::string& message) const {
    if (log_) log_(message);
    else appLog(message);
}

std::optional<SecurityBookmarks::Decoded> SecurityBookmarks::readBookmark(const fs::path& file,
                                                                          std::string* error) const {
    std::string readError;
    auto bytes = readWholeFile(file, readError);
    if (!bytes) {
        if (error) *error = readError;
        return std::nullopt;
    }
    Decoded decoded;
    auto path = decodePath(std::move(*bytes), decoded.canonical);
    if (!path) {
        if (error) *error = "the bookmark data names no absolute folder path";
        return std::nullopt;
    }
    decoded.path = std::move(*path);
    if (file.filename() != bookmarkFileName(decoded.path)) decoded.canonical = false;
    return decoded;
}

SecurityBookmarkStates SecurityBookmarks::stateOf(const fs::path& file, const std::string* expectedPath) const {
    std::error_code ec;
    const auto status = fs::status(file, ec);
    if (status.type() == fs::file_type::not_found) return SecurityBookmarkStates::noSecurityBookmark;
    if (ec) return SecurityBookmarkStates::error;
    const auto decoded = readBookmark(file, nullptr);
    if (!decoded) return SecurityBookmarkStates::error;
    if (!isDirectory(decoded->path)) return SecurityBookmarkStates::doesNotExist;
    if (!decoded->canonical || (expectedPath && *expectedPath != decoded->path)) return SecurityBookmarkStates::stale;
    return SecurityBookmarkStates::valid;
}

bool SecurityBookmarks::writeBookmark(const std::string& normalizedPath) {
    std::error_code ec;
    fs::create_directories(directory_, ec);
    if (ec) {
        log("Bookmark folder " + directory_.string() + " could not be created: " + ec.message());
        return false;
    }
    if (auto error = writeFileAtomically(directory_ / bookmarkFileName(normalizedPath), normalizedPath)) {
        log("Bookmark for " + normalizedPath + " could not be written: " + error->message());
        return false;
    }
    return true;
}

std::optional<std::string> SecurityBookmarks::resolveFile(const fs::path& file, const std::string& cacheKey) {
    {
        std::lock_guard lock(mutex_);
        if (auto it = resolvedUrlsCache_.find(cacheKey); it != resolvedUrlsCache_.end()) return it->second;
    }
    std::string error;
    auto decoded = readBookmark(file, &error);
    if (!decoded) {
        log("Bookmark " + file.string() + " could not be resolved: " + error);
        return std::nullopt;
    }
    if (!isDirectory(decoded->path)) {
        log("Bookmark " + file.string() + " could not be resolved: the folder " + decoded->path + " does not exist");
        return std::nullopt;
    }
    if (!decoded->canonical || decoded->path != cacheKey) {
        // Stale data: store it again in the current form under its proper name, then drop the old file.
        const fs::path proper = directory_ / bookmarkFileName(decoded->path);
        if (writeBookmark(decoded->path) && file != proper) {
            std::error_code ec;
            fs::remove(file, ec);
            if (ec) log("Delete failed e354656 " + ec.message());
        }
    }
    std::lock_guard lock(mutex_);
    resolvedUrlsCache_[cacheKey] = decoded->path;
    resolvedUrlsCache_[decoded->path] = decoded->path;
    return decoded->path;
}

std::vector<fs::path> SecurityBookmarks::bookmarkFiles() {
    std::vector<fs::path> files;
    std::error_code ec;
    fs::directory_iterator it(directory_, ec);
    if (ec) {
        if (ec != std::errc::no_such_file_or_directory) log("Bookmarks could not be listed: " + ec.message());
        return files;
    }
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        std::error_code typeError;
        if (it->is_regular_file(typeError) && isFolderBookmarkName(it->path().filename().string()))
            files.push_back(it->path());
    }
    if (ec) log("Bookmarks could not be listed completely: " + ec.message());
    std::sort(files.begin(), files.end());
    return files;
}

void SecurityBookmarks::migrateOldGeneration() {
    const fs::path oldDirectory = dataDirectory_ / oldDirectoryName;
    std::error_code ec;
    if (!fs::is_directory(oldDirectory, ec)) return;
    fs::directory_iterator it(oldDirectory, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::error_code typeError;
        const std::string name = it->path().filename().string();
        if (!it->is_regular_file(typeError) || name.find(kOtherStoresMarker) != std::string::npos) continue;
        std::string error;
        const auto decoded = readBookmark(it->path(), &error);
        if (!decoded) {
            log("Old bookmark " + it->path().string() + " could not be resolved: " + error);
            continue;
        }
        if (!isDirectory(decoded->path)) {
            log("Old bookmark " + it->path().string() + " could not be resolved: the folder " + decoded->path +
                " does not exist; kept for a later run");
            continue;
        }
        if (!writeBookmark(decoded->path)) continue;
        std::error_code removeError;
        fs::remove(it->path(), removeError);
        if (removeError) log("Delete failed e354656 " + removeError.message());
        else log("Bookmark for " + decoded->path + " moved to " + std::string(directoryName));
    }
    if (ec) log("Old bookmarks could not be listed: " + ec.message());
    std::error_code ignored;
    if (fs::is_empty(oldDirectory, ignored)) fs::remove(oldDirectory, ignored);
}

void SecurityBookmarks::ensureMigrated() {
    std::call_once(migrated_, [this] { migrateOldGeneration(); });
}

std::vector<std::string> SecurityBookmarks::list() {
    ensureMigrated();
    std::vector<std::string> folders;
    for (const auto& file : bookmarkFiles()) {
        std::string error;
        const auto decoded = readBookmark(file, &error);
        if (!decoded) {
            log("Bookmark " + file.string() + " could not be resolved: " + error);
            continue;
        }
        if (auto resolved = resolveFile(file, decoded->path)) folders.push_back(std::move(*resolved));
    }
    std::sort(folders.begin(), folders.end());
    folders.erase(std::unique(folders.begin(), folders.end()), folders.end());
    return folders;
}

std::vector<SecurityBookmarks::StoredBookmark> SecurityBookmarks::storedBookmarks() {
    ensureMigrated();
    std::vector<StoredBookmark> stored;
    for (const auto& file : bookmarkFiles()) {
        StoredBookmark entry;
        entry.file = file;
        if (const auto decoded = readBookmark(file, nullptr)) entry.folderPath = decoded->path;
        entry.state = stateOf(file, nullptr);
        stored.push_back(std::move(entry));
    }
    std::sort(stored.begin(), stored.end(), [](const StoredBookmark& a, const StoredBookmark& b) {
        return std::tie(a.folderPath, a.file) < std::tie(b.folderPath, b.file);
    });
    return stored;
}

bool SecurityBookmarks::add(std::string_view folderPath) {
    ensureMigrated();
    const std::string path = normalizedFolderPath(folderPath);
    if (isReservedFolderIdentifier(folderPath) || path.empty() || path.front() != '/') {
        log("Bookmark not created: \"" + std::string(folderPath) + "\" is not an absolute folder path");
        return false;
    }
    return writeBookmark(path);
}

std::optional<std::string> SecurityBookmarks::resolve(std::string_view folderPath) {
    ensureMigrated();
    if (isReservedFolderIdentifier(folderPath)) return std::nullopt;
    const std::string path = normalizedFolderPath(folderPath);
    if (path.empty() || path.front() != '/') return std::nullopt;
    return resolveFile(directory_ / bookmarkFileName(path), path);
}

SecurityBookmarkStates SecurityBookmarks::check(std::string_view folderPath) {
    ensureMigrated();
    if (isReservedFolderIdentifier(folderPath)) return SecurityBookmarkStates::noSecurityBookmark;
    const std::string path = normalizedFolderPath(folderPath);
    if (path.empty() || path.front() != '/') return SecurityBookmarkStates::noSecurityBookmark;
    return stateOf(directory_ / bookmarkFileName(path), &path);
}

bool SecurityBookmarks::remove(std::string_view folderPath) {
    ensureMigrated();
    const std::string path = normalizedFolderPath(folderPath);
    if (path.empty() || isReservedFolderIdentifier(folderPath)) return false;
    {
        std::lock_guard lock(mutex_);
        std::erase_if(resolvedUrlsCache_, [&path](const auto& entry) { return entry.first == path || entry.second == path; });
    }
    // Besides the file under its proper name, any stale file still naming this folder goes too, so
    // that the folder cannot reappear at the next listing.
    const fs::path proper = directory_ / bookmarkFileName(path);
    std::vector<fs::path> targets{proper};
    for (const auto& file : bookmarkFiles()) {
        if (file == proper) continue;
        if (const auto decoded = readBookmark(file, nullptr); decoded && decoded->path == path) targets.push_back(file);
    }
    bool removedAny = false;
    for (const auto& file : targets) {
        std::error_code ec;
        const bool removed = fs::remove(file, ec);
        if (ec) log("Delete failed e354656 " + ec.message());
        removedAny = removedAny || removed;
    }
    if (!removedAny) log("Delete failed e354656 " + std::make_error_code(std::errc::no_such_file_or_directory).message() +
                         ": " + proper.string());
    return removedAny;
}

}  // namespace lumidex::folders
