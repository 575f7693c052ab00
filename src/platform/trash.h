// Moving a file or folder to the user's trash, where they can restore it from their file manager.
//
// On Linux this is the freedesktop home trash ($XDG_DATA_HOME/Trash): the item goes to files/<name> and a
// matching info/<name>.trashinfo records where it came from and when. <name> is the item's own name, or
// "<name>.2", "<name>.3", ... when taken. An item on another file system is copied, the copy compared with
// the original, and only then the original removed. Nothing here throws; failures come back as a
// TrashError, and a failed move leaves the item where it was (apart from the rare
// TrashError::Step::removeOriginal, where a complete copy is already in the trash). Safe to call from
// several threads, also for items with the same name.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

namespace lumidex::platform {

struct TrashError {
    enum class Step { find, prepareTrash, reserveName, move, removeOriginal };

    Step step;
    std::filesystem::path path;  // the item being trashed
    std::error_code code;

    // For example "Could not move /x/lumidexData to the trash: Permission denied".
    std::string message() const;
};

struct TrashResult {
    std::filesystem::path trashedAs;  // where the item now lives; empty on failure
    std::optional<TrashError> error;

    explicit operator bool() const { return !error.has_value(); }
};

TrashResult moveToTrash(const std::filesystem::path& item);

}  // namespace lumidex::platform
