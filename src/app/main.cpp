#include <CLI/CLI.hpp>

#include <iostream>

#include "app/settings_command.h"
#include "core/app_log.h"
#include "core/data_directory.h"
#include "core/settings/settings.h"

int main(int argc, char** argv) {
    CLI::App app{"Lumidex: desktop document search"};
    bool resetContainer = false;
    app.add_flag("--reset-container", resetContainer, "Move the data directory to the trash before starting");
    lumidex::addSettingsCommands(app);
    CLI11_PARSE(app, argc, argv);

    if (resetContainer) lumidex::resetContainer();
    lumidex::Settings settings = lumidex::Settings::shared();
    settings.ensureIdentifiers();
    if (app.get_subcommands().empty()) {
        std::cout << "Lumidex\n"
                  << "  data directory: " << lumidex::dataDirectory().string() << "\n"
                  << "  settings file:  " << lumidex::SettingsStore::shared().filePath().string() << "\n"
                  << "Run `lumidex settings list` to see every setting with its value.\n";
    }
    return 0;
}
