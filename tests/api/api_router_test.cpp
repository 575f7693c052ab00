#include "api/api_router.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace lumidex::api {
namespace {

ApiRouter routerWithFolders() {
    ApiRouter router;
    const auto named = [](std::string name) {
        return [name](const ApiRequest& request) {
            nlohmann::json body{{"route", name}};
            for (const auto& [key, value] : request.pathParameters) body[key] = value;
            return jsonResponse(200, body);
        };
    };
    router.add(HttpMethod::get, "/api/v1/folders", named("list"));
    router.add(HttpMethod::post, "/api/v1/folders", named("add"));
    router.add(HttpMethod::delete_, "/api/v1/folders/:id", named("remove"));
    router.add(HttpMethod::get, "/api/v1/folders/:id/stats", named("stats"));
    router.add(HttpMethod::get, "/api/v1/folders/:id/stats", named("shadowed"));
    return router;
}

ApiRequest requestFor(HttpMethod method, std::string path) {
    ApiRequest request;
    request.method = method;
    request.path = std::move(path);
    return request;
}

TEST(ApiRouter, MatchesPiecesBindsNamesAndIgnoresEmptyPieces) {
    const ApiRouter router = routerWithFolders();
    const auto body = [&](HttpMethod method, const std::string& path) {
        return nlohmann::json::parse(*router.handle(requestFor(method, path)).body);
    };
    EXPECT_EQ(body(HttpMethod::get, "/api/v1/folders/")["route"], "list");
    EXPECT_EQ(body(HttpMethod::get, "//api/v1//folders")["route"], "list");
    EXPECT_EQ(body(HttpMethod::post, "/api/v1/folders")["route"], "add");
    const auto stats = body(HttpMethod::get, "/api/v1/folders/F%2F1/stats");
    EXPECT_EQ(stats["route"], "stats") << "the first registered of two equal routes wins";
    EXPECT_EQ(stats["id"], "F%2F1") << "path parameters are not percent-decoded by the router";
}

TEST(ApiRouter, UnknownPathsAndMethodsAnswerNoRouteWithTheRequestLine) {
    const ApiRouter router = routerWithFolders();
    const auto response = router.handle(requestFor(HttpMethod::get, "/api/v1/Folders"));
    EXPECT_EQ(response.statusCode, 404);
    EXPECT_EQ(nlohmann::json::parse(*response.body),
              (nlohmann::json{{"error", {{"code", "not_found"}, {"message", "No route for GET /api/v1/Folders"}}}}));
    EXPECT_EQ(router.handle(requestFor(HttpMethod::patch, "/api/v1/folders")).statusCode, 404);
}

TEST(ApiRouter, AllowedMethodsAreDistinctAndInRouteOrder) {
    const ApiRouter router = routerWithFolders();
    EXPECT_EQ(router.allowedMethods("/api/v1/folders"), (std::vector<HttpMethod>{HttpMethod::get, HttpMethod::post}));
    EXPECT_EQ(router.allowedMethods("/api/v1/folders/7/stats"), std::vector<HttpMethod>{HttpMethod::get});
    EXPECT_TRUE(router.allowedMethods("/api/v2/folders").empty());
}

TEST(ApiRouter, AThrowingHandlerBecomesAnInternalError) {
    ApiRouter router;
    router.add(HttpMethod::get, "/boom", [](const ApiRequest&) -> ApiResponse { throw std::runtime_error("x"); });
    EXPECT_EQ(router.handle(requestFor(HttpMethod::get, "/boom")).statusCode, 500);
}

}  // namespace
}  // namespace lumidex::api
