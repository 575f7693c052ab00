#include "api/api_routes.h"

namespace lumidex::api {

void registerProcessingSettingsStatusRoutes(ApiRouter& /*router*/, ApiServices& /*services*/) {}

}  // namespace lumidex::api
