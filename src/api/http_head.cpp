#include "api/http_head.h"

#include <algorithm>
#include <charconv>
#include <limits>

#include "core/ascii_text.h"

namespace lumidex::api {
namespace {

// Splits at single spaces, dropping empty pieces, into at most three: the third is the rest of the line.
std::vector<std::string_view> requestLineParts(std::string_view line) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    size_t i = 0;
    while (i < line.size()) {
        if (line[i] != ' ') {
            ++i;
            continue;
        }
        if (i > start) parts.push_back(line.substr(start, i - start));
        start = ++i;
        if (parts.size() == 2) break;
    }
    if (start < line.size()) parts.push_back(line.substr(start));
    return parts;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isLoopbackName(std::string_view host) { return host == "127.0.0.1" || host == "localhost" || host == "::1"; }

bool isThisMachine(std::string_view host, const RequestContext& context) {
    if (isLoopbackName(host)) return true;
    const std::string& own = context.localHostName;
    return !own.empty() && (host == own || host == own + ".local");
}

bool isForeignOrigin(std::string_view origin, const RequestContext& context) {
    if (asciiLowered(origin) == "null") return true;
    const auto scheme = origin.find("://");
    if (scheme == std::string_view::npos) return true;
    const auto host = hostOfAuthority(origin.substr(scheme + 3));
    return !host || !isThisMachine(asciiLowered(*host), context);
}

Rejection reject(int status, std::string_view code, std::string_view message, std::string logLine = {}) {
    return Rejection{errorResponse(status, code, message), std::move(logLine)};
}

bool hasUnsafeByte(std::string_view text) { return text.find_first_of(std::string_view("\0\r\n", 3)) != std::string_view::npos; }

}  // namespace



bool isUtf8(std::string_view bytes) {
    size_t i = 0;
    while (i < bytes.size()) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t length = 0;
        uint32_t minimum = 0;
        uint32_t code = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2, minimum = 0x80, code = c & 0x1Fu;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3, minimum = 0x800, code = c & 0x0Fu;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4, minimum = 0x10000, code = c & 0x07u;
        } else {
            return false;
        }
        if (bytes.size() - i < length) return false;
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + k]);
            if ((next & 0xC0u) != 0x80u) return false;
            code = (code << 6) | (next & 0x3Fu);
        }
        if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        i += length;
    }
    return true;
}

std::string percentDecode(std::string_view text) {
    if (text.find('%') == std::string_view::npos) return std::string(text);
    std::string decoded;
    decoded.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size()) return std::string(text);
        const int high = hexValue(text[i + 1]);
        const int low = hexValue(text[i + 2]);
        if (high < 0 || low < 0) return std::string(text);
        decoded.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return isUtf8(decoded) ? decoded : std::string(text);
}

std::map<std::string, std::string> parseQuery(std::string_view query) {
    std::map<std::string, std::string> parameters;
    size_t start = 0;
    while (start <= query.size()) {
        const size_t end = std::min(query.find('&', start), query.size());
        const std::string_view piece = query.substr(start, end - start);
        if (!piece.empty()) {
            const size_t equals = piece.find('=');
            const std::string_view key = piece.substr(0, equals);
            const std::string_view value = equals == std::string_view::npos ? std::string_view() : piece.substr(equals + 1);
            parameters.insert_or_assign(percentDecode(key), percentDecode(value));
        }
        start = end + 1;
    }
    return parameters;
}

std::optional<ApiRequest> parseRequestHead(std::string_view head) {
    if (!isUtf8(head)) return std::nullopt;
    const size_t firstEnd = std::min(head.find("\r\n"), head.size());
    const auto parts = requestLineParts(head.substr(0, firstEnd));
    if (parts.size() < 2) return std::nullopt;
    const auto method = methodFromToken(parts[0]);
    if (!method) return std::nullopt;

    ApiRequest request;
    request.method = *method;
    const std::string_view target = parts[1];
    const size_t question = target.find('?');
    request.path = std::string(target.substr(0, question));
    if (question != std::string_view::npos) request.queryParameters = parseQuery(target.substr(question + 1));

    size_t start = firstEnd + 2;
    while (start < head.size()) {
        const size_t end = std::min(head.find("\r\n", start), head.size());
        const std::string_view line = head.substr(start, end - start);
        start = end + 2;
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        request.headers.insert_or_assign(asciiLowered(trimmedAscii(line.substr(0, colon))), std::string(trimmedAscii(line.substr(colon + 1))));
    }
    return request;
}

std::optional<std::string> hostOfAuthority(std::string_view value) {
    if (value.starts_with('[')) {
        const size_t close = value.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        return std::string(value.substr(1, close - 1));
    }
    if (value.find(':') != std::string_view::npos && value.find("::") == std::string_view::npos) {
        return std::string(value.substr(0, value.rfind(':')));
    }
    return std::string(value);
}

bool constantTimeEquals(std::string_view a, std::string_view b) {
    unsigned difference = a.size() == b.size() ? 0u : 1u;
    const size_t longer = std::max(a.size(), b.size());
    for (size_t i = 0; i < longer; ++i) {
        const auto x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0u;
        const auto y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0u;
        difference |= x ^ y;
    }
    return difference == 0;
}

bool isAuthorizedWithToken(const ApiRequest& request, std::string_view expected) {
    static constexpr std::string_view kOpenPaths[] = {"/api/v1/health", "/api/v1/docs", "/api/v1/openapi.yaml", "/mcp"};
    if (std::find(std::begin(kOpenPaths), std::end(kOpenPaths), request.path) != std::end(kOpenPaths)) return true;
    const std::string* authorization = request.header("authorization");
    constexpr std::string_view kScheme = "Bearer ";
    if (!authorization || !authorization->starts_with(kScheme)) return false;
    const std::string_view presented = std::string_view(*authorization).substr(kScheme.size());
    if (presented.empty() || expected.empty()) return false;
    return constantTimeEquals(presented, expected);
}

std::optional<Rejection> validateRequest(const ApiRequest& request, const RequestContext& context) {
    if (!context.allowLan) {
        const std::string* hostHeader = request.header("host");
        const auto host = hostHeader ? hostOfAuthority(*hostHeader) : std::nullopt;
        if (!host || !isThisMachine(asciiLowered(*host), context)) {
            return reject(403, "forbidden", "Request rejected: Host header does not address this machine.",
                          "Abgelehnt: fremder Host-Header '" + (hostHeader ? *hostHeader : std::string()) +
                              "' (DNS-Rebinding-Schutz)");
        }
    }
    const std::string* origin = request.header("origin");
    if (origin && !origin->empty() && isForeignOrigin(*origin, context)) {
        return reject(403, "forbidden", "Request rejected: cross-origin request.", "Abgelehnt: fremder Origin '" + *origin + "'");
    }
    // Every spelling the router takes for the endpoint ("/mcp/", "//mcp") is held to the same check.
    if (request.method == HttpMethod::post && matchPattern("/mcp", request.path, nullptr)) {
        const std::string* type = request.header("content-type");
        const std::string_view essence = type ? trimmedAscii(std::string_view(*type).substr(0, type->find(';'))) : std::string_view();
        if (!type || asciiLowered(essence) != "application/json") {
            return reject(400, "bad_request", "MCP expects Content-Type: application/json.",
                          "Abgelehnt: /mcp ohne Content-Type application/json");
        }
    }
    return std::nullopt;
}

std::optional<int64_t> parseContentLength(std::string_view value) {
    if (value.starts_with('+')) {
        value.remove_prefix(1);
        if (value.starts_with('-') || value.starts_with('+')) return std::nullopt;
    }
    int64_t length = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), length);
    if (value.empty() || error != std::errc() || end != value.data() + value.size() || length < 0) return std::nullopt;
    return length;
}

int64_t bodyLimit(const ApiRequest& request) {
    return request.method == HttpMethod::post && request.path == "/api/v1/mail/draft" ? kMailDraftBodyLimitBytes
                                                                                      : kBodyLimitBytes;
}

HeadDecision decideHead(std::string_view head, const RequestContext& context) {
    HeadDecision decision;
    auto parsed = parseRequestHead(head);
    if (!parsed) {
        decision.rejection = reject(400, "bad_request", "Malformed HTTP request");
        return decision;
    }
    decision.request = std::move(*parsed);
    decision.parsed = true;
    const ApiRequest& request = decision.request;
    if (auto rejection = validateRequest(request, context)) {
        decision.validationStatus = rejection->response.statusCode;
        decision.rejection = std::move(rejection);
        return decision;
    }
    if (request.method == HttpMethod::options || request.method == HttpMethod::head) {
        const auto methods = context.allowedMethods ? context.allowedMethods(request.path) : std::vector<HttpMethod>{};
        if (methods.empty()) {
            decision.rejection = reject(404, "not_found", "Resource not found");
            return decision;
        }
        std::string allow;
        for (const HttpMethod method : methods) {
            if (!allow.empty()) allow += ", ";
            allow += methodToken(method);
        }
        decision.rejection = reject(405, "bad_request", "Method not allowed");
        decision.rejection->response.headers["Allow"] = allow;
        return decision;
    }
    if (!context.isAuthorized || !context.isAuthorized(request)) {
        decision.rejection = reject(401, "unauthorized", "Missing or invalid authorization token");
        return decision;
    }
    if (const std::string* encoding = request.header("transfer-encoding");
        encoding && asciiLowered(*encoding).find("chunked") != std::string::npos) {
        decision.rejection = reject(411, "bad_request", "Chunked transfer encoding is not supported — send Content-Length");
        return decision;
    }
    if (const std::string* lengthHeader = request.header("content-length")) {
        const auto length = parseContentLength(*lengthHeader);
        if (!length) {
            decision.rejection = reject(400, "bad_request", "Invalid Content-Length");
            return decision;
        }
        decision.bodyLength = *length;
    }
    const int64_t limit = bodyLimit(request);
    if (decision.bodyLength > limit) {
        decision.rejection = reject(413, "payload_too_large",
                                    "Body of " + std::to_string(decision.bodyLength) + " bytes exceeds the limit of " +
                                        std::to_string(limit) + " bytes");
    }
    return decision;
}

std::string_view reasonPhrase(int statusCode) {
    switch (statusCode) {
        case 200: return "OK";
        case 201: return "Created";
        case 202: return "Accepted";
        case 400: return "Bad Request";
        case 401: return "Unauthorized";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 406: return "Not Acceptable";
        case 409: return "Conflict";
        case 411: return "Length Required";
        case 413: return "Payload Too Large";
        case 431: return "Request Header Fields Too Large";
        case 500: return "Internal Server Error";
        default: return "Unknown";
    }
}

std::string serializeResponse(const ApiResponse& response) {
    const std::string_view body = response.body ? std::string_view(*response.body) : std::string_view();
    std::string message = "HTTP/1.1 " + std::to_string(response.statusCode) + " " + std::string(reasonPhrase(response.statusCode)) + "\r\n";
    bool hasContentType = false;
    for (const auto& [name, value] : response.headers) {
        const std::string lower = asciiLowered(name);
        // The framing is the server's: a handler's own length or encoding would contradict it.
        if (lower == "content-length" || lower == "connection" || lower == "transfer-encoding") continue;
        if (name.empty() || hasUnsafeByte(name) || hasUnsafeByte(value)) continue;
        if (lower == "content-type") hasContentType = true;
        message += name + ": " + value + "\r\n";
    }
    if (!hasContentType) message += "Content-Type: application/json; charset=utf-8\r\n";
    message += "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
    message += body;
    return message;
}

}  // namespace lumidex::api
