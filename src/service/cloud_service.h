// Office files and their conversion, as the cloud routes report and steer them: counts and lists of
// the office documents of every searchable folder by conversion state, and the switch that sends
// them to the conversion service instead of the local converter.
//
// States come from the items themselves, so they are right for either converter: waiting (or
// failed for now, to be retried) is "preparing", handed to the service "uploaded", PDF received
// "processing", done "completed", refused for good "not_supported".
//
// Thread-safe: every call reads the folders afresh; the folder service and settings are borrowed and
// must outlive this one. Writes of the switch report failure as a refusal, never as success.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "service/index_lookup.h"

namespace lumidex {
class SettingsStore;
}

namespace lumidex::service {

class FolderService;

struct CloudServiceOptions {
    // Forgets the conversion records of completed files; the count, or none when that failed. None
    // set: there are no records to forget (only the local converter has run).
    std::function<std::optional<int64_t>()> cleanUpCompleted;
};

class CloudService {
public:
    CloudService(FolderService& folderService, RegisteredFolders folders, SettingsStore& settings,
                 CloudServiceOptions options = {});

    // {"enabled","conditions_accepted","scanned_folders","items":{"preparing",…,"not_supported"}}
    nlohmann::json status();
    // {"total","items":[{"file_path","file_name","folder_path","state","modification_date"}]}, newest
    // first; STATE (one of the five names) filters. An unknown state is a bad request.
    std::optional<nlohmann::json> items(const std::optional<std::string>& state, Refusal& refusal);
    // The body {"enabled"?, "accept_conditions"?}: switches the service, or cleans up completed items.
    std::optional<nlohmann::json> sync(const nlohmann::json& body, Refusal& refusal);

private:
    FolderService* folderService_;
    RegisteredFolders folders_;
    SettingsStore* settings_;
    CloudServiceOptions options_;
};

}  // namespace lumidex::service
