// How each catalogue tool runs: the REST route it is a thin adapter over (method, path pattern, where
// each argument goes), or that it is answered inside the MCP layer. The rows are built once and never
// change; reading them needs no lock.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "api/api_types.h"
#include "mcp/mcp_types.h"

namespace lumidex::mcp {

enum class ToolKind {
    rest,     // one REST route
    local,    // answered by the executor itself (app status, manual, composite calls)
    noStore,  // needs a store this build does not have: answered like a missing route
};

// Where the arguments of a REST tool go:
// - a ":name" piece of `pattern` takes the argument `name`, percent-encoded;
// - for GET every other schema property becomes a query parameter;
// - for POST and PATCH every other schema property present in the call (but "confirm") becomes a
//   member of a JSON body, except those listed in `queryArguments`, which go to the query;
// - DELETE carries path parameters only.
struct ToolRoute {
    ToolKind kind = ToolKind::rest;
    api::HttpMethod method = api::HttpMethod::get;
    std::string pattern;
    bool confirm = false;  // refused unless the argument "confirm" is the boolean true
    std::vector<std::string> queryArguments;
};

struct ToolRow {
    McpToolDefinition definition;
    ToolRoute route;
};

// Every tool in catalogue order.
const std::vector<ToolRow>& toolRows();
// The row named NAME, or null.
const ToolRow* findToolRow(std::string_view name);

namespace catalogue {

// Small builders for the rows; a property is {"type", "description"[, "enum"][, "items"]}.
struct Arg {
    std::string name;
    Json schema;
    bool required = false;
};

Arg str(std::string name, std::string description, bool required = false);
Arg strEnum(std::string name, std::string description, std::vector<std::string> values, bool required = false);
Arg integer(std::string name, std::string description, bool required = false);
Arg number(std::string name, std::string description, bool required = false);
Arg boolean(std::string name, std::string description, bool required = false);
Arg strings(std::string name, std::string description, bool required = false, std::vector<std::string> values = {});
Arg array(std::string name, std::string description, Json items, bool required = false);
Arg object(std::string name, std::string description, bool required = false);
Arg confirmArg();

ToolRow rest(std::string name, std::string description, api::HttpMethod method, std::string pattern,
             std::vector<Arg> args = {}, bool confirm = false, std::vector<std::string> queryArguments = {});
ToolRow local(std::string name, std::string description, std::vector<Arg> args = {});
ToolRow noStore(std::string name, std::string description, std::vector<Arg> args = {});

// The catalogue in two halves, each in catalogue order: from "search_documents" to
// "get_mail_attachment", and from "get_document_ocr_rects" to the end.
std::vector<ToolRow> firstRows();
std::vector<ToolRow> secondRows();

}  // namespace catalogue
}  // namespace lumidex::mcp
