#include "search/search_json.h"

#include <nlohmann/json.hpp>


namespace lumidex::search {
namespace {

std::string extensionOf(const std::string& fileName) {
    const size_t dot = fileName.rfind('.');
    if (dot == std::string::npos || dot == 0) return {};
    std::string extension = fileName.substr(dot + 1);
    for (char& c : extension) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return extension;
}

// Messages of local stores carry their store's type in their id ("maildir:...", "mbox:...").
std::string mailSourceType(const std::string& urlString) {
    const std::string_view id = std::string_view(urlString).substr(urlString.find(':') + 1);
    if (id.starts_with("maildir:")) return "maildir";
    if (id.starts_with("mbox:")) return "mbox";
    return "apple_mail";
}

}  // namespace

std::string searchResultsJson(std::string_view query, const std::vector<SearchHit>& hits, size_t totalCount,
                              const std::vector<std::string>& hints) {
    nlohmann::json results = nlohmann::json::array();
    for (const SearchHit& hit : hits) {
        const NanItem& item = hit.item;
        const bool mail = item.type == NanItemTypes::emailMessage;
        nlohmann::json r;
        r["id"] = mail ? item.urlString.substr(item.urlString.find(':') + 1) : std::to_string(item.combinedHash);
        r["file_path"] = item.urlString;
        r["file_name"] = item.fileName;
        r["file_type"] = mail ? std::string() : extensionOf(item.fileName);
        // A message's folder is its mailbox; the search's internal root of mail results means nothing to a reader.
        r["folder"] = mail ? item.mailbox.value_or(std::string()) : item.rootFolderUrl;
        r["snippet"] = hit.snippet ? nlohmann::json(*hit.snippet) : nlohmann::json(nullptr);
        r["display_snippet"] = hit.displaySnippet ? nlohmann::json(hit.displaySnippet->text) : nlohmann::json(nullptr);
        r["match_count"] = hit.matchCount;
        r["created_at"] = iso8601String(item.fileCreatedDate);
        r["modified_at"] = iso8601String(item.fileModifiedDate);
        r["page_count"] = item.totalPageCount >= 0 ? nlohmann::json(item.totalPageCount) : nlohmann::json(nullptr);
        r["source_type"] = mail ? mailSourceType(item.urlString) : std::string("filesystem");
        r["mail_mailbox"] = item.mailbox ? nlohmann::json(*item.mailbox) : nlohmann::json(nullptr);
        results.push_back(std::move(r));
    }
    nlohmann::json out;
    out["query"] = std::string(query);
    out["total_count"] = totalCount;
    out["hints"] = hints;
    out["results"] = std::move(results);
    return out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace lumidex::search
