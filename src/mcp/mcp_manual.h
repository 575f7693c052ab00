// The built-in user manual in German and English, searched and read by two MCP tools. The manual
// files are compiled into the program; a store is immutable once built and thread-safe.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mcp/mcp_types.h"

namespace lumidex::mcp {

struct ManualSection {
    std::string id;       // "chapter-slug/section-slug"
    std::string chapter;
    std::string title;
    std::string body;     // Markdown
};

struct ManualFile {
    std::string language;  // "de", "en"
    std::string version;
    std::vector<ManualSection> sections;
};

class McpManualStore {
public:
    // The manuals compiled into the program.
    static const McpManualStore& builtIn();
    // From the JSON texts of manual files ({"language","version","sections":[…]}); an unreadable one
    // is skipped and logged.
    static McpManualStore fromJson(const std::vector<std::string_view>& files);

    const ManualFile* manual(std::string_view language) const;

    struct Hit {
        const ManualSection* section;
        std::string snippet;
        int matchCount;
    };
    // Sections of LANGUAGE whose title or body contain the query's terms, most matches first
    // (case-insensitive, accents folded), at most LIMIT. The count is every occurrence of each distinct
    // query word inside the folded title and body; equal counts keep the manual's order. The snippet is
    // whole words of the body around its first match. An unknown language or a query without words
    // finds nothing.
    std::vector<Hit> search(std::string_view query, std::string_view language, std::size_t limit) const;

private:
    std::vector<ManualFile> manuals_;
};

}  // namespace lumidex::mcp
