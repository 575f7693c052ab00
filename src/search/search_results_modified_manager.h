// Per document, the search terms under which the user marked a result, kept in
// "modified_search_results.json" in the data folder as a JSON object: document URL -> array of terms.
//
// An actor: the map lives on its own serial executor; every member may be called from any thread.
// Changes are saved at once, whole file replaced atomically; a failed save is logged ("Failed to save
// items to JSON file: " + error) and the map stays changed in memory. A missing or unreadable file
// loads as an empty map.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "core/concurrency/serial_executor.h"

namespace lumidex::search {

// Shown instead of a term when the current search has none to record.
inline constexpr std::string_view kCantAssignSearchTerm = "<can't assign search term>";

class SearchResultsModifiedManager {
public:
    static constexpr std::string_view filename = "modified_search_results.json";
    using ItemsDict = std::map<std::string, std::set<std::string>>;

    // `directory`: where the file lives (the data folder). Loads the file.
    explicit SearchResultsModifiedManager(std::filesystem::path directory);

    // The term a search text records: the text trimmed of white space; nullopt when nothing is left.
    static std::optional<std::string> termToRecord(std::string_view searchText);

    // Records `term` for the document; returns false when the save failed.
    bool add(const std::string& url, const std::string& term);
    // Forgets one term (a document without terms is dropped); returns false when the save failed.
    bool remove(const std::string& url, const std::string& term);
    std::set<std::string> terms(const std::string& url);
    ItemsDict itemsDict();

    std::filesystem::path filePath() const { return directory_ / filename; }

private:
    bool saveOnQueue();

    const std::filesystem::path directory_;
    SerialExecutor queue_;
    ItemsDict itemsDict_;  // only on queue_
};

}  // namespace lumidex::search
