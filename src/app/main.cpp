#include <CLI/CLI.hpp>

#include <iostream>

#include "app/app_folders.h"
#include "app/folders_command.h"
#include "app/scan_command.h"
#include "app/search_command.h"
#include "app/settings_command.h"
#include "app/shell_command.h"
#include "core/app_log.h"
#include "core/data_directory.h"
#include "core/settings/settings.h"
#include "processing/extractors/extractor_jobs.h"
#include "processing/worker/extraction_worker.h"

int main(int argc, char** argv) {
    // Decoder worker processes run the same executable; they must not touch settings or the data directory.
    if (argc > 1 && argv[1] == lumidex::extractionWorkerFlag) return lumidex::processing::extractorWorkerMain(argc, argv);
    CLI::App app{"Lumidex: desktop document search"};
    bool resetContainer = false;
    app.add_flag("--reset-container", resetContainer, "Move the data directory to the trash before starting");
    lumidex::addSettingsCommands(app);
    lumidex::addFoldersCommand(app);
    lumidex::addScanCommand(app);
    lumidex::addSearchCommand(app, lumidex::storedFolderList());
    lumidex::addDuplicatesCommand(app, lumidex::storedFolderList());
    lumidex::addShellCommand(app);
    CLI11_PARSE(app, argc, argv);

    if (resetContainer) lumidex::resetContainer();
    lumidex::Settings settings = lumidex::Settings::shared();
    settings.ensureIdentifiers();
    if (app.get_subcommands().empty()) {
        std::cout << "Lumidex\n"
                  << "  data directory: " << lumidex::dataDirectory().string() << "\n"
                  << "  settings file:  " << lumidex::SettingsStore::shared().filePath().string() << "\n"
                  << "Run `lumidex shell FOLDER` to index a folder and search it, `lumidex --help` for every command.\n";
    }
    return 0;
}
