#include "service/build_info.h"

#ifndef LUMIDEX_VERSION
#define LUMIDEX_VERSION "unknown"
#endif
#ifndef LUMIDEX_BUILD_NUMBER
#define LUMIDEX_BUILD_NUMBER "unknown"
#endif

namespace lumidex::service {

std::string_view applicationVersion() { return LUMIDEX_VERSION; }
std::string_view applicationBuildNumber() { return LUMIDEX_BUILD_NUMBER; }

}  // namespace lumidex::service
