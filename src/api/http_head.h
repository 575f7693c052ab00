// The wire format of the local server, without any socket: parsing a request head into an ApiRequest,
// the checks made on a head before any handler runs (host, origin, token, length), and the bytes of a
// response. Pure functions over their arguments; safe on any thread. Nothing here throws on hostile
// input (the head parser is fuzzed); only allocation failure escapes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "api/api_types.h"

namespace lumidex::api {

inline constexpr std::size_t kMaxHeadBytes = 65536;       // more without a blank line: 431
inline constexpr std::size_t kReceiveChunkBytes = 65536;  // one receive takes at most this much
inline constexpr int64_t kBodyLimitBytes = 16777216;       // 16 MiB
inline constexpr int64_t kMailDraftBodyLimitBytes = 67108864;  // 64 MiB, drafts carry attachments

// The head (every byte before the first CR LF CR LF) as a request without body, or none when it is not
// UTF-8, its request line has fewer than two words or the method is unknown. Header names are trimmed
// and lower-cased, values trimmed; a repeated header keeps its last value; lines without ":" are skipped.
std::optional<ApiRequest> parseRequestHead(std::string_view head);

// The query (after the first "?"): pieces split at "&", empty ones skipped, each at its first "=" into a
// percent-decoded key and value. A piece without "=" is a key with an empty value; a repeated key keeps
// its last value.
std::map<std::string, std::string> parseQuery(std::string_view query);
// "%41" becomes "A"; "+" stays "+". Text with a broken escape, or decoding to bytes that are not UTF-8,
// is returned unchanged.
std::string percentDecode(std::string_view text);

bool isUtf8(std::string_view bytes);

// The host name a Host header (or the part of an Origin after "://") names: "[v6]:port" gives "v6" (none
// when "]" is missing), "name:port" gives "name" unless the text holds "::", anything else is itself.
std::optional<std::string> hostOfAuthority(std::string_view value);

// Whether REQUEST may pass with EXPECTED as the stored token: the open paths (health, docs, the OpenAPI
// document, /mcp, which checks the token itself) always; otherwise "authorization" must be "Bearer "
// (exact case) + a non-empty token equal to EXPECTED, compared in constant time. An empty EXPECTED
// admits no request to a protected path.
bool isAuthorizedWithToken(const ApiRequest& request, std::string_view expected);
// Equality whose running time depends only on the lengths, not on where the bytes differ.
bool constantTimeEquals(std::string_view a, std::string_view b);

// What the checks before the handler need to know, read once per request by the caller.
struct RequestContext {
    bool allowLan = false;      // other machines may connect: the Host check is skipped
    std::string localHostName;  // this machine's name, lower-cased; empty when unknown
    // Whether the request carries the right token (see ApiAuthManager).
    std::function<bool(const ApiRequest&)> isAuthorized;
    // The methods of the routes matching a path (ApiRouter::allowedMethods).
    std::function<std::vector<HttpMethod>(const std::string&)> allowedMethods;
};

// An answer made without a handler, with the line to log (empty: nothing to log).
struct Rejection {
    ApiResponse response;
    std::string logLine;
};

// Host, origin and, for POST /mcp, the content type. Runs for every request, OPTIONS and HEAD included.
std::optional<Rejection> validateRequest(const ApiRequest& request, const RequestContext& context);

// The Content-Length value as a signed decimal ("+5" is 5); none for anything else or a negative value.
std::optional<int64_t> parseContentLength(std::string_view value);
// 64 MiB for POST /api/v1/mail/draft, 16 MiB for every other request.
int64_t bodyLimit(const ApiRequest& request);

// Every decision the server makes from a head, in its order: parse (400), validation (403/400),
// OPTIONS/HEAD (404/405), token (401), chunked (411), Content-Length (400) and its limit (413).
struct HeadDecision {
    std::optional<Rejection> rejection;  // set: send it and close
    ApiRequest request;                  // otherwise: read bodyLength bytes, then dispatch
    int64_t bodyLength = 0;
    bool parsed = false;                 // the head parsed: `request` holds it even when rejected
    int validationStatus = 0;            // the status validateRequest rejected it with, 0 when it passed
};
HeadDecision decideHead(std::string_view head, const RequestContext& context);

// "OK", "Not Found", ... and "Unknown" for a code without a phrase here.
std::string_view reasonPhrase(int statusCode);
// The full response message: status line, the response's headers (any whose name or value holds NUL,
// CR or LF left out; its own Content-Length, Connection and Transfer-Encoding replaced), a default JSON
// Content-Type, Content-Length, "Connection: close", a blank line and the body.
std::string serializeResponse(const ApiResponse& response);

}  // namespace lumidex::api
