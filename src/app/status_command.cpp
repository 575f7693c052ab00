#include "app/status_command.h"

#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>

#include "cloud/libreoffice_converter.h"
#include "folders/coordinator/balanced_data_manager.h"
#include "service/index_status.h"

namespace lumidex {
namespace {

void printStatus(const service::FolderIndexStatus& s, const std::string& converterMissing) {
    std::cout << s.folder << '\n'
              << "  documents:        " << s.documents << '\n'
              << "  found by text:    " << s.searchable << '\n'
              << "  passes:           " << service::describePasses(s) << '\n';
    if (s.previewsPending > 0) {
        std::cout << "  previews owed:    " << s.previewsPending << " documents, " << s.previewsOwed
                  << " pages (drawn after the text, or when a page is opened)\n";
    }
    if (s.conversionsPending > 0) {
        std::cout << "  conversions owed: " << s.conversionsPending << " office documents (found by their own text; "
                  << (converterMissing.empty() ? "pages and previews come with the conversion to PDF"
                                               : "converted once there is a converter: " + converterMissing)
                  << ")\n";
    }
    if (s.conversionsFailed > 0) {
        std::cout << "  not converted:    " << s.conversionsFailed
                  << " office documents (found by their own text; the conversion failed, the debug log says why)\n";
    }
    if (s.waiting > 0) std::cout << "  waiting:          " << s.waiting << " (read by the next `lumidex scan`)\n";
    if (s.waitingForOfficeText > 0) {
        std::cout << "  office files:     " << s.waitingForOfficeText << " (found by name; "
                  << (converterMissing.empty() ? "read by the next `lumidex scan`" : "waiting: " + converterMissing) << ")\n";
    }
    if (s.errors + s.locked > 0) {
        std::cout << "  unreadable:       " << s.errors << (s.errors == 1 ? " error, " : " errors, ") << s.locked
                  << " locked (found by name; the debug log says why)\n";
    }
    if (s.notSupported > 0) std::cout << "  not indexed:      " << s.notSupported << " (file type or size)\n";
    if (s.recognitionPending > 0) {
        std::cout << "  recognition owed: " << s.recognitionPending << " documents (the next scan completes it)\n";
    }
    for (const auto& file : s.damagedFilesKeptAside) std::cout << "  damaged index file kept aside: " << file.string() << '\n';
}

}  // namespace

void addStatusCommand(CLI::App& app, search::FolderListFunction folders) {
    auto json = std::make_shared<bool>(false);
    auto* status = app.add_subcommand("status", "What the index of each searchable folder holds and still owes");
    status->add_flag("--json", *json, "Print JSON");
    status->callback([json, folders] {
        const std::string converterMissing = cloud::findOfficeInstallation().missing;
        const auto statuses = service::indexStatus(folders, [](const std::string& root) {
            return folders::folderDataDirectory(root);
        });
        if (*json) {
            std::cout << service::indexStatusJson(statuses, converterMissing) << '\n';
            return;
        }
        if (statuses.empty()) std::cout << "No searchable folders yet: `lumidex folders add PATH`, then `lumidex scan`.\n";
        for (const auto& s : statuses) printStatus(s, converterMissing);
    });
}

}  // namespace lumidex
