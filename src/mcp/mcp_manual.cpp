// Placeholder until the manual lands: no compiled-in manual, files read as given, and a plain
// case-sensitive substring count as the search.
#include "mcp/mcp_manual.h"

#include <algorithm>

namespace lumidex::mcp {

const McpManualStore& McpManualStore::builtIn() {
    static const McpManualStore store;
    return store;
}

McpManualStore McpManualStore::fromJson(const std::vector<std::string_view>& files) {
    McpManualStore store;
    for (const std::string_view text : files) {
        const Json json = Json::parse(text, nullptr, false);
        if (!json.is_object() || !json.contains("sections") || !json["sections"].is_array()) continue;
        ManualFile file{json.value("language", ""), json.value("version", ""), {}};
        for (const Json& section : json["sections"]) {
            if (!section.is_object()) continue;
            file.sections.push_back({section.value("id", ""), section.value("chapter", ""), section.value("title", ""),
                                     section.value("body", "")});
        }
        store.manuals_.push_back(std::move(file));
    }
    return store;
}

const ManualFile* McpManualStore::manual(std::string_view language) const {
    for (const ManualFile& file : manuals_) {
        if (file.language == language) return &file;
    }
    return nullptr;
}

std::vector<McpManualStore::Hit> McpManualStore::search(std::string_view query, std::string_view language,
                                                        std::size_t limit) const {
    std::vector<Hit> hits;
    const ManualFile* file = manual(language);
    if (!file || query.empty()) return hits;
    for (const ManualSection& section : file->sections) {
        int count = 0;
        for (const std::string* text : {&section.title, &section.body}) {
            for (std::size_t at = text->find(query); at != std::string::npos; at = text->find(query, at + query.size())) ++count;
        }
        if (count > 0) hits.push_back({&section, section.body.substr(0, 160), count});
    }
    std::stable_sort(hits.begin(), hits.end(), [](const Hit& a, const Hit& b) { return a.matchCount > b.matchCount; });
    if (hits.size() > limit) hits.resize(limit);
    return hits;
}

}  // namespace lumidex::mcp
