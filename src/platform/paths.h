// Where the platform keeps a user's files. On Linux: the XDG base directories.
// Read from the environment on every call (tests re-point them); never fails: a missing variable
// falls back to its XDG default below HOME.
#pragma once

#include <filesystem>

namespace lumidex::platform {

struct UserDirectories {
    std::filesystem::path home;               // $HOME
    std::filesystem::path applicationSupport; // $XDG_DATA_HOME, default ~/.local/share
    std::filesystem::path appDocuments;       // $XDG_STATE_HOME/lumidex, default ~/.local/state/lumidex
    std::filesystem::path realDocuments;      // ~/Documents
    std::filesystem::path settingsDirectory;  // $XDG_CONFIG_HOME/lumidex, default ~/.config/lumidex
    std::filesystem::path trashHome;          // $XDG_DATA_HOME/Trash (freedesktop trash)
    std::filesystem::path cacheDirectory;     // $XDG_CACHE_HOME/lumidex, default ~/.cache/lumidex: may be deleted
};

UserDirectories userDirectories();

}  // namespace lumidex::platform
