// Routes 15-30, 37, 39-44, 72-74: processing, settings, status, diagnostics, export, the recent scans and
// office conversion, each a translation
// between HTTP and one service call.
#include <charconv>
#include <memory>

#include <nlohmann/json.hpp>

#include "api/api_routes.h"
#include "core/settings/settings_store.h"
#include "folders/coordinator/core_manager_data.h"
#include "folders/scanning/excluded_extensions.h"
#include "folders/registry/security_bookmarks.h"
#include "service/folder_service.h"
#include "service/cloud_service.h"
#include "service/diagnostics_service.h"
#include "service/export_service.h"
#include "service/processing_service.h"
#include "service/recent_scans_service.h"
#include "service/settings_service.h"
#include "service/status_service.h"

namespace lumidex::api {
namespace {

using nlohmann::json;
using service::Refusal;
using service::RefusalKind;

ApiResponse refusalResponse(const Refusal& refusal) {
    switch (refusal.kind) {
        case RefusalKind::badRequest: return errorResponse(400, "bad_request", refusal.message);
        case RefusalKind::notFound: return errorResponse(404, "not_found", refusal.message);
        case RefusalKind::conflict: return errorResponse(409, "conflict", refusal.message);
        case RefusalKind::internal: break;
    }
    return errorResponse(500, "internal", refusal.message);
}

ApiResponse answer(const std::optional<json>& body, const Refusal& refusal) {
    return body ? jsonResponse(200, *body) : refusalResponse(refusal);
}

// The request body as JSON; an absent body reads as `absent`. Failure: the "Invalid JSON body" answer.
std::optional<json> bodyJson(const ApiRequest& request, ApiResponse& failure, std::optional<json> absent = std::nullopt) {
    if (!request.body || request.body->empty()) {
        if (absent) return absent;
        failure = errorResponse(400, "bad_request", "Invalid JSON body: the request has no body");
        return std::nullopt;
    }
    try {
        return json::parse(*request.body);
    } catch (const json::exception& e) {
        failure = errorResponse(400, "bad_request", std::string("Invalid JSON body: ") + e.what());
        return std::nullopt;
    }
}

const std::string& pathParameter(const ApiRequest& request, const char* name) {
    static const std::string none;
    const auto found = request.pathParameters.find(name);
    return found == request.pathParameters.end() ? none : found->second;
}

struct Services {
    std::unique_ptr<service::ProcessingService> processing;
    std::unique_ptr<service::SettingsService> settings;
    std::unique_ptr<service::StatusService> status;
    std::unique_ptr<service::ExportService> exporter;
    std::unique_ptr<service::DiagnosticsService> diagnostics;
    std::unique_ptr<service::FolderService> folders;
    std::unique_ptr<service::RecentScansService> recentScans;
    std::unique_ptr<service::CloudService> cloud;
};

json recentScanRecord(const service::RecentScan& scan) {
    json record;
    record["id"] = scan.id;
    record["file_name"] = scan.fileName;
    record["file_path"] = scan.filePath;
    record["file_type"] = scan.fileType;
    if (scan.createdAt) record["created_at"] = iso8601String(*scan.createdAt);
    record["is_read"] = scan.isRead;
    return record;
}

}  // namespace

void registerProcessingSettingsStatusRoutes(ApiRouter& router, ApiServices& services,
                                            const std::function<void()>& afterRecentScans) {
    if (!services.core) {  // without a running index there is nothing to answer with
        if (afterRecentScans) afterRecentScans();
        return;
    }
    folders::CoreManagerData& core = *services.core;
    auto s = std::make_shared<Services>();
    s->processing = std::make_unique<service::ProcessingService>(
        core, service::ProcessingService::Options{services.registeredFolders, services.busyIndicatorShowing});
    s->settings = std::make_unique<service::SettingsService>(
        services.settings ? *services.settings : SettingsStore::shared(),
        service::SettingsService::Options{folders::excludedFileExtensionsPath(core.dataDirectory()), services.actualPort});
    s->status = std::make_unique<service::StatusService>(core, services.startTime);
    s->exporter = std::make_unique<service::ExportService>(core);
    s->diagnostics = std::make_unique<service::DiagnosticsService>(
        &core, service::DiagnosticsService::Options{services.diagnostics, services.mainLoop, services.startTime});
    s->folders = std::make_unique<service::FolderService>(folders::SecurityBookmarks::shared(),
                                                          folders::ProtectedFolders::forCurrentUser(), &core);
    service::FolderService& folderService = services.folderService ? *services.folderService : *s->folders;
    SettingsStore& settingsStore = services.settings ? *services.settings : SettingsStore::shared();
    const service::RegisteredFolders folderPaths =
        services.registeredFolders ? services.registeredFolders : service::RegisteredFolders([&core] {
            std::vector<std::string> paths;
            for (const auto& manager : core.balancedDataManagers()) paths.push_back(manager->rootFolderUrlString());
            return paths;
        });
    s->recentScans = std::make_unique<service::RecentScansService>(folderService, folderPaths, settingsStore,
                                                                   core.dataDirectory() / "recent_scans_read.json");
    s->cloud = std::make_unique<service::CloudService>(folderService, folderPaths, settingsStore,
                                                       service::CloudServiceOptions{services.cleanUpCompletedConversions});

    // 15-19: processing
    router.add(HttpMethod::get, "/api/v1/processing/progress",
               [s](const ApiRequest&) { return jsonResponse(200, s->processing->progress()); });
    router.add(HttpMethod::get, "/api/v1/processing/stats",
               [s](const ApiRequest&) { return jsonResponse(200, s->processing->stats()); });
    router.add(HttpMethod::get, "/api/v1/folders/:id/processing", [s](const ApiRequest& request) {
        Refusal refusal{};
        const auto body = s->processing->folderProcessing(pathParameter(request, "id"), refusal);
        return answer(body, refusal);
    });
    router.add(HttpMethod::post, "/api/v1/documents/:id/reprocess", [s](const ApiRequest& request) {
        ApiResponse failure;
        const auto body = bodyJson(request, failure, json::object());
        if (!body) return failure;
        bool force = false;
        if (body->is_object()) {
            const auto found = body->find("force");
            if (found != body->end() && !found->is_null()) {
                if (!found->is_boolean()) return errorResponse(400, "bad_request", "Invalid JSON body: force must be a Boolean");
                force = found->get<bool>();
            }
        } else {
            return errorResponse(400, "bad_request", "Invalid JSON body: expected a JSON object");
        }
        Refusal refusal{};
        const auto result = s->processing->reprocess(pathParameter(request, "id"), force, refusal);
        return answer(result, refusal);
    });
    router.add(HttpMethod::post, "/api/v1/folders/:id/rescan", [s](const ApiRequest& request) {
        Refusal refusal{};
        const auto body = s->processing->rescan(pathParameter(request, "id"), refusal);
        return answer(body, refusal);
    });

    // 20-30: settings
    router.add(HttpMethod::get, "/api/v1/settings", [s](const ApiRequest&) { return jsonResponse(200, s->settings->all()); });
    for (const char* name : {"search", "processing", "appearance", "sharing"}) {
        const auto category = *service::settingsCategoryNamed(name);
        const std::string path = std::string("/api/v1/settings/") + name;
        router.add(HttpMethod::get, path,
                   [s, category](const ApiRequest&) { return jsonResponse(200, s->settings->category(category)); });
        router.add(HttpMethod::patch, path, [s, category](const ApiRequest& request) {
            ApiResponse failure;
            const auto changes = bodyJson(request, failure);
            if (!changes) return failure;
            Refusal refusal{};
            const auto body = s->settings->patch(category, *changes, refusal);
            return answer(body, refusal);
        });
    }
    router.add(HttpMethod::get, "/api/v1/settings/server",
               [s](const ApiRequest&) { return jsonResponse(200, s->settings->server()); });
    router.add(HttpMethod::get, "/api/v1/settings/file-types",
               [](const ApiRequest&) { return jsonResponse(200, service::SettingsService::fileTypes()); });

    // 37: status
    router.add(HttpMethod::get, "/api/v1/status", [s](const ApiRequest&) { return jsonResponse(200, s->status->status()); });

    // 39-40: diagnostics
    router.add(HttpMethod::get, "/api/v1/diagnostics",
               [s](const ApiRequest&) { return jsonResponse(200, s->diagnostics->snapshot()); });
    router.add(HttpMethod::get, "/api/v1/diagnostics/events", [s](const ApiRequest& request) {
        std::size_t limit = 100;
        if (const std::string* text = request.query("limit")) {
            std::size_t parsed = 0;
            const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), parsed);
            if (error == std::errc() && end == text->data() + text->size()) limit = parsed;
        }
        return jsonResponse(200, s->diagnostics->events(limit));
    });

    // 41: export
    router.add(HttpMethod::post, "/api/v1/export", [s](const ApiRequest& request) {
        ApiResponse failure;
        const auto body = bodyJson(request, failure);
        if (!body) return failure;
        Refusal refusal{};
        auto output = s->exporter->exportDocuments(*body, refusal);
        if (!output) return refusalResponse(refusal);
        ApiResponse response;
        response.headers["Content-Type"] = output->contentType;
        response.body = std::move(output->body);
        return response;
    });

    // 42-44: recent scans
    router.add(HttpMethod::get, "/api/v1/scans/recent/unread-count", [s](const ApiRequest&) {
        return jsonResponse(200, json{{"unread_count", s->recentScans->unreadCount()}});
    });
    router.add(HttpMethod::get, "/api/v1/scans/recent", [s](const ApiRequest&) {
        const auto scans = s->recentScans->list();
        json items = json::array();
        int64_t unread = 0;
        for (const service::RecentScan& scan : scans) {
            items.push_back(recentScanRecord(scan));
            unread += scan.isRead ? 0 : 1;
        }
        return jsonResponse(200, json{{"items", std::move(items)}, {"total", scans.size()}, {"unread_count", unread}});
    });
    router.add(HttpMethod::post, "/api/v1/scans/recent/:id/read", [s](const ApiRequest& request) {
        switch (s->recentScans->markRead(pathParameter(request, "id"))) {
            case service::RecentScansService::MarkResult::marked: return jsonResponse(200, json{{"message", "Marked as read"}});
            case service::RecentScansService::MarkResult::notFound: return errorResponse(404, "not_found", "Scan not found");
            case service::RecentScansService::MarkResult::writeFailed: break;
        }
        return errorResponse(500, "internal_error", "The read mark could not be stored");
    });

    if (afterRecentScans) afterRecentScans();

    // 72-74: office conversion
    router.add(HttpMethod::get, "/api/v1/cloud/status", [s](const ApiRequest&) { return jsonResponse(200, s->cloud->status()); });
    router.add(HttpMethod::get, "/api/v1/cloud/items", [s](const ApiRequest& request) {
        Refusal refusal{};
        const std::string* state = request.query("state");
        return answer(s->cloud->items(state ? std::optional<std::string>(*state) : std::nullopt, refusal), refusal);
    });
    router.add(HttpMethod::post, "/api/v1/cloud/sync", [s](const ApiRequest& request) {
        ApiResponse failure;
        const auto body = bodyJson(request, failure, json::object());
        if (!body) return failure;
        Refusal refusal{};
        return answer(s->cloud->sync(*body, refusal), refusal);
    });
}

}  // namespace lumidex::api
