#include "service/cloud_service.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "core/settings/settings.h"
#include "core/settings/settings_keys.h"
#include "core/settings/settings_store.h"
#include "folders/scanning/file_types.h"
#include "service/folder_service.h"
#include "service/index_identity.h"

namespace lumidex::service {

namespace {

using nlohmann::json;

constexpr std::array<std::string_view, 5> kStates{"preparing", "uploaded", "processing", "completed", "not_supported"};

std::string_view conversionState(NanItemProcessingStates state) {
    using S = NanItemProcessingStates;
    switch (state) {
        case S::uploaded: return "uploaded";
        case S::downloaded:
        case S::textFileProcessing:
        case S::imageReady: return "processing";
        case S::complete: return "completed";
        case S::notSupported:
        case S::pdfLocked:
        case S::error: return "not_supported";
        case S::notProcessed:
        case S::readyForProcessing:
        case S::cloudProcessing:
        case S::cloudFailed: break;  // waiting, or to be tried again
    }
    return "preparing";
}

bool isOfficeFile(const NanItem& item) {
    return folders::routeForExtension(folders::lowerCaseExtension(item.fileName)) == folders::FileRoute::cloud;
}

}  // namespace

CloudService::CloudService(FolderService& folderService, RegisteredFolders folders, SettingsStore& settings,
                           CloudServiceOptions options)
    : folderService_(&folderService), folders_(std::move(folders)), settings_(&settings), options_(std::move(options)) {}

json CloudService::status() {
    json counts = json::object();
    for (std::string_view state : kStates) counts[std::string(state)] = 0;
    const auto paths = folders_ ? folders_() : std::vector<std::string>{};
    for (const std::string& path : paths) {
        for (const NanItem& item : folderService_->itemsOf(FolderEntry{path})) {
            if (!isOfficeFile(item)) continue;
            json& count = counts[std::string(conversionState(item.processingState))];
            count = count.get<int64_t>() + 1;
        }
    }
    const Settings settings(*settings_);
    return json{{"enabled", settings.useCloudService()},
                {"conditions_accepted", settings.acceptCloudServiceConditions()},
                {"scanned_folders", paths.size()},
                {"items", std::move(counts)}};
}

std::optional<json> CloudService::items(const std::optional<std::string>& state, Refusal& refusal) {
    if (state && std::find(kStates.begin(), kStates.end(), *state) == kStates.end()) {
        refusal = {RefusalKind::badRequest,
                   "Invalid state: " + *state + ". Must be preparing, uploaded, processing, completed or not_supported"};
        return std::nullopt;
    }
    struct Entry {
        NanItem item;
        std::string folder;
    };
    std::vector<Entry> entries;
    for (const std::string& path : folders_ ? folders_() : std::vector<std::string>{}) {
        for (NanItem& item : folderService_->itemsOf(FolderEntry{path})) {
            if (!isOfficeFile(item)) continue;
            if (state && conversionState(item.processingState) != *state) continue;
            entries.push_back({std::move(item), path});
        }
    }
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        return a.item.fileModifiedDate != b.item.fileModifiedDate ? a.item.fileModifiedDate > b.item.fileModifiedDate
                                                                  : a.item.urlString < b.item.urlString;
    });
    json list = json::array();
    for (const Entry& entry : entries) {
        json record{{"file_path", entry.item.urlString},
                    {"file_name", entry.item.fileName},
                    {"folder_path", entry.folder},
                    {"state", conversionState(entry.item.processingState)}};
        if (auto date = reportedDate(entry.item.fileModifiedDate)) record["modification_date"] = *date;
        list.push_back(std::move(record));
    }
    return json{{"total", list.size()}, {"items", std::move(list)}};
}

std::optional<json> CloudService::sync(const json& body, Refusal& refusal) {
    if (!body.is_object()) {
        refusal = {RefusalKind::badRequest, "Invalid JSON body: expected an object"};
        return std::nullopt;
    }
    Settings settings(*settings_);
    const auto enabled = body.find("enabled");
    const auto accept = body.find("accept_conditions");
    if ((enabled != body.end() && !enabled->is_boolean()) || (accept != body.end() && !accept->is_boolean())) {
        refusal = {RefusalKind::badRequest, "Invalid JSON body: enabled and accept_conditions must be booleans"};
        return std::nullopt;
    }
    const bool accepting = accept != body.end() && accept->get<bool>();
    std::string message;
    if (enabled != body.end()) {
        const bool enable = enabled->get<bool>();
        if (enable && !settings.acceptCloudServiceConditions() && !accepting) {
            refusal = {RefusalKind::badRequest, "Cloud service conditions must be accepted before enabling the cloud service"};
            return std::nullopt;
        }
        if (enable && accepting && settings_->setBool(SettingsKeys::acceptCloudServiceConditionsKey, true)) {
            refusal = {RefusalKind::internal, "The setting could not be stored"};
            return std::nullopt;
        }
        if (settings_->setBool(SettingsKeys::useCloudServiceKey, enable)) {
            refusal = {RefusalKind::internal, "The setting could not be stored"};
            return std::nullopt;
        }
        message = enable ? "Cloud service enabled" : "Cloud service disabled";
    } else if (!settings.useCloudService()) {
        message = "Cloud service is disabled";
    } else {
        const std::optional<int64_t> removed = options_.cleanUpCompleted ? options_.cleanUpCompleted() : int64_t{0};
        if (!removed) {
            refusal = {RefusalKind::internal, "Completed items could not be cleaned up"};
            return std::nullopt;
        }
        message = *removed == 0 ? "No completed items to clean up" : std::to_string(*removed) + " completed items";
    }
    return json{{"enabled", Settings(*settings_).useCloudService()},
                {"conditions_accepted", Settings(*settings_).acceptCloudServiceConditions()},
                {"message", message}};
}

}  // namespace lumidex::service
