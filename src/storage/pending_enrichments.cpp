#include "storage/pending_enrichments.h"

#include <charconv>
#include <string>

#include "core/atomic_file.h"

namespace lumidex::storage {
namespace fs = std::filesystem;

PendingMarkers::PendingMarkers(const fs::path& folderDataDirectory, std::string_view kindDirectory)
    : directory_(folderDataDirectory / kindDirectory) {}

bool PendingMarkers::add(uint32_t combinedHash) const {
    std::error_code ec;
    fs::create_directories(directory_, ec);
    return !writeFileAtomically(directory_ / std::to_string(combinedHash), "");
}

bool PendingMarkers::remove(uint32_t combinedHash) const {
    std::error_code ec;
    fs::remove(directory_ / std::to_string(combinedHash), ec);
    return !ec;
}

bool PendingMarkers::contains(uint32_t combinedHash) const {
    std::error_code ec;
    return fs::exists(directory_ / std::to_string(combinedHash), ec);
}

std::vector<uint32_t> PendingMarkers::list() const {
    std::vector<uint32_t> hashes;
    std::error_code ec;
    for (fs::directory_iterator it(directory_, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const std::string name = it->path().filename().string();
        uint32_t hash = 0;
        const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), hash);
        if (error == std::errc() && end == name.data() + name.size()) hashes.push_back(hash);
    }
    return hashes;
}

}  // namespace lumidex::storage
