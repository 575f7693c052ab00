#include "app/command_line.h"

#include <CLI/CLI.hpp>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string_view>

#include "app/app_folders.h"
#include "app/desktop_command.h"
#include "app/diagnose_command.h"
#include "app/folders_command.h"
#include "app/mail_command.h"
#include "app/mcp_command.h"
#include "app/search_command.h"
#include "app/service_command.h"
#include "app/settings_command.h"
#include "app/status_command.h"
#include "app/token_command.h"
#include "core/data_directory.h"
#include "core/settings/settings.h"

namespace lumidex {

namespace {

// The switch belongs to the program, so it stands before the command; later words are the command's
// (a search for "--reset-container" must not empty the index).
bool asksForReset(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == kResetContainerArgument) return true;
        if (!argument.starts_with('-') || argument == "--") return false;
    }
    return false;
}

}  // namespace

int runCommandLine(int argc, char** argv, const std::function<void(CLI::App&)>& addMore) {
    // Before anything opens a store or runs a command: the command then works on a new, empty data
    // directory. CLI11 runs a subcommand's callback while parsing, so this cannot wait for the parse.
    if (asksForReset(argc, argv)) resetContainer();
    CLI::App app{"Lumidex: desktop document search"};
    bool reset = false;  // acted on above; declared so that --help lists it and the parser accepts it
    app.add_flag(std::string(kResetContainerArgument), reset, "Move the data directory to the trash before starting");
    addSettingsCommands(app);
    addFoldersCommand(app);
    addSearchCommand(app, storedFolderList(), configuredMailSearchSource);
    addDuplicatesCommand(app, storedFolderList());
    addStatusCommand(app, storedFolderList());
    addDiagnoseCommand(app);
    addTokenCommand(app);
    addServiceCommand(app);
    addMcpCommand(app);
    addDesktopCommand(app);
    addMailCommand(app);
    if (addMore) addMore(app);
    CLI11_PARSE(app, argc, argv);

    Settings settings = Settings::shared();
    settings.ensureIdentifiers();
    if (app.get_subcommands().empty()) {
        std::cout << "Lumidex\n"
                  << "  data directory: " << dataDirectory().string() << "\n"
                  << "  settings file:  " << SettingsStore::shared().filePath().string() << "\n"
                  << "Run `lumidex shell FOLDER` to index a folder and search it, `lumidex --help` for every command.\n";
    }
    return 0;
}

bool isIndexerCommandLine(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument.starts_with("--extraction-worker")) return true;
        if (argument.starts_with('-')) continue;  // the options before the command are flags
        return argument == "scan" || argument == "shell" || argument == "serve" || argument == "window" ||
               argument == "convert-service";
    }
    return false;
}

bool displayNamed() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') return true;
    }
    return false;
}

int execIndexer(char** argv) {
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    const std::filesystem::path indexer = (ec ? std::filesystem::path(argv[0]) : self).parent_path() / indexerExecutableName;
    ::execv(indexer.c_str(), argv);
    std::cerr << "lumidex: cannot start " << indexer.string() << ": " << std::strerror(errno) << '\n';
    return 127;
}

}  // namespace lumidex
