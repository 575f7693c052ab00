// The built `lumidex-mcp` bridge between a scripted client on stdin and a small loopback HTTP server
// standing in for the MCP endpoint.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/temp_home.h"

namespace lumidex {
namespace {
using Json = nlohmann::json;

struct Exchange {
    std::string method;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;

    std::string header(const std::string& name) const {
        const auto it = headers.find(name);
        return it == headers.end() ? "<none>" : it->second;
    }
};

struct Reply {
    int status = 200;
    std::string contentType = "application/json";
    std::string body;
    std::string sessionId;
};

// One request per connection, answered by `answer` and closed; requests are kept for inspection.
class LoopbackServer {
public:
    explicit LoopbackServer(std::function<Reply(const Exchange&)> answer) : answer_(std::move(answer)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(listener_, 8) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            ADD_FAILURE() << "no loopback listener";
            return;
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~LoopbackServer() {
        ::shutdown(listener_, SHUT_RDWR);
        if (thread_.joinable()) thread_.join();
        ::close(listener_);
    }

    uint16_t port() const { return port_; }
    std::vector<Exchange> exchanges() const {
        std::lock_guard lock(mutex_);
        return exchanges_;
    }

private:
    void serve() {
        for (;;) {
            const int connection = ::accept(listener_, nullptr, nullptr);
            if (connection < 0) return;
            std::string data;
            char buffer[4096];
            std::size_t headEnd = std::string::npos;
            std::size_t bodyLength = 0;
            for (ssize_t n; (n = ::recv(connection, buffer, sizeof buffer, 0)) > 0;) {
                data.append(buffer, static_cast<std::size_t>(n));
                if (headEnd == std::string::npos && (headEnd = data.find("\r\n\r\n")) != std::string::npos) {
                    const auto at = lowered(data.substr(0, headEnd)).find("content-length:");
                    if (at != std::string::npos) bodyLength = std::stoul(data.substr(at + 15));
                }
                if (headEnd != std::string::npos && data.size() >= headEnd + 4 + bodyLength) break;
            }
            const Exchange exchange = parse(data, headEnd);
            {
                // Recorded before the answer leaves, so a finished client never misses its last request.
                std::lock_guard lock(mutex_);
                exchanges_.push_back(exchange);
            }
            const Reply reply = answer_(exchange);
            std::string text = "HTTP/1.1 " + std::to_string(reply.status) + " X\r\nConnection: close\r\nContent-Length: " +
                               std::to_string(reply.body.size()) + "\r\n";
            if (!reply.body.empty()) text += "Content-Type: " + reply.contentType + "\r\n";
            if (!reply.sessionId.empty()) text += "Mcp-Session-Id: " + reply.sessionId + "\r\n";
            text += "\r\n" + reply.body;
            ::send(connection, text.data(), text.size(), MSG_NOSIGNAL);
            ::close(connection);
        }
    }

    static std::string lowered(std::string text) {
        for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return text;
    }

    static Exchange parse(const std::string& data, std::size_t headEnd) {
        Exchange exchange;
        if (headEnd == std::string::npos) return exchange;
        std::istringstream head(data.substr(0, headEnd));
        std::string line;
        std::getline(head, line);
        exchange.method = line.substr(0, line.find(' '));
        while (std::getline(head, line)) {
            const auto colon = line.find(':');
            if (colon == std::string::npos) continue;
            std::string value = line.substr(colon + 1);
            value.erase(0, value.find_first_not_of(' '));
            if (!value.empty() && value.back() == '\r') value.pop_back();
            exchange.headers[lowered(line.substr(0, colon))] = value;
        }
        exchange.body = data.substr(headEnd + 4);
        return exchange;
    }

    std::function<Reply(const Exchange&)> answer_;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<Exchange> exchanges_;
};

struct BridgeRun {
    std::vector<Json> answers;  // stdout, one JSON value per line
    std::string log;            // stderr
};

BridgeRun runBridge(const std::string& environment, const std::vector<std::string>& lines) {
    testing::TempDir dir;
    std::string input;
    for (const auto& line : lines) input += line + '\n';
    testing::writeFile(dir / "in", input);
    const std::string command = environment + " '" + std::string(LUMIDEX_MCP_BRIDGE_BINARY) + "' <'" +
                                (dir / "in").string() + "' 2>'" + (dir / "err").string() + "'";
    BridgeRun run;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return run;
    std::string output;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
    EXPECT_EQ(::pclose(pipe), 0);
    std::istringstream stream(output);
    for (std::string line; std::getline(stream, line);) {
        const Json answer = Json::parse(line, nullptr, false);
        EXPECT_FALSE(answer.is_discarded()) << "stdout line is not one JSON value: " << line;
        run.answers.push_back(answer);
    }
    run.log = testing::readFile(dir / "err");
    return run;
}

const std::string kInitialize =
    R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18",)"
    R"("capabilities":{},"clientInfo":{"name":"t","version":"1"}}})";

TEST(McpBridge, RelaysWithSessionAndTokenAndReopensALostSession) {
    int sessions = 0;
    std::string liveSession;
    bool restartedOnce = false;
    LoopbackServer server([&](const Exchange& request) -> Reply {
        if (request.method == "DELETE") return {200, "", "", ""};
        const Json message = Json::parse(request.body, nullptr, false);
        const std::string method = message.value("method", "");
        if (method == "initialize") {
            liveSession = "S" + std::to_string(++sessions);
            return {200, "application/json",
                    Json{{"jsonrpc", "2.0"}, {"id", message["id"]}, {"result", {{"protocolVersion", "2025-06-18"}}}}.dump(),
                    liveSession};
        }
        if (method == "tools/call" && !restartedOnce) {
            restartedOnce = true;
            liveSession.clear();  // the server restarted and forgot every session
        }
        if (request.header("mcp-session-id") != liveSession) {
            return {404, "application/json",
                    R"({"jsonrpc":"2.0","id":null,"error":{"code":-32001,"message":"Session not found"}})", ""};
        }
        if (method.starts_with("notifications/")) return {202, "", "", ""};
        if (method == "tools/list") {
            return {200, "text/event-stream",
                    ": priming\n\nevent: message\nid: 1\ndata: {\"jsonrpc\":\"2.0\",\"id\":2,\n"
                    "data: \"result\":{\"tools\":[]}}\n\n",
                    ""};
        }
        if (method == "tools/call") {
            return {200, "application/json",
                    Json{{"jsonrpc", "2.0"}, {"id", message["id"]}, {"result", {{"content", Json::array()}}}}.dump(), ""};
        }
        if (method == "resources/list") {
            return {400, "application/json",
                    R"({"jsonrpc":"2.0","id":null,"error":{"code":-32022,"message":"Unsupported protocol version: 9"}})", ""};
        }
        return {500, "text/plain", "boom", ""};
    });

    const BridgeRun run = runBridge("LMX_PORT=" + std::to_string(server.port()) + " LMX_TOKEN=secret-token",
                                    {kInitialize, R"({"jsonrpc":"2.0","method":"notifications/initialized"})",
                                     "this is not json", "",
                                     R"({"jsonrpc":"2.0","id":2,"method":"tools/list"})",
                                     R"({"jsonrpc":"2.0","id":"call-3","method":"tools/call","params":{"name":"x"}})",
                                     R"({"jsonrpc":"2.0","id":4,"method":"ping"})",
                                     R"({"jsonrpc":"2.0","id":5,"method":"resources/list"})"});

    ASSERT_EQ(run.answers.size(), 6u) << run.log;
    EXPECT_EQ(run.answers[0]["id"], 1);
    EXPECT_EQ(run.answers[0]["result"]["protocolVersion"], "2025-06-18");
    EXPECT_EQ(run.answers[1], Json::parse(R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700,
                                             "message":"Parse error: the line is not valid JSON"}})"));
    EXPECT_EQ(run.answers[2], Json::parse(R"({"jsonrpc":"2.0","id":2,"result":{"tools":[]}})"));
    EXPECT_EQ(run.answers[3], Json::parse(R"({"jsonrpc":"2.0","id":"call-3","result":{"content":[]}})"));
    EXPECT_EQ(run.answers[4]["id"], 4);
    EXPECT_EQ(run.answers[4]["error"]["code"], -32603);
    EXPECT_NE(run.answers[4]["error"]["message"].get<std::string>().find("HTTP 500"), std::string::npos);
    // The server's own JSON-RPC error goes through, tied to the request it could not name.
    EXPECT_EQ(run.answers[5]["id"], 5);
    EXPECT_EQ(run.answers[5]["error"]["code"], -32022);

    const std::vector<Exchange> seen = server.exchanges();
    // initialize, initialized, tools/list, tools/call (404), initialize again, initialized, tools/call,
    // ping, resources/list and the DELETE that ends the session.
    ASSERT_EQ(seen.size(), 10u);
    for (const Exchange& request : seen) {
        EXPECT_EQ(request.header("authorization"), "Bearer secret-token");
        if (request.method != "POST") continue;
        EXPECT_EQ(request.header("content-type"), "application/json");
        EXPECT_EQ(request.header("accept"), "application/json, text/event-stream");
    }
    EXPECT_EQ(seen[0].header("mcp-session-id"), "<none>");
    EXPECT_EQ(seen[1].header("mcp-session-id"), "S1");
    EXPECT_EQ(seen[1].header("mcp-protocol-version"), "2025-06-18");
    EXPECT_EQ(seen[3].header("mcp-session-id"), "S1");
    EXPECT_EQ(seen[4].body, kInitialize) << "the client's own initialize request opens the new session";
    EXPECT_EQ(seen[4].header("mcp-session-id"), "<none>");
    EXPECT_EQ(Json::parse(seen[5].body)["method"], "notifications/initialized");
    EXPECT_EQ(seen[5].header("mcp-session-id"), "S2");
    EXPECT_EQ(seen[6].body, seen[3].body);
    EXPECT_EQ(seen[6].header("mcp-session-id"), "S2");
    EXPECT_EQ(seen[9].method, "DELETE");
    EXPECT_EQ(seen[9].header("mcp-session-id"), "S2");
}

TEST(McpBridge, UnreachableServerAnswersRequestsWithAnErrorAndNotificationsWithNothing) {
    uint16_t port = 0;
    {
        LoopbackServer closedSoon([](const Exchange&) { return Reply{}; });
        port = closedSoon.port();
    }
    // An id nested deeper than any copy could follow is refused before it is echoed anywhere.
    const std::string deepId = R"({"jsonrpc":"2.0","id":)" + std::string(200000, '[') + std::string(200000, ']') +
                               R"(,"method":"ping"})";
    const BridgeRun run = runBridge("env -u LMX_TOKEN LMX_PORT=" + std::to_string(port),
                                    {R"({"jsonrpc":"2.0","method":"notifications/initialized"})",
                                     R"({"jsonrpc":"2.0","id":7,"method":"tools/list"})", deepId});
    ASSERT_EQ(run.answers.size(), 2u) << run.log;
    EXPECT_EQ(run.answers[1], Json::parse(R"({"jsonrpc":"2.0","id":null,"error":{"code":-32600,
        "message":"Invalid Request: the id must be a string, a number or null"}})"));
    EXPECT_EQ(run.answers[0]["id"], 7);
    EXPECT_EQ(run.answers[0]["error"]["code"], -32603);
    const std::string message = run.answers[0]["error"]["message"];
    EXPECT_TRUE(message.starts_with("Lumidex is not reachable on port " + std::to_string(port) + ": ")) << message;
    EXPECT_NE(run.log.find("LMX_TOKEN is not set"), std::string::npos) << run.log;
}

}  // namespace
}  // namespace lumidex
