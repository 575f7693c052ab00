#include "folders/scanning/directory_enumerator.h"

#include <cerrno>
#include <set>
#include <utility>

#include "folders/scanning/excluded_folders.h"
#include "folders/scanning/file_candidate.h"
#include "folders/scanning/file_types.h"

namespace lumidex::folders {
namespace {

bool isPermissionError(const std::error_code& error) {
    return error == std::errc::permission_denied || error == std::errc::operation_not_permitted;
}

bool isVanished(const std::error_code& error) {
    return error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory;
}

std::string childPath(const std::string& directory, const std::string& name) {
    if (!directory.empty() && directory.back() == '/') return directory + name;
    return directory + "/" + name;
}

}  // namespace

uint64_t ScanSkipCounts::total() const {
    return hiddenEntries + excludedFolders + unreadableDirectories + vanishedEntries + permissionDenied +
           statusErrors + symbolicLinks + directoryLoops + invalidNames + otherEntries;
}

ScanSkipCounts& ScanSkipCounts::operator+=(const ScanSkipCounts& o) {
    hiddenEntries += o.hiddenEntries;
    excludedFolders += o.excludedFolders;
    unreadableDirectories += o.unreadableDirectories;
    vanishedEntries += o.vanishedEntries;
    permissionDenied += o.permissionDenied;
    statusErrors += o.statusErrors;
    symbolicLinks += o.symbolicLinks;
    directoryLoops += o.directoryLoops;
    invalidNames += o.invalidNames;
    otherEntries += o.otherEntries;
    return *this;
}

std::string_view name(EnumerationOutcome outcome) {
    switch (outcome) {
        case EnumerationOutcome::completed: return "completed";
        case EnumerationOutcome::cancelled: return "cancelled";
        case EnumerationOutcome::rootUnreadable: return "root unreadable";
        case EnumerationOutcome::interrupted: return "interrupted";
    }
    return "unknown";
}

bool isValidUtf8(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        const unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        int length = 0;
        uint32_t value = 0;
        if ((c & 0xE0) == 0xC0) {
            length = 2;
            value = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            length = 3;
            value = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            length = 4;
            value = c & 0x07;
        } else {
            return false;
        }
        if (end - p < length) return false;
        for (int i = 1; i < length; ++i) {
            if ((p[i] & 0xC0) != 0x80) return false;
            value = (value << 6) | (p[i] & 0x3F);
        }
        static constexpr uint32_t kMinimum[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (value < kMinimum[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
        p += length;
    }
    return true;
}

DirectoryEnumerator::DirectoryEnumerator(ScanFileSystem& fileSystem)
    : DirectoryEnumerator(fileSystem, ExcludedFolderCache::shared()) {}

DirectoryEnumerator::DirectoryEnumerator(ScanFileSystem& fileSystem, ExcludedFolderCache& excludedFolders)
    : fileSystem_(fileSystem), excludedFolders_(excludedFolders) {}

EnumerationResult DirectoryEnumerator::enumerate(const std::string& rootFolder, const CancellationToken& token,
                                                 const Sink& sink) {
    EnumerationResult result;
    std::set<std::pair<uint64_t, uint64_t>> visited;
    std::error_code rootError;
    if (auto rootStatus = fileSystem_.status(rootFolder, true, rootError)) {
        visited.emplace(rootStatus->device, rootStatus->inode);
    }

    // Depth first with an explicit stack: folder depth is the user's, not ours to bound by recursion.
    std::vector<std::string> pending{rootFolder};
    bool atRoot = true;
    while (!pending.empty()) {
        const std::string directory = std::move(pending.back());
        pending.pop_back();
        if (token.isCancelled()) {
            result.outcome = EnumerationOutcome::cancelled;
            return result;
        }
        // Hidden entries and invalid names are skipped unseen: only the others are asked about.
        StatusListing listing = fileSystem_.listWithStatus(directory, atRoot, [](const std::string& name) {
            return !name.empty() && name.front() != '.' && isValidUtf8(name);
        });
        if (atRoot && listing.error && listing.entries.empty()) {
            result.outcome = EnumerationOutcome::rootUnreadable;
            return result;
        }
        if (listing.error) {
            ++result.skipped.unreadableDirectories;
            result.unreadablePaths.push_back(directory);
        }
        const bool listingRoot = atRoot;
        atRoot = false;
        ++result.directoriesVisited;
        bool directoryProtected = listing.error.operator bool();

        for (ListedEntry& entry : listing.entries) {
            if (token.isCancelled()) {
                result.outcome = EnumerationOutcome::cancelled;
                return result;
            }
            const std::string& entryName = entry.name;
            // The folder's configuration, which adding the folder writes into its root, is ours and never
            // the user's document: skipped like a hidden file.
            if (entryName.empty() || entryName.front() == '.' || (listingRoot && entryName == kFolderConfigFileName)) {
                ++result.skipped.hiddenEntries;
                continue;
            }
            if (!isValidUtf8(entryName)) {
                ++result.skipped.invalidNames;
                continue;
            }
            std::string path = childPath(directory, entryName);
            const std::error_code& error = entry.error;
            std::optional<FileStatus>& status = entry.status;
            if (!status) {
                if (isVanished(error)) {
                    ++result.skipped.vanishedEntries;
                } else if (isPermissionError(error)) {
                    // Usually the whole folder (readable but not searchable): protect it once.
                    ++result.skipped.permissionDenied;
                    if (!directoryProtected) {
                        result.unreadablePaths.push_back(directory);
                        directoryProtected = true;
                    }
                } else {
                    ++result.skipped.statusErrors;
                    result.unreadablePaths.push_back(path);
                }
                continue;
            }
            switch (status->kind) {
                case FileStatus::Kind::symlink:
                    ++result.skipped.symbolicLinks;
                    continue;
                case FileStatus::Kind::other:
                    ++result.skipped.otherEntries;
                    continue;
                case FileStatus::Kind::directory:
                    if (isPackageName(entryName)) break;  // one document
                    if (excludedFolders_.isExcludedFolder(entryName, path, fileSystem_)) {
                        ++result.skipped.excludedFolders;
                        continue;
                    }
                    if (!visited.emplace(status->device, status->inode).second) {
                        ++result.skipped.directoryLoops;
                        continue;
                    }
                    pending.push_back(std::move(path));
                    continue;
                case FileStatus::Kind::regular:
                    break;
            }
            if (!status->modified) {
                ++result.skipped.otherEntries;
                continue;
            }
            ++result.entriesYielded;
            sink(EnumeratedEntry{std::move(path), *status});
        }
    }
    return result;
}

}  // namespace lumidex::folders
