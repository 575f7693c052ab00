// The route table: patterns with ":name" pieces, matched in registration order (first match wins).
//
// Routes are registered before the server starts and only read afterwards, so `handle` and
// `allowedMethods` may run on any number of threads at once without a lock. A handler must not
// throw; one that does is answered with a 500 "internal" error.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "api/api_types.h"

namespace lumidex::api {

using ApiHandler = std::function<ApiResponse(const ApiRequest&)>;

class ApiRouter {
public:
    void add(HttpMethod method, std::string pattern, ApiHandler handler);

    // Dispatches to the first matching route, its path parameters filled in; otherwise 404
    // "No route for METHOD PATH".
    ApiResponse handle(ApiRequest request) const;

    // The distinct methods of every route matching PATH, in route order.
    std::vector<HttpMethod> allowedMethods(const std::string& path) const;

    struct Route {
        HttpMethod method;
        std::string pattern;
        ApiHandler handler;
    };
    const std::vector<Route>& routes() const { return routes_; }

private:
    std::vector<Route> routes_;
};

}  // namespace lumidex::api
