#include "support/temp_home.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace lumidex::testing {
namespace {

constexpr const char* kVariables[5] = {"HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_CONFIG_HOME",
                                       "XDG_CACHE_HOME"};

void pointEnvironmentAt(const std::filesystem::path& home) {
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_DATA_HOME", (home / ".local/share").c_str(), 1);
    setenv("XDG_STATE_HOME", (home / ".local/state").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);
    setenv("XDG_CACHE_HOME", (home / ".cache").c_str(), 1);
}

// Runs before main: the whole test process lives in a throw-away home.
struct ProcessHome {
    TempDir dir;
    ProcessHome() {
        pointEnvironmentAt(dir.path());
        unsetenv("XDG_RUNTIME_DIR");  // the window's socket then goes to the throw-away state folder
    }
};
ProcessHome processHome;

}  // namespace

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "lumidex-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
}

ScopedHome::ScopedHome() {
    for (int i = 0; i < 5; ++i) {
        if (const char* v = std::getenv(kVariables[i])) {
            had_[i] = true;
            saved_[i] = v;
        }
    }
    pointEnvironmentAt(dir_.path());
}

ScopedHome::~ScopedHome() {
    for (int i = 0; i < 5; ++i) {
        if (had_[i]) setenv(kVariables[i], saved_[i].c_str(), 1);
        else unsetenv(kVariables[i]);
    }
}

void writeFile(const std::filesystem::path& path, const std::string& content) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace lumidex::testing
