// The REST route table in its fixed order, over the service layer. The transport (ApiServer) and
// the in-process callers (the MCP tools) both dispatch through a router built here.
//
// The services are borrowed: they must outlive the router. Handlers run on the server's handler
// threads, several at once; the services they call are thread-safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "api/api_router.h"
#include "service/mail_service.h"

namespace lumidex {
class DiagnosticsCollector;
class SettingsStore;
}  // namespace lumidex

namespace lumidex::folders {
class CoreManagerData;
}

namespace lumidex::service {
class DocumentService;
class FolderService;
class MailDraftComposer;
class SearchService;
}  // namespace lumidex::service

namespace lumidex::api {

struct ApiServices {
    folders::CoreManagerData* core = nullptr;  // the running folders (scans, processing, stores)
    std::chrono::system_clock::time_point startTime = std::chrono::system_clock::now();
    std::function<uint16_t()> actualPort;  // the port the server listens on, 0 when down
    // Search, documents and folders. Left null, they are built over `core` (and the user's stored
    // folders) when the routes are registered, and live as long as the router.
    service::SearchService* searchService = nullptr;
    service::DocumentService* documentService = nullptr;
    service::FolderService* folderService = nullptr;
    SettingsStore* settings = nullptr;           // none: the user's settings
    DiagnosticsCollector* diagnostics = nullptr;  // none: the shared collector
    // Posts a task to the application's main loop (the window's, or the network loop when headless),
    // for the diagnostics' responsiveness probe; none: the shared thread pool is probed instead.
    std::function<void(std::function<void()>)> mainLoop;
    // The registered folders a folder id may name; none: the running coordinators' folders.
    std::function<std::vector<std::string>()> registeredFolders;
    std::function<bool()> busyIndicatorShowing;  // the window's busy indicator; none: no window
    // Forgets the conversion service's records of completed files (the count; none: failed); none set:
    // there are no such records.
    std::function<std::optional<int64_t>()> cleanUpCompletedConversions;
    // Mail. Left null, the service is built over the shared mail stores, the settings and `mailControl`
    // (the running mail indexer; empty members: nothing runs), and drafts go to the data directory.
    service::MailService* mailService = nullptr;
    service::MailDraftComposer* mailDrafts = nullptr;
    service::MailIndexControl mailControl;
};

// Routes 1-14: health, info, search, documents, folders.
void registerSearchDocumentFolderRoutes(ApiRouter& router, ApiServices& services);
// Routes 15-30, 37, 39-44, 72-74: processing, settings, status, diagnostics, export, recent scans,
// office conversion; `afterRecentScans` registers what comes between 44 and 72.
void registerProcessingSettingsStatusRoutes(ApiRouter& router, ApiServices& services,
                                            const std::function<void()>& afterRecentScans = {});
// Routes 45-71: mail.
void registerMailRoutes(ApiRouter& router, ApiServices& services);
// Routes 102-103: the OpenAPI document (404 "OpenAPI spec not found in bundle" when `document` is
// none or empty) and the page that renders it.
void registerDocumentationRoutes(ApiRouter& router, std::optional<std::string_view> document);
// The OpenAPI document describing every route, compiled into the program.
std::string_view openApiDocument();

// Every route that exists, in table order.
void registerRoutes(ApiRouter& router, ApiServices& services);

}  // namespace lumidex::api
