// The JSON-RPC methods of the MCP endpoint, reached once a request passed the transport checks.
#include <chrono>
#include <string_view>
#include <utility>

#include "core/app_log.h"
#include "core/diagnostics_collector.h"
#include "mcp/mcp_handler.h"
#include "mcp/mcp_handler_internal.h"
#include "mcp/mcp_prompts.h"
#include "service/app_identity.h"

namespace lumidex::mcp {

using api::ApiRequest;
using api::ApiResponse;
using api::HttpMethod;

namespace {

constexpr const char* kInstructions =
    "This server indexes the user's local documents (PDFs, images) and, if enabled, Apple Mail.\n"
    "Choosing mail tools:\n"
    "• list_inbox — the emails currently in the Apple Mail INBOX (unified across all accounts), for \"what's in my inbox\" / \"latest inbox mail\". No query.\n"
    "• get_mail_recent — the newest indexed mails across ALL folders (Sent/Archive/Trash included). No query.\n"
    "• search_mail — full-text search of mail only; set inbox_only=true to search just the inbox.\n"
    "• search_documents — full-text search across documents AND mail together; use source_types to restrict.\n"
    "Inbox/folder membership is resolved from the live per-copy ledger, so results match what the user sees in Mail.app.\n"
    "• create_mail_draft — the only writing mail tool. It puts a prepared message plus attachments into Mail as a draft and never sends; there is no send tool.\n"
    "• search_manual — how-to questions about the app itself (features, settings, shortcuts); get_manual_section fetches the full text of a section.";
constexpr const char* kNewestProtocolVersion = kSupportedProtocolVersions[0];
constexpr std::string_view kDocumentScheme = "lmx://document/";
constexpr std::size_t kResourceTextLimit = 120000;
constexpr const char* kTruncationNote = "\n\n… truncated — use get_document_text with page=… for the rest";
constexpr std::size_t kToolErrorDetailLimit = 200;

Json serverInfo() {
    std::string version;
    try {
        version = service::appIdentity().version;
    } catch (...) {
        // Only allocation can fail here; the fallback below answers instead.
    }
    Json info = Json::object();
    info["name"] = "Lumidex";
    info["version"] = version.empty() ? std::string("1.0.0") : version;
    return info;
}

// The answer of an internal GET through the router, parsed; none unless it is a 2xx JSON object.
std::optional<Json> internalGet(const api::ApiRouter& router, const std::string& path) {
    ApiRequest request;
    request.method = HttpMethod::get;
    request.path = path;
    const ApiResponse response = router.handle(std::move(request));
    if (response.statusCode < 200 || response.statusCode > 299 || !response.body) return std::nullopt;
    Json body = Json::parse(*response.body, nullptr, false);
    if (body.is_discarded() || !body.is_object()) return std::nullopt;
    return body;
}

std::string stringMember(const Json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end()) return {};
    if (found->is_string()) return found->get<std::string>();
    if (found->is_number()) return found->dump();
    return {};
}

}  // namespace

JsonRpcResponse versionError(JsonRpcId id, const std::string& version) {
    Json data = Json::object();
    data["supported"] = supportedProtocolVersions();
    return rpcError(std::move(id), -32022, "Unsupported protocol version: " + version, std::move(data));
}

Json McpHandler::discoverResult() const {
    Json result = Json::object();
    result["serverInfo"] = serverInfo();
    result["protocolVersions"] = supportedProtocolVersions();
    result["instructions"] = kInstructions;
    return result;
}

JsonRpcResponse McpHandler::dispatch(const JsonRpcRequest& request, const JsonRpcId& id,
                                     std::optional<std::string>* newSession) {
    const Json params = request.params ? *request.params : Json::object();
    const std::string& method = request.method;
    if (method == "initialize") return initialize(params, id, newSession);
    if (method == "ping") return rpcResult(id, Json::object());
    if (method == "server/discover") return rpcResult(id, discoverResult());
    if (method == "tools/list") {
        Json tools = Json::array();
        for (const McpToolDefinition& tool : executor_.listTools()) {
            Json entry = Json::object();
            entry["name"] = tool.name;
            entry["description"] = tool.description;
            entry["inputSchema"] = tool.inputSchema;
            tools.push_back(std::move(entry));
        }
        return rpcResult(id, Json{{"tools", std::move(tools)}});
    }
    if (method == "tools/call") return callTool(params, id);
    if (method == "prompts/list") {
        Json prompts = Json::array();
        for (const McpPrompt& prompt : mcpPrompts()) prompts.push_back(promptListEntry(prompt));
        return rpcResult(id, Json{{"prompts", std::move(prompts)}});
    }
    if (method == "prompts/get") return getPrompt(params, id);
    if (method == "resources/list") return rpcResult(id, listResources());
    if (method == "resources/templates/list") return rpcResult(id, Json{{"resourceTemplates", Json::array()}});
    if (method == "resources/read") return readResource(params, id);
    protocolError("Unbekannte Methode: " + method);
    return rpcError(id, -32601, "Method not found");
}

JsonRpcResponse McpHandler::initialize(const Json& params, const JsonRpcId& id, std::optional<std::string>* newSession) {
    const auto requested = params.find("protocolVersion");
    std::string chosen;
    if (requested != params.end() && requested->is_string() && isSupportedProtocolVersion(requested->get<std::string>())) {
        chosen = requested->get<std::string>();
    } else {
        chosen = kNewestProtocolVersion;
        const std::string asked = requested == params.end() ? std::string("(keine)")
                                  : requested->is_string()  ? requested->get<std::string>()
                                                            : requested->dump(-1, ' ', false, Json::error_handler_t::replace);
        event("mcp.version_negotiation", "Client wollte " + asked + ", geeinigt auf " + chosen);
    }
    *newSession = sessions_.create();

    Json capabilities = Json::object();
    capabilities["tools"] = Json{{"listChanged", false}};
    capabilities["prompts"] = Json{{"listChanged", false}};
    capabilities["resources"] = Json{{"subscribe", false}, {"listChanged", false}};
    Json result = Json::object();
    result["protocolVersion"] = chosen;
    result["capabilities"] = std::move(capabilities);
    result["serverInfo"] = serverInfo();
    result["instructions"] = kInstructions;
    return rpcResult(id, std::move(result));
}

JsonRpcResponse McpHandler::callTool(const Json& params, const JsonRpcId& id) {
    const auto name = params.find("name");
    const auto arguments = params.find("arguments");
    const bool argumentsUsable = arguments == params.end() || arguments->is_object() || arguments->is_null();
    if (name == params.end() || !name->is_string() || !argumentsUsable) return rpcError(id, -32602, "Invalid params");
    const std::string tool = name->get<std::string>();
    if (!executor_.hasTool(tool)) {
        event("mcp.tool_errors", "Unbekanntes Tool: " + tool);
        return rpcError(id, -32602, "Unknown tool: " + tool);
    }
    diagnostics_->increment("mcp.tool_calls");
    const auto started = std::chrono::steady_clock::now();
    McpToolResult outcome = executor_.callTool(tool, arguments == params.end() ? Json(nullptr) : *arguments);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
    appLog("[mcp] Tool " + tool + " in " + std::to_string(ms) + " ms");

    if (outcome.isError) {
        std::string error;
        for (const McpToolContent& content : outcome.content) {
            if (!content.text) continue;
            if (!error.empty()) error += "\n";
            error += *content.text;
        }
        event("mcp.tool_errors", tool + " nach " + std::to_string(ms) +
                                                    " ms: " + utf8Prefix(error, kToolErrorDetailLimit));
    }
    Json content = Json::array();
    for (const McpToolContent& item : outcome.content) content.push_back(item.encode());
    Json result = Json::object();
    result["content"] = std::move(content);
    result["isError"] = outcome.isError;
    if (outcome.structured) result["structuredContent"] = *outcome.structured;
    return rpcResult(id, std::move(result));
}

JsonRpcResponse McpHandler::getPrompt(const Json& params, const JsonRpcId& id) const {
    const auto name = params.find("name");
    if (name == params.end() || !name->is_string()) return rpcError(id, -32602, "Invalid params");
    const auto arguments = params.find("arguments");
    const Json given = arguments != params.end() && arguments->is_object() ? *arguments : Json::object();
    auto outcome = mcp::getPrompt(name->get<std::string>(), given);
    if (auto* error = std::get_if<PromptError>(&outcome)) return rpcError(id, error->code, error->message);
    return rpcResult(id, std::move(std::get<Json>(outcome)));
}

// A missing or failing recent-scans route lists nothing rather than failing the client's listing.
Json McpHandler::listResources() const {
    Json resources = Json::array();
    const std::optional<Json> answer = internalGet(*router_, "/api/v1/scans/recent");
    const Json items = answer && answer->contains("items") ? answer->at("items") : Json::array();
    if (items.is_array()) {
        for (const Json& item : items) {
            if (!item.is_object()) continue;
            const std::string id = stringMember(item, "id");
            if (id.empty()) continue;
            const std::string fileName = stringMember(item, "file_name");
            const std::string created = stringMember(item, "created_at");
            Json resource = Json::object();
            resource["uri"] = std::string(kDocumentScheme) + id;
            resource["name"] = fileName;
            resource["title"] = fileName;
            resource["mimeType"] = "text/plain";
            resource["description"] = "Scanned " + (created.empty() ? std::string() : created + " ") + "— " +
                                      stringMember(item, "file_path");
            resources.push_back(std::move(resource));
        }
    }
    return Json{{"resources", std::move(resources)}};
}

JsonRpcResponse McpHandler::readResource(const Json& params, const JsonRpcId& id) const {
    const auto uriMember = params.find("uri");
    if (uriMember == params.end() || !uriMember->is_string()) return rpcError(id, -32602, "Invalid params");
    const std::string uri = uriMember->get<std::string>();
    if (!uri.starts_with(kDocumentScheme)) return rpcError(id, -32602, "Invalid params");
    const std::string documentId = uri.substr(kDocumentScheme.size());
    // The id becomes one path piece: anything that would address another route is simply not found.
    std::optional<Json> answer;
    if (!documentId.empty() && documentId.find_first_of("/?#") == std::string::npos) {
        answer = internalGet(*router_, "/api/v1/documents/" + documentId + "/text");
    }
    if (!answer) return rpcError(id, -32002, "Resource not found: " + uri);

    const std::string fileName = stringMember(*answer, "file_name");
    std::string text;
    const auto pages = answer->find("pages");
    if (pages != answer->end() && pages->is_array()) {
        for (const Json& page : *pages) {
            if (!page.is_object()) continue;
            if (!text.empty()) text += "\n\n";
            text += "— " + fileName + ", page " + stringMember(page, "page") + " —\n" + stringMember(page, "text");
        }
    }
    bool cut = false;
    std::string shown = utf8Prefix(text, kResourceTextLimit, &cut);
    if (cut) shown += kTruncationNote;

    Json content = Json::object();
    content["uri"] = uri;
    content["mimeType"] = "text/plain";
    content["text"] = std::move(shown);
    Json contents = Json::array();
    contents.push_back(std::move(content));
    return rpcResult(id, Json{{"contents", std::move(contents)}});
}

}  // namespace lumidex::mcp
