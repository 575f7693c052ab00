// Placeholder until the tool catalogue lands: no tools, every call an unknown tool.
#include "mcp/mcp_tool_executor.h"

namespace lumidex::mcp {

McpToolExecutor::McpToolExecutor(const api::ApiRouter& router, McpToolContext context)
    : router_(&router), context_(std::move(context)) {}

const std::vector<McpToolDefinition>& McpToolExecutor::listTools() const { return mcpToolCatalogue(); }

bool McpToolExecutor::hasTool(std::string_view name) const {
    for (const McpToolDefinition& tool : listTools()) {
        if (tool.name == name) return true;
    }
    return false;
}

McpToolResult McpToolExecutor::callTool(const std::string& name, const Json&) const {
    McpToolResult result;
    result.isError = true;
    result.content.push_back(McpToolContent{"text", "Unknown tool: " + name, std::nullopt, std::nullopt});
    return result;
}

const std::vector<McpToolDefinition>& mcpToolCatalogue() {
    static const std::vector<McpToolDefinition> catalogue;
    return catalogue;
}

}  // namespace lumidex::mcp
