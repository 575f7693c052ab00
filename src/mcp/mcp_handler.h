// The MCP endpoint on "/mcp": POST carries one JSON-RPC message, GET a one-shot event stream,
// DELETE ends a session. Registered into the server's router beside the REST routes; tool calls
// and resources reach the index through the same router as internal requests.
//
// The router, settings and diagnostics are borrowed and must outlive the handler. handle* run on
// the server's handler threads, several at once; the session manager serialises its own state.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "api/api_router.h"
#include "core/concurrency/clock.h"
#include "mcp/mcp_session_manager.h"
#include "mcp/mcp_tool_executor.h"

namespace lumidex {
class DiagnosticsCollector;
class SettingsStore;
}  // namespace lumidex

namespace lumidex::mcp {

struct McpHandlerOptions {
    McpToolContext tools;
    Clock* clock = nullptr;  // session expiry; none: the steady clock
    DiagnosticsCollector* diagnostics = nullptr;  // none: the shared collector
};

class McpHandler {
public:
    McpHandler(const api::ApiRouter& router, SettingsStore& settings, McpHandlerOptions options = {});

    api::ApiResponse handlePost(const api::ApiRequest& request);
    api::ApiResponse handleGet(const api::ApiRequest& request);
    api::ApiResponse handleDelete(const api::ApiRequest& request);

    // Counts what the server's validation decided before a request reached the router: every POST
    // /mcp ("mcp.requests") and each rejection of /mcp ("mcp.rejected" with "METHOD /mcp → STATUS").
    void noteHead(const api::ApiRequest& request, int rejectedStatus);

    McpSessionManager& sessions() { return sessions_; }
    const McpToolExecutor& executor() const { return executor_; }

private:
    // A 401 answer when the request lacks the stored token, counted as "mcp.unauthorized".
    std::optional<api::ApiResponse> checkToken(const api::ApiRequest& request);
    // Whether "mcp-session-id" names a live session (refreshing it); otherwise counts the protocol error.
    bool hasLiveSession(const api::ApiRequest& request);
    void protocolError(const std::string& detail);
    // Records an event whose detail quotes what the client sent, cut so that a client cannot fill the
    // collector's memory with huge method names or versions.
    void event(std::string_view source, const std::string& detail);

    // The answer to a request that passed every transport check; "initialize" leaves the new
    // session's id in NEW_SESSION.
    JsonRpcResponse dispatch(const JsonRpcRequest& request, const JsonRpcId& id, std::optional<std::string>* newSession);
    Json discoverResult() const;
    JsonRpcResponse initialize(const Json& params, const JsonRpcId& id, std::optional<std::string>* newSession);
    JsonRpcResponse callTool(const Json& params, const JsonRpcId& id);
    JsonRpcResponse getPrompt(const Json& params, const JsonRpcId& id) const;
    Json listResources() const;
    JsonRpcResponse readResource(const Json& params, const JsonRpcId& id) const;

    const api::ApiRouter* router_;
    SettingsStore* settings_;
    DiagnosticsCollector* diagnostics_;
    McpSessionManager sessions_;
    McpToolExecutor executor_;
};

// Adds POST, GET and DELETE "/mcp" to ROUTER, answered by HANDLER (borrowed).
void registerMcpRoutes(api::ApiRouter& router, McpHandler& handler);

}  // namespace lumidex::mcp
