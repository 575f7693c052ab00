// The version and build number this program was built as (set by the build).
#pragma once

#include <string_view>

namespace lumidex::service {

std::string_view applicationVersion();
std::string_view applicationBuildNumber();

}  // namespace lumidex::service
