// `lumidex`: the quick commands here, the indexing ones handed to `lumidex-indexer`.
#include <CLI/CLI.hpp>

#include "app/command_line.h"
#include "app/mail_command.h"
#include "processing/mail_attachment_jobs.h"
#include "platform/subprocess.h"

int main(int argc, char** argv) {
    lumidex::platform::reserveFileDescriptors(512);
    if (lumidex::isIndexerCommandLine(argc, argv)) return lumidex::execIndexer(argv);
    // `mail index` reads PDF and image attachments in extraction workers.
    lumidex::setMailAttachmentDecoderFactory(lumidex::processing::makeWorkerAttachmentDecoder);
    // Alone on a desktop: the indexer opens the window (or, when it cannot, says what this would).
    if (argc == 1 && lumidex::displayNamed()) return lumidex::execIndexer(argv);
    return lumidex::runCommandLine(argc, argv, [](CLI::App& app) {
        // Listed for --help only: these command lines never reach the parser here.
        app.add_subcommand("scan", "Scan the searchable folders (or PATH) and update the index of files")
            ->allow_extras();
        app.add_subcommand("shell", "Index the searchable folders (adding FOLDER first) and search them at a prompt")->allow_extras();
        app.add_subcommand("serve", "Index and watch the searchable folders without a window, with the local API server")
            ->allow_extras();
        app.add_subcommand("window", "Open the search window (adding FOLDER as a searchable folder first)")
            ->allow_extras();
        app.add_subcommand("convert-service", "Convert office files to PDF for other machines' Lumidex, with this machine's LibreOffice")
            ->allow_extras();
    });
}
