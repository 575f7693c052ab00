#include "folders/scanning/on_disk_path.h"

#include <sys/stat.h>

#include <filesystem>

#include "platform/unicode.h"

namespace lumidex::folders {
namespace {

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

std::string onDiskPath(const std::string& nfcPath) {
    if (nfcPath.empty() || exists(nfcPath)) return nfcPath;
    namespace fs = std::filesystem;
    const fs::path wanted(nfcPath);
    fs::path resolved = wanted.root_path();
    for (const fs::path& component : wanted.relative_path()) {
        fs::path candidate = resolved / component;
        if (exists(candidate.string())) {
            resolved = std::move(candidate);
            continue;
        }
        std::error_code ec;
        fs::directory_iterator it(resolved.empty() ? fs::path(".") : resolved, ec), end;
        bool found = false;
        const std::string name = component.string();
        for (; !ec && it != end; it.increment(ec)) {
            const std::string entry = it->path().filename().string();
            if (platform::toNfc(entry) == name) {
                resolved /= entry;
                found = true;
                break;
            }
        }
        if (!found) return nfcPath;
    }
    return resolved.string();
}

}  // namespace lumidex::folders
