// The executables as a user runs them: each test has its own HOME and XDG folders, which the commands
// inherit.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <regex>
#include <thread>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

extern char** environ;

#include "support/http_reply.h"
#include "support/temp_home.h"

namespace lumidex {
namespace {
namespace fs = std::filesystem;
using testing::readFile;
using testing::writeFile;

struct Outcome {
    int status = -1;
    std::string output;
};

// Runs `lumidex ARGS` through the shell (arguments are quoted by the caller), stdout and stderr together
// unless only stdout is asked for.
Outcome lumidex(const std::string& arguments, bool withStderr = true) {
    Outcome run;
    const std::string command = "OMP_THREAD_LIMIT=1 '" + std::string(LUMIDEX_BINARY) + "' " + arguments +
                                (withStderr ? " 2>&1" : " 2>/dev/null") + " </dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return run;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) run.output.append(buffer, n);
    run.status = ::pclose(pipe);
    return run;
}

std::string quoted(const fs::path& path) { return "'" + path.string() + "'"; }

class CommandLine : public ::testing::Test {
protected:
    testing::ScopedHome home;
    const fs::path data = home.dataHome() / "lumidexData";
    const fs::path trashed = home.dataHome() / "Trash" / "files";
};

// How many trashed data directories hold a file called `name`.
int trashedCopiesOf(const fs::path& trashFiles, const std::string& name) {
    int count = 0;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(trashFiles, ec)) count += fs::exists(entry.path() / name) ? 1 : 0;
    return count;
}

TEST_F(CommandLine, ResetSwitchEmptiesTheDataDirectoryBeforeTheCommandRuns) {
    const fs::path before = home.home() / "before";
    const fs::path after = home.home() / "after";
    writeFile(before / "alt.txt", "Quittung Walfischbein");
    writeFile(after / "neu.txt", "Quittung Seeigelstachel");
    ASSERT_EQ(lumidex("folders add " + quoted(before)).status, 0);
    ASSERT_EQ(lumidex("scan").status, 0);
    ASSERT_NE(lumidex("search Walfischbein").output.find("alt.txt"), std::string::npos);

    // The command's own work lands in the new data directory and stays there.
    const Outcome shell = lumidex("--reset-container shell " + quoted(after));
    ASSERT_EQ(shell.status, 0) << shell.output;
    EXPECT_NE(lumidex("search Seeigelstachel").output.find("neu.txt"), std::string::npos);
    EXPECT_EQ(lumidex("search Walfischbein").output.find("alt.txt"), std::string::npos);
    const Outcome listed = lumidex("folders list");
    EXPECT_NE(listed.output.find(after.string()), std::string::npos) << listed.output;
    EXPECT_EQ(listed.output.find(before.string()), std::string::npos) << listed.output;

    int expectedCopies = 0;
    for (const std::string& command : std::vector<std::string>{"settings list", "folders list", "search Quittung", "duplicates", "scan",
                                      "folders add " + quoted(before)}) {
        writeFile(data / "marker", command);
        const Outcome run = lumidex("--reset-container " + command);
        EXPECT_NE(run.output.find("Moved the data directory to the trash"), std::string::npos) << command << ": " << run.output;
        EXPECT_FALSE(fs::exists(data / "marker")) << command;
        EXPECT_EQ(trashedCopiesOf(trashed, "marker"), ++expectedCopies) << command;
    }
    // A search word that looks like the switch is only a word.
    writeFile(data / "marker", "kept");
    lumidex("search -- --reset-container");
    EXPECT_EQ(readFile(data / "marker"), "kept");
}

// Scripts read the paths as they are: nothing else on standard output, in the order of the full listing,
// each as the file spells it (here a name stored decomposed, which the index keeps composed).
TEST_F(CommandLine, SearchPathsPrintsOnlyThePathsOfTheHitsShownAsTheFilesSpellThem) {
    const fs::path folder = home.home() / "docs";
    const fs::path decomposed = folder / "Cafe\u0301 b.txt";
    writeFile(decomposed, "Quittung Walfischbein");
    writeFile(folder / "c.txt", "Quittung Seeigelstachel");
    writeFile(folder / "d.txt", "Rechnung Seeigelstachel");
    ASSERT_EQ(lumidex("folders add " + quoted(folder)).status, 0);
    ASSERT_EQ(lumidex("scan").status, 0);
    const Outcome all = lumidex("search --paths --sort a2z Quittung", false);
    EXPECT_EQ(all.status, 0);
    EXPECT_EQ(all.output, decomposed.string() + "\n" + (folder / "c.txt").string() + "\n");
    const Outcome first = lumidex("search --paths --null --sort z2a --limit 1 Quittung");
    EXPECT_EQ(first.output, (folder / "c.txt").string() + std::string(1, '\0') +
                                "lumidex search: showing the first 1 of 2 hits; --limit 0 shows all\n");
    EXPECT_NE(lumidex("search --paths --json Quittung").status, 0);
}

TEST_F(CommandLine, TwoScansStartedTogetherDoTheWorkOnce) {
    const fs::path folder = home.home() / "docs";
    for (int i = 0; i < 40; ++i) writeFile(folder / ("note" + std::to_string(i) + ".txt"), "Zettel Nummer " + std::to_string(i));
    ASSERT_EQ(lumidex("folders add " + quoted(folder)).status, 0);

    // Both start before either has opened a store: they meet in the first scan's schema set-up.
    std::string command = "OMP_THREAD_LIMIT=1 '" + std::string(LUMIDEX_BINARY) + "' scan 2>&1 </dev/null";
    FILE* first = ::popen(command.c_str(), "r");
    FILE* second = ::popen(command.c_str(), "r");
    ASSERT_TRUE(first && second);
    std::string outputs[2];
    FILE* pipes[2] = {first, second};
    int statuses[2];
    for (int k = 0; k < 2; ++k) {
        char buffer[4096];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipes[k])) > 0;) outputs[k].append(buffer, n);
        statuses[k] = ::pclose(pipes[k]);
    }
    EXPECT_EQ(statuses[0], 0) << outputs[0];
    EXPECT_EQ(statuses[1], 0) << outputs[1];
    const std::string both = outputs[0] + outputs[1];
    EXPECT_NE(both.find("new:             40"), std::string::npos) << both;
    EXPECT_NE(both.find("new:             0"), std::string::npos) << "the second scan found the work done: " << both;
    EXPECT_NE(both.find(", which is updating the index, to finish"), std::string::npos) << both;
    EXPECT_EQ(readFile(home.stateHome() / "lumidex" / "app_debug.log").find("duplicate column"), std::string::npos);
}

TEST_F(CommandLine, ADamagedIndexFileIsReportedBySearchAndRebuiltByScan) {
    const fs::path folder = home.home() / "docs";
    std::string filler;
    for (int w = 0; w < 400; ++w) filler += " wort" + std::to_string(w);
    for (int i = 0; i < 60; ++i) writeFile(folder / ("brief" + std::to_string(i) + ".txt"), "Posteingang" + filler);
    ASSERT_EQ(lumidex("folders add " + quoted(folder)).status, 0);
    ASSERT_EQ(lumidex("scan").status, 0);

    // The largest full-text file, cut in half as a crash or a full disk might leave it.
    fs::path largest;
    for (const auto& entry : fs::recursive_directory_iterator(data)) {
        if (entry.path().parent_path().filename() == "balanced_db_fts_v9" && entry.path().extension() == ".sqlite" &&
            (largest.empty() || entry.file_size() > fs::file_size(largest)))
            largest = entry.path();
    }
    ASSERT_FALSE(largest.empty());
    fs::resize_file(largest, fs::file_size(largest) / 2);

    const Outcome damaged = lumidex("search Posteingang --limit 0");
    EXPECT_EQ(WEXITSTATUS(damaged.status), 2) << damaged.output;
    EXPECT_NE(damaged.output.find("could not be read (damaged)"), std::string::npos) << damaged.output;

    const Outcome scan = lumidex("scan");
    EXPECT_EQ(scan.status, 0) << scan.output;
    EXPECT_NE(scan.output.find("damaged index file balanced_db_fts_v9/"), std::string::npos) << scan.output;
    const Outcome repaired = lumidex("search Posteingang --limit 0");
    EXPECT_EQ(repaired.status, 0) << repaired.output;
    EXPECT_NE(repaired.output.find("Found 60 results"), std::string::npos) << repaired.output;
    int keptAside = 0;
    for (const auto& entry : fs::directory_iterator(largest.parent_path()))
        keptAside += entry.path().filename().string().starts_with(largest.filename().string() + ".damaged-") ? 1 : 0;
    EXPECT_EQ(keptAside, 1);
}

// A stand-in for a running server on a loopback port of its own: answers the health check, and the
// events only to the expected token.
TEST_F(CommandLine, WindowOpensOffscreenWithItsFolderAndDesktopInstallAddsTheMenuEntry) {
    const fs::path folder = home.home() / "Papers";
    writeFile(folder / "brief.txt", "Quittung Laternenpfahl");
    // No display needed: Qt's offscreen platform; a TERM closes the window like its close button.
    const auto withoutDisplay = [](const std::string& arguments) {
        Outcome run;
        const std::string command = "env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen OMP_THREAD_LIMIT=1 " +
                                    arguments + " 2>&1 </dev/null";
        FILE* pipe = ::popen(command.c_str(), "r");
        if (!pipe) return run;
        char buffer[4096];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) run.output.append(buffer, n);
        run.status = ::pclose(pipe);
        return run;
    };
    const std::string binary = "'" + std::string(LUMIDEX_BINARY) + "'";
    const Outcome window = withoutDisplay("timeout -k 30 -s TERM 6 " + binary + " window " + quoted(folder));
    EXPECT_NE(window.output.find("Lumidex window open on the platform \"offscreen\""), std::string::npos)
        << window.output;
    EXPECT_EQ(WEXITSTATUS(window.status), 124) << "ran until stopped: " << window.output;
    EXPECT_NE(lumidex("folders list").output.find(folder.string()), std::string::npos) << "FOLDER was added";

    // Without a display, `lumidex` alone still answers in the terminal.
    const Outcome bare = withoutDisplay(binary);
    EXPECT_EQ(bare.status, 0);
    EXPECT_NE(bare.output.find("data directory"), std::string::npos) << bare.output;

    ASSERT_EQ(lumidex("desktop install").status, 0);
    const std::string entry = readFile(home.dataHome() / "applications" / "lumidex.desktop");
    const fs::path executable = fs::canonical(LUMIDEX_BINARY);
    EXPECT_NE(entry.find("\nExec=\"" + executable.string() + "\" window %f\n"), std::string::npos) << entry;
    EXPECT_NE(entry.find("\nIcon=lumidex\n"), std::string::npos);
    EXPECT_NE(readFile(home.dataHome() / "icons/hicolor/scalable/apps/lumidex.svg").find("<svg"), std::string::npos);
}

class FakeServer {
public:
    explicit FakeServer(std::string token) : token_(std::move(token)) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd_, 8) != 0) return;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeServer() {
        ::shutdown(fd_, SHUT_RDWR);
        ::close(fd_);
        if (thread_.joinable()) thread_.join();
    }
    uint16_t port = 0;

private:
    void serve() {
        for (int client; (client = ::accept(fd_, nullptr, nullptr)) >= 0; ::close(client)) {
            std::string head;
            char c;
            while (head.find("\r\n\r\n") == std::string::npos && ::recv(client, &c, 1, 0) == 1) head += c;
            std::string body = R"({"error":{"code":"unauthorized","message":"no"}})";
            std::string status = "401 Unauthorized";
            if (head.starts_with("GET /api/v1/health ")) {
                body = R"({"status":"ok","version":"0.1.0","uptime":1.5})";
                status = "200 OK";
            } else if (head.find("Authorization: Bearer " + token_ + "\r\n") != std::string::npos) {
                body = R"({"events":[{"time":"2026-01-02T03:04:05.250Z","source":"mcp.tool_calls","detail":"search_documents"}]})";
                status = "200 OK";
            }
            const std::string answer = "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) +
                                       "\r\nConnection: close\r\n\r\n" + body;
            ::send(client, answer.data(), answer.size(), MSG_NOSIGNAL);
        }
    }
    std::string token_;
    int fd_ = -1;
    std::thread thread_;
};

TEST_F(CommandLine, DiagnoseFindsTheRunningServerAndListsItsEventsWithoutShowingTheToken) {
    // Whether some other server answers on the default ports of this shared machine is not known here.
    const Outcome alone = lumidex("diagnose");
    EXPECT_EQ(alone.status, 0) << alone.output;

    const std::string token = "5D0C3E2A-9B8F-4A71-8C6D-0E1F2A3B4C5D";
    FakeServer server(token);
    ASSERT_NE(server.port, 0);
    ASSERT_EQ(lumidex("settings set apiServerPortKey " + std::to_string(server.port)).status, 0);
    ASSERT_EQ(lumidex("settings set apiServerTokenKey " + token).status, 0);
    const fs::path saved = home.home() / "lumidex-mcp-diagnose.txt";
    const Outcome run = lumidex("diagnose --output " + quoted(saved));
    ASSERT_EQ(run.status, 0) << run.output;
    const std::string report = readFile(saved);
    EXPECT_NE(report.find("  Port konfiguriert: " + std::to_string(server.port) + "\n  Port aktiv:       " +
                          std::to_string(server.port) + "\n"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("  Token gesetzt:    true\n"), std::string::npos) << report;
    EXPECT_NE(report.find("Letzte Ereignisse (1)\n  2026-01-02T03:04:05.250Z  mcp.tool_calls  search_documents\n"),
              std::string::npos)
        << report;
    EXPECT_EQ(report.find(token), std::string::npos);
    EXPECT_EQ(run.output.find(token), std::string::npos);
}

TEST_F(CommandLine, McpInstallTurnsTheServerOnMakesATokenAndRegistersTheBridgeBesideTheBinary) {
    const fs::path config = home.configHome() / "Claude" / "claude_desktop_config.json";
    writeFile(config, "[]");
    FakeServer server("not-the-stored-token");
    ASSERT_NE(server.port, 0);
    ASSERT_EQ(lumidex("settings set apiServerPortKey " + std::to_string(server.port)).status, 0);
    const Outcome refused = lumidex("mcp install");
    EXPECT_EQ(refused.status, 1 << 8);
    EXPECT_NE(refused.output.find("claude_desktop_config.json is not valid JSON."), std::string::npos) << refused.output;
    EXPECT_EQ(readFile(config), "[]");

    writeFile(config, R"({"mcpServers": {"other": {"command": "/opt/other"}}})");
    const Outcome installed = lumidex("mcp install");
    ASSERT_EQ(installed.status, 0) << installed.output;
    EXPECT_EQ(lumidex("settings get apiServerEnabledKey").output, "true\n");
    const std::string token = lumidex("token show").output.substr(0, 36);
    const auto written = nlohmann::json::parse(readFile(config));
    EXPECT_EQ(written["mcpServers"]["other"]["command"], "/opt/other");
    EXPECT_EQ(written["mcpServers"]["lumidex"],
              nlohmann::json({{"command", (fs::path(LUMIDEX_BINARY).parent_path() / "lumidex-mcp").string()},
                              {"env", {{"LMX_TOKEN", token}, {"LMX_PORT", std::to_string(server.port)}}}}));
    EXPECT_EQ(installed.output.find(token), std::string::npos) << "the token is not printed";

    const auto status = nlohmann::json::parse(lumidex("mcp status --json").output, nullptr, false);
    EXPECT_EQ(status.value("registered", false), true) << status;
    EXPECT_EQ(status.value("registeredPathMatches", false), true) << status;
}

// A port nothing listens on right now (the kernel's pick, released at once).
uint16_t freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

// The whole answer to a plain GET on loopback, with the bearer token when one is given.
std::string httpGet(uint16_t port, const std::string& path, const std::string& token = "") {
    return lumidex::testing::loopbackExchange(port, "GET " + path + " HTTP/1.1\r\nHost: localhost\r\n" +
                                                        (token.empty() ? "" : "Authorization: Bearer " + token + "\r\n") +
                                                        "\r\n");
}

std::string statusLine(uint16_t port, const std::string& path) {
    const std::string answer = httpGet(port, path);
    return answer.substr(0, answer.find("\r\n"));
}

TEST_F(CommandLine, TokenIsMadeAndShownButNeverLoggedAndServeStopsCleanlyOnTerm) {
    EXPECT_NE(lumidex("token show").status, 0) << "no token yet";
    const Outcome made = lumidex("token new");
    ASSERT_EQ(made.status, 0) << made.output;
    const std::string token = made.output.substr(0, made.output.find('\n'));
    EXPECT_TRUE(std::regex_match(token, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}"))) << token;
    EXPECT_EQ(lumidex("token show").output, token + "\n");
    EXPECT_NE(lumidex("token new").output, made.output) << "a new token replaces the old one";

    const fs::path folder = home.home() / "docs";
    writeFile(folder / "note.txt", "Zettel Seeigelstachel");
    ASSERT_EQ(lumidex("folders add " + quoted(folder)).status, 0);
    const uint16_t port = freePort();
    ASSERT_EQ(lumidex("settings set apiServerPortKey " + std::to_string(port)).status, 0);

    const fs::path output = home.home() / "serve.out";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    const char* argv[] = {LUMIDEX_BINARY, "serve", "--api", nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, LUMIDEX_BINARY, &actions, nullptr, const_cast<char* const*>(argv), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    struct Reaper {  // a failed expectation must not leave the server running
        pid_t pid;
        ~Reaper() {
            if (::waitpid(pid, nullptr, WNOHANG) == 0) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, nullptr, 0);
            }
        }
    } reaper{pid};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (readFile(output).find("watching the folders") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const std::string started = readFile(output);
    EXPECT_NE(started.find("API server listening on 127.0.0.1:" + std::to_string(port)), std::string::npos) << started;
    EXPECT_NE(started.find("lumidex token show"), std::string::npos) << started;
    EXPECT_TRUE(statusLine(port, "/api/v1/info").starts_with("HTTP/1.1 401")) << "protected without the token";
    EXPECT_NE(lumidex("search Seeigelstachel").output.find("note.txt"), std::string::npos) << "indexed while serving";
    const std::string current = lumidex("token show").output.substr(0, 36);
    const std::string diagnosis = httpGet(port, "/api/v1/diagnostics", current);
    EXPECT_NE(diagnosis.find(R"("main_thread_responsive":true)"), std::string::npos)
        << "the main thread runs the probe's task while serving: " << diagnosis;

    ::kill(pid, SIGTERM);
    int status = -1;
    for (int i = 0; i < 200 && ::waitpid(pid, &status, WNOHANG) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(WIFEXITED(status)) << "still running or killed: " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const std::string all = readFile(output);
    EXPECT_NE(all.find("Stopped."), std::string::npos) << all;
    EXPECT_EQ(all.find(token), std::string::npos);
    EXPECT_EQ(statusLine(port, "/api/v1/health"), "") << "the listener is gone";
    EXPECT_EQ(readFile(home.stateHome() / "lumidex" / "app_debug.log").find(lumidex("token show").output.substr(0, 36)),
              std::string::npos)
        << "the token is never logged";
}

TEST_F(CommandLine, ServiceInstallWritesTheUserUnitAndEnablesItOnlyWhereSystemctlAnswers) {
    const fs::path unit = home.configHome() / "systemd" / "user" / "lumidex.service";
    const fs::path calls = home.home() / "systemctl.calls";
    const fs::path fake = home.home() / "fake-systemctl";
    writeFile(fake, "#!/bin/sh\necho \"$*\" >> '" + calls.string() + "'\n");
    fs::permissions(fake, fs::perms::owner_all);
    struct Unset {
        ~Unset() { ::unsetenv("LUMIDEX_SYSTEMCTL"); }
    } unset;

    ::setenv("LUMIDEX_SYSTEMCTL", (home.home() / "no-systemctl-here").c_str(), 1);
    const Outcome without = lumidex("service install");
    ASSERT_EQ(without.status, 0) << without.output;
    EXPECT_NE(without.output.find("systemctl --user is not available"), std::string::npos) << without.output;
    const std::string text = readFile(unit);
    EXPECT_NE(text.find("ExecStart=" + fs::canonical(LUMIDEX_BINARY).string() + " serve\n"), std::string::npos) << text;
    EXPECT_NE(text.find("WantedBy=default.target"), std::string::npos) << text;

    ::setenv("LUMIDEX_SYSTEMCTL", fake.c_str(), 1);
    const Outcome with = lumidex("service install --api");
    ASSERT_EQ(with.status, 0) << with.output;
    EXPECT_NE(readFile(unit).find(" serve --api\n"), std::string::npos);
    EXPECT_EQ(readFile(calls), "--user show-environment\n--user daemon-reload\n--user enable --now lumidex.service\n");

    fs::remove(calls);
    const Outcome removed = lumidex("service uninstall");
    ASSERT_EQ(removed.status, 0) << removed.output;
    EXPECT_FALSE(fs::exists(unit));
    EXPECT_EQ(readFile(calls),
              "--user show-environment\n--user disable --now lumidex.service\n--user daemon-reload\n");
    EXPECT_NE(lumidex("service status").output.find("(not installed)"), std::string::npos);
}

}  // namespace
}  // namespace lumidex
