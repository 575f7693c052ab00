#include "mcp/mcp_handler.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string_view>
#include <utility>

#include "api/http_head.h"
#include "core/app_log.h"
#include "core/ascii_text.h"
#include "core/diagnostics_collector.h"
#include "core/settings/settings.h"
#include "mcp/mcp_handler_internal.h"

namespace lumidex::mcp {

using api::ApiRequest;
using api::ApiResponse;
using api::HttpMethod;

namespace {

constexpr const char* kSessionHeader = "mcp-session-id";
constexpr const char* kSessionNotFound = "Session not found or expired";

// Whether an Accept header lets the answer be JSON. Pieces empty after trimming are no entries, so an
// empty header accepts anything.
bool acceptsJson(std::string_view header) {
    bool anyEntry = false;
    std::size_t start = 0;
    while (start <= header.size()) {
        const std::size_t comma = std::min(header.find(',', start), header.size());
        std::string_view entry = header.substr(start, comma - start);
        entry = trimmedAscii(entry.substr(0, entry.find(';')));
        start = comma + 1;
        if (entry.empty()) continue;
        anyEntry = true;
        const std::string type = asciiLowered(entry);
        if (type == "application/json" || type == "application/*" || type == "*/*") return true;
    }
    return !anyEntry;
}

ApiResponse plainError(int status, const std::string& message) {
    Json body = Json::object();
    body["error"] = message;
    return jsonAnswer(status, body);
}

}  // namespace

bool isSupportedProtocolVersion(std::string_view version) {
    return std::find(std::begin(kSupportedProtocolVersions), std::end(kSupportedProtocolVersions), version) !=
           std::end(kSupportedProtocolVersions);
}

Json supportedProtocolVersions() {
    Json versions = Json::array();
    for (const char* version : kSupportedProtocolVersions) versions.push_back(version);
    return versions;
}

ApiResponse jsonAnswer(int status, const Json& value) {
    ApiResponse response;
    response.statusCode = status;
    response.headers["Content-Type"] = "application/json";
    // Texts from the index can hold any bytes; a replaced character beats losing the answer.
    response.body = value.dump(-1, ' ', false, Json::error_handler_t::replace);
    return response;
}

JsonRpcResponse rpcError(JsonRpcId id, int code, std::string message, std::optional<Json> data) {
    JsonRpcResponse response;
    response.id = std::move(id);
    response.error = JsonRpcError{code, std::move(message), std::move(data)};
    return response;
}

JsonRpcResponse rpcResult(JsonRpcId id, Json result) {
    JsonRpcResponse response;
    response.id = std::move(id);
    response.result = std::move(result);
    return response;
}

std::string utf8Prefix(std::string_view text, std::size_t characters, bool* cut) {
    std::size_t seen = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        // Every byte that is not a continuation byte starts a character.
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            if (seen == characters) {
                if (cut) *cut = true;
                return std::string(text.substr(0, i));
            }
            ++seen;
        }
    }
    if (cut) *cut = false;
    return std::string(text);
}

McpHandler::McpHandler(const api::ApiRouter& router, SettingsStore& settings, McpHandlerOptions options)
    : router_(&router),
      settings_(&settings),
      diagnostics_(options.diagnostics ? options.diagnostics : &DiagnosticsCollector::shared()),
      sessions_(options.clock ? *options.clock : Clock::steady()),
      executor_(router, std::move(options.tools)) {}

void McpHandler::protocolError(const std::string& detail) { event("mcp.protocol_errors", detail); }

void McpHandler::event(std::string_view source, const std::string& detail) {
    constexpr std::size_t kMaxDetailCharacters = 300;
    bool cut = false;
    std::string kept = utf8Prefix(detail, kMaxDetailCharacters, &cut);
    if (cut) kept += "…";
    diagnostics_->record(source, kept);
}

std::optional<ApiResponse> McpHandler::checkToken(const ApiRequest& request) {
    const std::string expected = Settings(*settings_).apiServerToken();
    if (expected.empty()) {
        event("mcp.unauthorized", "Kein Token in den Einstellungen hinterlegt");
        return plainError(401, "MCP requires an API token configured in settings");
    }
    const std::string* authorization = request.header("authorization");
    if (!authorization) {
        event("mcp.unauthorized", "Anfrage ohne Authorization-Header");
        return plainError(401, "Missing or invalid Bearer token");
    }
    constexpr std::string_view kScheme = "Bearer ";
    if (!authorization->starts_with(kScheme) ||
        !api::constantTimeEquals(std::string_view(*authorization).substr(kScheme.size()), expected)) {
        event("mcp.unauthorized", "Token stimmt nicht mit den Einstellungen überein");
        return plainError(401, "Missing or invalid Bearer token");
    }
    return std::nullopt;
}

bool McpHandler::hasLiveSession(const ApiRequest& request) {
    const std::string* id = request.header(kSessionHeader);
    if (id && sessions_.lookup(*id)) return true;
    protocolError("Unbekannte Session — Client muss initialize wiederholen");
    return false;
}

ApiResponse McpHandler::handlePost(const ApiRequest& request) {
    if (auto rejected = checkToken(request)) return std::move(*rejected);

    if (const std::string* accept = request.header("accept"); accept && !acceptsJson(*accept)) {
        protocolError("Accept: " + *accept);
        ApiResponse response = api::errorResponse(406, "bad_request", "MCP responds with application/json.");
        response.headers["Content-Type"] = "application/json";
        return response;
    }
    if (const std::string* version = request.header("mcp-protocol-version");
        version && !isSupportedProtocolVersion(*version)) {
        protocolError("MCP-Protocol-Version: " + *version);
        return jsonAnswer(400, versionError(JsonRpcId{}, *version).encode());
    }
    if (!request.body || request.body->empty()) {
        protocolError("POST /mcp ohne Body");
        return jsonAnswer(200, rpcError(JsonRpcId{}, -32700, "Parse error").encode());
    }
    const std::string& body = *request.body;
    const Json message = Json::parse(body, nullptr, false);
    if (message.is_discarded()) {
        protocolError("POST /mcp mit unlesbarem JSON (" + std::to_string(body.size()) + " Bytes)");
        return jsonAnswer(200, rpcError(JsonRpcId{}, -32700, "Parse error").encode());
    }
    if (message.is_array()) {
        protocolError("Batch-Request abgelehnt");
        return jsonAnswer(200, rpcError(JsonRpcId{}, -32600, "JSON-RPC batching is not supported").encode());
    }
    auto decoded = JsonRpcRequest::decode(message);
    if (std::holds_alternative<std::string>(decoded)) {
        protocolError("POST /mcp ohne gültigen JSON-RPC-Umschlag (" + std::to_string(body.size()) + " Bytes)");
        return jsonAnswer(200, rpcError(JsonRpcId{}, -32600, "Invalid Request").encode());
    }
    const JsonRpcRequest& rpc = std::get<JsonRpcRequest>(decoded);
    const JsonRpcId id = rpc.id.value_or(JsonRpcId{});
    if (rpc.jsonrpc != "2.0" || rpc.method.empty()) {
        protocolError("Ungültiger Umschlag: jsonrpc=" + rpc.jsonrpc + ", method='" + rpc.method + "'");
        return jsonAnswer(200, rpcError(id, -32600, "Invalid Request").encode());
    }

    if (!rpc.id) {
        diagnostics_->increment("mcp.notifications");
        if (rpc.method == "notifications/initialized") {
            appLog("[mcp] Client initialized");
        } else if (rpc.method == "notifications/cancelled") {
            appLog("[mcp] Client cancelled request");
        } else {
            appLog("[mcp] Unknown notification: " + utf8Prefix(rpc.method, 200));
        }
        return ApiResponse{202, {}, std::nullopt};
    }

    if (rpc.method == "server/discover") return jsonAnswer(200, rpcResult(id, discoverResult()).encode());

    if (rpc.params && rpc.params->is_object()) {
        const auto meta = rpc.params->find("_meta");
        if (meta != rpc.params->end() && meta->is_object()) {
            const auto version = meta->find("io.modelcontextprotocol/protocolVersion");
            if (version != meta->end() && version->is_string() && !isSupportedProtocolVersion(version->get<std::string>())) {
                const std::string text = version->get<std::string>();
                protocolError("Moderner Erstkontakt (_meta " + text + ") für " + rpc.method);
                return jsonAnswer(400, versionError(id, text).encode());
            }
        }
    }

    if (rpc.method != "initialize" && rpc.method != "ping" && !hasLiveSession(request)) {
        return plainError(404, kSessionNotFound);
    }

    std::optional<std::string> newSession;
    const JsonRpcResponse response = dispatch(rpc, id, &newSession);
    ApiResponse answer = jsonAnswer(200, response.encode());
    if (newSession) answer.headers["Mcp-Session-Id"] = *newSession;
    return answer;
}

ApiResponse McpHandler::handleGet(const ApiRequest& request) {
    if (auto rejected = checkToken(request)) return std::move(*rejected);
    if (!hasLiveSession(request)) return plainError(404, kSessionNotFound);
    ApiResponse response;
    response.statusCode = 200;
    response.headers["Content-Type"] = "text/event-stream";
    response.headers["Cache-Control"] = "no-cache";
    response.body = "event: ping\ndata: {}\n\n";
    return response;
}

ApiResponse McpHandler::handleDelete(const ApiRequest& request) {
    if (auto rejected = checkToken(request)) return std::move(*rejected);
    if (const std::string* id = request.header(kSessionHeader)) {
        sessions_.remove(*id);
        appLog("[mcp] Session entfernt: " + id->substr(0, 8) + "…");
    }
    return ApiResponse{200, {}, std::nullopt};
}

void McpHandler::noteHead(const ApiRequest& request, int rejectedStatus) {
    if (!api::matchPattern("/mcp", request.path, nullptr)) return;
    if (request.method == HttpMethod::post) diagnostics_->increment("mcp.requests");
    if (rejectedStatus == 0) return;
    if (request.method != HttpMethod::post && request.method != HttpMethod::get && request.method != HttpMethod::delete_) {
        return;
    }
    event("mcp.rejected",
                         std::string(api::methodToken(request.method)) + " /mcp → " + std::to_string(rejectedStatus));
}

void registerMcpRoutes(api::ApiRouter& router, McpHandler& handler) {
    router.add(HttpMethod::post, "/mcp", [&handler](const ApiRequest& request) { return handler.handlePost(request); });
    router.add(HttpMethod::get, "/mcp", [&handler](const ApiRequest& request) { return handler.handleGet(request); });
    router.add(HttpMethod::delete_, "/mcp", [&handler](const ApiRequest& request) { return handler.handleDelete(request); });
}

}  // namespace lumidex::mcp
