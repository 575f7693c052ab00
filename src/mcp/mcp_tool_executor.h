// The tool catalogue and its execution. Almost every tool is one REST route: the call's arguments
// become an internal request dispatched through the same router the server uses (no network, no
// token check), and the answer becomes tool content. The rest (app status, the manual) is answered
// here.
//
// The router and the context's callbacks are borrowed and must outlive the executor. listTools and
// callTool may run on any number of threads at once; the executor itself keeps no mutable state.
// callTool never throws: a failure is a result with isError set.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "mcp/mcp_types.h"

namespace lumidex::api {
class ApiRouter;
}

namespace lumidex::mcp {

class McpManualStore;

struct McpToolContext {
    std::chrono::system_clock::time_point startTime = std::chrono::system_clock::now();
    std::function<uint16_t()> actualPort;  // the server's port, 0 when down; none: 0
    const McpManualStore* manual = nullptr;  // none: the manual compiled into the program
    std::string systemLanguage;               // "de" or "en"; empty: from LANGUAGE/LC_ALL/LC_MESSAGES/LANG
};

class McpToolExecutor {
public:
    McpToolExecutor(const api::ApiRouter& router, McpToolContext context = {});

    // Every tool in catalogue order.
    const std::vector<McpToolDefinition>& listTools() const;
    bool hasTool(std::string_view name) const;
    // ARGUMENTS is an object (or null when the call carried none). An unknown NAME is an error result.
    McpToolResult callTool(const std::string& name, const Json& arguments) const;

private:
    const api::ApiRouter* router_;
    McpToolContext context_;
};

// The catalogue (85 tools, fixed order), built once.
const std::vector<McpToolDefinition>& mcpToolCatalogue();

}  // namespace lumidex::mcp
