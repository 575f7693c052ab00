// The REST route table in its fixed order, over the service layer. The transport (ApiServer) and
// the in-process callers (the MCP tools) both dispatch through a router built here.
//
// The services are borrowed: they must outlive the router. Handlers run on the server's handler
// threads, several at once; the services they call are thread-safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "api/api_router.h"

namespace lumidex::folders {
class CoreManagerData;
}

namespace lumidex::service {
class DocumentService;
class FolderService;
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
};

// Routes 1-14: health, info, search, documents, folders.
void registerSearchDocumentFolderRoutes(ApiRouter& router, ApiServices& services);
// Routes 15-30, 37, 39-41: processing, settings, status, diagnostics, export.
void registerProcessingSettingsStatusRoutes(ApiRouter& router, ApiServices& services);

// Every route that exists, in table order.
void registerRoutes(ApiRouter& router, ApiServices& services);

}  // namespace lumidex::api
