#include "app/service_command.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <vector>

#include "platform/subprocess.h"

extern char** environ;

namespace lumidex {
namespace {

constexpr const char* kUnitName = "lumidex.service";

std::filesystem::path unitPath() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    std::filesystem::path base;
    if (config && *config == '/') {
        base = config;
    } else {
        const char* home = std::getenv("HOME");
        base = std::filesystem::path(home ? home : "/") / ".config";
    }
    return base / "systemd" / "user" / kUnitName;
}

// The systemctl to drive, when there is one.
std::optional<std::filesystem::path> systemctl() {
    const char* chosen = std::getenv("LUMIDEX_SYSTEMCTL");
    return platform::findExecutable(chosen && *chosen ? chosen : "systemctl");
}

// Runs `systemctl --user ARGS...` with its output passed through; its exit code, or -1 when it could
// not be started.
int runSystemctl(const std::filesystem::path& program, std::vector<std::string> arguments, bool quiet = false) {
    arguments.insert(arguments.begin(), {program.string(), "--user"});
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (quiet) {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return -1;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// systemctl when it answers for a user manager (it does not in containers or without a login session).
std::optional<std::filesystem::path> reachableSystemctl() {
    auto program = systemctl();
    if (!program || runSystemctl(*program, {"show-environment"}, true) != 0) return std::nullopt;
    return program;
}

void install(bool withApi) {
    const auto path = unitPath();
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    {
        std::ofstream out(path, std::ios::trunc);
        out << serviceUnitText(std::filesystem::canonical(platform::currentExecutable(), ec), withApi);
        out.close();
        if (ec || !out) {
            std::cerr << "lumidex service: cannot write " << path.string() << '\n';
            throw CLI::RuntimeError(1);
        }
    }
    std::cout << "Wrote " << path.string() << '\n';
    const auto program = reachableSystemctl();
    if (!program) {
        std::cout << "systemctl --user is not available here; to start it at log-in, run:\n"
                  << "  systemctl --user daemon-reload && systemctl --user enable --now " << kUnitName << '\n';
        return;
    }
    const bool reloaded = runSystemctl(*program, {"daemon-reload"}) == 0;
    const bool enabled = reloaded && runSystemctl(*program, {"enable", "--now", kUnitName}) == 0;
    std::cout << (enabled ? "Enabled and started " + std::string(kUnitName) + " (systemctl --user)\n"
                          : "systemctl --user could not enable the unit; see its message above\n");
    if (!enabled) throw CLI::RuntimeError(1);
}

void uninstall() {
    const auto path = unitPath();
    const auto program = reachableSystemctl();
    if (program) runSystemctl(*program, {"disable", "--now", kUnitName});
    std::error_code ec;
    const bool removed = std::filesystem::remove(path, ec);
    if (ec) {
        std::cerr << "lumidex service: cannot remove " << path.string() << ": " << ec.message() << '\n';
        throw CLI::RuntimeError(1);
    }
    std::cout << (removed ? "Removed " + path.string() + "\n" : "No unit at " + path.string() + "\n");
    if (program) runSystemctl(*program, {"daemon-reload"});
}

void status() {
    const auto path = unitPath();
    const bool installed = std::filesystem::exists(path);
    std::cout << "Unit: " << path.string() << (installed ? "" : " (not installed)") << '\n';
    const auto program = reachableSystemctl();
    if (!program) {
        std::cout << "systemctl --user is not available here\n";
        return;
    }
    if (installed) runSystemctl(*program, {"--no-pager", "status", kUnitName});
}

}  // namespace

std::string serviceUnitText(const std::filesystem::path& executable, bool withApi) {
    return "[Unit]\n"
           "Description=Lumidex document search: indexing, watching and the local API\n"
           "\n"
           "[Service]\n"
           "Type=simple\n"
           "ExecStart=" + executable.string() + " serve" + (withApi ? " --api" : "") + "\n"
           "Environment=OMP_THREAD_LIMIT=1\n"
           "Restart=on-failure\n"
           "RestartSec=5\n"
           "\n"
           "[Install]\n"
           "WantedBy=default.target\n";
}

void addServiceCommand(CLI::App& app) {
    auto* service = app.add_subcommand("service", "Install, remove or show the systemd user unit that runs `lumidex serve`");
    service->require_subcommand(1);
    auto withApi = std::make_shared<bool>(false);
    auto* installCommand = service->add_subcommand("install", "Write lumidex.service and enable it when systemctl --user works");
    installCommand->add_flag("--api", *withApi, "serve the local API even when the setting apiServerEnabledKey is off");
    installCommand->callback([withApi] { install(*withApi); });
    service->add_subcommand("uninstall", "Disable and remove lumidex.service")->callback(uninstall);
    service->add_subcommand("status", "Where the unit is and what systemctl --user says of it")->callback(status);
}

}  // namespace lumidex
