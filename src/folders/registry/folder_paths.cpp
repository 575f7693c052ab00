#include "folders/registry/folder_paths.h"

#include <filesystem>

#include "platform/unicode.h"

namespace lumidex::folders {

std::string normalizedFolderPath(std::string_view path) {
    if (path.starts_with("file://")) path.remove_prefix(7);
    if (path.empty()) return {};
    std::string normal = std::filesystem::path(platform::toNfc(path)).lexically_normal().string();
    while (normal.size() > 1 && normal.back() == '/') normal.pop_back();
    return normal;
}

bool isSameOrInside(std::string_view path, std::string_view ancestor) {
    if (ancestor.empty() || !path.starts_with(ancestor)) return false;
    if (path.size() == ancestor.size()) return true;
    return ancestor.back() == '/' || path[ancestor.size()] == '/';
}

std::string folderDisplayName(std::string_view normalizedPath) {
    const auto slash = normalizedPath.find_last_of('/');
    if (slash == std::string_view::npos) return std::string(normalizedPath);
    if (slash + 1 == normalizedPath.size()) return std::string(normalizedPath);
    return std::string(normalizedPath.substr(slash + 1));
}

}  // namespace lumidex::folders
