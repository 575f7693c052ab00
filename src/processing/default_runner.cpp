#include "processing/default_runner.h"

#include <algorithm>
#include <filesystem>
#include <future>
#include <ostream>
#include <vector>

#include "cloud/cloud_item_store.h"
#include "cloud/kadoro_api_client.h"
#include "cloud/libreoffice_converter.h"
#include "cloud/service_conversion_backend.h"
#include "cloud/upload_manager.h"
#include "core/app_log.h"
#include "core/settings/settings.h"
#include "core/data_directory.h"
#include "core/grouped_number.h"
#include "folders/coordinator/balanced_data_manager.h"
#include "folders/coordinator/coordinator_states.h"
#include "processing/pipeline/digital_text_enrichment_queue.h"
#include "processing/worker/extraction_worker.h"
#include "storage/pending_enrichments.h"

namespace lumidex::processing {
namespace {

// The worker executable beside this one, when it is there.
std::filesystem::path installedWorkerExecutable() {
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return {};
    std::filesystem::path worker = self.parent_path() / extractionWorkerExecutableName;
    return std::filesystem::is_regular_file(worker, ec) ? worker : std::filesystem::path{};
}

// The converter office files go to, as the settings say when the program starts: the conversion service
// when it is switched on and has an address, else LibreOffice here unless that is switched off; none
// leaves office files waiting, found by name, with the reason in `lumidex status`.
std::shared_ptr<cloud::ConversionQueue> makeOfficeConversion() {
    const Settings settings = Settings::shared();
    if (settings.useCloudService() && !settings.conversionServiceURL().empty()) {
        cloud::KadoroConfiguration service;
        service.baseURL = settings.conversionServiceURL();
        service.apiKey = settings.conversionServiceAPIKey();
        cloud::ServiceConversionBackendOptions options;
        options.directory = dataDirectory();
        return std::make_shared<cloud::ConversionQueue>(std::make_unique<cloud::ServiceConversionBackend>(
            std::make_shared<cloud::KadoroApiClient>(service), service, std::move(options)));
    }
    // Files the service still held when it was switched off are sent again once it is back.
    const auto log = [](std::string_view line) { appLog(std::string(cloud::kCloudLogPrefix) + std::string(line)); };
    if (!cloud::markOpenItemsCloudFailed(dataDirectory(), log)) {
        log("Cloud items of the switched-off service not marked: " + (dataDirectory() / cloud::CloudItemSqliteManager::kFileName).string());
    }
    if (!settings.localOfficeConversion()) return nullptr;
    cloud::LibreOfficeConverterOptions converter;
    converter.profileDirectory = dataDirectory() / "office-converter";
    return std::make_shared<cloud::ConversionQueue>(std::make_unique<cloud::LibreOfficeConverter>(std::move(converter)));
}

}  // namespace

std::shared_ptr<NanItemsProcessing> makeDefaultProcessingRunner() {
    static const std::shared_ptr<NanItemsProcessing> runner = [] {
        NanItemsProcessingOptions options;
        options.enrichmentQueue = &DigitalTextEnrichmentQueue::shared();
        options.workerPoolOptions.workerExecutable = installedWorkerExecutable();
        options.officeConversion = makeOfficeConversion();
        return std::make_shared<NanItemsProcessing>(std::move(options));
    }();
    return runner;
}

namespace {

// Saves the items as readyForProcessing and queues them; returns how many.
std::size_t readAgain(folders::BalancedDataManager& manager, std::vector<NanItem> items) {
    if (items.empty()) return 0;
    for (NanItem& item : items) item.processingState = NanItemProcessingStates::readyForProcessing;
    manager.saveItems(items);
    manager.queueForProcessing(items);
    return items.size();
}

}  // namespace

std::size_t retryFailedItems(folders::BalancedDataManager& manager) {
    std::vector<NanItem> retry = manager.itemsWhere([](const NanItem& item) {
        return item.processingState == NanItemProcessingStates::error ||
               folders::coordinator_states::awaitsProcessing(item.processingState);
    });
    // Of those waiting, only a retry a process left unfinished (its hash is stored already).
    std::erase_if(retry, [&manager](const NanItem& item) {
        return item.processingState != NanItemProcessingStates::error && !manager.isHashStored(item.combinedHash);
    });
    return readAgain(manager, std::move(retry));
}

std::size_t requeueItemsOfShards(folders::BalancedDataManager& manager, const std::set<uint32_t>& shards) {
    return readAgain(manager, manager.itemsWhere([&shards](const NanItem& item) {
        return shards.contains(storage::balancerId(item.combinedHash));
    }));
}

FolderProcessingStatus folderProcessingStatus(folders::BalancedDataManager& manager, const NanItemsProcessing& runner,
                                              bool countCloudItems) {
    const folders::ProgressItem progress = manager.progressItem();
    const FolderProcessingStats stats = runner.stats(manager.rootFolderUrlString());
    FolderProcessingStatus status;
    status.folder = manager.rootFolderUrlString();
    status.completed = progress.completedCount;
    status.waitingForCloud = stats.waitingForCloud;
    status.officeWaitReason = runner.officeConversionUnavailable().value_or("");
    if (countCloudItems) {
        status.waitingForCloud = static_cast<int64_t>(manager.itemsWhere([](const NanItem& item) {
            return folders::coordinator_states::awaitsProcessing(item.processingState) &&
                   NanItemsProcessing::route(item) == folders::FileRoute::cloud;
        }).size());
    }
    // The counted figure when there is one: the latest run may not have been handed the office files
    // that still wait (a later scan finds them unchanged), and they are not work to go.
    status.pending = std::max<int64_t>(progress.notProcessedCount - status.waitingForCloud, 0);
    status.pagesWithText = stats.pagesWithText;
    status.pagesRecognised = stats.pagesRecognised;
    status.previewPages = stats.previewPages;
    status.previewsOwed = stats.previewsOwed;
    status.officeDocuments = stats.officeDocuments;
    status.conversionsOwed = stats.conversionsOwed;
    status.recognitionOwed = static_cast<int64_t>(storage::PendingEnrichments(manager.folderDataDirectory()).list().size());
    status.errors = stats.errors;
    status.notStored = stats.notStored;
    status.notRead = stats.notRead;
    status.withoutText = stats.withoutText;
    status.pausedForDiskSpace = stats.pausedForDiskSpace;
    status.idle = !manager.isProcessing();
    return status;
}

std::string describePasses(const FolderProcessingStatus& status) {
    return passesLine(status.completed, status.completed + status.pending + status.waitingForCloud, status.previewPages,
                      status.previewsOwed, status.officeDocuments, status.conversionsOwed, status.recognitionOwed);
}

namespace {

// Settings for a pass an earlier process left undone; text work that arrives meanwhile goes first (its
// run takes up what the pass leaves).
folders::ProcessingRunSettings interruptedPassSettings(folders::BalancedDataManager& manager) {
    folders::ProcessingRunSettings settings;
    settings.rootFolderUrl = manager.rootFolderUrlString();
    settings.cancellationToken = manager.cancellationToken();
    settings.lowResImages = Settings::shared().lowResImages();
    return settings;
}

}  // namespace

bool renderInterruptedPreviews(folders::BalancedDataManager& manager, NanItemsProcessing& runner) {
    if (storage::PendingPreviews(manager.folderDataDirectory()).list().empty()) return true;
    return runner.renderDeferredPreviews(manager, interruptedPassSettings(manager),
                                         [&manager] { return manager.isProcessing(); });
}

bool enrichInterruptedDocuments(folders::BalancedDataManager& manager, NanItemsProcessing& runner) {
    if (storage::PendingEnrichments(manager.folderDataDirectory()).list().empty()) return true;
    return runner.enrichDeferredDocuments(manager, interruptedPassSettings(manager),
                                          [&manager] { return manager.isProcessing(); });
}

bool convertInterruptedOfficeDocuments(folders::BalancedDataManager& manager, NanItemsProcessing& runner) {
    if (storage::PendingConversions(manager.folderDataDirectory()).list().empty()) return true;
    return runner.convertDeferredOfficeDocuments(manager, interruptedPassSettings(manager),
                                                 [&manager] { return manager.isProcessing(); });
}

std::string describe(const FolderProcessingStatus& status) {
    std::string text = std::to_string(status.completed) + " documents processed";
    if (status.pending > 0) text += ", " + std::to_string(status.pending) + " to go";
    if (status.pagesWithText > 0) text += ", " + std::to_string(status.pagesWithText) + " pages with text";
    text += ", " + std::to_string(status.pagesRecognised) + " pages recognised";
    text += ", " + std::to_string(status.errors) + (status.errors == 1 ? " error" : " errors");
    if (status.waitingForCloud > 0) {
        text += ", " + std::to_string(status.waitingForCloud) + (status.waitingForCloud == 1 ? " office file" : " office files") + " waiting";
        if (!status.officeWaitReason.empty()) text += " (" + status.officeWaitReason + ")";
    }
    if (status.notStored > 0) {
        text += ", " + std::to_string(status.notStored) + " could not be stored (read again at the next scan)";
    }
    if (status.notRead > 0) text += ", " + std::to_string(status.notRead) + " not read (over the size limit)";
    if (status.withoutText > 0) text += ", " + std::to_string(status.withoutText) + " without searchable text";
    if (status.pausedForDiskSpace) text += ", paused: the disk holding the index is full";
    return text;
}

FolderProcessingStatus completeFolderProcessing(folders::BalancedDataManager& manager, NanItemsProcessing& runner,
                                                std::ostream& out, bool showProgress, std::chrono::milliseconds interval,
                                                bool waitForEnrichment) {
    retryFailedItems(manager);
    bool idle = false;
    bool paused = false;
    bool announcedSearchable = false;
    while (!(idle = manager.waitUntilIdle(interval))) {
        const FolderProcessingStatus current = folderProcessingStatus(manager, runner, false);
        if (current.pausedForDiskSpace != paused) {
            paused = current.pausedForDiskSpace;
            if (showProgress) out << "\r\033[K";
            out << (paused ? "  paused: the disk holding the index is full; indexing goes on once space is freed "
                             "(nothing read so far is lost)\n"
                           : "  space freed: indexing goes on\n")
                << std::flush;
        }
        if (showProgress) out << "\r\033[K  processing: " << describePasses(current) << "; " << describe(current) << std::flush;
        // Every document has its text; what is left are previews and enrichment of digital PDFs.
        if (current.pending == 0 && current.completed > 0 && !announcedSearchable) {
            announcedSearchable = true;
            if (showProgress) out << "\r\033[K";
            out << "  " << describePasses(current) << '\n' << std::flush;
        }
        if (!waitForEnrichment && current.pending == 0 && current.completed > 0) break;
    }
    if (idle && waitForEnrichment) {
        auto enrichment = std::async(std::launch::async, [&] { return enrichInterruptedDocuments(manager, runner); });
        auto pass = std::async(std::launch::async, [&] {
            renderInterruptedPreviews(manager, runner);
            return convertInterruptedOfficeDocuments(manager, runner);
        });
        const auto ended = [interval](std::future<bool>& f) { return f.wait_for(interval) == std::future_status::ready; };
        while (!(ended(pass) && ended(enrichment))) {
            if (showProgress) out << "\r\033[K  processing: " << describePasses(folderProcessingStatus(manager, runner, false)) << std::flush;
        }
        pass.get();
        enrichment.get();
    }
    if (showProgress) out << "\r\033[K" << std::flush;
    FolderProcessingStatus status = folderProcessingStatus(manager, runner);
    status.idle = idle;
    out << "  processed:       " << describe(status) << '\n';
    out << "  passes:          " << describePasses(status) << '\n';
    return status;
}

}  // namespace lumidex::processing
