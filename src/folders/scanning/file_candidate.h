// Turning one file on disk into a candidate item: whether it counts at all, whether its type can be
// processed, and the two values all change detection rests on (the path-based id and combinedHash).
//
// Pure apart from the status read of the overloads that take no status; thread-safe; never throws
// except on allocation failure.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "core/model/nan_item.h"
#include "folders/scanning/scan_file_system.h"

namespace lumidex::folders {

// Lower-case extensions without the dot.
using ExtensionSet = std::unordered_set<std::string>;

struct HandleUrlResult {
    uint32_t balancerId = 0;  // combinedHash % 20: the shard of every store
    uint32_t combinedHash = 0;
    NanItem nanItem;
    bool isProcessingItem = false;
    // Only the version's identity is filled in (nanItem.urlString, combinedHash and the two file dates);
    // completeCandidate() fills in the rest.
    bool identityOnly = false;
};

// Accepts a regular file, or a document package folder (see isPackageName); anything else, or an
// entry without a modification date, gives nullopt. `rootFolder` is the searchable folder (NFC);
// `excluded` (may be null) lists extensions that are not processed.
std::optional<HandleUrlResult> handleUrl(const std::string& path, const FileStatus& status,
                                         const std::string& rootFolder, const ExtensionSet* excluded);
// The same for a path already in NFC. With `identityOnly` the item is left for completeCandidate(): a scan
// builds items only for versions it does not know yet (the id digest and the strings cost more than the
// identity).
std::optional<HandleUrlResult> handleNfcUrl(std::string nfcPath, const FileStatus& status,
                                            const std::string& rootFolder, const ExtensionSet* excluded,
                                            bool identityOnly = false);
// Fills in the item of an identity-only candidate (nothing else changes); `rootFolder` as for handleUrl.
void completeCandidate(HandleUrlResult& candidate, const std::string& rootFolder);
// The same after reading the entry's status; a path that cannot be read gives nullopt.
std::optional<HandleUrlResult> handleUrl(const std::string& path, const std::string& rootFolder,
                                         const ExtensionSet* excluded,
                                         ScanFileSystem& fileSystem = ScanFileSystem::local());

// A supported extension that is not excluded (an empty extension is never excluded, and never supported).
bool canProcess(std::string_view lowerCaseExtension, const ExtensionSet* excluded);

// The combined hash of a path at a modification date; without a date the file's own is read, and a file
// without one counts as 0 seconds. Seconds outside the unsigned 32-bit range are clamped.
uint32_t combinedHashFor(const std::string& path, std::optional<Date> modificationDate,
                         ScanFileSystem& fileSystem = ScanFileSystem::local());

// A folder that the walk treats as one document: "rtfd", and the office packages "pages", "numbers",
// "key" and "keynote" (older versions of those applications save a folder, not a single file).
bool isPackageName(std::string_view path);
// The outermost package folder below ROOT that PATH lies inside ("ROOT/a/Plan.pages" for
// "ROOT/a/Plan.pages/Index.zip"), or nullopt: a change inside a package is a change of that document.
std::optional<std::string> enclosingPackage(std::string_view path, std::string_view root);

// The item standing for a folder in the user interface: type folder, the path-based id, both dates at
// 1970-01-01, hashes and page count 0.
NanItem folderItem(const std::string& nfcPath, const std::string& rootFolder);

}  // namespace lumidex::folders
