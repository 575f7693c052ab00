#include "api/api_router.h"

#include <algorithm>
#include <exception>
#include <string_view>

#include "core/app_log.h"

namespace lumidex::api {
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

void ApiRouter::add(HttpMethod method, std::string pattern, ApiHandler handler) {
    routes_.push_back(Route{method, std::move(pattern), std::move(handler)});
}

ApiResponse ApiRouter::handle(ApiRequest request) const {
    for (const Route& route : routes_) {
        if (route.method != request.method) continue;
        if (!matchPattern(route.pattern, request.path, &request.pathParameters)) continue;
        try {
            return route.handler(request);
        } catch (const std::exception& error) {
            appLog(std::string("[api] handler for ") + route.pattern + " failed: " + error.what());
            return errorResponse(500, "internal", "Internal error");
        }
    }
    return errorResponse(404, "not_found",
                         "No route for " + std::string(methodToken(request.method)) + " " + request.path);
}

std::vector<HttpMethod> ApiRouter::allowedMethods(const std::string& path) const {
    std::vector<HttpMethod> methods;
    for (const Route& route : routes_) {
        if (!matchPattern(route.pattern, path, nullptr)) continue;
        if (std::find(methods.begin(), methods.end(), route.method) == methods.end()) methods.push_back(route.method);
    }
    return methods;
}

}  // namespace lumidex::api
