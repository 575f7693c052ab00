// The values a request and a response are made of, shared by the transport, the router and every
// handler. Plain values: copy freely, no thread affinity.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace lumidex::api {

enum class HttpMethod { get, post, put, delete_, patch, options, head };

// The method for an exact (case-sensitive) request-line token, or none.
std::optional<HttpMethod> methodFromToken(std::string_view token);
std::string_view methodToken(HttpMethod method);

struct ApiRequest {
    HttpMethod method = HttpMethod::get;
    std::string path;                                   // target up to the first "?", not percent-decoded
    std::map<std::string, std::string> headers;          // names lower-cased, values trimmed
    std::optional<std::string> body;                     // none when Content-Length is 0 or absent
    std::map<std::string, std::string> pathParameters;   // filled by the router from ":name" pieces
    std::map<std::string, std::string> queryParameters;  // percent-decoded

    // The header's value, or none (NAME lower-case).
    const std::string* header(const std::string& name) const;
    const std::string* query(const std::string& name) const;
};

struct ApiResponse {
    int statusCode = 200;
    std::map<std::string, std::string> headers;
    std::optional<std::string> body;
};

// 200-style answer whose body is VALUE as compact JSON (keys in the object's own order).
ApiResponse jsonResponse(int statusCode, const nlohmann::json& value);
// The error body every rejection uses: {"error":{"code":CODE,"message":MESSAGE}}.
ApiResponse errorResponse(int statusCode, std::string_view code, std::string_view message);

// Whether PATH matches PATTERN ("/a/:id/b"); empty pieces are dropped on both sides, so a trailing
// slash does not matter; other pieces compare case-sensitively. Bound names go to PARAMETERS.
bool matchPattern(const std::string& pattern, const std::string& path,
                  std::map<std::string, std::string>* parameters);

}  // namespace lumidex::api
