#include "service/index_lookup.h"

#include <charconv>

#include "core/hashing.h"
#include "folders/coordinator/core_manager_data.h"

namespace lumidex::service {

std::string_view processingStateApiName(NanItemProcessingStates state) {
    using S = NanItemProcessingStates;
    switch (state) {
        case S::complete: return "completed";
        case S::notProcessed:
        case S::readyForProcessing: return "not_processed";
        case S::textFileProcessing:
        case S::cloudProcessing:
        case S::imageReady: return "processing";
        case S::notSupported: return "not_supported";
        case S::pdfLocked: return "pdf_locked";
        case S::uploaded:
        case S::downloaded: return "syncing";
        case S::error:
        case S::cloudFailed: break;
    }
    return "error";
}

const std::vector<std::string_view>& processingStateApiNames() {
    static const std::vector<std::string_view> names{"completed", "not_processed", "processing", "not_supported",
                                                     "pdf_locked", "syncing", "error"};
    return names;
}

uint32_t folderIdOf(std::string_view folderPath) { return fnv1a32(folderPath); }

std::optional<uint32_t> parseDecimalId(std::string_view text) {
    uint32_t value = 0;
    if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<std::string> isoDateOrNone(Date date) {
    if (!(secondsSince1970(date) >= 1.0)) return std::nullopt;
    return iso8601String(date);
}

std::optional<LocatedDocument> locateDocument(folders::CoreManagerData& core, uint32_t combinedHash) {
    for (auto& manager : core.balancedDataManagers()) {
        // A folder still starting up cannot be asked without waiting for it; its documents are not
        // reachable yet anyway.
        if (!manager->isInitialized()) continue;
        if (auto item = manager->itemByCombinedHash(combinedHash)) {
            return LocatedDocument{std::move(*item), manager, manager->rootFolderUrlString()};
        }
    }
    return std::nullopt;
}

std::optional<LocatedDocument> locateDocument(folders::CoreManagerData& core, std::string_view documentId,
                                              Refusal& refusal) {
    const auto combinedHash = parseDecimalId(documentId);
    if (!combinedHash) {
        refusal = {RefusalKind::badRequest, "Invalid document ID"};
        return std::nullopt;
    }
    auto found = locateDocument(core, *combinedHash);
    if (!found) refusal = {RefusalKind::notFound, "Document not found"};
    return found;
}

std::optional<LocatedFolder> locateFolder(folders::CoreManagerData& core, const RegisteredFolders& registered,
                                          std::string_view folderId, Refusal& refusal) {
    if (folderId.empty()) {
        refusal = {RefusalKind::badRequest, "Missing folder ID"};
        return std::nullopt;
    }
    const auto id = parseDecimalId(folderId);
    const auto managers = core.balancedDataManagers();
    std::vector<std::string> paths;
    if (registered) {
        paths = registered();
    } else {
        for (const auto& manager : managers) paths.push_back(manager->rootFolderUrlString());
    }
    for (const std::string& path : paths) {
        if (!id || folderIdOf(path) != *id) continue;
        LocatedFolder folder{path, nullptr};
        for (const auto& manager : managers) {
            if (manager->rootFolderUrlString() == path) folder.manager = manager;
        }
        return folder;
    }
    refusal = {RefusalKind::notFound, "Folder not found"};
    return std::nullopt;
}

}  // namespace lumidex::service
