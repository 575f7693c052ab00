#include "app/diagnose_command.h"

#include <CLI/CLI.hpp>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/model/date.h"
#include "core/settings/api_server_ports.h"
#include "core/settings/settings.h"
#include "service/diagnosis_report.h"

namespace lumidex {
namespace {

constexpr std::size_t kMaxAnswerBytes = 4 << 20;

struct Answer {
    int status = 0;
    std::string body;
};

// One GET to 127.0.0.1:port; nullopt when nothing answers in HTTP. Never waits more than about a
// second for any step.
std::optional<Answer> loopbackGet(uint16_t port, const std::string& target, const std::string& token) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::nullopt;
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    timeval timeout{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return std::nullopt;

    std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                          "\r\nConnection: close\r\n";
    if (!token.empty()) request += "Authorization: Bearer " + token + "\r\n";
    request += "\r\n";
    for (std::size_t sent = 0; sent < request.size();) {
        const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return std::nullopt;
        sent += static_cast<std::size_t>(n);
    }
    std::string answer;
    char buffer[16384];
    while (answer.size() < kMaxAnswerBytes) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        answer.append(buffer, static_cast<std::size_t>(n));
    }
    const auto headEnd = answer.find("\r\n\r\n");
    if (headEnd == std::string::npos || !answer.starts_with("HTTP/1.1 ") || answer.size() < 12) return std::nullopt;
    Answer result;
    result.status = std::atoi(answer.c_str() + 9);
    result.body = answer.substr(headEnd + 4);
    return result;
}

// The health answer, or (from a server whose health route is missing) the error body every Lumidex
// rejection has; another program on the port answers neither.
bool answersAsLumidex(uint16_t port) {
    const auto answer = loopbackGet(port, "/api/v1/health", "");
    if (!answer) return false;
    const auto body = nlohmann::json::parse(answer->body, nullptr, false);
    if (!body.is_object()) return false;
    if (answer->status == 200) return body.value("status", "") == "ok";
    const auto error = body.find("error");
    return error != body.end() && error->is_object() && error->contains("code") && error->contains("message");
}

std::vector<DiagnosticsCollector::Event> serverEvents(uint16_t port, const std::string& token) {
    std::vector<DiagnosticsCollector::Event> events;
    if (token.empty()) return events;
    const auto reply = loopbackGet(port, "/api/v1/diagnostics/events?limit=50", token);
    const auto answer =
        reply && reply->status == 200 ? nlohmann::json::parse(reply->body, nullptr, false) : nlohmann::json();
    if (!answer.is_object() || !answer.contains("events") || !answer["events"].is_array()) return events;
    for (const auto& event : answer["events"]) {
        if (!event.is_object()) continue;
        // Rounded to the milliseconds the text carries: through nanoseconds .250 would become .249.
        const auto time = parseIso8601(event.value("time", ""));
        events.push_back({time ? std::chrono::time_point_cast<std::chrono::system_clock::duration>(
                                     std::chrono::round<std::chrono::milliseconds>(*time))
                               : std::chrono::system_clock::time_point{},
                          event.value("source", ""), event.value("detail", "")});
    }
    return events;
}

void diagnose(const std::string& output) {
    const Settings settings = Settings::shared();
    const uint16_t activePort = runningServerPort(settings.apiServerPort());
    const auto events = activePort ? serverEvents(activePort, settings.apiServerToken()) : decltype(serverEvents(0, "")){};
    const std::string report = service::diagnosisReport(service::diagnosisFacts(settings, activePort, events));
    if (output.empty()) {
        std::cout << report;
        return;
    }
    std::ofstream file(output, std::ios::binary | std::ios::trunc);
    file << report;
    file.close();
    if (!file) {
        std::cerr << "lumidex diagnose: cannot write " << output << '\n';
        throw CLI::RuntimeError(1);
    }
    std::cout << "Report written to " << output << '\n';
}

}  // namespace

uint16_t runningServerPort(int64_t configuredPort) {
    for (uint16_t port : apiServerPortCandidates(configuredPort)) {
        if (answersAsLumidex(port)) return port;
    }
    return 0;
}

void addDiagnoseCommand(CLI::App& app) {
    auto output = std::make_shared<std::string>();
    auto* command = app.add_subcommand("diagnose", "Print the diagnosis report of the local API server, for support");
    command->add_option("-o,--output", *output, "Write the report to FILE (e.g. lumidex-mcp-diagnose.txt)");
    command->callback([output] { diagnose(*output); });
}

}  // namespace lumidex
