// Placeholder until the prompt catalogue lands: no prompts.
#include "mcp/mcp_prompts.h"

namespace lumidex::mcp {

const std::vector<McpPrompt>& mcpPrompts() {
    static const std::vector<McpPrompt> prompts;
    return prompts;
}

Json promptListEntry(const McpPrompt& prompt) {
    Json arguments = Json::array();
    for (const McpPrompt::Argument& argument : prompt.arguments) {
        arguments.push_back(Json{{"name", argument.name}, {"description", argument.description}, {"required", argument.required}});
    }
    return Json{{"name", prompt.name}, {"title", prompt.title}, {"description", prompt.description}, {"arguments", arguments}};
}

std::variant<Json, PromptError> getPrompt(const std::string& name, const Json&) {
    return PromptError{-32602, "Unknown prompt: " + name};
}

}  // namespace lumidex::mcp
