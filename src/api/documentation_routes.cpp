// Routes 102-103: the OpenAPI document compiled into the program, and a page that renders it.
#include "api/api_routes.h"

// Defined by the file the build generates from rest-api.yaml.
std::string_view lumidexRestApiYaml();

namespace lumidex::api {
namespace {

constexpr std::string_view kDocsPage = R"(<!DOCTYPE html>
<html>
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Lumidex API</title>
</head>
<body>
<redoc spec-url="/api/v1/openapi.yaml"></redoc>
<script src="https://cdn.redoc.ly/redoc/latest/bundles/redoc.standalone.js"></script>
</body>
</html>
)";

ApiResponse textResponse(std::string_view contentType, std::string_view body) {
    ApiResponse response;
    response.headers["Content-Type"] = std::string(contentType);
    response.body = std::string(body);
    return response;
}

}  // namespace

std::string_view openApiDocument() { return lumidexRestApiYaml(); }

void registerDocumentationRoutes(ApiRouter& router, std::optional<std::string_view> document) {
    router.add(HttpMethod::get, "/api/v1/openapi.yaml", [document](const ApiRequest&) {
        if (!document || document->empty()) return errorResponse(404, "not_found", "OpenAPI spec not found in bundle");
        return textResponse("text/yaml; charset=utf-8", *document);
    });
    router.add(HttpMethod::get, "/api/v1/docs",
               [](const ApiRequest&) { return textResponse("text/html; charset=utf-8", kDocsPage); });
}

}  // namespace lumidex::api
