// Narrowing a result list without searching again: the filter settings, the value ranges offered for
// them, and the predicate.
//
// The predicate reads a file's tags and size from disk only while a tag or size filter is set. A file
// whose tags or size cannot be read (gone, no permission, a mail result) fails a tag or size filter
// that is set, since nothing shows that it matches. Pure functions apart from those reads; thread-safe
// as long as the FileInfoReader is.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/model/date.h"
#include "core/model/nan_item.h"
#include "search/file_type_category.h"
#include "search/search_engine.h"

namespace lumidex::search {

struct SearchFilterState {
    std::set<FileTypeCategory> selectedFileTypes;  // empty: any type
    std::set<std::string> selectedFinderTags;      // empty: any tags
    std::optional<int64_t> fileSizeMin;            // bytes, inclusive
    std::optional<int64_t> fileSizeMax;
    std::optional<Date> dateRangeMin;  // bounds on the modification date, inclusive
    std::optional<Date> dateRangeMax;
    std::optional<int64_t> pageCountMin;  // inclusive bounds on totalPageCount
    std::optional<int64_t> pageCountMax;
    std::set<std::string> selectedRootFolders;  // folder paths; empty: all
    int64_t minimumMatchCount = 0;              // 0: no match-count filter

    // Conditions set: types, tags, size, date, pages, folders, matches (a pair of bounds counts once).
    int activeFilterCount() const;
    // Whether the bounds make sense: none negative, a lower bound not above its upper one, sizes up to
    // maxFileSizeBound and counts up to maxCountBound (what the filter panel's fields can hold).
    bool hasValidBounds() const;
    static constexpr int64_t maxCountBound = int64_t{1} << 30;
    static constexpr int64_t maxFileSizeBound = maxCountBound * 1024;
    friend bool operator==(const SearchFilterState&, const SearchFilterState&) = default;
};

template <class T>
struct ClosedRange {
    T lowerBound{};
    T upperBound{};
    friend bool operator==(const ClosedRange&, const ClosedRange&) = default;
};

struct SearchFilterMetadata {
    ClosedRange<int64_t> fileSizeRange;
    ClosedRange<Date> dateRange;
    ClosedRange<int64_t> pageCountRange;
    std::set<FileTypeCategory> availableFileTypes;
    std::vector<std::string> availableFinderTags;           // sorted
    std::map<std::string, int64_t> availableFinderTagColors;  // tag -> colour number (0: none on Linux)
    std::map<std::string, int64_t> rootFolderCounts;          // folder path -> results in it
    ClosedRange<int64_t> matchCountRange;
    bool isLoading = false;

    friend bool operator==(const SearchFilterMetadata&, const SearchFilterMetadata&) = default;
};

// The file facts the filters read from disk.
class FileInfoReader {
public:
    virtual ~FileInfoReader() = default;
    virtual std::optional<std::vector<std::string>> tags(const std::string& path) = 0;
    virtual std::optional<int64_t> size(const std::string& path) = 0;
};

// Tags from the platform's file tags, size from the file system (regular files only). Thread-safe.
std::shared_ptr<FileInfoReader> systemFileInfoReader();

// The items that pass every set filter, in their order; the list itself when no filter is set.
std::vector<NanItem> applySearchFilter(const SearchFilterState& state, const std::vector<NanItem>& items,
                                       const MatchCounts& matchCounts, FileInfoReader& files);
bool passesSearchFilter(const SearchFilterState& state, const NanItem& item, const MatchCounts& matchCounts,
                        FileInfoReader& files);

// The ranges over the given results: sizes and tags of readable files, modification dates, known page
// counts (unknown, -1, is left out), categories present, results per folder, match counts (0 when the
// map has none). A range with nothing to span is {0, 0} (dates: the epoch). Stops early, returning what
// it has, when `token` is cancelled.
SearchFilterMetadata computeSearchFilterMetadata(const std::vector<NanItem>& items, const MatchCounts& matchCounts,
                                                 FileInfoReader& files, const CancellationToken& token);

}  // namespace lumidex::search
