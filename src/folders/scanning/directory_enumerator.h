// The walk over one searchable folder: every file that may become an item, in the order the file
// system returns entries, depth first.
//
// Skipped and never yielded: hidden entries (names starting with "."), the root's "folder_config.json"
// (written there by the folder registry when the folder is added), excluded folders (see
// excluded_folders.h) and everything below them, symbolic links (never followed, so a link cannot loop
// the walk or lead it out of the folder), folders already visited through another path (bind mounts),
// names that are not valid UTF-8, and entries that are neither files nor folders. A document package
// folder (isPackageName in file_candidate.h) is yielded as one document and not entered.
//
// Nothing stops a walk except cancellation or a root folder that cannot be listed: unreadable folders,
// entries that vanish between listing and status, and permission errors are skipped and counted. Paths
// whose state could not be determined (unreadable folders, entries whose status failed for another
// reason than having vanished) are reported in `unreadablePaths`, so that a reconciliation can spare
// what lies below them instead of taking it for deleted.
//
// The sink runs on the calling thread, one entry at a time. The cancellation token is tested before
// each entry. An enumerator holds no state between walks; one object may serve one walk at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/concurrency/cancellation_token.h"
#include "folders/scanning/scan_file_system.h"

namespace lumidex::folders {

// The per-folder configuration file in a searchable folder's root; it is ours, not a document.
inline constexpr std::string_view kFolderConfigFileName = "folder_config.json";

class ExcludedFolderCache;

enum class EnumerationOutcome {
    completed,       // every reachable entry was seen
    cancelled,       // the token was set; the walk stopped early
    rootUnreadable,  // the root folder could not be listed; nothing is known
    interrupted,     // the walk stopped on an unexpected failure (set by callers that catch one)
};

struct ScanSkipCounts {
    uint64_t hiddenEntries = 0;
    uint64_t excludedFolders = 0;
    uint64_t unreadableDirectories = 0;  // listing failed (or stopped part-way)
    uint64_t vanishedEntries = 0;        // gone between listing and status
    uint64_t permissionDenied = 0;       // status refused
    uint64_t statusErrors = 0;           // status failed for another reason
    uint64_t symbolicLinks = 0;
    uint64_t directoryLoops = 0;         // a folder reached a second time
    uint64_t invalidNames = 0;           // not valid UTF-8
    uint64_t otherEntries = 0;           // sockets, pipes, devices, files without a modification date

    uint64_t total() const;
    ScanSkipCounts& operator+=(const ScanSkipCounts& other);
    bool operator==(const ScanSkipCounts&) const = default;
};

struct EnumeratedEntry {
    std::string path;  // root + "/" + the names below it, as found on disk
    FileStatus status;
};

struct EnumerationResult {
    EnumerationOutcome outcome = EnumerationOutcome::completed;
    ScanSkipCounts skipped;
    std::vector<std::string> unreadablePaths;
    uint64_t entriesYielded = 0;
    uint64_t directoriesVisited = 0;

    bool isComplete() const { return outcome == EnumerationOutcome::completed; }
};

std::string_view name(EnumerationOutcome outcome);  // "completed", "cancelled", "root unreadable", "interrupted"

// Well-formed UTF-8 (no overlongs, surrogates or values above U+10FFFF).
bool isValidUtf8(std::string_view text);

class DirectoryEnumerator {
public:
    using Sink = std::function<void(EnumeratedEntry&& entry)>;

    explicit DirectoryEnumerator(ScanFileSystem& fileSystem = ScanFileSystem::local());
    DirectoryEnumerator(ScanFileSystem& fileSystem, ExcludedFolderCache& excludedFolders);

    EnumerationResult enumerate(const std::string& rootFolder, const CancellationToken& token, const Sink& sink);

private:
    ScanFileSystem& fileSystem_;
    ExcludedFolderCache& excludedFolders_;
};

}  // namespace lumidex::folders
