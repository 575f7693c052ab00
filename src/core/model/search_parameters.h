// One search request. Equality and hashing are member-wise: the search compares a new request with the
// previous one to skip repeats. The member initialisers are the values a new request starts with
// before the folders and sort order are filled in from the settings.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>

#include "core/hashing.h"
#include "core/model/date.h"
#include "core/model/enums.h"

namespace lumidex {

struct SearchParameters {
    std::set<std::string> rootFolderUrlStrings;  // paths of the searchable folders to search
    std::optional<std::string> searchInsideUrl;  // restrict to this folder and below
    std::string searchText;
    SortOrders sortOrder = SortOrders::new2Old;
    std::optional<Date> startDate;  // a date filter applies only when both dates are present
    std::optional<Date> endDate;
    DateSearchParameters dateSearchParameter{};  // all three dates
    bool searchWithQuotes = false;
    int64_t minSearchCharCount = 3;
    bool fuzzySearch = true;

    friend bool operator==(const SearchParameters&, const SearchParameters&) = default;
};

}  // namespace lumidex

template <>
struct std::hash<lumidex::SearchParameters> {
    size_t operator()(const lumidex::SearchParameters& p) const noexcept {
        using lumidex::hashCombine;
        const std::hash<std::string> str;
        const auto optionalDate = [](const std::optional<lumidex::Date>& d) {
            return d ? std::hash<double>{}(lumidex::secondsSince1970(*d)) : size_t{0x5bd1e995};
        };
        size_t h = 0;
        for (const std::string& root : p.rootFolderUrlStrings) h = hashCombine(h, str(root));
        h = hashCombine(h, p.searchInsideUrl ? str(*p.searchInsideUrl) : size_t{0x5bd1e995});
        h = hashCombine(h, str(p.searchText));
        h = hashCombine(h, static_cast<size_t>(p.sortOrder));
        h = hashCombine(h, optionalDate(p.startDate));
        h = hashCombine(h, optionalDate(p.endDate));
        h = hashCombine(h, static_cast<size_t>(p.dateSearchParameter.rawValue));
        h = hashCombine(h, p.searchWithQuotes ? 1 : 0);
        h = hashCombine(h, static_cast<size_t>(p.minSearchCharCount));
        h = hashCombine(h, p.fuzzySearch ? 1 : 0);
        return h;
    }
};
