// Who answers: the application's name, identifier, version and when its executable was built, as
// health and identity answers report them. Thread-safe; nothing throws except std::bad_alloc.
#pragma once

#include <optional>
#include <string>

#include "core/model/date.h"

namespace lumidex::service {

struct AppIdentity {
    std::string name;         // "Lumidex"
    std::string identifier;   // "veko.lumidex"
    std::string version;      // the release, e.g. "0.1.0"
    std::string buildNumber;  // "unknown" when the build records none
    std::optional<Date> buildTime;  // last modification of the running executable
};

AppIdentity appIdentity();

}  // namespace lumidex::service
