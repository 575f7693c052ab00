// What a root entry of the folder list is, and the fixed identifiers that stand where a folder path
// would otherwise stand. Raw values are persisted: never renumber a case.
#pragma once

#include <optional>
#include <string_view>

namespace lumidex::folders {

enum class RootFolderTypes : int {
    invalid = -1,
    searchableFolder = 10,
    isAliasBookmark = 11,
    aiFolder = 20,
    appleMailSource = 30,
};

// nullopt for any raw value that names no case.
std::optional<RootFolderTypes> rootFolderTypeFromRaw(int raw);
constexpr int rawValue(RootFolderTypes type) { return static_cast<int>(type); }

// The pseudo-folder of documents from the mobile scanner app, and the mail source. Never resolved as
// bookmarks.
inline constexpr std::string_view kScannedFilesIdentifier = "###scannedFilesIdentifier###";
inline constexpr std::string_view kAppleMailSourceIdentifier = "###appleMailSourceIdentifier###";

constexpr bool isReservedFolderIdentifier(std::string_view text) {
    return text == kScannedFilesIdentifier || text == kAppleMailSourceIdentifier;
}

}  // namespace lumidex::folders
