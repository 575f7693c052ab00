#include "service/processing_service.h"

#include <map>
#include <string>

#include <nlohmann/json.hpp>

#include "folders/coordinator/core_manager_data.h"
#include "folders/scanning/file_types.h"
#include "service/document_service.h"
#include "service/index_identity.h"
#include "storage/pending_enrichments.h"

namespace lumidex::service {
namespace {

using nlohmann::json;

constexpr std::string_view kNoDataManager = "Folder has no active data manager";

json byStateObject(const std::map<NanItemProcessingStates, int64_t>& counts, int64_t* total = nullptr) {
    std::map<std::string_view, int64_t> byName;
    for (const auto& [state, count] : counts) {
        if (count > 0) byName[processingStateName(state)] += count;
        if (total) *total += count;
    }
    json object = json::object();
    for (const auto name : processingStateNames()) {
        if (auto it = byName.find(name); it != byName.end()) object[std::string(name)] = it->second;
    }
    return object;
}

json progressData(const folders::ProgressItem& progress) {
    return {{"not_processed", progress.notProcessedCount},
            {"completed", progress.completedCount},
            {"ocr_pages", progress.ocrPagesCount},
            {"progress", progress.progress}};
}

int64_t documentsOwingPreviews(const folders::BalancedDataManager& manager) {
    return static_cast<int64_t>(storage::PendingPreviews(manager.folderDataDirectory()).list().size());
}

}  // namespace

ProcessingService::ProcessingService(folders::CoreManagerData& core, Options options)
    : core_(core), options_(std::move(options)) {}

ProcessingService::QueueFigures ProcessingService::queue() const {
    QueueFigures figures;
    for (const auto& manager : core_.balancedDataManagers()) {
        const auto run = manager->runFigures();
        figures.activeTasks += static_cast<int64_t>(run.inRun);
        figures.queuedTasks += static_cast<int64_t>(run.queued);
        if (manager->isProcessing()) figures.isProcessing = true;
        figures.previewsPending += documentsOwingPreviews(*manager);
    }
    if (figures.activeTasks + figures.queuedTasks > 0) figures.isProcessing = true;
    return figures;
}

json ProcessingService::progress() const {
    json folders = json::array();
    for (const auto& manager : core_.balancedDataManagers()) {
        json entry{{"folder_id", std::to_string(folderId(manager->rootFolderUrlString()))}};
        entry.update(progressData(manager->progressItem()));
        entry["previews_pending"] = documentsOwingPreviews(*manager);
        folders.push_back(std::move(entry));
    }
    const QueueFigures figures = queue();
    return {{"folders", std::move(folders)},
            {"queue", {{"active_tasks", figures.activeTasks}, {"queued_tasks", figures.queuedTasks}}},
            {"is_processing", figures.isProcessing},
            {"ui_busy_indicator", options_.busyIndicatorShowing ? options_.busyIndicatorShowing() : false}};
}

json ProcessingService::stats() const {
    std::map<NanItemProcessingStates, int64_t> all;
    json folders = json::array();
    for (const auto& manager : core_.balancedDataManagers()) {
        const auto counts = manager->stateCounts();
        int64_t total = 0;
        const json byState = byStateObject(counts, &total);
        for (const auto& [state, count] : counts) all[state] += count;
        folders.push_back({{"folder_id", std::to_string(folderId(manager->rootFolderUrlString()))},
                           {"path", manager->rootFolderUrlString()},
                           {"total", total},
                           {"completed", byState.value("completed", int64_t{0})},
                           {"error", byState.value("error", int64_t{0})}});
    }
    int64_t total = 0;
    json byState = byStateObject(all, &total);
    return {{"total_documents", total}, {"by_state", std::move(byState)}, {"folders", std::move(folders)}};
}

std::optional<json> ProcessingService::folderProcessing(std::string_view folderIdText, Refusal& refusal) const {
    const auto folder = locateFolder(core_, options_.registeredFolders, folderIdText, refusal);
    if (!folder) return std::nullopt;
    if (!folder->manager) {
        refusal = {RefusalKind::notFound, std::string(kNoDataManager)};
        return std::nullopt;
    }
    int64_t total = 0;
    json byState = byStateObject(folder->manager->stateCounts(), &total);
    return json{{"folder_id", std::to_string(folderId(folder->path))},
                {"path", folder->path},
                {"progress", progressData(folder->manager->progressItem())},
                {"by_state", std::move(byState)},
                {"total_files", total}};
}

std::optional<json> ProcessingService::reprocess(std::string_view documentId, bool force, Refusal& refusal) {
    auto document = DocumentService(core_).find(documentId, refusal);
    if (!document) return std::nullopt;
    const NanItem& item = document->item;
    const std::string_view previous = processingStateName(item.processingState);
    const bool inWork = document->folder->isInActiveRun(item.combinedHash) || previous == "processing";
    if (inWork && !force) {
        refusal = {RefusalKind::conflict,
                   R"(Document is currently being processed. Use {"force": true} to override.)"};
        return std::nullopt;
    }
    if (!folders::routeForExtension(folders::lowerCaseExtension(item.urlString))) {
        refusal = {RefusalKind::badRequest, "Document type is not supported for processing"};
        return std::nullopt;
    }
    document->folder->reprocess({item});
    return json{{"id", std::to_string(item.combinedHash)},
                {"file_name", item.fileName},
                {"previous_state", previous},
                {"new_state", "not_processed"},
                {"message", "Document queued for reprocessing"}};
}

std::optional<json> ProcessingService::rescan(std::string_view folderIdText, Refusal& refusal) {
    const auto folder = locateFolder(core_, options_.registeredFolders, folderIdText, refusal);
    if (!folder) return std::nullopt;
    if (!folder->manager) {
        refusal = {RefusalKind::notFound, std::string(kNoDataManager)};
        return std::nullopt;
    }
    folder->manager->requestFullScan();
    return json{{"folder_id", std::to_string(folderId(folder->path))},
                {"path", folder->path},
                {"message", "Folder scan initiated"}};
}

}  // namespace lumidex::service
