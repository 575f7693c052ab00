#include "platform/file_tags.h"

#include <sys/stat.h>
#include <sys/xattr.h>

#include <cerrno>
#include <string_view>

namespace lumidex::platform {
namespace {

constexpr const char* kTagsAttribute = "user.xdg.tags";

std::string trimmed(std::string_view s) {
    const size_t start = s.find_first_not_of(" \t\n\r");
    if (start == std::string_view::npos) return {};
    const size_t end = s.find_last_not_of(" \t\n\r");
    return std::string(s.substr(start, end - start + 1));
}

}  // namespace

std::optional<std::vector<std::string>> readFileTags(const std::filesystem::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return std::nullopt;

    std::string value;
    bool complete = false;
    for (int attempt = 0; attempt < 4 && !complete; ++attempt) {
        const ssize_t size = ::getxattr(path.c_str(), kTagsAttribute, nullptr, 0);
        if (size < 0) {
            // No attribute, or a file system without extended attributes: a file without tags.
            if (errno == ENODATA || errno == ENOTSUP) return std::vector<std::string>{};
            return std::nullopt;
        }
        value.resize(static_cast<size_t>(size));
        const ssize_t read = ::getxattr(path.c_str(), kTagsAttribute, value.data(), value.size());
        if (read >= 0) {
            value.resize(static_cast<size_t>(read));
            complete = true;
            continue;
        }
        if (errno != ERANGE) return errno == ENODATA ? std::optional(std::vector<std::string>{}) : std::nullopt;
        // The attribute grew between the two calls; ask for its size again.
    }
    if (!complete) return std::nullopt;

    std::vector<std::string> tags;
    size_t start = 0;
    while (start <= value.size()) {
        size_t end = value.find(',', start);
        if (end == std::string::npos) end = value.size();
        std::string tag = trimmed(std::string_view(value).substr(start, end - start));
        if (!tag.empty()) tags.push_back(std::move(tag));
        start = end + 1;
    }
    return tags;
}

bool writeFileTags(const std::filesystem::path& path, const std::vector<std::string>& tags) {
    if (tags.empty()) {
        return ::removexattr(path.c_str(), kTagsAttribute) == 0 || errno == ENODATA;
    }
    std::string value;
    for (const std::string& tag : tags) {
        if (!value.empty()) value += ',';
        value += tag;
    }
    return ::setxattr(path.c_str(), kTagsAttribute, value.data(), value.size(), 0) == 0;
}

}  // namespace lumidex::platform
