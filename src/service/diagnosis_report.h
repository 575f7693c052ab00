// The plain-text diagnosis report support asks for: how the local server is configured, whether it is
// running and on which port, and what it recorded last. Pure functions over plain values, so that the
// report can be built by the running application and by a separate command alike. The access token
// itself never appears; only whether one is set.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "core/diagnostics_collector.h"

namespace lumidex {
class Settings;
}

namespace lumidex::service {

// Everything the diagnosis report says; plain values so that the report can be built anywhere.
struct DiagnosisFacts {
    std::string created;  // ISO date
    std::string version;
    std::string buildNumber;
    std::string system;  // e.g. "Linux 6.1.0"
    bool serverEnabled = false;
    bool allowLan = false;
    int64_t configuredPort = 0;
    int64_t activePort = 0;
    bool tokenSet = false;
    std::vector<DiagnosticsCollector::Event> events;  // oldest first
};

// "2026-01-02T03:04:05.250Z": UTC with milliseconds, computed in whole units (a conversion through
// floating-point seconds would turn .250 into .249).
std::string isoTimeWithMilliseconds(std::chrono::system_clock::time_point time);

// The report, one line each: title, creation date, version, the server block, the recent events.
std::string diagnosisReport(const DiagnosisFacts& facts);
// "Linux " + kernel release.
std::string systemDescription();

// The facts from the settings, this program's version and the system; `activePort` (0: no server
// answers) and `events` come from wherever the server runs.
DiagnosisFacts diagnosisFacts(const Settings& settings, int64_t activePort,
                              std::vector<DiagnosticsCollector::Event> events);

}  // namespace lumidex::service
