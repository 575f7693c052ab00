// Adding, validating and removing searchable folders, for the command line and the local API.
//
// There is no window to show alerts in: a refusal comes back as a FolderAlert carrying the title, text
// and button the user is to see, and the confirmation before removal is a text the caller shows
// (removeConfirmationText) before calling removeFolder. Nothing here ever modifies a document on disk:
// adding writes the bookmark and the folder's "folder_config.json" (under the data directory when the
// folder is read-only), removing deletes only the bookmark.
//
// Refused folders (compared after normalization, and as the same file through links): the home folder
// and every folder above it, ~/Library, the configuration folder ($XDG_CONFIG_HOME and its lumidex
// folder), $XDG_DATA_HOME, and the lumidex data directory with everything inside or above it (indexing
// our own databases would feed the change tracking with its own writes); ~/Documents only as an AI folder.
//
// Thread-safety: as the SecurityBookmarks it works on; the manager itself holds no mutable state.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "folders/registry/root_folder_config_manager.h"
#include "folders/registry/root_folder_types.h"
#include "folders/registry/security_bookmarks.h"

namespace lumidex::folders {

inline constexpr std::string_view kUserFolderRefusalText =
    "Selecting the complete user folder is not supported. Select a subfolder where your documents to "
    "search for are located.";

struct FolderAlert {
    std::string title;
    std::string text;
    std::string button;
};

struct FolderValidation {
    std::optional<FolderAlert> alert;  // set when the folder is refused
    bool accepted() const { return !alert.has_value(); }
};

enum class AddFolderStatus { added, alreadySearchable, notAFolder, refused, bookmarkFailed };

struct AddFolderResult {
    AddFolderStatus status = AddFolderStatus::bookmarkFailed;
    std::string folderPath;            // normalized; for alreadySearchable the stored path
    std::optional<FolderAlert> alert;  // for refused
    // What the completion of the interactive flow receives: true when the folder is searchable now.
    bool success() const { return status == AddFolderStatus::added || status == AddFolderStatus::alreadySearchable; }
};

// The folders a user may not choose, as absolute paths.
struct ProtectedFolders {
    std::filesystem::path home;
    std::filesystem::path documents;
    std::filesystem::path library;
    std::filesystem::path configHome;
    std::filesystem::path settingsDirectory;
    std::filesystem::path dataHome;
    std::filesystem::path dataDirectory;

    // From the environment (platform::userDirectories) and lumidex::dataDirectory().
    static ProtectedFolders forCurrentUser();
    static ProtectedFolders forCurrentUser(const std::filesystem::path& dataDirectory);
};

class RootfolderManager {
public:
    static constexpr std::string_view removeButtonTitle = "Remove Folder";
    static constexpr std::string_view cancelButtonTitle = "Cancel";

    RootfolderManager(SecurityBookmarks& bookmarks, ProtectedFolders protectedFolders, LogSink log = {});

    FolderValidation validateFolder(std::string_view folderPath, bool isAiFolder) const;
    // Validates, detects an already stored folder (Unicode NFC comparison), stores the bookmark and
    // writes "aifolder" into the folder's configuration. `folderPath` must be absolute.
    AddFolderResult addFolder(std::string_view folderPath, RootFolderTypes type);
    // "Remove the bookmark for folder '<name>'?\nNo Files or Folders will be deleted".
    static std::string removeConfirmationText(std::string_view folderPath);
    // Removes the folder's bookmark (after the user confirmed). False when it was not stored.
    bool removeFolder(std::string_view folderPath);
    // The Boolean under "aifolder" in the folder's configuration; false when the folder does not resolve
    // or the key is missing or not a Boolean.
    bool isAiFolder(std::string_view folderPath);
    // The resolved searchable folders.
    std::vector<std::string> folders() { return bookmarks_.list(); }

private:
    // The folder's configuration, kept under the data directory when the folder is read-only.
    RootFolderConfigManager configFor(const std::string& resolvedFolder) const;

    SecurityBookmarks& bookmarks_;
    ProtectedFolders protected_;
    LogSink log_;
};

}  // namespace lumidex::folders
