#include "app/mcp_command.h"

#include <CLI/CLI.hpp>

#include <iostream>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "app/diagnose_command.h"
#include "app/token_command.h"
#include "core/settings/api_server_ports.h"
#include "core/settings/settings.h"
#include "mcp/claude_desktop_installer.h"

namespace lumidex {
namespace {

using mcp::ClaudeDesktopInstaller;

[[noreturn]] void fail(const std::string& message) {
    std::cerr << message << '\n';
    throw CLI::RuntimeError(1);
}

void install(bool json) {
    // Checked before anything is changed, so that a machine without Claude Desktop keeps its settings.
    const ClaudeDesktopInstaller installer;
    if (!installer.isClaudeInstalled()) {
        fail(mcp::ClaudeDesktopError{mcp::ClaudeDesktopError::Kind::claudeNotInstalled, {}}.message());
    }
    Settings settings = Settings::shared();
    const bool enabledNow = !settings.apiServerEnabled();
    if (enabledNow) {
        if (const auto error = settings.set(SettingsKeys::apiServerEnabledKey, true)) {
            fail("lumidex mcp install: the API server could not be enabled: " + error->message);
        }
    }
    std::string token = settings.apiServerToken();
    const bool tokenCreated = token.empty();
    if (tokenCreated) {
        std::string error;
        const auto created = storeNewApiToken(error);
        if (!created) fail("lumidex mcp install: the new token could not be stored: " + error);
        token = *created;
    }
    const uint16_t runningPort = runningServerPort(settings.apiServerPort());
    const uint16_t port = runningPort ? runningPort : apiServerPortCandidates(settings.apiServerPort()).front();

    if (const auto error = installer.install(token, port)) fail(error->message());

    if (json) {
        std::cout << nlohmann::json{{"configFile", ClaudeDesktopInstaller::configFilePath().string()},
                                    {"command", installer.bridgePath().string()},
                                    {"port", port},
                                    {"serverRunning", runningPort != 0},
                                    {"apiServerEnabledNow", enabledNow},
                                    {"tokenCreated", tokenCreated}}
                         .dump(2)
                  << '\n';
        return;
    }
    if (enabledNow) std::cout << "The API server is now enabled (apiServerEnabledKey).\n";
    if (tokenCreated) std::cout << "A new API token was stored (`lumidex token show` prints it).\n";
    std::cout << "Lumidex is registered with Claude Desktop in " << ClaudeDesktopInstaller::configFilePath().string()
              << "\n  command: " << installer.bridgePath().string() << "\n  port:    " << port << '\n';
    if (runningPort) {
        std::cout << "A Lumidex server answers on port " << port << ".\n";
    } else {
        std::cout << "No Lumidex server is running. Start one with `lumidex serve --api`, or install it as a "
                     "background service with `lumidex service install --api`.\n";
    }
    std::cout << "Restart Claude Desktop to load the change.\n";
}

void status(bool json) {
    const ClaudeDesktopInstaller installer;
    const auto state = installer.status();
    if (json) {
        std::cout << nlohmann::json{{"claudeInstalled", state.claudeInstalled},
                                    {"registered", state.registered},
                                    {"registeredPathMatches", state.registeredPathMatches},
                                    {"configFile", ClaudeDesktopInstaller::configFilePath().string()},
                                    {"bridge", installer.bridgePath().string()}}
                         .dump(2)
                  << '\n';
        return;
    }
    const auto yesNo = [](bool value) { return value ? "yes" : "no"; };
    std::cout << "Claude Desktop installed: " << yesNo(state.claudeInstalled) << '\n'
              << "Registered:               " << yesNo(state.registered) << '\n'
              << "Bridge path matches:      " << yesNo(state.registeredPathMatches) << '\n'
              << "Configuration file:       " << ClaudeDesktopInstaller::configFilePath().string() << '\n'
              << "Bridge:                   " << installer.bridgePath().string() << '\n';
    if (state.registered && !state.registeredPathMatches) {
        std::cout << "The registration names another bridge; run `lumidex mcp install` to update it.\n";
    }
}

}  // namespace

void addMcpCommand(CLI::App& app) {
    auto* command = app.add_subcommand("mcp", "Register Lumidex as an MCP server of Claude Desktop");
    command->require_subcommand(1);
    auto installJson = std::make_shared<bool>(false);
    auto* installCommand = command->add_subcommand(
        "install", "Enable the API server, make a token when none is set and register the MCP bridge with Claude Desktop");
    installCommand->add_flag("--json", *installJson, "Print JSON");
    installCommand->callback([installJson] { install(*installJson); });
    auto statusJson = std::make_shared<bool>(false);
    auto* statusCommand = command->add_subcommand("status", "Show whether Lumidex is registered with Claude Desktop");
    statusCommand->add_flag("--json", *statusJson, "Print JSON");
    statusCommand->callback([statusJson] { status(*statusJson); });
}

}  // namespace lumidex
