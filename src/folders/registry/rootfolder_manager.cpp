#include "folders/registry/rootfolder_manager.h"

#include <algorithm>
#include <system_error>

#include "core/data_directory.h"
#include "folders/registry/folder_paths.h"
#include "folders/registry/root_folder_config_manager.h"
#include "platform/paths.h"

namespace lumidex::folders {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kPlaceholder = "__magic_placeholder__";

// A path as written and as reached through links; an empty path has no forms.
std::vector<std::string> forms(const fs::path& path) {
    std::vector<std::string> result;
    if (path.empty()) return result;
    result.push_back(normalizedFolderPath(path.string()));
    std::error_code ec;
    const fs::path real = fs::weakly_canonical(path, ec);
    if (!ec) {
        std::string normal = normalizedFolderPath(real.string());
        if (normal != result.front()) result.push_back(std::move(normal));
    }
    return result;
}

bool anyPair(const std::vector<std::string>& a, const std::vector<std::string>& b,
             bool (*relation)(std::string_view, std::string_view)) {
    return std::any_of(a.begin(), a.end(), [&](const std::string& x) {
        return std::any_of(b.begin(), b.end(), [&](const std::string& y) { return relation(x, y); });
    });
}

bool equal(std::string_view a, std::string_view b) { return a == b; }
bool inside(std::string_view path, std::string_view ancestor) { return isSameOrInside(path, ancestor); }
bool above(std::string_view path, std::string_view descendant) { return isSameOrInside(descendant, path); }

FolderValidation refusal() {
    return FolderValidation{FolderAlert{"Info", std::string(kUserFolderRefusalText), "Dismiss"}};
}

}  // namespace

ProtectedFolders ProtectedFolders::forCurrentUser() { return forCurrentUser(lumidex::dataDirectory()); }

ProtectedFolders ProtectedFolders::forCurrentUser(const fs::path& dataDirectory) {
    const platform::UserDirectories user = platform::userDirectories();
    ProtectedFolders folders;
    folders.home = user.home;
    folders.documents = user.realDocuments;
    folders.library = user.home / "Library";
    folders.settingsDirectory = user.settingsDirectory;
    folders.configHome = user.settingsDirectory.parent_path();
    folders.dataHome = user.applicationSupport;
    folders.dataDirectory = dataDirectory;
    return folders;
}

RootfolderManager::RootfolderManager(SecurityBookmarks& bookmarks, ProtectedFolders protectedFolders, LogSink log)
    : bookmarks_(bookmarks), protected_(std::move(protectedFolders)), log_(std::move(log)) {}

FolderValidation RootfolderManager::validateFolder(std::string_view folderPath, bool isAiFolder) const {
    const auto chosen = forms(fs::path(normalizedFolderPath(folderPath)));
    if (chosen.empty()) return refusal();
    // The home folder and anything above it hold the complete user folder.
    if (anyPair(chosen, forms(protected_.home), above)) return refusal();
    if (anyPair(chosen, forms(protected_.library), equal)) return refusal();
    if (isAiFolder && anyPair(chosen, forms(protected_.documents), equal)) return refusal();
    for (const fs::path* own : {&protected_.configHome, &protected_.settingsDirectory, &protected_.dataHome}) {
        if (anyPair(chosen, forms(*own), equal)) return refusal();
    }
    const auto data = forms(protected_.dataDirectory);
    if (anyPair(chosen, data, inside) || anyPair(chosen, data, above)) return refusal();
    return {};
}

RootFolderConfigManager RootfolderManager::configFor(const std::string& resolvedFolder) const {
    return RootFolderConfigManager(resolvedFolder, log_,
                                   RootFolderConfigManager::fallbackFileFor(bookmarks_.dataDirectory(), resolvedFolder));
}

AddFolderResult RootfolderManager::addFolder(std::string_view folderPath, RootFolderTypes type) {
    AddFolderResult result;
    result.folderPath = normalizedFolderPath(folderPath);
    std::error_code ec;
    if (result.folderPath.empty() || result.folderPath.front() != '/' || !fs::is_directory(result.folderPath, ec)) {
        result.status = AddFolderStatus::notAFolder;
        return result;
    }
    const bool ai = type == RootFolderTypes::aiFolder;
    if (auto validation = validateFolder(result.folderPath, ai); !validation.accepted()) {
        result.status = AddFolderStatus::refused;
        result.alert = std::move(validation.alert);
        return result;
    }
    for (const std::string& stored : bookmarks_.list()) {
        if (normalizedFolderPath(stored) == result.folderPath) {
            result.status = AddFolderStatus::alreadySearchable;
            result.folderPath = stored;
            return result;
        }
    }
    if (!bookmarks_.add(result.folderPath)) {
        result.status = AddFolderStatus::bookmarkFailed;
        return result;
    }
    if (const auto resolved = bookmarks_.resolve(result.folderPath)) {
        configFor(*resolved).setBool(RootFolderConfigManager::keyAiFolder, ai);
    }
    result.status = AddFolderStatus::added;
    return result;
}

std::string RootfolderManager::removeConfirmationText(std::string_view folderPath) {
    std::string text = "Remove the bookmark for folder '__magic_placeholder__'?\nNo Files or Folders will be deleted";
    text.replace(text.find(kPlaceholder), kPlaceholder.size(), folderDisplayName(normalizedFolderPath(folderPath)));
    return text;
}

bool RootfolderManager::removeFolder(std::string_view folderPath) { return bookmarks_.remove(folderPath); }

bool RootfolderManager::isAiFolder(std::string_view folderPath) {
    const auto resolved = bookmarks_.resolve(folderPath);
    if (!resolved) return false;
    return configFor(*resolved).boolValue(RootFolderConfigManager::keyAiFolder).value_or(false);
}

}  // namespace lumidex::folders
