#include "api/api_router.h"

#include <algorithm>
#include <exception>
#include <string_view>

#include "core/app_log.h"

namespace lumidex::api {
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
