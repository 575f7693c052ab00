#include "platform/paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace lumidex::platform {
namespace {

std::filesystem::path homeDirectory() {
    if (const char* h = std::getenv("HOME"); h != nullptr && *h != '\0') return h;
    if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr) return pw->pw_dir;
    return "/";
}

// XDG says relative values are invalid and must be ignored.
std::filesystem::path xdg(const char* variable, const std::filesystem::path& fallback) {
    const char* v = std::getenv(variable);
    if (v != nullptr && v[0] == '/') return v;
    return fallback;
}

}  // namespace

UserDirectories userDirectories() {
    UserDirectories d;
    d.home = homeDirectory();
    d.applicationSupport = xdg("XDG_DATA_HOME", d.home / ".local/share");
    d.appDocuments = xdg("XDG_STATE_HOME", d.home / ".local/state") / "lumidex";
    d.realDocuments = d.home / "Documents";
    d.settingsDirectory = xdg("XDG_CONFIG_HOME", d.home / ".config") / "lumidex";
    d.trashHome = d.applicationSupport / "Trash";
    d.cacheDirectory = xdg("XDG_CACHE_HOME", d.home / ".cache") / "lumidex";
    return d;
}

}  // namespace lumidex::platform
