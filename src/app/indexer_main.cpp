// `lumidex-indexer`: every command, including scanning, the window, the interactive shell, the conversion service and,
// started by itself, the extraction workers that run the document decoders.
#include <CLI/CLI.hpp>

#include "app/command_line.h"
#include "app/convert_service_command.h"
#include "app/mail_command.h"
#include "platform/subprocess.h"
#include "app/scan_command.h"
#include "app/serve_command.h"
#include "app/shell_command.h"
#include "app/window_command.h"
#include "cloud/kadoro_api_client.h"
#include "processing/extractors/extractor_jobs.h"
#include "processing/default_runner.h"
#include "processing/mail_attachment_jobs.h"
#include "processing/page_thumbnail.h"
#include "processing/worker/extraction_worker.h"
#include "service/document_service.h"
#include "ui/display.h"

int main(int argc, char** argv) {
    lumidex::platform::reserveFileDescriptors(512);
    // Worker processes must not touch settings or the data directory.
    if (argc > 1 && argv[1] == lumidex::extractionWorkerFlag) return lumidex::processing::extractorWorkerMain(argc, argv);
    // Pages opened before the preview pass reached them are drawn here, for the window and the local API.
    lumidex::service::DocumentService::setThumbnailDrawer(
        [](const lumidex::NanItem& item, const std::filesystem::path& folderDataDirectory, int64_t pageIndex) {
            auto runner = lumidex::processing::makeDefaultProcessingRunner();
            return lumidex::processing::drawPageThumbnail(runner->workerPool(), item, folderDataDirectory, pageIndex);
        });
    lumidex::setMailAttachmentDecoderFactory(lumidex::processing::makeWorkerAttachmentDecoder);
    lumidex::setMailConversionServiceFactory([](lumidex::cloud::KadoroConfiguration service) {
        return std::make_unique<lumidex::cloud::KadoroApiClient>(std::move(service));
    });
    // Alone on a desktop whose display Qt can use: the window; otherwise the usual summary.
    if (argc == 1 && lumidex::ui::windowPlatformAvailable()) return lumidex::runWindowWithoutArguments();
    return lumidex::runCommandLine(argc, argv, [](CLI::App& app) {
        lumidex::addScanCommand(app);
        lumidex::addShellCommand(app);
        lumidex::addServeCommand(app);
        lumidex::addWindowCommand(app);
        lumidex::addConvertServiceCommand(app);
    });
}
