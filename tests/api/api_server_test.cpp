// The server through real sockets on loopback: every rejection a client can meet, the port fallback,
// the idle guard and the connection cap. Routes are test stand-ins; the real handlers have their own tests.
#include "api/api_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "core/settings/settings.h"
#include "support/http_reply.h"
#include "support/temp_home.h"

namespace lumidex::api {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kToken = "0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F9";

// A plain POSIX client: the server is judged on the bytes it answers, not through another HTTP library.
class RawClient {
public:
    explicit RawClient(uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~RawClient() {
        if (fd_ >= 0) ::close(fd_);
    }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connected() const { return connected_; }
    void send(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (sent <= 0) return;
            bytes.remove_prefix(static_cast<size_t>(sent));
        }
    }
    // Everything until the server closes, or until `timeout` passes (closedByPeer tells which).
    std::string receiveAll(std::chrono::milliseconds timeout = 5000ms) {
        std::string received;
        const auto deadline = Clock::now() + timeout;
        char chunk[65536];
        while (true) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            pollfd p{fd_, POLLIN, 0};
            if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) return received;
            const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n <= 0) {
                closedByPeer = true;
                return received;
            }
            received.append(chunk, static_cast<size_t>(n));
        }
    }
    bool closedByPeer = false;

private:
    int fd_ = -1;
    bool connected_ = false;
};

struct Reply : lumidex::testing::HttpReply {
    using HttpReply::HttpReply;
    std::string message() const { return bodyJson()["error"]["message"]; }
};

class ApiServerTest : public ::testing::Test {
protected:
    ApiServerTest() : store(dir / "settings.json") {
        EXPECT_FALSE(store.setString(SettingsKeys::apiServerTokenKey, kToken));
        const auto ok = [](std::string name) {
            return [name](const ApiRequest& request) {
                nlohmann::json body{{"route", name}, {"body", request.body ? *request.body : "(none)"}};
                for (const auto& [key, value] : request.queryParameters) body["query"][key] = value;
                return jsonResponse(200, body);
            };
        };
        router.add(HttpMethod::get, "/api/v1/health", ok("health"));
        router.add(HttpMethod::get, "/api/v1/info", ok("info"));
        router.add(HttpMethod::post, "/api/v1/search", ok("search"));
        router.add(HttpMethod::get, "/api/v1/folders", ok("folders"));
        router.add(HttpMethod::post, "/api/v1/folders", ok("add folder"));
        router.add(HttpMethod::get, "/api/v1/headers", [](const ApiRequest&) {
            ApiResponse response{200, {{"X-Good", "kept"}, {"X-Bad", "one\r\nSet-Cookie: injected"}}, std::string("{}")};
            return response;
        });
        router.add(HttpMethod::get, "/api/v1/slow", [](const ApiRequest&) {
            std::this_thread::sleep_for(800ms);
            return jsonResponse(200, nlohmann::json::object());
        });
        router.add(HttpMethod::get, "/api/v1/big", [](const ApiRequest&) {
            return ApiResponse{200, {{"Content-Type", "text/plain"}}, std::string(32 * 1024 * 1024, 'x')};
        });
    }

    void startServer(ApiServerOptions options = {}) {
        if (!options.ports) options.ports = [] { return std::vector<uint16_t>{0}; };
        options.log = [this](std::string_view line) {
            std::lock_guard lock(logMutex);
            logLines.emplace_back(line);
        };
        server = std::make_unique<ApiServer>(router, store, std::move(options));
        ASSERT_TRUE(server->start());
        port = server->actualPort();
    }

    bool logged(const std::string& line) {
        std::lock_guard lock(logMutex);
        return std::find(logLines.begin(), logLines.end(), line) != logLines.end();
    }

    Reply exchange(const std::string& raw) {
        RawClient client(port);
        client.send(raw);
        return Reply(client.receiveAll());
    }
    // A request with a loopback Host and the token unless the caller's headers replace them.
    Reply request(const std::string& method, const std::string& path, const std::string& headers = "",
                  const std::string& body = "") {
        std::string raw = method + " " + path + " HTTP/1.1\r\n";
        if (headers.find("Host:") == std::string::npos) raw += "Host: localhost:" + std::to_string(port) + "\r\n";
        if (headers.find("uthorization:") == std::string::npos) raw += std::string("Authorization: Bearer ") + kToken + "\r\n";
        if (!body.empty() && headers.find("Content-Length:") == std::string::npos) {
            raw += "Content-Length: " + std::to_string(body.size()) + "\r\n";
        }
        return exchange(raw + headers + "\r\n" + body);
    }

    testing::TempDir dir;
    SettingsStore store;
    ApiRouter router;
    std::mutex logMutex;
    std::vector<std::string> logLines;
    std::unique_ptr<ApiServer> server;
    uint16_t port = 0;
};

// A port some other socket listens on.
struct BusyPort {
    BusyPort() {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(fd, 1);
        socklen_t size = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
        port = ntohs(address.sin_port);
    }
    ~BusyPort() { ::close(fd); }
    int fd;
    uint16_t port;
};

TEST(ApiServerPorts, ConfiguredPortFirstThenTheFixedFallbacksWithoutRepeats) {
    const std::vector<uint16_t> fallbacks{44477, 44478, 44479};
    EXPECT_EQ(portCandidates(80), fallbacks);
    EXPECT_EQ(portCandidates(70000), fallbacks);
    EXPECT_EQ(portCandidates(0), fallbacks) << "never stored";
    EXPECT_EQ(portCandidates(44478), (std::vector<uint16_t>{44478, 44477, 44479}));
    EXPECT_EQ(portCandidates(1024), (std::vector<uint16_t>{1024, 44477, 44478, 44479}));
}

TEST_F(ApiServerTest, BusyPortsFallBackThenGiveUpAndStopFreesThePort) {
    const BusyPort busy;
    const BusyPort alsoBusy;
    ApiServerOptions options;
    options.ports = [&] { return std::vector<uint16_t>{busy.port, alsoBusy.port, 0}; };
    startServer(options);
    EXPECT_NE(port, busy.port);
    EXPECT_NE(port, alsoBusy.port);
    EXPECT_TRUE(logged("Port " + std::to_string(busy.port) + " nicht verfügbar: Address already in use"));
    EXPECT_TRUE(logged("Läuft auf 127.0.0.1:" + std::to_string(port)));
    EXPECT_EQ(request("GET", "/api/v1/health").status, 200);

    server->stop();
    EXPECT_EQ(server->actualPort(), 0);
    EXPECT_TRUE(logged("Server gestoppt"));
    EXPECT_FALSE(RawClient(port).connected()) << "the listener is closed";

    options.ports = [&] { return std::vector<uint16_t>{busy.port, alsoBusy.port}; };
    options.log = [this](std::string_view line) {
        std::lock_guard lock(logMutex);
        logLines.emplace_back(line);
    };
    ApiServer allBusy(router, store, options);
    EXPECT_FALSE(allBusy.start());
    EXPECT_EQ(allBusy.actualPort(), 0);
    EXPECT_TRUE(logged("Kein Port verfügbar (" + std::to_string(busy.port) + ", " + std::to_string(alsoBusy.port) + ")"));
    EXPECT_FALSE(allBusy.start(2)) << "a start past the list stays down";
}

TEST_F(ApiServerTest, BindHostFollowsTheLanSettingAtConstruction) {
    startServer();
    EXPECT_EQ(server->config().host, "127.0.0.1");
    ASSERT_FALSE(store.setBool(SettingsKeys::apiServerAllowLanKey, true));
    EXPECT_EQ(server->config().host, "127.0.0.1") << "changes apply at the next construction";
    EXPECT_EQ(ApiServer(router, store).config().host, "0.0.0.0");
}

TEST_F(ApiServerTest, HostHeaderMustNameThisMachineUnlessLanIsAllowed) {
    startServer();
    for (const std::string& host : {"localhost:" + std::to_string(port), std::string("[::1]:44477"), std::string("127.0.0.1"),
                                   std::string("LOCALHOST")}) {
        EXPECT_EQ(request("GET", "/api/v1/info", "Host: " + host + "\r\n").status, 200) << host;
    }
    const std::string own = localHostName();
    if (!own.empty()) {
        EXPECT_EQ(request("GET", "/api/v1/info", "Host: " + own + ".local:1\r\n").status, 200);
        EXPECT_EQ(request("GET", "/api/v1/info", "Origin: http://" + own + ".local\r\n").status, 200);
    }
    const Reply rebinding = request("GET", "/api/v1/health", "Host: evil.example\r\n");
    EXPECT_EQ(rebinding.status, 403);
    EXPECT_EQ(rebinding.message(), "Request rejected: Host header does not address this machine.");
    EXPECT_TRUE(logged("Abgelehnt: fremder Host-Header 'evil.example' (DNS-Rebinding-Schutz)"));
    EXPECT_EQ(exchange("GET /api/v1/health HTTP/1.0\r\n\r\n").status, 403) << "no Host at all";
    EXPECT_EQ(request("GET", "/api/v1/health", "Host: [::1\r\n").status, 403) << "unclosed bracket names no host";

    ASSERT_FALSE(store.setBool(SettingsKeys::apiServerAllowLanKey, true));
    EXPECT_EQ(request("GET", "/api/v1/health", "Host: evil.example\r\n").status, 200) << "read on every request";
}

TEST_F(ApiServerTest, ForeignOriginsAreRefusedEvenWithAToken) {
    startServer();
    EXPECT_EQ(request("GET", "/api/v1/info", "Origin: http://localhost:3000\r\n").status, 200);
    EXPECT_EQ(request("GET", "/api/v1/info", "Origin: http://[::1]:8080\r\n").status, 200);
    EXPECT_EQ(request("GET", "/api/v1/info", "Origin:   \r\n").status, 200) << "an empty Origin is ignored";
    for (const char* origin : {"null", "NULL", "localhost", "https://evil.example", "http://[::1"}) {
        const Reply reply = request("POST", "/api/v1/search", std::string("Origin: ") + origin + "\r\n", "{}");
        EXPECT_EQ(reply.status, 403) << origin;
        EXPECT_EQ(reply.message(), "Request rejected: cross-origin request.");
    }
    EXPECT_TRUE(logged("Abgelehnt: fremder Origin 'https://evil.example'"));

    const Reply mcp = request("POST", "/mcp", "Content-Type: text/plain\r\n", "{}");
    EXPECT_EQ(mcp.status, 400);
    EXPECT_EQ(mcp.message(), "MCP expects Content-Type: application/json.");
    EXPECT_TRUE(logged("Abgelehnt: /mcp ohne Content-Type application/json"));
    EXPECT_EQ(request("POST", "/mcp", "", "{}").status, 400) << "a missing content type fails too";
    EXPECT_EQ(request("POST", "/mcp", "Content-Type:  Application/JSON ; charset=utf-8\r\n", "{}").message(),
              "No route for POST /mcp") << "passes the check, then meets the router";
}

TEST_F(ApiServerTest, OptionsAndHeadAnswerAllowWithoutTokenOrHandler) {
    startServer();
    const Reply options = request("OPTIONS", "/api/v1/folders", "Authorization: none\r\n");
    EXPECT_EQ(options.status, 405);
    EXPECT_TRUE(options.head.starts_with("HTTP/1.1 405 Method Not Allowed\r\n"));
    EXPECT_TRUE(options.hasHeaderLine("Allow: GET, POST")) << options.head;
    EXPECT_EQ(options.message(), "Method not allowed");
    EXPECT_TRUE(request("HEAD", "/api/v1/health/", "Authorization: none\r\n").hasHeaderLine("Allow: GET"));
    const Reply unknown = request("OPTIONS", "/api/v1/nothing", "Authorization: none\r\n");
    EXPECT_EQ(unknown.status, 404);
    EXPECT_EQ(unknown.message(), "Resource not found");
}

TEST_F(ApiServerTest, BearerTokenIsCheckedExactlyAndReadOnEveryRequest) {
    startServer();
    EXPECT_EQ(request("GET", "/api/v1/health", "Authorization: none\r\n").status, 200);
    const Reply missing = request("GET", "/api/v1/info", "Authorization: none\r\n");
    EXPECT_EQ(missing.status, 401);
    EXPECT_EQ(missing.message(), "Missing or invalid authorization token");
    EXPECT_EQ(request("GET", "/api/v1/info", std::string("Authorization: bearer ") + kToken + "\r\n").status, 401);
    EXPECT_EQ(request("GET", "/api/v1/info", std::string("Authorization: Bearer  ") + kToken + "\r\n").status, 401);
    EXPECT_EQ(request("GET", "/api/v1/info", std::string("Authorization: Bearer ") + kToken + "0\r\n").status, 401);
    EXPECT_EQ(request("GET", "/api/v1/info").status, 200);

    ASSERT_FALSE(store.setString(SettingsKeys::apiServerTokenKey, "NEW"));
    EXPECT_EQ(request("GET", "/api/v1/info").status, 401) << "the old token stops working at once";
    EXPECT_EQ(request("GET", "/api/v1/info", "Authorization: Bearer NEW\r\n").status, 200);
    ASSERT_FALSE(store.setString(SettingsKeys::apiServerTokenKey, ""));
    EXPECT_EQ(request("GET", "/api/v1/info", "Authorization: Bearer \r\n").status, 401) << "an empty token admits nobody";
    EXPECT_EQ(request("GET", "/api/v1/health", "Authorization: none\r\n").status, 200);
}

TEST_F(ApiServerTest, HeadAndLengthRulesRejectBeforeAnyHandler) {
    startServer();
    const Reply chunked = request("POST", "/api/v1/search", "Transfer-Encoding: gzip, Chunked\r\n");
    EXPECT_EQ(chunked.status, 411);
    EXPECT_EQ(chunked.message(), "Chunked transfer encoding is not supported — send Content-Length");
    for (const char* length : {"-1", "abc", "5x", "", "99999999999999999999"}) {
        const Reply bad = request("POST", "/api/v1/search", std::string("Content-Length: ") + length + "\r\n");
        EXPECT_EQ(bad.status, 400) << length;
        EXPECT_EQ(bad.message(), "Invalid Content-Length");
    }
    EXPECT_EQ(nlohmann::json::parse(request("POST", "/api/v1/search", "Content-Length: +5\r\n", "hello extra").body)["body"], "hello")
        << "+5 reads five bytes; the rest is ignored";
    EXPECT_EQ(nlohmann::json::parse(request("POST", "/api/v1/search").body)["body"], "(none)");

    const Reply tooLarge = request("POST", "/api/v1/search", "Content-Length: 20971520\r\n");
    EXPECT_EQ(tooLarge.status, 413);
    EXPECT_EQ(tooLarge.message(), "Body of 20971520 bytes exceeds the limit of 16777216 bytes");
    EXPECT_EQ(request("POST", "/api/v1/mail/draft", "Content-Length: 67108865\r\n").message(),
              "Body of 67108865 bytes exceeds the limit of 67108864 bytes");

    const std::string body(1024 * 1024 + 17, 'b');
    EXPECT_EQ(nlohmann::json::parse(request("POST", "/api/v1/search", "", body).body)["body"], body)
        << "a body arriving in many chunks";

    EXPECT_EQ(exchange("BREW /api/v1/health HTTP/1.1\r\nHost: localhost\r\n\r\n").message(), "Malformed HTTP request");
    EXPECT_EQ(exchange("GET\r\nHost: localhost\r\n\r\n").status, 400);
    EXPECT_EQ(exchange("GET /api/v1/health HTTP/1.1\r\nHost: local\xff\r\n\r\n").status, 400) << "not UTF-8";
    const Reply huge = exchange("GET /api/v1/health HTTP/1.1\r\nX: " + std::string(70000, 'a'));
    EXPECT_EQ(huge.status, 431);
    EXPECT_EQ(huge.message(), "Request headers exceed limit");
}

TEST_F(ApiServerTest, PathsQueriesAndResponseHeaders) {
    startServer();
    EXPECT_EQ(nlohmann::json::parse(request("GET", "/api/v1/folders/").body)["route"], "folders");
    const Reply wrongCase = request("GET", "/api/v1/Folders");
    EXPECT_EQ(wrongCase.status, 404);
    EXPECT_EQ(wrongCase.message(), "No route for GET /api/v1/Folders");
    const auto query = nlohmann::json::parse(request("GET", "/api/v1/folders?q=a%20b&&flag&q2=%zz&x=1+1").body)["query"];
    EXPECT_EQ(query, (nlohmann::json{{"q", "a b"}, {"flag", ""}, {"q2", "%zz"}, {"x", "1+1"}}));

    const Reply headers = request("GET", "/api/v1/headers");
    EXPECT_TRUE(headers.head.starts_with("HTTP/1.1 200 OK\r\n"));
    EXPECT_TRUE(headers.hasHeaderLine("X-Good: kept"));
    EXPECT_EQ(headers.head.find("X-Bad"), std::string::npos) << "a value with a line break is left out";
    EXPECT_EQ(headers.head.find("injected"), std::string::npos);
    EXPECT_TRUE(headers.hasHeaderLine("Content-Type: application/json; charset=utf-8"));
    EXPECT_TRUE(headers.hasHeaderLine("Content-Length: 2"));
    EXPECT_TRUE(headers.hasHeaderLine("Connection: close"));
}

TEST_F(ApiServerTest, IdleAndHalfFinishedConnectionsEndWithoutAnswer) {
    ApiServerOptions options;
    options.idleTimeout = 200ms;
    startServer(options);
    RawClient silent(port);
    RawClient halfHead(port);
    halfHead.send("GET /api/v1/health HTTP/1.1\r\nHost: localhost\r\n");
    RawClient shortBody(port);
    shortBody.send(std::string("POST /api/v1/search HTTP/1.1\r\nHost: localhost\r\nAuthorization: Bearer ") + kToken +
                   "\r\nContent-Length: 100\r\n\r\nonly a few bytes");
    const auto started = Clock::now();
    for (RawClient* client : {&silent, &halfHead, &shortBody}) {
        EXPECT_EQ(client->receiveAll(3000ms), "");
        EXPECT_TRUE(client->closedByPeer);
    }
    EXPECT_LT(Clock::now() - started, 2000ms);

    EXPECT_EQ(request("GET", "/api/v1/health").status, 200) << "the server still answers afterwards";
}

TEST_F(ApiServerTest, IdleCrowdsSlowHandlersAndNonReadersDoNotStopOtherClients) {
    startServer();
    std::vector<std::unique_ptr<RawClient>> idle;
    for (int i = 0; i < 200; ++i) {
        idle.push_back(std::make_unique<RawClient>(port));
        ASSERT_TRUE(idle.back()->connected());
    }
    RawClient nonReader(port);
    nonReader.send(std::string("GET /api/v1/big HTTP/1.1\r\nHost: localhost\r\nAuthorization: Bearer ") + kToken + "\r\n\r\n");
    auto slow = std::async(std::launch::async, [&] { return request("GET", "/api/v1/slow").status; });
    std::this_thread::sleep_for(100ms);

    const auto started = Clock::now();
    EXPECT_EQ(request("GET", "/api/v1/info").status, 200);
    EXPECT_LT(Clock::now() - started, 500ms) << "answered while 200 connections idle and a handler sleeps";
    EXPECT_EQ(slow.get(), 200);
}

TEST_F(ApiServerTest, ConnectionsBeyondTheCapAreClosedAtOnce) {
    ApiServerOptions options;
    options.maxConnections = 3;
    startServer(options);
    auto first = std::make_unique<RawClient>(port);
    RawClient second(port);
    RawClient third(port);
    std::this_thread::sleep_for(100ms);
    RawClient fourth(port);
    EXPECT_EQ(fourth.receiveAll(2000ms), "");
    EXPECT_TRUE(fourth.closedByPeer);
    EXPECT_EQ(second.receiveAll(200ms), "");
    EXPECT_FALSE(second.closedByPeer) << "the ones within the cap stay open";

    first.reset();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(request("GET", "/api/v1/health").status, 200) << "a freed place is taken again";
}

}  // namespace
}  // namespace lumidex::api
