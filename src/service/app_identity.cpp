#include "service/app_identity.h"

#include <filesystem>
#include <system_error>

#ifndef LUMIDEX_VERSION
#define LUMIDEX_VERSION "unknown"
#endif
#ifndef LUMIDEX_BUILD_NUMBER
#define LUMIDEX_BUILD_NUMBER "unknown"
#endif

namespace lumidex::service {

namespace {

AppIdentity readIdentity() {
    AppIdentity identity{"Lumidex", "veko.lumidex", LUMIDEX_VERSION, LUMIDEX_BUILD_NUMBER, std::nullopt};
    std::error_code ec;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return identity;
    const auto modified = std::filesystem::last_write_time(executable, ec);
    if (ec) return identity;
    identity.buildTime = dateFromSystemClock(
        std::chrono::time_point_cast<std::chrono::system_clock::duration>(std::chrono::file_clock::to_sys(modified)));
    return identity;
}

}  // namespace

AppIdentity appIdentity() {
    // Read once: health answers ask on every request, and the executable's time does not change.
    static const AppIdentity identity = readIdentity();
    return identity;
}

}  // namespace lumidex::service
