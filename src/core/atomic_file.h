// Whole-file replacement that never leaves a half-written file behind.
//
// The bytes go to a uniquely named temporary file in the target's folder, are flushed to disk, and the
// temporary file is renamed over the target; the folder is then flushed so the rename survives a crash.
// Readers see either the old file or the new one. On failure the target is untouched and the temporary
// file is removed. The target's folder must exist. Safe to call from several threads, also for the same
// target: each call is atomic on its own and the last rename wins. A symbolic link at the target path is
// followed: the file it points to is replaced and the link stays.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace lumidex {

struct FileWriteError {
    enum class Step { createTemporary, write, flush, replace, flushFolder };

    Step step;
    std::filesystem::path path;  // the target file
    std::error_code code;

    // For example "Could not write /x/settings.json: No space left on device".
    std::string message() const;
};

// synced: the new content is on disk before the call returns. cache: for files that can be made again
// (previews); readers still never see a partial file, but after a power loss the file may be missing
// or empty, and no disk sync is waited for.
enum class FileDurability { synced, cache };

inline constexpr std::filesystem::perms defaultFilePermissions =
    std::filesystem::perms::owner_read | std::filesystem::perms::owner_write | std::filesystem::perms::group_read |
    std::filesystem::perms::others_read;

// Returns nullopt on success. `permissions` is applied to the new file (umask not involved).
// A failure at Step::flushFolder means the new content is in place but may not survive a power loss.
[[nodiscard]] std::optional<FileWriteError> writeFileAtomically(
    const std::filesystem::path& path, std::string_view bytes,
    std::filesystem::perms permissions = defaultFilePermissions, FileDurability durability = FileDurability::synced);

}  // namespace lumidex
