#include "core/data_directory.h"

#include "core/app_log.h"
#include "platform/file_tree.h"
#include "platform/paths.h"
#include "platform/trash.h"

#include <cerrno>
#include <cstdio>

namespace lumidex {
namespace fs = std::filesystem;

namespace {

bool isPresent(const fs::path& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

// Lexically equal or the same file through a link.
bool samePlace(const fs::path& a, const fs::path& b) {
    if (a.lexically_normal() == b.lexically_normal()) return true;
    std::error_code ec;
    return fs::equivalent(a, b, ec);
}

std::string describe(const std::error_code& code, const fs::path& from, const fs::path& to) {
    return "cannot move " + from.string() + " to " + to.string() + ": " + code.message();
}

// Renames when both lie on one file system. Otherwise copies into a staging folder next to the target,
// compares the copy with the original, renames it into place and only then removes the original, so an
// interrupted or damaged copy never looks like a finished migration and never costs the old data.
std::error_code moveDirectory(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    fs::create_directories(to.parent_path(), ec);
    if (ec) return ec;
    fs::rename(from, to, ec);
    if (ec.value() != EXDEV) return ec;

    const fs::path staging = to.parent_path() / (to.filename().string() + ".incomplete");
    fs::remove_all(staging, ec);  // our own leftover from an interrupted migration
    if ((ec = platform::copyTree(from, staging))) return ec;
    if (!platform::sameTree(from, staging)) ec = std::make_error_code(std::errc::io_error);
    if (!ec) fs::rename(staging, to, ec);
    if (ec) {
        std::error_code ignored;
        fs::remove_all(staging, ignored);
        return ec;
    }
    fs::remove_all(from, ec);
    return ec;
}

}  // namespace

std::optional<fs::path> realHomeDirectory(const fs::path& home, std::string_view bundleIdentifier) {
    const std::string container = "/Library/Containers/" + std::string(bundleIdentifier);
    if (home.string().find(container) == std::string::npos) return home;
    if (std::distance(home.begin(), home.end()) < 7) return std::nullopt;
    fs::path real;
    auto component = home.begin();
    for (int i = 0; i < 3; ++i, ++component) real /= *component;
    return real;
}

std::optional<fs::path> realHomeDirectory() {
    return realHomeDirectory(platform::userDirectories().home, kBundleIdentifier);
}

std::string DirectoryCreationError::message() const {
    return "Could not create " + path.string() + ": " + code.message();
}

DataDirectoryLocations DataDirectoryLocations::forCurrentUser() {
    const platform::UserDirectories user = platform::userDirectories();
    // Only a sandboxed process has a real home apart from its own. Without a container, ~/Documents is the
    // user's own folder: a "lumidexData" there was not made by us and is never moved or removed.
    std::optional<fs::path> realHome = realHomeDirectory(user.home, kBundleIdentifier);
    if (realHome && *realHome == user.home) realHome.reset();
    return {user.applicationSupport, user.appDocuments, std::move(realHome)};
}

DataDirectory::DataDirectory(DataDirectoryLocations locations, Reporter reporter)
    : locations_(std::move(locations)),
      location_(locations_.applicationSupport / kDataDirectoryName),
      reporter_(std::move(reporter)) {}

DataDirectory& DataDirectory::shared() {
    // Never destroyed: objects torn down at exit may still ask for paths.
    static DataDirectory* const instance = new DataDirectory(DataDirectoryLocations::forCurrentUser());
    return *instance;
}

fs::path DataDirectory::path() {
    std::call_once(migrated_, [this] { migrate(); });
    return location_;
}

void DataDirectory::report(const std::string& message, bool failure) const {
    if (reporter_) {
        reporter_(message, failure);
        return;
    }
    std::fprintf(failure ? stderr : stdout, "%s\n", message.c_str());
    appLog(message);
}

void DataDirectory::migrate() {
    const fs::path old = locations_.appDocuments / kDataDirectoryName;
    if (isPresent(old) && !isPresent(location_)) {
        if (const std::error_code ec = moveDirectory(old, location_))
            report("Sandbox migration failed: " + describe(ec, old, location_), true);
        else
            report("Migrated data directory from sandbox Documents to Application Support", false);
    }

    if (!locations_.realHome) return;
    const fs::path realOld = *locations_.realHome / "Documents" / kDataDirectoryName;
    // A link to the data directory itself must never be removed as a leftover.
    if (samePlace(realOld, old) || samePlace(realOld, location_) || !isPresent(realOld)) return;
    if (!isPresent(location_)) {
        if (const std::error_code ec = moveDirectory(realOld, location_))
            report("Real Documents migration failed: " + describe(ec, realOld, location_), true);
        else
            report("Migrated data directory from real ~/Documents to Application Support", false);
    } else {
        std::error_code ec;
        fs::remove_all(realOld, ec);
        if (ec)
            report("Cleanup of real ~/Documents failed: cannot remove " + realOld.string() + ": " + ec.message(), true);
        else
            report("Removed leftover lumidexData from real ~/Documents", false);
    }
}

TrashDirectoryResult DataDirectory::trashDirectory() {
    const fs::path trash = path() / kTrashDirectoryName;
    std::error_code ec;
    fs::create_directories(trash, ec);
    if (!ec && !fs::is_directory(trash, ec) && !ec) ec = std::make_error_code(std::errc::not_a_directory);
    if (ec) return {{}, DirectoryCreationError{trash, ec}};
    return {trash, std::nullopt};
}

bool DataDirectory::resetContainer() {
    const fs::path data = path();
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(data, ec))) {
        report("Reset: there is no data directory at " + data.string(), false);
        return true;
    }
    const platform::TrashResult result = platform::moveToTrash(data);
    if (!result) {
        report("Reset of the data directory failed: " + result.error->message(), true);
        return false;
    }
    report("Moved the data directory to the trash: " + result.trashedAs.string(), false);
    return true;
}

fs::path dataDirectory() { return DataDirectory::shared().path(); }
TrashDirectoryResult trashDirectory() { return DataDirectory::shared().trashDirectory(); }
bool resetContainer() { return DataDirectory::shared().resetContainer(); }

}  // namespace lumidex
