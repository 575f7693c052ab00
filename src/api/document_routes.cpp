#include "api/api_routes.h"

namespace lumidex::api {

void registerSearchDocumentFolderRoutes(ApiRouter& /*router*/, ApiServices& /*services*/) {}

}  // namespace lumidex::api
