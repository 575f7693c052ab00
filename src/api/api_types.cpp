#include "api/api_types.h"

#include <algorithm>
#include <array>
#include <nlohmann/json.hpp>
#include <utility>
#include <vector>

namespace lumidex::api {
namespace {

constexpr std::array<std::pair<HttpMethod, std::string_view>, 7> kMethods{{
    {HttpMethod::get, "GET"},
    {HttpMethod::post, "POST"},
    {HttpMethod::put, "PUT"},
    {HttpMethod::delete_, "DELETE"},
    {HttpMethod::patch, "PATCH"},
    {HttpMethod::options, "OPTIONS"},
    {HttpMethod::head, "HEAD"},
}};

}  // namespace

std::optional<HttpMethod> methodFromToken(std::string_view token) {
    for (const auto& [method, name] : kMethods) {
        if (name == token) return method;
    }
    return std::nullopt;
}

std::string_view methodToken(HttpMethod method) {
    for (const auto& [candidate, name] : kMethods) {
        if (candidate == method) return name;
    }
    return "GET";
}

const std::string* ApiRequest::header(const std::string& name) const {
    const auto found = headers.find(name);
    return found == headers.end() ? nullptr : &found->second;
}

const std::string* ApiRequest::query(const std::string& name) const {
    const auto found = queryParameters.find(name);
    return found == queryParameters.end() ? nullptr : &found->second;
}

ApiResponse jsonResponse(int statusCode, const nlohmann::json& value) {
    ApiResponse response;
    response.statusCode = statusCode;
    try {
        // Replace invalid UTF-8 (file names can hold any bytes) instead of failing the whole answer.
        response.body = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    } catch (const nlohmann::json::exception&) {
        return errorResponse(500, "internal", "Failed to serialize");
    }
    return response;
}

ApiResponse errorResponse(int statusCode, std::string_view code, std::string_view message) {
    nlohmann::json detail = nlohmann::json::object();
    detail["code"] = std::string(code);
    detail["message"] = std::string(message);
    ApiResponse response;
    response.statusCode = statusCode;
    response.body = nlohmann::json{{"error", detail}}.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return response;
}

namespace {

std::vector<std::string_view> pieces(std::string_view text) {
    std::vector<std::string_view> result;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = std::min(text.find('/', start), text.size());
        if (end > start) result.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return result;
}

}  // namespace

bool matchPattern(const std::string& pattern, const std::string& path,
                  std::map<std::string, std::string>* parameters) {
    const auto want = pieces(pattern);
    const auto have = pieces(path);
    if (want.size() != have.size()) return false;
    std::map<std::string, std::string> bound;
    for (size_t i = 0; i < want.size(); ++i) {
        if (want[i].front() == ':') {
            bound.emplace(std::string(want[i].substr(1)), std::string(have[i]));
        } else if (want[i] != have[i]) {
            return false;
        }
    }
    if (parameters) *parameters = std::move(bound);
    return true;
}

}  // namespace lumidex::api
