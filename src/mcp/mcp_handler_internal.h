// Pieces shared by the transport half (mcp_handler.cpp) and the method half (mcp_handler_methods.cpp)
// of the MCP handler. Pure functions; safe on any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "api/api_types.h"
#include "mcp/mcp_types.h"

namespace lumidex::mcp {

bool isSupportedProtocolVersion(std::string_view version);
Json supportedProtocolVersions();  // newest first

// VALUE as the body of a STATUS answer with "Content-Type: application/json".
api::ApiResponse jsonAnswer(int status, const Json& value);

JsonRpcResponse rpcError(JsonRpcId id, int code, std::string message, std::optional<Json> data = std::nullopt);
JsonRpcResponse rpcResult(JsonRpcId id, Json result);
// -32022 "Unsupported protocol version: VERSION" with the supported list as data.
JsonRpcResponse versionError(JsonRpcId id, const std::string& version);

// The first CHARACTERS characters of UTF-8 TEXT, never splitting a sequence; CUT tells whether any
// were left off.
std::string utf8Prefix(std::string_view text, std::size_t characters, bool* cut = nullptr);

}  // namespace lumidex::mcp
