// Test isolation: every test binary points HOME and the XDG variables at a private temporary folder
// before any test runs, so nothing a test does can touch the real home. TempDir gives a test its own
// scratch folder, removed with everything inside when it goes out of scope.
#pragma once

#include <filesystem>
#include <string>

namespace lumidex::testing {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Re-points HOME and XDG_{DATA,STATE,CONFIG,CACHE}_HOME at a fresh folder for the lifetime of the object
// and restores the previous values afterwards. Not thread-safe: create it on the test's main thread.
class ScopedHome {
public:
    ScopedHome();
    ~ScopedHome();
    ScopedHome(const ScopedHome&) = delete;
    ScopedHome& operator=(const ScopedHome&) = delete;

    const std::filesystem::path& home() const { return dir_.path(); }
    std::filesystem::path dataHome() const { return dir_.path() / ".local/share"; }
    std::filesystem::path stateHome() const { return dir_.path() / ".local/state"; }
    std::filesystem::path configHome() const { return dir_.path() / ".config"; }

private:
    TempDir dir_;
    std::string saved_[5];
    bool had_[5] = {};
};

void writeFile(const std::filesystem::path& path, const std::string& content);
std::string readFile(const std::filesystem::path& path);

}  // namespace lumidex::testing
