// Feeds arbitrary bytes to the MCP endpoint's envelope reading as a POST body: the JSON parse, the
// request envelope and the value model. No crash or sanitizer report; every parsed value decodes
// (only nesting beyond the limit fails), re-encodes to plain JSON that decodes to itself, and a
// request's id and params survive their round trip into a response.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "mcp/mcp_types.h"

namespace {

using namespace lumidex::mcp;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const Json message = Json::parse(bytes, nullptr, false);
    if (message.is_discarded()) return 0;

    auto value = AnyCodableValue::decode(message);
    if (const auto* error = std::get_if<std::string>(&value)) {
        if (*error != "JSON nested too deeply") __builtin_trap();
    } else {
        const Json encoded = std::get<AnyCodableValue>(value).encode();
        auto again = AnyCodableValue::decode(encoded);
        if (!std::holds_alternative<AnyCodableValue>(again)) __builtin_trap();
        if (std::get<AnyCodableValue>(again).encode() != encoded) __builtin_trap();
        // Everything the parser accepted is valid UTF-8, so the encoding serialises without a throw.
        (void)encoded.dump();
    }

    auto request = JsonRpcRequest::decode(message);
    if (auto* rpc = std::get_if<JsonRpcRequest>(&request)) {
        if (rpc->params && !rpc->params->is_object()) __builtin_trap();
        JsonRpcResponse response;
        response.id = rpc->id.value_or(JsonRpcId{});
        response.result = rpc->params.value_or(Json::object());
        const Json encoded = response.encode();
        if (encoded.at("jsonrpc") != "2.0" || encoded.contains("error")) __builtin_trap();
        auto id = JsonRpcId::decode(encoded.at("id"));
        if (!std::holds_alternative<JsonRpcId>(id) || std::get<JsonRpcId>(id).value != response.id.value) __builtin_trap();
        (void)encoded.dump();
    } else if (message.is_object() && message.contains("jsonrpc") && message["jsonrpc"].is_string() &&
               message.contains("method") && message["method"].is_string() && !message.contains("id") &&
               !message.contains("params")) {
        __builtin_trap();  // a well-formed notification never fails to decode
    }
    return 0;
}
