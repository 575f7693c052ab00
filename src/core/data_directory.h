// Where everything the system stores lives: <application-support>/lumidexData, plus the one-time move of
// data left in older locations, the trash subfolder and the reset to an empty data directory.
//
// dataDirectory() migrates on its first call in the process; concurrent first callers wait until the
// migration is over, later calls return at once. Migration failures are printed, written to the debug log
// and otherwise ignored. The data directory itself is not created here. Nothing here throws except on
// allocation failure. DataDirectory can be built over explicit locations (tests); its migrate() runs
// every time it is called, path() at most once per object.
#pragma once

#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace lumidex {

// The identifier a sandbox would name this application's container after.
inline constexpr std::string_view kBundleIdentifier = "app.lumidex.desktop";
inline constexpr std::string_view kDataDirectoryName = "lumidexData";
inline constexpr std::string_view kTrashDirectoryName = "trash";
inline constexpr std::string_view kResetContainerArgument = "--reset-container";

// The user's home outside an application container. A home inside "/Library/Containers/<bundle id>" maps
// to its first three components ("/", "Users", user name); such a home with fewer than seven components
// has no real home (nullopt). Any other home is returned unchanged.
std::optional<std::filesystem::path> realHomeDirectory(const std::filesystem::path& home,
                                                       std::string_view bundleIdentifier);
std::optional<std::filesystem::path> realHomeDirectory();

struct DirectoryCreationError {
    std::filesystem::path path;
    std::error_code code;

    // For example "Could not create /x/lumidexData/trash: Not a directory".
    std::string message() const;
};

struct TrashDirectoryResult {
    std::filesystem::path path;  // valid when there is no error
    std::optional<DirectoryCreationError> error;

    explicit operator bool() const { return !error.has_value(); }
};

struct DataDirectoryLocations {
    std::filesystem::path applicationSupport;       // holds the data directory
    std::filesystem::path appDocuments;             // older location
    // Set only for a process inside an application container: its Documents folder is the oldest location.
    std::optional<std::filesystem::path> realHome;

    // Without a container (always on Linux) there is no real home, so the user's ~/Documents is never read.
    static DataDirectoryLocations forCurrentUser();
};

class DataDirectory {
public:
    // Receives each migration and reset message; `failure` marks the ones that report an error.
    using Reporter = std::function<void(std::string_view message, bool failure)>;

    // Without a reporter, messages go to stdout (failures to stderr) and to the debug log.
    explicit DataDirectory(DataDirectoryLocations locations, Reporter reporter = {});

    // The process-wide instance over the current user's locations, fixed at its first use.
    static DataDirectory& shared();

    // Migrates once per object, then returns the data directory.
    std::filesystem::path path();
    // The data directory without migrating.
    const std::filesystem::path& location() const { return location_; }

    void migrate();
    // <data directory>/trash, created with its parents when missing.
    TrashDirectoryResult trashDirectory();
    // Moves the whole data directory to the user's trash, after the migration so that no older copy can
    // move back in later. Returns false (after reporting) on failure; a missing data directory is nothing
    // to reset and counts as success.
    bool resetContainer();

private:
    void report(const std::string& message, bool failure) const;

    DataDirectoryLocations locations_;
    std::filesystem::path location_;
    Reporter reporter_;
    std::once_flag migrated_;
};

// Shorthands for DataDirectory::shared().
std::filesystem::path dataDirectory();
TrashDirectoryResult trashDirectory();
bool resetContainer();

}  // namespace lumidex
