// The ports the local API server tries, shared by the server and by the commands that look for it.
#pragma once

#include <cstdint>
#include <vector>

namespace lumidex {

inline constexpr uint16_t kDefaultApiServerPort = 44477;

// The configured port (44477 when outside 1024...65535), then 44477, 44478 and 44479, each left out
// when it is the configured one.
inline std::vector<uint16_t> apiServerPortCandidates(int64_t configuredPort) {
    const uint16_t first = configuredPort < 1024 || configuredPort > 65535 ? kDefaultApiServerPort
                                                                          : static_cast<uint16_t>(configuredPort);
    std::vector<uint16_t> ports{first};
    for (const uint16_t fallback : {uint16_t{44477}, uint16_t{44478}, uint16_t{44479}}) {
        if (fallback != first) ports.push_back(fallback);
    }
    return ports;
}

}  // namespace lumidex
