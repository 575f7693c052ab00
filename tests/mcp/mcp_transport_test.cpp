// The MCP endpoint through real sockets: the server's head hook, the token, the envelope checks,
// sessions and their expiry, version negotiation and resources over stand-in REST routes.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <limits>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "api/api_server.h"
#include "core/app_log.h"
#include "core/diagnostics_collector.h"
#include "core/settings/settings.h"
#include "core/settings/settings_store.h"
#include "mcp/mcp_handler.h"
#include "support/http_reply.h"
#include "support/temp_home.h"

namespace lumidex::mcp {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

constexpr const char* kToken = "5A4B3C2D-1E0F-4A9B-8C7D-6E5F4A3B2C1D";

struct Reply : lumidex::testing::HttpReply {
    using HttpReply::HttpReply;
    json value() const { return bodyJson(); }
};

using lumidex::testing::loopbackExchange;

json rpc(const std::string& method, json params = json::object(), json id = 1) {
    json message{{"jsonrpc", "2.0"}, {"id", id}, {"method", method}};
    if (!params.empty()) message["params"] = std::move(params);
    return message;
}

class McpTransportTest : public ::testing::Test {
protected:
    McpTransportTest() : store(dir / "settings.json") {
        EXPECT_FALSE(store.setString(SettingsKeys::apiServerTokenKey, kToken));
        redirectAppLog([this](std::string_view line) {
            std::lock_guard lock(mutex);
            logLines.emplace_back(line);
        });
        // Stand-in for the document text route: "7" is long (two-byte characters), "2" has two pages.
        router.add(api::HttpMethod::get, "/api/v1/documents/:id/text", [](const api::ApiRequest& request) {
            const std::string id = request.pathParameters.at("id");
            json pages = json::array();
            if (id == "7") {
                std::string text;
                for (int i = 0; i < 200000; ++i) text += "ä";
                pages.push_back({{"page", 1}, {"text", text}});
            } else if (id == "2") {
                pages.push_back({{"page", 1}, {"text", "A"}});
                pages.push_back({{"page", 2}, {"text", "B"}});
            } else {
                return api::errorResponse(404, "not_found", "Document not found");
            }
            return api::jsonResponse(200, json{{"id", id}, {"file_name", id == "7" ? "big.txt" : "small.txt"}, {"pages", pages}});
        });
    }
    ~McpTransportTest() override {
        server.reset();  // no handler may log into this fixture once it goes
        redirectAppLog({});
    }

    void startServer() {
        McpHandlerOptions options;
        options.clock = &clock;
        options.diagnostics = &diagnostics;
        handler = std::make_unique<McpHandler>(router, store, std::move(options));
        registerMcpRoutes(router, *handler);
        api::ApiServerOptions serverOptions;
        serverOptions.ports = [] { return std::vector<uint16_t>{0}; };
        serverOptions.log = [](std::string_view) {};
        serverOptions.onHead = [this](const api::ApiRequest& head, int rejected) { handler->noteHead(head, rejected); };
        server = std::make_unique<api::ApiServer>(router, store, std::move(serverOptions));
        ASSERT_TRUE(server->start());
        port = server->actualPort();
    }
    void SetUp() override { startServer(); }

    // A request to /mcp with a loopback host, the token and a JSON content type unless HEADERS name their own.
    Reply send(const std::string& method, const std::string& body, const std::string& headers = "",
               const std::string& path = "/mcp") {
        std::string raw = method + " " + path + " HTTP/1.1\r\n";
        if (headers.find("Host:") == std::string::npos) raw += "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
        if (headers.find("uthorization:") == std::string::npos) raw += std::string("Authorization: Bearer ") + kToken + "\r\n";
        if (method == "POST" && headers.find("Content-Type:") == std::string::npos) raw += "Content-Type: application/json\r\n";
        if (!body.empty()) raw += "Content-Length: " + std::to_string(body.size()) + "\r\n";
        return Reply(loopbackExchange(port, raw + headers + "\r\n" + body));
    }
    Reply post(const json& message, const std::string& headers = "") { return send("POST", message.dump(), headers); }
    Reply post(const json& message, const std::string& session, const std::string& headers) {
        return send("POST", message.dump(), "Mcp-Session-Id: " + session + "\r\n" + headers);
    }
    std::string initialize(const std::string& version = "2025-06-18") {
        const Reply reply = post(rpc("initialize", {{"protocolVersion", version}}));
        EXPECT_EQ(reply.status, 200) << reply.body;
        return reply.header("Mcp-Session-Id");
    }

    bool hasEvent(const std::string& source, const std::string& detail) const {
        for (const auto& event : diagnostics.recentEvents(DiagnosticsCollector::maxEvents)) {
            if (event.source == source && event.detail == detail) return true;
        }
        return false;
    }
    bool logged(const std::string& line) {
        std::lock_guard lock(mutex);
        return std::find(logLines.begin(), logLines.end(), line) != logLines.end();
    }

    testing::TempDir dir;
    SettingsStore store;
    ManualClock clock;
    DiagnosticsCollector diagnostics;
    api::ApiRouter router;
    std::unique_ptr<McpHandler> handler;
    std::unique_ptr<api::ApiServer> server;
    uint16_t port = 0;
    std::mutex mutex;
    std::vector<std::string> logLines;
};

TEST(McpValues, DecodingFollowsItsOrderAndRejectsWhatItCannotHold) {
    const auto decoded = [](const Json& input) { return std::get<AnyCodableValue>(AnyCodableValue::decode(input)); };
    EXPECT_EQ(std::get<int64_t>(decoded(Json::parse("3.0")).value), 3) << "a whole float reads as an integer";
    EXPECT_EQ(std::get<double>(decoded(Json::parse("1.5")).value), 1.5);
    EXPECT_TRUE(std::holds_alternative<double>(decoded(Json(std::numeric_limits<uint64_t>::max())).value))
        << "beyond the signed range";
    EXPECT_TRUE(std::holds_alternative<double>(decoded(Json::parse("1e300")).value));
    EXPECT_TRUE(std::holds_alternative<bool>(decoded(Json(false)).value));
    EXPECT_EQ(std::get<std::string>(AnyCodableValue::decode(Json::binary({1, 2}))), "Unsupported JSON type");

    const Json nested = Json::parse(R"({"a":[1,2.5,"x",null,true,{"b":-9223372036854775808}]})");
    EXPECT_EQ(decoded(nested).encode(), nested);

    EXPECT_EQ(std::get<std::string>(JsonRpcId::decode(Json(true))), "Expected String, Int or null for JSON-RPC id");
    EXPECT_EQ(std::get<std::string>(JsonRpcId::decode(Json::array())), "Expected String, Int or null for JSON-RPC id");
    EXPECT_EQ(std::get<JsonRpcId>(JsonRpcId::decode(Json("7"))).encode(), Json("7")) << "a string id stays a string";

    JsonRpcResponse failure;
    failure.error = JsonRpcError{-32601, "Method not found", std::nullopt};
    EXPECT_EQ(failure.encode().dump(), R"({"jsonrpc":"2.0","id":null,"error":{"code":-32601,"message":"Method not found"}})");
}

TEST_F(McpTransportTest, InitializeNegotiatesTheVersionAndOpensASession) {
    Reply reply = post(rpc("initialize", {{"protocolVersion", "2024-11-05"}}, "a"));
    ASSERT_EQ(reply.status, 200);
    EXPECT_EQ(reply.header("Content-Type"), "application/json");
    json result = reply.value()["result"];
    EXPECT_EQ(reply.value()["id"], "a");
    EXPECT_EQ(result["protocolVersion"], "2025-06-18");
    EXPECT_EQ(result["serverInfo"]["name"], "Lumidex");
    for (const char* feature : {"tools", "prompts", "resources"}) EXPECT_TRUE(result["capabilities"][feature].is_object()) << feature;
    EXPECT_TRUE(hasEvent("mcp.version_negotiation", "Client wollte 2024-11-05, geeinigt auf 2025-06-18"));

    const std::string session = reply.header("Mcp-Session-Id");
    ASSERT_EQ(session.size(), 36u);
    EXPECT_EQ(session.find_first_of("abcdef"), std::string::npos) << session;
    EXPECT_TRUE(logged("[mcp] Session erstellt: " + session.substr(0, 8)));

    reply = post(rpc("initialize", {{"protocolVersion", "2025-03-26"}}));
    EXPECT_EQ(reply.value()["result"]["protocolVersion"], "2025-03-26");
    EXPECT_NE(reply.header("Mcp-Session-Id"), session);
    EXPECT_EQ(diagnostics.counter("mcp.version_negotiation"), 1) << "a supported version needs no negotiation";

    reply = post(rpc("tools/list"), session, "");
    EXPECT_EQ(reply.status, 200);
    EXPECT_TRUE(reply.value()["result"]["tools"].is_array());
}

TEST_F(McpTransportTest, MethodsOtherThanInitializeAndPingNeedALiveSession) {
    Reply reply = post(rpc("tools/list"));
    EXPECT_EQ(reply.status, 404);
    EXPECT_EQ(reply.body, R"({"error":"Session not found or expired"})");
    EXPECT_EQ(reply.header("Content-Type"), "application/json");
    EXPECT_TRUE(hasEvent("mcp.protocol_errors", "Unbekannte Session — Client muss initialize wiederholen"));
    EXPECT_EQ(post(rpc("tools/list"), "00000000-0000-0000-0000-000000000000", "").status, 404);

    reply = post(rpc("ping", {}, 9));
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, R"({"jsonrpc":"2.0","id":9,"result":{}})");
    EXPECT_EQ(handler->sessions().count(), 0u);

    reply = post(rpc("server/discover"));
    EXPECT_EQ(reply.value()["result"]["protocolVersions"], json({"2025-06-18", "2025-03-26"}));
    EXPECT_TRUE(reply.value()["result"]["instructions"].get<std::string>().starts_with("This server indexes"));
}

TEST_F(McpTransportTest, ASessionExpiresAfterAnHourWithoutUseAndEachUseRefreshesIt) {
    const std::string session = initialize();
    clock.advance(3599s);
    EXPECT_EQ(post(rpc("tools/list"), session, "").status, 200);
    clock.advance(3599s);
    EXPECT_EQ(post(rpc("tools/list"), session, "").status, 200) << "the previous request refreshed it";
    clock.advance(3600s);
    EXPECT_EQ(post(rpc("tools/list"), session, "").status, 404);
    EXPECT_TRUE(logged("[mcp] Session abgelaufen: " + session.substr(0, 8)));
    EXPECT_EQ(handler->sessions().count(), 0u);

    McpSessionManager sessions(clock);
    const std::string idlest = sessions.create();
    clock.advance(1s);
    for (std::size_t i = 1; i < McpSessionManager::maxSessions; ++i) sessions.create();
    ASSERT_TRUE(sessions.lookup(idlest)) << "used again, so no longer the idlest";
    const std::string next = sessions.create();
    EXPECT_EQ(sessions.count(), McpSessionManager::maxSessions);
    EXPECT_TRUE(sessions.lookup(idlest) && sessions.lookup(next)) << "one of the sessions never used again made room";
}

TEST_F(McpTransportTest, BrokenEnvelopesAnswerJsonRpcErrorsWithTheirDetails) {
    Reply reply = send("POST", "[]");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, R"({"jsonrpc":"2.0","id":null,"error":{"code":-32600,"message":"JSON-RPC batching is not supported"}})");
    EXPECT_TRUE(hasEvent("mcp.protocol_errors", "Batch-Request abgelehnt"));

    reply = send("POST", "{");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"Parse error"}})");
    EXPECT_TRUE(hasEvent("mcp.protocol_errors", "POST /mcp mit unlesbarem JSON (1 Bytes)"));

    reply = send("POST", "");
    EXPECT_EQ(reply.value()["error"]["code"], -32700);
    EXPECT_TRUE(hasEvent("mcp.protocol_errors", "POST /mcp ohne Body"));

    reply = post(json{{"jsonrpc", "1.0"}, {"id", 7}, {"method", "ping"}});
    EXPECT_EQ(reply.body, R"({"jsonrpc":"2.0","id":7,"error":{"code":-32600,"message":"Invalid Request"}})");
    EXPECT_TRUE(hasEvent("mcp.protocol_errors", "Ungültiger Umschlag: jsonrpc=1.0, method='ping'"));

    const std::string badId = R"({"jsonrpc":"2.0","id":{"x":1},"method":"ping"})";
    reply = send("POST", badId);
    EXPECT_EQ(reply.body, R"({"jsonrpc":"2.0","id":null,"error":{"code":-32600,"message":"Invalid Request"}})");
    EXPECT_TRUE(hasEvent("mcp.protocol_errors",
                         "POST /mcp ohne gültigen JSON-RPC-Umschlag (" + std::to_string(badId.size()) + " Bytes)"));

    // Nesting deep enough to exhaust a recursive reader's stack is an invalid envelope, not a crash.
    const std::string deep = R"({"jsonrpc":"2.0","id":2,"method":"ping","params":{"a":)" + std::string(200000, '[') +
                             std::string(200000, ']') + "}}";
    reply = send("POST", deep);
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, R"({"jsonrpc":"2.0","id":null,"error":{"code":-32600,"message":"Invalid Request"}})");

    const std::string session = initialize();
    reply = post(rpc("no/such", {}, "q"), session, "");
    EXPECT_EQ(reply.body, R"({"jsonrpc":"2.0","id":"q","error":{"code":-32601,"message":"Method not found"}})");
    EXPECT_TRUE(hasEvent("mcp.protocol_errors", "Unbekannte Methode: no/such"));
    EXPECT_EQ(diagnostics.counter("mcp.protocol_errors"), 7);
}

TEST_F(McpTransportTest, NotificationsAreAcceptedWithoutBodyAndNeverOpenASession) {
    Reply reply = post(json{{"jsonrpc", "2.0"}, {"method", "notifications/initialized"}});
    EXPECT_EQ(reply.status, 202);
    EXPECT_TRUE(reply.body.empty());
    reply = post(json{{"jsonrpc", "2.0"}, {"method", "initialize"}, {"params", {{"protocolVersion", "2025-06-18"}}}});
    EXPECT_EQ(reply.status, 202);
    EXPECT_TRUE(reply.header("Mcp-Session-Id").empty());
    EXPECT_EQ(handler->sessions().count(), 0u);
    EXPECT_EQ(diagnostics.counter("mcp.notifications"), 2);
    EXPECT_TRUE(logged("[mcp] Client initialized"));
    EXPECT_TRUE(logged("[mcp] Unknown notification: initialize"));
}

TEST_F(McpTransportTest, AcceptHeaderMustAdmitJson) {
    Reply reply = post(rpc("ping"), "Accept: text/event-stream\r\n");
    EXPECT_EQ(reply.status, 406);
    EXPECT_EQ(reply.value()["error"]["code"], "bad_request");
    EXPECT_EQ(reply.value()["error"]["message"], "MCP responds with application/json.");
    EXPECT_TRUE(hasEvent("mcp.protocol_errors", "Accept: text/event-stream"));

    EXPECT_EQ(post(rpc("ping"), "Accept: application/json, text/event-stream\r\n").status, 200);
    EXPECT_EQ(post(rpc("ping"), "Accept: text/event-stream, Application/*;q=0.5\r\n").status, 200);
    EXPECT_EQ(post(rpc("ping"), "Accept:  , \r\n").status, 200) << "no entries";
    EXPECT_EQ(post(rpc("ping"), "Accept: application/jsonl\r\n").status, 406);
}

TEST_F(McpTransportTest, UnsupportedProtocolVersionsAreRejectedWithTheSupportedList) {
    Reply reply = post(rpc("ping"), "MCP-Protocol-Version: 2024-11-05\r\n");
    EXPECT_EQ(reply.status, 400);
    EXPECT_EQ(reply.body, R"({"jsonrpc":"2.0","id":null,"error":{"code":-32022,"message":"Unsupported protocol version: 2024-11-05","data":{"supported":["2025-06-18","2025-03-26"]}}})");
    EXPECT_TRUE(hasEvent("mcp.protocol_errors", "MCP-Protocol-Version: 2024-11-05"));
    EXPECT_EQ(post(rpc("ping"), "MCP-Protocol-Version: 2025-03-26\r\n").status, 200);

    reply = post(rpc("initialize", {{"_meta", {{"io.modelcontextprotocol/protocolVersion", "2099-01-01"}}}}, 4));
    EXPECT_EQ(reply.status, 400);
    EXPECT_EQ(reply.value()["id"], 4);
    EXPECT_EQ(reply.value()["error"]["code"], -32022);
    EXPECT_TRUE(hasEvent("mcp.protocol_errors", "Moderner Erstkontakt (_meta 2099-01-01) für initialize"));
    EXPECT_EQ(handler->sessions().count(), 0u);
}

TEST_F(McpTransportTest, TheTokenIsCheckedForEveryMethod) {
    Reply reply = post(rpc("ping"), "Authorization: Bearer wrong\r\n");
    EXPECT_EQ(reply.status, 401);
    EXPECT_EQ(reply.body, R"({"error":"Missing or invalid Bearer token"})");
    EXPECT_TRUE(hasEvent("mcp.unauthorized", "Token stimmt nicht mit den Einstellungen überein"));
    EXPECT_EQ(post(rpc("ping"), std::string("Authorization: bearer ") + kToken + "\r\n").status, 401) << "the scheme is case-sensitive";

    // A request without any Authorization header: the raw form, since send() adds one.
    const std::string body = rpc("ping").dump();
    reply = Reply(loopbackExchange(port, "POST /mcp HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/json\r\nContent-Length: " +
                                     std::to_string(body.size()) + "\r\n\r\n" + body));
    EXPECT_EQ(reply.status, 401);
    EXPECT_TRUE(hasEvent("mcp.unauthorized", "Anfrage ohne Authorization-Header"));

    ASSERT_FALSE(store.setString(SettingsKeys::apiServerTokenKey, ""));
    for (const char* method : {"POST", "GET", "DELETE"}) {
        reply = send(method, method == std::string("POST") ? body : "", "Authorization: Bearer \r\n");
        EXPECT_EQ(reply.status, 401) << method;
        EXPECT_EQ(reply.body, R"({"error":"MCP requires an API token configured in settings"})") << method;
        EXPECT_EQ(reply.header("Content-Type"), "application/json");
    }
    EXPECT_TRUE(hasEvent("mcp.unauthorized", "Kein Token in den Einstellungen hinterlegt"));
    EXPECT_EQ(diagnostics.counter("mcp.unauthorized"), 6);
}

TEST_F(McpTransportTest, GetStreamsOnePingAndDeleteEndsTheSession) {
    const std::string session = initialize();
    Reply reply = send("GET", "", "Mcp-Session-Id: " + session + "\r\n");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.header("Content-Type"), "text/event-stream");
    EXPECT_EQ(reply.header("Cache-Control"), "no-cache");
    EXPECT_EQ(reply.body, "event: ping\ndata: {}\n\n");
    EXPECT_EQ(send("GET", "").status, 404);

    reply = send("DELETE", "", "Mcp-Session-Id: " + session + "\r\n");
    EXPECT_EQ(reply.status, 200);
    EXPECT_TRUE(reply.body.empty());
    EXPECT_TRUE(logged("[mcp] Session entfernt: " + session.substr(0, 8) + "…"));
    EXPECT_EQ(send("GET", "", "Mcp-Session-Id: " + session + "\r\n").status, 404);
    EXPECT_EQ(post(rpc("tools/list"), session, "").status, 404);
}

TEST_F(McpTransportTest, TheServerHookCountsEveryPostAndEachRejection) {
    EXPECT_EQ(post(rpc("ping"), "Host: evil.example\r\n").status, 403);
    EXPECT_EQ(post(rpc("ping"), "Content-Type: text/plain\r\n").status, 400);
    EXPECT_EQ(send("POST", rpc("ping").dump(), "Content-Type: text/plain\r\n", "/mcp/").status, 400)
        << "the router's other spellings of the path get the same check";
    EXPECT_EQ(send("GET", "", "Origin: http://evil.example\r\n").status, 403);
    EXPECT_EQ(send("DELETE", "", "Host: evil.example\r\n").status, 403);
    EXPECT_EQ(post(rpc("ping")).status, 200);
    EXPECT_EQ(post(rpc("ping"), "Authorization: Bearer x\r\n").status, 401);

    EXPECT_EQ(diagnostics.counter("mcp.requests"), 5) << "every POST, the rejected ones included; GET and DELETE not";
    EXPECT_EQ(diagnostics.counter("mcp.rejected"), 5);
    EXPECT_TRUE(hasEvent("mcp.rejected", "POST /mcp → 403"));
    EXPECT_TRUE(hasEvent("mcp.rejected", "POST /mcp → 400"));
    EXPECT_TRUE(hasEvent("mcp.rejected", "GET /mcp → 403"));
    EXPECT_TRUE(hasEvent("mcp.rejected", "DELETE /mcp → 403"));
}

TEST_F(McpTransportTest, ToolCallsOfUnknownToolsAreCountedAsToolErrors) {
    const std::string session = initialize();
    Reply reply = post(rpc("tools/call", {{"name", "no_such_tool"}}), session, "");
    EXPECT_EQ(reply.value()["error"]["code"], -32602);
    EXPECT_EQ(reply.value()["error"]["message"], "Unknown tool: no_such_tool");
    EXPECT_TRUE(hasEvent("mcp.tool_errors", "Unbekanntes Tool: no_such_tool"));
    EXPECT_EQ(diagnostics.counter("mcp.tool_calls"), 0);

    reply = post(rpc("tools/call", {{"name", 5}}), session, "");
    EXPECT_EQ(reply.value()["error"]["message"], "Invalid params");
}

TEST_F(McpTransportTest, ResourcesReadDocumentTextPageByPageAndCutLongTexts) {
    const std::string session = initialize();
    Reply reply = post(rpc("resources/read", {{"uri", "lmx://document/2"}}), session, "");
    json content = reply.value()["result"]["contents"][0];
    EXPECT_EQ(content["uri"], "lmx://document/2");
    EXPECT_EQ(content["mimeType"], "text/plain");
    EXPECT_EQ(content["text"], "— small.txt, page 1 —\nA\n\n— small.txt, page 2 —\nB");

    reply = post(rpc("resources/read", {{"uri", "lmx://document/7"}}), session, "");
    const std::string text = reply.value()["result"]["contents"][0]["text"];
    const std::string note = "\n\n… truncated — use get_document_text with page=… for the rest";
    ASSERT_TRUE(text.ends_with(note));
    const std::string kept = text.substr(0, text.size() - note.size());
    const std::string heading = "— big.txt, page 1 —\n";
    ASSERT_TRUE(kept.starts_with(heading));
    // The heading has 20 characters, each "ä" two bytes: whole characters are counted and kept.
    EXPECT_EQ(kept.size(), heading.size() + 2 * (120000 - 20));

    reply = post(rpc("resources/read", {{"uri", "lmx://document/99"}}), session, "");
    EXPECT_EQ(reply.value()["error"]["code"], -32002);
    EXPECT_EQ(reply.value()["error"]["message"], "Resource not found: lmx://document/99");
    reply = post(rpc("resources/read", {{"uri", "lmx://document/2/text/x"}}), session, "");
    EXPECT_EQ(reply.value()["error"]["code"], -32002);
    reply = post(rpc("resources/read", {{"uri", "file:///etc/passwd"}}), session, "");
    EXPECT_EQ(reply.value()["error"]["message"], "Invalid params");

    reply = post(rpc("resources/list"), session, "");
    EXPECT_EQ(reply.value()["result"], json({{"resources", json::array()}})) << "no recent-scans route here";
    reply = post(rpc("resources/templates/list"), session, "");
    EXPECT_EQ(reply.value()["result"], json({{"resourceTemplates", json::array()}}));
}

class McpRecentScansTest : public McpTransportTest {
protected:
    McpRecentScansTest() {
        router.add(api::HttpMethod::get, "/api/v1/scans/recent", [](const api::ApiRequest&) {
            json items = json::array();
            items.push_back({{"id", "42"}, {"file_name", "Scan.pdf"}, {"file_path", "/s/Scan.pdf"}, {"created_at", "2026-12-01T10:00:00Z"}});
            items.push_back({{"file_name", "without id"}});
            return api::jsonResponse(200, json{{"items", items}, {"total", 2}, {"unread_count", 0}});
        });
    }
};

TEST_F(McpRecentScansTest, ResourcesListTheRecentScansAsDocuments) {
    const Reply reply = post(rpc("resources/list"), initialize(), "");
    const json expected = json::parse(R"({"resources":[{"uri":"lmx://document/42","name":"Scan.pdf","title":"Scan.pdf",
        "mimeType":"text/plain","description":"Scanned 2026-12-01T10:00:00Z — /s/Scan.pdf"}]})");
    EXPECT_EQ(reply.value()["result"], expected);
}

}  // namespace
}  // namespace lumidex::mcp
