// The JSON-RPC 2.0 value model of the MCP endpoint: values, ids, requests, responses and tool
// content. Plain values: copy freely, no thread affinity. Decoding never throws; it answers an error
// text instead.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

namespace lumidex::mcp {

using Json = nlohmann::ordered_json;

// A JSON value as the endpoint reads it. Decoding tries null, boolean, integer, floating point,
// string, array, object, in that order, so 3.0 reads as the integer 3.
struct AnyCodableValue {
    using Array = std::vector<AnyCodableValue>;
    using Object = std::map<std::string, AnyCodableValue>;
    std::variant<std::monostate, std::string, int64_t, double, bool, Array, Object> value;

    // Fails with "Unsupported JSON type" for anything else (binary, discarded), and with "JSON nested
    // too deeply" beyond 512 levels of arrays and objects.
    static std::variant<AnyCodableValue, std::string> decode(const Json& json);
    Json encode() const;

private:
    static std::variant<AnyCodableValue, std::string> decode(const Json& json, int depth);
};

// A request id: null, then integer, then string; anything else fails with
// "Expected String, Int or null for JSON-RPC id".
struct JsonRpcId {
    std::variant<std::monostate, int64_t, std::string> value;
    static std::variant<JsonRpcId, std::string> decode(const Json& json);
    Json encode() const;
};

struct JsonRpcRequest {
    std::string jsonrpc;
    std::optional<JsonRpcId> id;  // none: a notification
    std::string method;
    std::optional<Json> params;   // an object when present

    // The envelope of one decoded JSON value; an error text when it is not a request object.
    static std::variant<JsonRpcRequest, std::string> decode(const Json& json);
};

struct JsonRpcError {
    int code = 0;
    std::string message;
    std::optional<Json> data;
};

// Exactly one of result and error is present.
struct JsonRpcResponse {
    JsonRpcId id;
    std::optional<Json> result;
    std::optional<JsonRpcError> error;
    Json encode() const;  // {"jsonrpc":"2.0","id":…,"result"|"error":…}
};

struct McpToolContent {
    std::string type;  // "text", "image"
    std::optional<std::string> text;
    std::optional<std::string> data;  // base64
    std::optional<std::string> mimeType;
    Json encode() const;
};

struct McpToolResult {
    std::vector<McpToolContent> content;
    bool isError = false;
    std::optional<Json> structured;  // the tool's JSON result object, when it produced one
};

struct McpToolDefinition {
    std::string name;
    std::string description;
    Json inputSchema;  // {"type":"object","properties":{…}[,"required":[…]]}
};

inline constexpr const char* kSupportedProtocolVersions[] = {"2025-06-18", "2025-03-26"};

}  // namespace lumidex::mcp
