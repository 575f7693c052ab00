// Placeholder until the manual lands: no manuals.
#include "mcp/mcp_manual.h"

namespace lumidex::mcp {

const McpManualStore& McpManualStore::builtIn() {
    static const McpManualStore store;
    return store;
}

McpManualStore McpManualStore::fromJson(const std::vector<std::string_view>&) { return {}; }

const ManualFile* McpManualStore::manual(std::string_view language) const {
    for (const ManualFile& file : manuals_) {
        if (file.language == language) return &file;
    }
    return nullptr;
}

std::vector<McpManualStore::Hit> McpManualStore::search(std::string_view, std::string_view, std::size_t) const { return {}; }

}  // namespace lumidex::mcp
