#include "storage/pending_enrichments.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <sstream>
#include <string>

#include "core/atomic_file.h"

namespace lumidex::storage {
namespace fs = std::filesystem;

namespace {

// "<digits>.tmp-" and the six characters mkostemp puts in place of "XXXXXX" (atomic_file.cpp).
bool isMarkerTemporary(std::string_view name) {
    constexpr std::string_view infix = ".tmp-";
    const auto at = name.find(infix);
    if (at == std::string_view::npos || at == 0 || name.size() != at + infix.size() + 6) return false;
    return name.substr(0, at).find_first_not_of("0123456789") == std::string_view::npos;
}

}  // namespace

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
    std::vector<fs::path> stale;
    const auto now = fs::file_time_type::clock::now();
    std::error_code ec;
    for (fs::directory_iterator it(directory_, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const std::string name = it->path().filename().string();
        uint32_t hash = 0;
        const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), hash);
        if (error == std::errc() && end == name.data() + name.size()) {
            hashes.push_back(hash);
        } else if (isMarkerTemporary(name)) {
            std::error_code timeError;
            const auto written = fs::last_write_time(it->path(), timeError);
            if (!timeError && now - written > staleTemporaryAge) stale.push_back(it->path());
        }
    }
    for (const fs::path& path : stale) fs::remove(path, ec);  // another pass may have removed it first
    return hashes;
}

int PendingMarkers::attempts(uint32_t combinedHash) const {
    std::ifstream in(directory_ / std::to_string(combinedHash));
    int count = 0;
    if (!(in >> count) || count < 0) return 0;
    return std::min(count, 1000);  // a damaged marker must not overflow a caller's count
}

bool PendingMarkers::setAttempts(uint32_t combinedHash, int attempts) const {
    std::error_code ec;
    fs::create_directories(directory_, ec);
    return !writeFileAtomically(directory_ / std::to_string(combinedHash), std::to_string(attempts));
}

// Two lines: "pages 0 7 12" and "key <cache key>".
bool PendingEnrichments::add(uint32_t combinedHash, const EnrichmentPlan& plan) const {
    std::string text = "pages";
    for (const int64_t page : plan.pages) text += " " + std::to_string(page);
    text += "\nkey ";
    if (plan.cacheKey.find_first_of("\r\n") == std::string::npos) text += plan.cacheKey;
    text += "\n";
    const fs::path directory = markerDirectory();
    std::error_code ec;
    fs::create_directories(directory, ec);
    return !writeFileAtomically(directory / std::to_string(combinedHash), text);
}

std::optional<EnrichmentPlan> PendingEnrichments::plan(uint32_t combinedHash) const {
    std::ifstream in(markerDirectory() / std::to_string(combinedHash));
    std::string line;
    if (!std::getline(in, line) || !line.starts_with("pages ")) return std::nullopt;
    EnrichmentPlan plan;
    std::istringstream pages(line.substr(6));
    int64_t page = 0;
    while (pages >> page) {
        if (page < 0) return std::nullopt;
        plan.pages.push_back(page);
    }
    if (!pages.eof() || plan.pages.empty()) return std::nullopt;
    if (!std::getline(in, line) || !line.starts_with("key ")) return std::nullopt;
    plan.cacheKey = line.substr(4);
    return plan;
}

}  // namespace lumidex::storage
