// The prompt catalogue offered to AI clients and the filling of its templates. Immutable after first
// use; thread-safe.
#pragma once

#include <map>
#include <string>
#include <variant>
#include <vector>

#include "mcp/mcp_types.h"

namespace lumidex::mcp {

struct McpPrompt {
    struct Argument {
        std::string name;
        std::string description;
        bool required = false;
    };
    std::string name;
    std::string title;
    std::string description;
    std::vector<Argument> arguments;
    std::string templateText;                      // "{{name}}" placeholders
    std::map<std::string, std::string> fallbacks;  // argument name -> text used when it is not given
};

// The eight prompts in catalogue order.
const std::vector<McpPrompt>& mcpPrompts();

// The prompts/list entry of PROMPT: {"name","title","description","arguments":[…]}.
Json promptListEntry(const McpPrompt& prompt);

struct PromptError {
    int code;  // -32602
    std::string message;  // "Unknown prompt: NAME" / "Missing required argument: NAME"
};
// The prompts/get result {"description", "messages":[{"role":"user","content":{"type":"text","text"}}]}
// for NAME with ARGUMENTS (an object of strings; a number or boolean counts as its JSON text, other
// values are ignored). A value that is absent, ignored or empty counts as not given: a required one is
// an error, an optional one takes its fallback. Every {{name}} of the template is filled once; text inside a value is never expanded.
std::variant<Json, PromptError> getPrompt(const std::string& name, const Json& arguments);

}  // namespace lumidex::mcp
