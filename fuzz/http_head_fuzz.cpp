// Feeds arbitrary bytes to the local server's head handling as a connection would see them (up to the
// first blank line): no crash or sanitizer report, every rejection one of the server's own answers,
// parsed headers in their normal form, and no response head that a header value could split.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "api/http_head.h"

namespace {

using namespace lumidex::api;

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// Inside a response head, CR and LF appear only as CR LF line ends and NUL not at all.
bool headIsWellFramed(std::string_view message) {
    const size_t end = message.find("\r\n\r\n");
    if (end == std::string_view::npos) return false;
    const std::string_view head = message.substr(0, end + 2);
    for (size_t i = 0; i < head.size(); ++i) {
        if (head[i] == '\0') return false;
        if (head[i] == '\n' && (i == 0 || head[i - 1] != '\r')) return false;
        if (head[i] == '\r' && (i + 1 >= head.size() || head[i + 1] != '\n')) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const bool allowLan = !bytes.empty() && (bytes[0] & 1) != 0;
    const std::string_view head = bytes.substr(0, bytes.find("\r\n\r\n"));

    RequestContext context;
    context.allowLan = allowLan;
    context.localHostName = "werkbank";
    context.isAuthorized = [](const ApiRequest& request) { return isAuthorizedWithToken(request, "SECRET"); };
    context.allowedMethods = [](const std::string& path) {
        return path == "/api/v1/folders" ? std::vector<HttpMethod>{HttpMethod::get, HttpMethod::post}
                                         : std::vector<HttpMethod>{};
    };
    const HeadDecision decision = decideHead(head, context);

    if (const auto parsed = parseRequestHead(head)) {
        if (parsed->path.find('?') != std::string::npos) __builtin_trap();
        ApiResponse echo{200, {}, std::string(head)};
        for (const auto& [name, value] : parsed->headers) {
            for (const char c : name) {
                if (c >= 'A' && c <= 'Z') __builtin_trap();
            }
            if (!name.empty() && (isBlank(name.front()) || isBlank(name.back()))) __builtin_trap();
            if (!value.empty() && (isBlank(value.front()) || isBlank(value.back()))) __builtin_trap();
            echo.headers[name] = value;  // a handler echoing request headers must not split the answer
        }
        if (!headIsWellFramed(serializeResponse(echo))) __builtin_trap();
    } else if (!decision.rejection || decision.rejection->response.statusCode != 400) {
        __builtin_trap();
    }

    if (decision.rejection) {
        const int status = decision.rejection->response.statusCode;
        if (status != 400 && status != 401 && status != 403 && status != 404 && status != 405 && status != 411 &&
            status != 413) {
            __builtin_trap();
        }
        if (!headIsWellFramed(serializeResponse(decision.rejection->response))) __builtin_trap();
    } else if (decision.bodyLength < 0 || decision.bodyLength > kMailDraftBodyLimitBytes) {
        __builtin_trap();
    }
    const std::string decoded = percentDecode(bytes);
    if (decoded != bytes && !isUtf8(decoded)) __builtin_trap();
    return 0;
}
