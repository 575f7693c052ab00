// lumidex-mcp: the stdio bridge an AI client (Claude Desktop) starts as its MCP server. Each line on
// stdin is one JSON-RPC message; it goes as one POST to http://127.0.0.1:$LMX_PORT/mcp with the bearer
// token $LMX_TOKEN, and every JSON-RPC message of the answer (plain JSON or an event stream) is written
// to stdout as one line. stdout carries the protocol only; diagnostics go to stderr.
//
// The bridge keeps the session the server opened on "initialize" and, when the server has forgotten it
// (404, e.g. after a restart), opens a new one with the client's original initialize request and sends
// the message once more. A request whose relay fails gets a JSON-RPC error answer, so the client never
// waits for an answer that cannot come; notifications that fail are only logged. Ends when stdin closes.
#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace {

using Json = nlohmann::json;

constexpr uint16_t kDefaultPort = 44477;
constexpr std::size_t kMaxAnswerBytes = std::size_t{256} << 20;
constexpr int kInternalError = -32603;
constexpr int kParseError = -32700;
constexpr int kInvalidRequest = -32600;

void logLine(const std::string& line) { std::cerr << "[lumidex-mcp] " << line << std::endl; }

std::string lowered(std::string_view text) {
    std::string result(text);
    for (char& c : result) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return result;
}

std::string trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    return std::string(text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1));
}

struct HttpAnswer {
    bool reached = false;  // false: no HTTP answer at all (refused, timed out ...); see `failure`
    long status = 0;
    std::string contentType;
    std::string sessionId;
    std::string body;
    std::string failure;
};

std::size_t collectBody(char* data, std::size_t size, std::size_t count, void* target) {
    auto* answer = static_cast<HttpAnswer*>(target);
    const std::size_t bytes = size * count;
    if (answer->body.size() + bytes > kMaxAnswerBytes) return 0;  // ends the transfer with an error
    answer->body.append(data, bytes);
    return bytes;
}

std::size_t collectHeader(char* data, std::size_t size, std::size_t count, void* target) {
    auto* answer = static_cast<HttpAnswer*>(target);
    const std::string_view line(data, size * count);
    const auto colon = line.find(':');
    if (colon != std::string_view::npos) {
        const std::string name = lowered(trimmed(line.substr(0, colon)));
        if (name == "mcp-session-id") answer->sessionId = trimmed(line.substr(colon + 1));
        if (name == "content-type") answer->contentType = lowered(trimmed(line.substr(colon + 1)));
    }
    return size * count;
}

// The JSON-RPC messages of an event stream: the "data" lines of each event joined, parsed; events
// without JSON data (comments, priming events) are skipped.
std::vector<Json> eventStreamMessages(const std::string& body) {
    std::vector<Json> messages;
    std::string data;
    bool hasData = false;
    const auto dispatch = [&] {
        if (hasData) {
            Json message = Json::parse(data, nullptr, false);
            if (!message.is_discarded()) messages.push_back(std::move(message));
        }
        data.clear();
        hasData = false;
    };
    std::size_t start = 0;
    while (start <= body.size()) {
        std::size_t end = body.find('\n', start);
        if (end == std::string::npos) end = body.size();
        std::string_view line(body.data() + start, end - start);
        if (line.ends_with('\r')) line.remove_suffix(1);
        if (line.empty()) {
            dispatch();
        } else if (line.starts_with("data:")) {
            line.remove_prefix(5);
            if (line.starts_with(' ')) line.remove_prefix(1);
            if (hasData) data += '\n';
            data += line;
            hasData = true;
        }
        start = end + 1;
    }
    dispatch();
    return messages;
}

// Ids are echoed in answers; one that is an array or object (of any depth) is never copied.
bool idIsPlain(const Json& message) {
    if (!message.is_object()) return true;
    const auto id = message.find("id");
    return id == message.end() || id->is_string() || id->is_number() || id->is_null();
}

bool idsArePlain(const Json& message) {
    if (!message.is_array()) return idIsPlain(message);
    return std::all_of(message.begin(), message.end(), idIsPlain);
}

bool isRequest(const Json& message) { return message.is_object() && message.contains("method") && message.contains("id"); }

bool isInitialize(const Json& message) {
    return isRequest(message) && message["method"].is_string() && message["method"] == "initialize";
}

Json errorAnswer(const Json& id, int code, const std::string& text) {
    return {{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}, {"message", text}}}};
}

class Bridge {
public:
    Bridge(uint16_t port, std::string token)
        : port_(port), token_(std::move(token)), url_("http://127.0.0.1:" + std::to_string(port) + "/mcp") {}

    // False once stdout is gone.
    bool handleLine(const std::string& line) {
        if (trimmed(line).empty()) return true;
        const Json message = Json::parse(line, nullptr, false);
        if (message.is_discarded()) {
            logLine("A line from the client is not JSON; answered with a parse error.");
            return emit(errorAnswer(nullptr, kParseError, "Parse error: the line is not valid JSON"));
        }
        if (!idsArePlain(message)) {
            logLine("A message from the client has an id that is not a string, number or null; answered with an error.");
            return emit(errorAnswer(nullptr, kInvalidRequest, "Invalid Request: the id must be a string, a number or null"));
        }
        return relay(message, line);
    }

    // Tells the server the session is over, so it need not wait for the session to expire.
    void endSession() {
        if (sessionId_.empty()) return;
        send("DELETE", "", 2);
    }

private:
    HttpAnswer send(const char* method, const std::string& body, long timeoutSeconds = 300) {
        HttpAnswer answer;
        CURL* curl = curl_easy_init();
        if (!curl) {
            answer.failure = "libcurl could not be initialised";
            return answer;
        }
        char errorText[CURL_ERROR_SIZE] = {};
        curl_slist* headers = nullptr;
        const auto addHeader = [&headers](const std::string& header) { headers = curl_slist_append(headers, header.c_str()); };
        addHeader("Content-Type: application/json");
        addHeader("Accept: application/json, text/event-stream");
        addHeader("Expect:");  // no 100-continue round trip for larger messages
        if (!token_.empty()) addHeader("Authorization: Bearer " + token_);
        if (!sessionId_.empty()) addHeader("Mcp-Session-Id: " + sessionId_);
        if (!protocolVersion_.empty()) addHeader("MCP-Protocol-Version: " + protocolVersion_);

        curl_easy_setopt(curl, CURLOPT_URL, url_.c_str());
        curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");  // a proxy from the environment must not see loopback traffic
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, 3000L);
        curl_easy_setopt(curl, CURLOPT_TIMEOUT, timeoutSeconds);
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collectBody);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
        curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, collectHeader);
        curl_easy_setopt(curl, CURLOPT_HEADERDATA, &answer);
        if (std::string_view(method) == "POST") {
            curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
            curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        } else {
            curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method);
        }
        const CURLcode result = curl_easy_perform(curl);
        if (result == CURLE_OK) {
            answer.reached = true;
            curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.status);
        } else {
            answer.failure = errorText[0] ? errorText : curl_easy_strerror(result);
        }
        curl_slist_free_all(headers);
        curl_easy_cleanup(curl);
        return answer;
    }

    // The JSON-RPC messages of a successful answer.
    static std::vector<Json> messagesOf(const HttpAnswer& answer) {
        if (answer.contentType.find("text/event-stream") != std::string::npos) return eventStreamMessages(answer.body);
        if (trimmed(answer.body).empty()) return {};
        Json message = Json::parse(answer.body, nullptr, false);
        if (message.is_discarded()) return {};
        return {std::move(message)};
    }

    void adoptSession(const HttpAnswer& answer, const std::vector<Json>& messages) {
        // A client that initialises again leaves its old session behind: end it rather than let it idle.
        if (!sessionId_.empty() && sessionId_ != answer.sessionId) send("DELETE", "", 2);
        sessionId_ = answer.sessionId;
        for (const Json& message : messages) {
            if (!message.is_object() || !message.contains("result") || !message["result"].is_object()) continue;
            const auto version = message["result"].find("protocolVersion");
            if (version != message["result"].end() && version->is_string()) protocolVersion_ = version->get<std::string>();
        }
    }

    // A new session from the client's own initialize request; its answer is not the client's business.
    bool reinitialise() {
        if (initializeRequest_.empty()) return false;
        sessionId_.clear();
        protocolVersion_.clear();
        const HttpAnswer answer = send("POST", initializeRequest_);
        if (!answer.reached || answer.status != 200) return false;
        adoptSession(answer, messagesOf(answer));
        const HttpAnswer initialized = send("POST", R"({"jsonrpc":"2.0","method":"notifications/initialized"})");
        if (!initialized.reached || initialized.status >= 300) return false;
        logLine("The server had lost the session; a new one is open.");
        return true;
    }

    // The server's own reason ({"error": "text"} or {"error": {"message": "text"}}) after ours.
    std::string httpErrorText(const HttpAnswer& answer) const {
        std::string reason;
        const Json body = Json::parse(answer.body, nullptr, false);
        if (body.is_object() && body.contains("error")) {
            const Json& error = body["error"];
            if (error.is_string()) reason = error.get<std::string>();
            if (error.is_object() && error.contains("message") && error["message"].is_string()) {
                reason = error["message"].get<std::string>();
            }
        }
        std::string text = "Lumidex answered HTTP " + std::to_string(answer.status) + " on port " + std::to_string(port_);
        if (!reason.empty()) text += ": " + reason;
        if (answer.status == 401) text += ". Run `lumidex mcp install` again and restart Claude Desktop.";
        return text;
    }

    bool relay(const Json& message, const std::string& line) {
        const bool initialize = isInitialize(message);
        if (initialize) {
            // A new initialize starts a new session; the old one is not sent along.
            sessionId_.clear();
            protocolVersion_.clear();
            initializeRequest_ = line;
        }
        HttpAnswer answer = send("POST", line);
        if (answer.reached && answer.status == 404 && !initialize && !sessionId_.empty()) {
            if (reinitialise()) {
                answer = send("POST", line);
            } else {
                return fail(message, "Lumidex on port " + std::to_string(port_) +
                                         " lost the MCP session and a new one could not be opened");
            }
        }
        if (!answer.reached) {
            return fail(message, "Lumidex is not reachable on port " + std::to_string(port_) + ": " + answer.failure);
        }
        if (answer.status == 202) return true;
        if (answer.status >= 200 && answer.status < 300) {
            const std::vector<Json> messages = messagesOf(answer);
            if (initialize) adoptSession(answer, messages);
            if (messages.empty() && isRequest(message)) {
                return fail(message, "Lumidex sent no JSON-RPC answer (HTTP " + std::to_string(answer.status) + ")");
            }
            for (const Json& reply : messages) {
                if (!emit(reply)) return false;
            }
            return true;
        }
        // An error the server phrased in JSON-RPC itself goes through; one it could not tie to the request
        // (id null, e.g. an unsupported version header) gets the request's id, or the client would wait on.
        Json body = Json::parse(answer.body, nullptr, false);
        if (body.is_object() && body.contains("jsonrpc")) {
            if (!isRequest(message)) return true;
            if (body.value("id", Json()).is_null()) body["id"] = message["id"];
            return emit(body);
        }
        return fail(message, httpErrorText(answer));
    }

    // Answers every request in MESSAGE (one, or the requests of a batch) with an internal error.
    bool fail(const Json& message, const std::string& text) {
        logLine(text);
        if (isRequest(message)) return emit(errorAnswer(message["id"], kInternalError, text));
        if (!message.is_array()) return true;
        Json answers = Json::array();
        for (const Json& element : message) {
            if (isRequest(element)) answers.push_back(errorAnswer(element["id"], kInternalError, text));
        }
        return answers.empty() || emit(answers);
    }

    static bool emit(const Json& message) {
        const std::string line = message.dump(-1, ' ', false, Json::error_handler_t::replace) + '\n';
        return std::fwrite(line.data(), 1, line.size(), stdout) == line.size() && std::fflush(stdout) == 0;
    }

    uint16_t port_;
    std::string token_;
    std::string url_;
    std::string sessionId_;
    std::string protocolVersion_;
    std::string initializeRequest_;
};

uint16_t portFromEnvironment() {
    const char* text = std::getenv("LMX_PORT");
    if (!text || !*text) {
        logLine("LMX_PORT is not set; using port " + std::to_string(kDefaultPort) + ".");
        return kDefaultPort;
    }
    const std::string_view value(text);
    unsigned port = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), port);
    if (error != std::errc() || end != value.data() + value.size() || port == 0 || port > 65535) {
        logLine("LMX_PORT \"" + std::string(value) + "\" is not a port; using " + std::to_string(kDefaultPort) + ".");
        return kDefaultPort;
    }
    return static_cast<uint16_t>(port);
}

}  // namespace

int main() {
    std::signal(SIGPIPE, SIG_IGN);  // a client that went away shows as a failed write, not a kill
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        logLine("libcurl could not be initialised.");
        return 1;
    }
    const uint16_t port = portFromEnvironment();
    const char* token = std::getenv("LMX_TOKEN");
    if (!token || !*token) logLine("LMX_TOKEN is not set; the server will refuse the requests. Run `lumidex mcp install`.");
    Bridge bridge(port, token ? token : "");
    for (std::string line; std::getline(std::cin, line);) {
        if (!bridge.handleLine(line)) {
            logLine("stdout is closed; ending.");
            break;
        }
    }
    bridge.endSession();
    curl_global_cleanup();
    return 0;
}
