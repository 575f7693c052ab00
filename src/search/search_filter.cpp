#include "search/search_filter.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "platform/file_tags.h"

namespace lumidex::search {
namespace {

class SystemFileInfoReader : public FileInfoReader {
public:
    std::optional<std::vector<std::string>> tags(const std::string& path) override {
        return platform::readFileTags(path);
    }
    std::optional<int64_t> size(const std::string& path) override {
        std::error_code ec;
        const auto bytes = std::filesystem::file_size(path, ec);
        if (ec) return std::nullopt;
        return static_cast<int64_t>(bytes);
    }
};

bool isFile(const NanItem& item) { return item.type == NanItemTypes::file; }

template <class T>
void widen(std::optional<ClosedRange<T>>& range, T value) {
    if (!range) {
        range = ClosedRange<T>{value, value};
        return;
    }
    range->lowerBound = std::min(range->lowerBound, value);
    range->upperBound = std::max(range->upperBound, value);
}

}  // namespace

bool SearchFilterState::hasValidBounds() const {
    const auto within = [](const std::optional<int64_t>& low, const std::optional<int64_t>& high, int64_t limit) {
        const auto fits = [limit](const std::optional<int64_t>& value) { return !value || (*value >= 0 && *value <= limit); };
        return fits(low) && fits(high) && (!low || !high || *low <= *high);
    };
    if (dateRangeMin && dateRangeMax && *dateRangeMax < *dateRangeMin) return false;
    return within(fileSizeMin, fileSizeMax, maxFileSizeBound) && within(pageCountMin, pageCountMax, maxCountBound) &&
           minimumMatchCount >= 0 && minimumMatchCount <= maxCountBound;
}

int SearchFilterState::activeFilterCount() const {
    int count = 0;
    if (!selectedFileTypes.empty()) ++count;
    if (!selectedFinderTags.empty()) ++count;
    if (fileSizeMin || fileSizeMax) ++count;
    if (dateRangeMin || dateRangeMax) ++count;
    if (pageCountMin || pageCountMax) ++count;
    if (!selectedRootFolders.empty()) ++count;
    if (minimumMatchCount >= 1) ++count;
    return count;
}

std::shared_ptr<FileInfoReader> systemFileInfoReader() {
    static const auto reader = std::make_shared<SystemFileInfoReader>();
    return reader;
}

bool passesSearchFilter(const SearchFilterState& state, const NanItem& item, const MatchCounts& matchCounts,
                        FileInfoReader& files) {
    if (!state.selectedFileTypes.empty()) {
        const auto category = fileTypeCategoryForFileName(item.fileName);
        if (!category || !state.selectedFileTypes.contains(*category)) return false;
    }
    if (!state.selectedFinderTags.empty()) {
        const auto tags = isFile(item) ? files.tags(item.urlString) : std::nullopt;
        if (!tags) return false;
        const bool shared = std::any_of(tags->begin(), tags->end(),
                                        [&](const std::string& tag) { return state.selectedFinderTags.contains(tag); });
        if (!shared) return false;
    }
    if (state.fileSizeMin || state.fileSizeMax) {
        const auto size = isFile(item) ? files.size(item.urlString) : std::nullopt;
        if (!size) return false;
        if (state.fileSizeMin && *size < *state.fileSizeMin) return false;
        if (state.fileSizeMax && *size > *state.fileSizeMax) return false;
    }
    if (state.dateRangeMin && item.fileModifiedDate < *state.dateRangeMin) return false;
    if (state.dateRangeMax && item.fileModifiedDate > *state.dateRangeMax) return false;
    if (state.pageCountMin && item.totalPageCount < *state.pageCountMin) return false;
    if (state.pageCountMax && item.totalPageCount > *state.pageCountMax) return false;
    if (!state.selectedRootFolders.empty() && !state.selectedRootFolders.contains(item.rootFolderUrl)) return false;
    if (state.minimumMatchCount >= 1) {
        const auto found = matchCounts.find(item.combinedHash);
        const int64_t count = found == matchCounts.end() ? 0 : found->second;
        if (count < state.minimumMatchCount) return false;
    }
    return true;
}

std::vector<NanItem> applySearchFilter(const SearchFilterState& state, const std::vector<NanItem>& items,
                                       const MatchCounts& matchCounts, FileInfoReader& files) {
    if (state.activeFilterCount() == 0) return items;
    std::vector<NanItem> kept;
    for (const NanItem& item : items) {
        if (passesSearchFilter(state, item, matchCounts, files)) kept.push_back(item);
    }
    return kept;
}

SearchFilterMetadata computeSearchFilterMetadata(const std::vector<NanItem>& items, const MatchCounts& matchCounts,
                                                 FileInfoReader& files, const CancellationToken& token) {
    SearchFilterMetadata metadata;
    std::optional<ClosedRange<int64_t>> sizes, pages, matches;
    std::optional<ClosedRange<Date>> dates;
    std::set<std::string> tags;
    for (const NanItem& item : items) {
        if (token.isCancelled()) break;
        if (auto category = fileTypeCategoryForFileName(item.fileName); category && isFile(item)) {
            metadata.availableFileTypes.insert(*category);
        }
        widen(dates, item.fileModifiedDate);
        if (item.totalPageCount >= 0) widen(pages, item.totalPageCount);
        const auto count = matchCounts.find(item.combinedHash);
        widen(matches, count == matchCounts.end() ? int64_t{0} : count->second);
        ++metadata.rootFolderCounts[item.rootFolderUrl];
        if (!isFile(item)) continue;
        if (auto size = files.size(item.urlString)) widen(sizes, *size);
        if (auto fileTags = files.tags(item.urlString)) tags.insert(fileTags->begin(), fileTags->end());
    }
    metadata.fileSizeRange = sizes.value_or(ClosedRange<int64_t>{});
    metadata.dateRange = dates.value_or(ClosedRange<Date>{});
    metadata.pageCountRange = pages.value_or(ClosedRange<int64_t>{});
    metadata.matchCountRange = matches.value_or(ClosedRange<int64_t>{});
    metadata.availableFinderTags.assign(tags.begin(), tags.end());
    for (const std::string& tag : metadata.availableFinderTags) metadata.availableFinderTagColors[tag] = 0;
    return metadata;
}

}  // namespace lumidex::search
