#include "folders/registry/bookmark_naming.h"

#include <cstdio>

#include "core/hashing.h"

namespace lumidex::folders {

std::string bookmarkFileStem(std::string_view nfcPath) {
    std::string_view path = nfcPath;
    if (path.starts_with("file://")) path.remove_prefix(7);
    std::string stem;
    stem.reserve(path.size() + 9);
    bool ambiguous = false;
    for (char c : path) {
        if (c == '_' || c == '~') ambiguous = true;
        stem.push_back(c == '/' ? '_' : c);
    }
    if (ambiguous) {
        char suffix[10];
        std::snprintf(suffix, sizeof suffix, "~%08x", fnv1a32(path));
        stem += suffix;
    }
    return stem;
}

std::string bookmarkFileName(std::string_view nfcPath) { return bookmarkFileStem(nfcPath) + ".data"; }

}  // namespace lumidex::folders
