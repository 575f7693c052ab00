#include "service/diagnosis_report.h"

#include <sys/utsname.h>

#include <cstdio>
#include <sstream>

#include "core/model/date.h"
#include "core/settings/settings.h"
#include "service/app_identity.h"

namespace lumidex::service {

std::string isoTimeWithMilliseconds(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const auto millis = floor<milliseconds>(time);
    const auto whole = floor<seconds>(millis);
    std::string text = iso8601String(dateFromSecondsSince1970(static_cast<double>(whole.time_since_epoch().count())));
    char fraction[8];
    std::snprintf(fraction, sizeof fraction, ".%03d", static_cast<int>((millis - whole).count()));
    text.insert(text.size() - 1, fraction);
    return text;
}

std::string systemDescription() {
    struct utsname names {};
    if (::uname(&names) != 0) return "Linux";
    return std::string(names.sysname) + " " + names.release;
}

std::string diagnosisReport(const DiagnosisFacts& facts) {
    const auto flag = [](bool value) { return value ? "true" : "false"; };
    std::ostringstream out;
    out << "Lumidex — MCP-Diagnose\n"
        << "Erstellt: " << facts.created << '\n'
        << "Version: " << facts.version << " (" << facts.buildNumber << "), " << facts.system << '\n'
        << '\n'
        << "Server\n"
        << "  aktiviert:        " << flag(facts.serverEnabled) << '\n'
        << "  Bindeadresse:     " << (facts.allowLan ? "0.0.0.0" : "127.0.0.1") << '\n'
        << "  Port konfiguriert: " << facts.configuredPort << '\n'
        << "  Port aktiv:       " << facts.activePort << '\n'
        << "  LAN erlaubt:      " << flag(facts.allowLan) << '\n'
        << "  Token gesetzt:    " << flag(facts.tokenSet) << '\n'
        << "  Protokollversion: 2025-06-18\n"
        << '\n'
        << "Letzte Ereignisse (" << facts.events.size() << ")\n";
    for (const auto& event : facts.events) {
        out << "  " << isoTimeWithMilliseconds(event.time) << "  " << event.source << "  " << event.detail
            << '\n';
    }
    return out.str();
}

DiagnosisFacts diagnosisFacts(const Settings& settings, int64_t activePort,
                              std::vector<DiagnosticsCollector::Event> events) {
    DiagnosisFacts facts;
    facts.created = iso8601String(now());
    AppIdentity app = appIdentity();
    facts.version = std::move(app.version);
    facts.buildNumber = std::move(app.buildNumber);
    facts.system = systemDescription();
    facts.serverEnabled = settings.apiServerEnabled();
    facts.allowLan = settings.apiServerAllowLan();
    facts.configuredPort = settings.apiServerPort();
    facts.activePort = activePort;
    facts.tokenSet = !settings.apiServerToken().empty();
    facts.events = std::move(events);
    return facts;
}

}  // namespace lumidex::service
