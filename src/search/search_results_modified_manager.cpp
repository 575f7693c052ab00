#include "search/search_results_modified_manager.h"

#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>
#include <system_error>

#include "core/app_log.h"
#include "core/atomic_file.h"

namespace lumidex::search {
namespace {

SearchResultsModifiedManager::ItemsDict load(const std::filesystem::path& file) {
    SearchResultsModifiedManager::ItemsDict dict;
    std::ifstream in(file, std::ios::binary);
    if (!in) return dict;
    std::stringstream text;
    text << in.rdbuf();
    const nlohmann::json json = nlohmann::json::parse(text.str(), nullptr, false);
    if (!json.is_object()) return dict;
    for (const auto& [url, terms] : json.items()) {
        if (!terms.is_array()) continue;
        for (const auto& term : terms) {
            if (term.is_string()) dict[url].insert(term.get<std::string>());
        }
    }
    return dict;
}

}  // namespace

SearchResultsModifiedManager::SearchResultsModifiedManager(std::filesystem::path directory)
    : directory_(std::move(directory)), queue_("SearchResultsModifiedManager") {
    queue_.sync([this] { itemsDict_ = load(filePath()); });
}

std::optional<std::string> SearchResultsModifiedManager::termToRecord(std::string_view searchText) {
    const size_t start = searchText.find_first_not_of(" \t\r\n");
    if (start == std::string_view::npos) return std::nullopt;
    const size_t end = searchText.find_last_not_of(" \t\r\n");
    return std::string(searchText.substr(start, end - start + 1));
}

bool SearchResultsModifiedManager::add(const std::string& url, const std::string& term) {
    return queue_.sync([&] {
        itemsDict_[url].insert(term);
        return saveOnQueue();
    });
}

bool SearchResultsModifiedManager::remove(const std::string& url, const std::string& term) {
    return queue_.sync([&] {
        const auto found = itemsDict_.find(url);
        if (found == itemsDict_.end() || found->second.erase(term) == 0) return true;
        if (found->second.empty()) itemsDict_.erase(found);
        return saveOnQueue();
    });
}

std::set<std::string> SearchResultsModifiedManager::terms(const std::string& url) {
    return queue_.sync([&] {
        const auto found = itemsDict_.find(url);
        return found == itemsDict_.end() ? std::set<std::string>{} : found->second;
    });
}

SearchResultsModifiedManager::ItemsDict SearchResultsModifiedManager::itemsDict() {
    return queue_.sync([&] { return itemsDict_; });
}

bool SearchResultsModifiedManager::saveOnQueue() {
    nlohmann::json json = nlohmann::json::object();
    for (const auto& [url, terms] : itemsDict_) json[url] = terms;
    std::string text;
    try {
        text = json.dump(2);
    } catch (const std::exception& e) {
        // Text that is not UTF-8 cannot be written as JSON.
        appLog(std::string("Failed to save items to JSON file: ") + e.what());
        return false;
    }
    std::error_code ec;
    std::filesystem::create_directories(directory_, ec);
    if (auto error = writeFileAtomically(filePath(), text)) {
        appLog("Failed to save items to JSON file: " + error->message());
        return false;
    }
    return true;
}

}  // namespace lumidex::search
