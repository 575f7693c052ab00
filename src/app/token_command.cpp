#include "app/token_command.h"

#include <CLI/CLI.hpp>
#include <iostream>

#include "core/settings/settings.h"
#include "core/settings/settings_store.h"
#include "service/settings_service.h"

namespace lumidex {

std::optional<std::string> storeNewApiToken(std::string& error) {
    // The window's generate button makes its tokens the same way.
    service::Refusal refusal{};
    auto value = service::SettingsService(SettingsStore::shared(), {}).newToken(refusal);
    if (!value) error = refusal.message;
    return value;
}

void addTokenCommand(CLI::App& app) {
    auto* token = app.add_subcommand("token", "Make or show the access token of the local API server");
    token->require_subcommand(1);
    token->add_subcommand("new", "Store a new random token (the old one stops working) and print it")->callback([] {
        std::string error;
        const auto value = storeNewApiToken(error);
        if (!value) {
            std::cerr << "lumidex token: the new token could not be stored: " << error << '\n';
            throw CLI::RuntimeError(1);
        }
        std::cout << *value << '\n';
    });
    token->add_subcommand("show", "Print the stored token")->callback([] {
        const std::string value = Settings::shared().apiServerToken();
        if (value.empty()) {
            std::cerr << "No API token is set. Run `lumidex token new` to make one.\n";
            throw CLI::RuntimeError(1);
        }
        std::cout << value << '\n';
    });
}

}  // namespace lumidex
