// The OpenAPI document the server serves describes exactly the routes the router has, and marks as
// open exactly the operations that answer without a token. The window's routes (tagged "window") are
// added only by the window, so a server without one must not have them; tests/ui checks the window's.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>
#include <utility>

#include "api/http_head.h"
#include "index_fixture.h"

namespace lumidex::api::testing {
namespace {

struct Operation {
    std::string method;   // upper case, as on the wire
    std::string pattern;  // with ":name" pieces, as the router writes them
    bool open = false;    // `security: []`
    bool window = false;  // `tags: [window]`
    auto operator<=>(const Operation& other) const { return std::tie(method, pattern) <=> std::tie(other.method, other.pattern); }
};

// Reads the document's layout as written: paths two blanks in, methods four, their keys six.
std::set<Operation> documentedOperations(std::string_view yaml) {
    std::set<Operation> operations;
    std::istringstream lines{std::string(yaml)};
    const std::regex pathLine(R"(^  (/\S*):\s*$)"), methodLine(R"(^    (get|put|post|delete|patch|options|head):\s*$)");
    std::string line, path;
    std::optional<Operation> current;
    bool inPaths = false;
    const auto flush = [&] {
        if (current) operations.insert(*current);
        current.reset();
    };
    while (std::getline(lines, line)) {
        if (!line.empty() && line[0] != ' ') {
            flush();
            inPaths = line == "paths:";
            continue;
        }
        if (!inPaths) continue;
        std::smatch match;
        if (std::regex_match(line, match, pathLine)) {
            flush();
            path = std::regex_replace(match[1].str(), std::regex(R"(\{(\w+)\})"), ":$1");
        } else if (std::regex_match(line, match, methodLine)) {
            flush();
            std::string method = match[1];
            for (char& c : method) c = static_cast<char>(c - 'a' + 'A');
            current = Operation{method, path};
        } else if (current && line == "      security: []") {
            current->open = true;
        } else if (current && line == "      tags: [window]") {
            current->window = true;
        }
    }
    flush();
    return operations;
}

class OpenApiDocument : public IndexFixture {};

TEST_F(OpenApiDocument, DescribesEveryRouteAndNoOtherWithTheOpenOnesMarked) {
    file("a.txt");
    startIndex();
    ApiRouter full;
    registerRoutes(full, services);

    const std::set<Operation> documented = documentedOperations(openApiDocument());
    std::set<Operation> routed;
    for (const auto& route : full.routes()) routed.insert({std::string(methodToken(route.method)), route.pattern});
    for (const Operation& operation : routed) {
        EXPECT_TRUE(documented.contains(operation)) << "undocumented route " << operation.method << ' ' << operation.pattern;
    }
    for (const Operation& operation : documented) {
        EXPECT_EQ(routed.contains(operation), !operation.window)
            << (operation.window ? "a window route without a window " : "documented but not routed ") << operation.method
            << ' ' << operation.pattern;
        ApiRequest request;
        request.path = operation.pattern;
        EXPECT_EQ(operation.open, isAuthorizedWithToken(request, "token")) << operation.pattern;
    }
}

TEST(DocumentationRoutes, ServeTheDocumentThePageAndTheMissingDocumentAnswer) {
    ApiRouter router;
    registerDocumentationRoutes(router, openApiDocument());
    ApiRequest request;
    request.path = "/api/v1/openapi.yaml";
    const ApiResponse yaml = router.handle(request);
    EXPECT_EQ(yaml.statusCode, 200);
    EXPECT_EQ(yaml.headers.at("Content-Type"), "text/yaml; charset=utf-8");
    EXPECT_TRUE(yaml.body->starts_with("openapi: 3.")) << "the compiled-in copy is the whole file";

    request.path = "/api/v1/docs";
    const ApiResponse page = router.handle(request);
    EXPECT_EQ(page.headers.at("Content-Type"), "text/html; charset=utf-8");
    EXPECT_NE(page.body->find("<title>Lumidex API</title>"), std::string::npos);
    EXPECT_NE(page.body->find(R"(spec-url="/api/v1/openapi.yaml")"), std::string::npos);

    ApiRouter without;
    registerDocumentationRoutes(without, std::nullopt);
    request.path = "/api/v1/openapi.yaml";
    const ApiResponse missing = without.handle(request);
    EXPECT_EQ(missing.statusCode, 404);
    EXPECT_EQ(nlohmann::json::parse(*missing.body)["error"]["message"], "OpenAPI spec not found in bundle");
}

}  // namespace
}  // namespace lumidex::api::testing
