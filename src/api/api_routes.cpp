#include "api/api_routes.h"

namespace lumidex::api {

void registerRoutes(ApiRouter& router, ApiServices& services) {
    registerSearchDocumentFolderRoutes(router, services);
    registerProcessingSettingsStatusRoutes(router, services, [&] { registerMailRoutes(router, services); });
    registerDocumentationRoutes(router, openApiDocument());
}

}  // namespace lumidex::api
