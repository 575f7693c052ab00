// Routes 1-14: health, identity, search, documents and folders. Each handler reads its request, asks
// the search, document or folder service, and writes the answer's record; the behaviour lives in the
// services. Page numbers count from 1 in every parameter and record.
#include <chrono>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "api/api_routes.h"
#include "folders/coordinator/core_manager_data.h"
#include "folders/registry/folder_paths.h"
#include "folders/scanning/file_types.h"
#include "folders/registry/security_bookmarks.h"
#include "search/coordinator_folder_index.h"
#include "service/app_identity.h"
#include "service/document_service.h"
#include "service/folder_service.h"
#include "service/index_identity.h"
#include "service/search_service.h"

namespace lumidex::api {
namespace {

using Json = nlohmann::ordered_json;

constexpr int64_t kDefaultSearchLimit = 50;
constexpr int64_t kDefaultContentsLimit = 100;

// Records keep their fields in the order they are written.
ApiResponse recordResponse(int statusCode, const Json& record) {
    ApiResponse response;
    response.statusCode = statusCode;
    try {
        response.body = record.dump(-1, ' ', false, Json::error_handler_t::replace);
    } catch (const nlohmann::json::exception&) {
        return errorResponse(500, "internal", "Failed to serialize");
    }
    return response;
}

ApiResponse badRequest(std::string_view message) { return errorResponse(400, "bad_request", message); }
ApiResponse notFound(std::string_view message) { return errorResponse(404, "not_found", message); }

Json orNull(const std::optional<std::string>& value) { return value ? Json(*value) : Json(nullptr); }
Json dateOrNull(Date date) { return orNull(service::reportedDate(date)); }
Json pageCountOrNull(const NanItem& item) { return item.totalPageCount >= 0 ? Json(item.totalPageCount) : Json(nullptr); }

// --- request bodies ---

// A body that does not decode; the text completes "Invalid JSON body: ".
struct DecodeError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

Json parseBody(const ApiRequest& request) {
    if (!request.body || request.body->empty()) throw DecodeError("the request has no body");
    Json body;
    try {
        body = Json::parse(*request.body);
    } catch (const nlohmann::json::parse_error& e) {
        throw DecodeError(e.what());
    }
    if (!body.is_object()) throw DecodeError("expected a JSON object");
    return body;
}

// The member, or null when it is absent or JSON null (both mean "not given").
const Json* member(const Json& object, const char* key) {
    const auto found = object.find(key);
    return found == object.end() || found->is_null() ? nullptr : &*found;
}

std::optional<std::string> optionalString(const Json& object, const char* key) {
    const Json* value = member(object, key);
    if (!value) return std::nullopt;
    if (!value->is_string()) throw DecodeError(std::string("\"") + key + "\" must be a string");
    return value->get<std::string>();
}

std::optional<bool> optionalBool(const Json& object, const char* key) {
    const Json* value = member(object, key);
    if (!value) return std::nullopt;
    if (!value->is_boolean()) throw DecodeError(std::string("\"") + key + "\" must be a boolean");
    return value->get<bool>();
}

std::optional<int64_t> optionalInteger(const Json& object, const char* key) {
    const Json* value = member(object, key);
    if (!value) return std::nullopt;
    if (!value->is_number_integer()) throw DecodeError(std::string("\"") + key + "\" must be an integer");
    if (value->is_number_unsigned() && value->get<uint64_t>() > static_cast<uint64_t>(INT64_MAX)) {
        throw DecodeError(std::string("\"") + key + "\" is too large");
    }
    return value->get<int64_t>();
}

std::optional<std::vector<std::string>> optionalStrings(const Json& object, const char* key) {
    const Json* value = member(object, key);
    if (!value) return std::nullopt;
    const std::string wrongType = std::string("\"") + key + "\" must be an array of strings";
    if (!value->is_array()) throw DecodeError(wrongType);
    std::vector<std::string> strings;
    for (const Json& element : *value) {
        if (!element.is_string()) throw DecodeError(wrongType);
        strings.push_back(element.get<std::string>());
    }
    return strings;
}

std::string requiredString(const Json& object, const char* key) {
    auto value = optionalString(object, key);
    if (!value) throw DecodeError(std::string("missing required key \"") + key + "\"");
    return *value;
}

// A "page" query parameter: absent or empty gives `fallback`; otherwise a whole number from 1.
struct PageParameter {
    bool valid = true;
    std::optional<int64_t> page;
};

PageParameter pageParameter(const ApiRequest& request, std::optional<int64_t> fallback) {
    const std::string* text = request.query("page");
    if (!text || text->empty()) return {true, fallback};
    const auto number = service::parseDocumentId(*text);  // a plain unsigned decimal number
    if (!number || *number == 0) return {false, std::nullopt};
    return {true, static_cast<int64_t>(*number)};
}

int64_t nonNegativeQuery(const ApiRequest& request, const char* name, int64_t fallback) {
    const std::string* text = request.query(name);
    if (!text) return fallback;
    const auto number = service::parseDocumentId(*text);
    return number ? static_cast<int64_t>(*number) : fallback;
}

// --- records ---

Json searchResultItem(const search::SearchHit& hit, bool withSnippet) {
    const NanItem& item = hit.item;
    const bool mail = item.type == NanItemTypes::emailMessage;
    Json r;
    r["id"] = mail ? item.urlString.substr(item.urlString.find(':') + 1) : std::to_string(item.combinedHash);
    r["file_path"] = item.urlString;
    r["file_name"] = item.fileName;
    r["file_type"] = mail ? std::string() : folders::lowerCaseExtension(item.fileName);
    r["snippet"] = withSnippet ? orNull(hit.snippet) : Json(nullptr);
    r["created_at"] = dateOrNull(item.fileCreatedDate);
    r["modified_at"] = dateOrNull(item.fileModifiedDate);
    r["page_count"] = pageCountOrNull(item);
    r["match_count"] = hit.matchCount;
    r["source_type"] = mail ? "apple_mail" : "filesystem";
    r["external_id"] = nullptr;  // the mail index does not keep message ids
    r["mail_subject"] = mail ? Json(item.fileName) : Json(nullptr);
    r["mail_sender"] = nullptr;
    r["mail_received_at"] = mail ? dateOrNull(item.fileModifiedDate) : Json(nullptr);
    r["mail_mailbox"] = mail ? orNull(item.mailbox) : Json(nullptr);
    return r;
}

Json folderItem(const service::FolderEntry& folder) {
    Json r;
    r["id"] = std::to_string(service::folderId(folder.path));
    r["path"] = folder.path;
    r["name"] = folders::folderDisplayName(folder.path);
    r["type"] = folder.ai ? "ai" : "searchable";
    return r;
}

// --- the services the handlers share ---

struct Services {
    ApiServices& api;
    std::shared_ptr<service::SearchService> ownSearch;
    std::shared_ptr<service::DocumentService> ownDocuments;
    std::shared_ptr<service::FolderService> ownFolders;

    service::SearchService& search() const { return api.searchService ? *api.searchService : *ownSearch; }
    service::DocumentService& documents() const { return api.documentService ? *api.documentService : *ownDocuments; }
    service::FolderService& folders() const { return api.folderService ? *api.folderService : *ownFolders; }
    bool ready() const {
        return (api.searchService || ownSearch) && (api.documentService || ownDocuments) &&
               (api.folderService || ownFolders);
    }
};

std::shared_ptr<const Services> buildServices(ApiServices& api) {
    auto services = std::make_shared<Services>(Services{api, nullptr, nullptr, nullptr});
    if (api.core != nullptr) {
        if (!api.searchService) {
            services->ownSearch = std::make_shared<service::SearchService>(search::coordinatorFolderList(*api.core));
        }
        if (!api.documentService) services->ownDocuments = std::make_shared<service::DocumentService>(*api.core);
        if (!api.folderService) {
            services->ownFolders = std::make_shared<service::FolderService>(
                folders::SecurityBookmarks::shared(), folders::ProtectedFolders::forCurrentUser(), api.core);
        }
    }
    return services;
}

// Runs `found` with the document of the request's ":id", or answers why there is none.
template <class Handler>
ApiResponse withDocument(const Services& services, const ApiRequest& request, Handler&& found) {
    const auto parameter = request.pathParameters.find("id");
    service::Refusal refusal{};
    const auto document = services.documents().find(
        parameter == request.pathParameters.end() ? std::string_view() : parameter->second, refusal);
    if (!document) return refusal.kind == service::RefusalKind::notFound ? notFound(refusal.message) : badRequest(refusal.message);
    return found(*document);
}

template <class Handler>
ApiResponse withFolder(const Services& services, const ApiRequest& request, Handler&& found) {
    const auto parameter = request.pathParameters.find("id");
    if (parameter == request.pathParameters.end() || parameter->second.empty()) return badRequest("Missing folder ID");
    const auto id = service::parseDocumentId(parameter->second);  // folder ids are 32-bit numbers too
    const auto folder = id ? services.folders().find(*id) : std::nullopt;
    if (!folder) return notFound("Folder not found");
    return found(*folder);
}

// --- handlers ---

ApiResponse search(const Services& services, const ApiRequest& request) {
    const auto started = std::chrono::steady_clock::now();
    service::SearchQuery query;
    std::string text;
    bool withSnippets = true;
    try {
        const Json body = parseBody(request);
        query.text = requiredString(body, "query");
        text = query.text;
        const auto folders = optionalStrings(body, "folders");
        const auto sortOrder = optionalString(body, "sort_order");
        query.exactPhrase = optionalBool(body, "exact_phrase").value_or(false);
        query.fuzzy = optionalBool(body, "fuzzy").value_or(false);
        if (const Json* filter = member(body, "date_filter")) {
            if (!filter->is_object()) throw DecodeError("\"date_filter\" must be an object");
            const auto field = optionalString(*filter, "field");
            query.dateFields = service::dateFieldsFromWords({field.value_or("")});
            if (const auto from = optionalString(*filter, "from")) query.from = service::parseDay(*from, false);
            if (const auto to = optionalString(*filter, "to")) query.to = service::parseDay(*to, true);
        }
        query.limit = std::max<int64_t>(optionalInteger(body, "limit").value_or(kDefaultSearchLimit), 0);
        query.offset = std::max<int64_t>(optionalInteger(body, "offset").value_or(0), 0);
        withSnippets = optionalBool(body, "include_snippets").value_or(true);
        optionalBool(body, "include_match_count");  // counts come with the match at no extra cost
        const auto sources = optionalStrings(body, "source_types")
                                 .value_or(std::vector<std::string>{"filesystem", "apple_mail"});
        query.files = std::find(sources.begin(), sources.end(), "filesystem") != sources.end();
        query.mail = std::find(sources.begin(), sources.end(), "apple_mail") != sources.end();
        query.sortOrder = service::sortOrderFromWord(sortOrder.value_or(""));
        if (folders && !folders->empty()) {
            for (const std::string& path : *folders) query.folders.insert(service::normalizedSearchPath(path));
        }
    } catch (const DecodeError& e) {
        return badRequest(std::string("Invalid JSON body: ") + e.what());
    }
    query.withSnippets = withSnippets;
    const service::ClientSearchOutcome outcome = services.search().runForClient(std::move(query));
    if (outcome.refusal) return badRequest(*outcome.refusal);
    const service::SearchPage& page = outcome.page;

    Json results = Json::array();
    for (const search::SearchHit& hit : page.hits) results.push_back(searchResultItem(hit, withSnippets));
    Json answer;
    answer["results"] = std::move(results);
    answer["total_count"] = page.totalCount;
    answer["query"] = text;
    answer["duration_ms"] = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - started).count();
    return recordResponse(200, answer);
}

ApiResponse documentText(const Services& services, const ApiRequest& request) {
    const PageParameter page = pageParameter(request, std::nullopt);
    return withDocument(services, request, [&](const service::FoundDocument& document) {
        if (!page.valid) return badRequest("Invalid page number");
        bool damaged = false;
        Json pages = Json::array();
        for (service::PageText& text : services.documents().pages(document, damaged)) {
            if (page.page && *page.page != text.page) continue;
            Json entry;
            entry["page"] = text.page;
            entry["text"] = std::move(text.text);
            pages.push_back(std::move(entry));
        }
        if (damaged) return errorResponse(500, "internal_error", "Stored text could not be read");
        Json answer;
        answer["id"] = std::to_string(document.item.combinedHash);
        answer["file_path"] = document.item.urlString;
        answer["file_name"] = document.item.fileName;
        answer["pages"] = std::move(pages);
        answer["page_count"] = std::max<int64_t>(document.item.totalPageCount, 0);
        return recordResponse(200, answer);
    });
}

ApiResponse documentMetadata(const Services& services, const ApiRequest& request) {
    return withDocument(services, request, [&](const service::FoundDocument& document) {
        const NanItem& item = document.item;
        std::error_code ec;
        const auto size = std::filesystem::file_size(item.urlString, ec);
        Json folder;
        folder["id"] = std::to_string(service::folderId(document.folderPath));
        folder["path"] = document.folderPath;
        Json answer;
        answer["id"] = std::to_string(item.combinedHash);
        answer["file_path"] = item.urlString;
        answer["file_name"] = item.fileName;
        answer["file_type"] = folders::lowerCaseExtension(item.fileName);
        answer["file_size"] = ec ? 0 : static_cast<int64_t>(size);
        answer["page_count"] = pageCountOrNull(item);
        answer["processing_state"] = service::processingStateName(item.processingState);
        answer["ocr_text_available"] = services.documents().hasStoredText(document);
        answer["created_at"] = dateOrNull(item.fileCreatedDate);
        answer["modified_at"] = dateOrNull(item.fileModifiedDate);
        answer["folder"] = std::move(folder);
        return recordResponse(200, answer);
    });
}

ApiResponse documentThumbnail(const Services& services, const ApiRequest& request) {
    const PageParameter page = pageParameter(request, 1);
    return withDocument(services, request, [&](const service::FoundDocument& document) {
        if (!page.valid) return badRequest("Invalid page number");
        service::Thumbnail thumbnail = services.documents().thumbnail(document, *page.page);
        switch (thumbnail.status) {
            case service::ThumbnailStatus::missing:
                return notFound("Thumbnail not available for page " + std::to_string(*page.page));
            case service::ThumbnailStatus::notPng:
                return errorResponse(500, "internal_error", "Failed to encode thumbnail as PNG");
            case service::ThumbnailStatus::found: break;
        }
        ApiResponse response;
        response.headers["Content-Type"] = "image/png";
        response.body = std::move(thumbnail.png);
        return response;
    });
}

ApiResponse documentRects(const Services& services, const ApiRequest& request) {
    const PageParameter page = pageParameter(request, std::nullopt);
    return withDocument(services, request, [&](const service::FoundDocument& document) {
        if (!page.valid) return badRequest("Invalid page number");
        Json pages = Json::array();
        for (const service::PageRects& group : services.documents().rects(document, page.page)) {
            Json rects = Json::array();
            for (const OcrRect& rect : group.rects) {
                Json item;
                item["text"] = rect.ocrContent;
                item["points"] = Json::array({Json::array({rect.p0x, rect.p0y}), Json::array({rect.p1x, rect.p1y}),
                                              Json::array({rect.p2x, rect.p2y}), Json::array({rect.p3x, rect.p3y})});
                rects.push_back(std::move(item));
            }
            Json entry;
            entry["page"] = group.page;
            entry["rects"] = std::move(rects);
            pages.push_back(std::move(entry));
        }
        Json answer;
        answer["id"] = std::to_string(document.item.combinedHash);
        answer["pages"] = std::move(pages);
        return recordResponse(200, answer);
    });
}

ApiResponse deleteDocument(const Services& services, const ApiRequest& request) {
    return withDocument(services, request, [&](const service::FoundDocument& document) {
        if (!services.documents().remove(document)) {
            return errorResponse(500, "internal_error", "Document could not be removed from index");
        }
        return recordResponse(200, Json{{"message", "Document removed from index"}});
    });
}

ApiResponse bulkDeleteDocuments(const Services& services, const ApiRequest& request) {
    std::vector<std::string> ids;
    try {
        const Json body = parseBody(request);
        const Json* list = member(body, "document_ids");
        if (!list) throw DecodeError("missing required key \"document_ids\"");
        if (!list->is_array()) throw DecodeError("\"document_ids\" must be an array");
        for (const Json& id : *list) {
            if (id.is_string()) {
                ids.push_back(id.get<std::string>());
            } else if (id.is_number_unsigned()) {
                ids.push_back(std::to_string(id.get<uint64_t>()));
            } else {
                throw DecodeError("\"document_ids\" must hold document ids");
            }
        }
    } catch (const DecodeError& e) {
        return badRequest(std::string("Invalid JSON body: ") + e.what());
    }
    if (ids.size() > service::DocumentService::maxBulkIds) return badRequest("Maximum 100 document IDs per request");

    Json removed = Json::array();
    Json notFoundIds = Json::array();
    for (const std::string& text : ids) {
        const auto id = service::parseDocumentId(text);
        const auto outcome = id ? services.documents().remove(std::vector<uint32_t>{*id}) : service::BulkRemoval{};
        (outcome.removed.empty() ? notFoundIds : removed).push_back(text);
    }
    Json answer;
    answer["removed"] = std::move(removed);
    answer["not_found"] = std::move(notFoundIds);
    return recordResponse(200, answer);
}

ApiResponse listFolders(const Services& services) {
    Json list = Json::array();
    for (const service::FolderEntry& folder : services.folders().list()) list.push_back(folderItem(folder));
    Json answer;
    answer["folders"] = std::move(list);
    return recordResponse(200, answer);
}

ApiResponse addFolder(const Services& services, const ApiRequest& request) {
    std::string path;
    folders::RootFolderTypes type = folders::RootFolderTypes::searchableFolder;
    try {
        const Json body = parseBody(request);
        path = requiredString(body, "path");
        if (!path.starts_with("/")) throw DecodeError("\"path\" must be an absolute path");
        const auto typeWord = optionalString(body, "type").value_or("searchable");
        if (typeWord == "ai") {
            type = folders::RootFolderTypes::aiFolder;
        } else if (typeWord != "searchable") {
            throw DecodeError("\"type\" must be \"searchable\" or \"ai\"");
        }
    } catch (const DecodeError& e) {
        return badRequest(std::string("Invalid JSON body: ") + e.what());
    }
    const service::GrantedAdd added = services.folders().addGranted(path, type);
    switch (added.status) {
        case service::GrantedAddStatus::registered: return recordResponse(201, folderItem(added.folder));
        case service::GrantedAddStatus::noAccess:
            return errorResponse(403, "forbidden",
                                 "No security bookmark for this path. Add the folder via the app UI first.");
        case service::GrantedAddStatus::notAFolder: return notFound("Folder not found");
        case service::GrantedAddStatus::refused:
            return errorResponse(403, "forbidden", added.alert ? added.alert->text : "This folder cannot be added");
        case service::GrantedAddStatus::failed: break;
    }
    return errorResponse(500, "internal_error", "Folder could not be added");
}

ApiResponse removeFolder(const Services& services, const ApiRequest& request) {
    return withFolder(services, request, [&](const service::FolderEntry& folder) {
        switch (services.folders().remove(folder.path)) {
            case service::FolderRemoval::removed: break;
            case service::FolderRemoval::notStored: return notFound("Folder not found");
            case service::FolderRemoval::failed:
                return errorResponse(500, "internal_error", "Folder could not be removed");
        }
        Json answer = folderItem(folder);
        answer["message"] = "Folder removed from the searchable folders; no files were deleted";
        return recordResponse(200, answer);
    });
}

ApiResponse folderContents(const Services& services, const ApiRequest& request) {
    return withFolder(services, request, [&](const service::FolderEntry& folder) {
        const int64_t offset = nonNegativeQuery(request, "offset", 0);
        const int64_t limit = nonNegativeQuery(request, "limit", kDefaultContentsLimit);
        const service::FolderContents contents = services.folders().contents(folder, offset, limit);
        Json items = Json::array();
        for (const NanItem& item : contents.items) {
            Json entry;
            entry["id"] = std::to_string(item.combinedHash);
            entry["file_name"] = item.fileName;
            entry["file_path"] = item.urlString;
            entry["is_directory"] = false;  // the index holds documents only
            entry["processing_state"] = service::processingStateName(item.processingState);
            items.push_back(std::move(entry));
        }
        Json answer;
        answer["folder_id"] = std::to_string(service::folderId(folder.path));
        answer["path"] = folder.path;
        answer["items"] = std::move(items);
        answer["total_count"] = contents.totalCount;
        return recordResponse(200, answer);
    });
}

ApiResponse folderStats(const Services& services, const ApiRequest& request) {
    return withFolder(services, request, [&](const service::FolderEntry& folder) {
        const service::FolderStats stats = services.folders().stats(folder);
        Json byState = Json::object();
        for (const auto& [state, count] : stats.byState) byState[state] = count;
        Json answer;
        answer["folder_id"] = std::to_string(service::folderId(folder.path));
        answer["total_files"] = stats.totalFiles;
        answer["by_state"] = std::move(byState);
        return recordResponse(200, answer);
    });
}

}  // namespace

void registerSearchDocumentFolderRoutes(ApiRouter& router, ApiServices& api) {
    const std::shared_ptr<const Services> services = buildServices(api);
    // Each handler keeps the services alive for as long as the router holds it.
    const auto route = [&](HttpMethod method, std::string pattern, ApiResponse (*handler)(const Services&, const ApiRequest&)) {
        router.add(method, std::move(pattern), [services, handler](const ApiRequest& request) {
            if (!services->ready()) return errorResponse(500, "internal_error", "The index is not available");
            return handler(*services, request);
        });
    };
    const ApiServices* identity = &api;
    router.add(HttpMethod::get, "/api/v1/health", [identity](const ApiRequest&) {
        Json answer;
        answer["status"] = "ok";
        answer["version"] = service::appIdentity().version;
        answer["uptime"] = std::chrono::duration<double>(std::chrono::system_clock::now() - identity->startTime).count();
        return recordResponse(200, answer);
    });
    router.add(HttpMethod::get, "/api/v1/info", [identity](const ApiRequest&) {
        const service::AppIdentity app = service::appIdentity();
        Json answer;
        answer["app_name"] = app.name;
        answer["bundle_id"] = app.identifier;
        answer["version"] = app.version;
        answer["build_number"] = app.buildNumber;
        answer["port"] = identity->actualPort ? identity->actualPort() : 0;
        answer["build_timestamp"] = app.buildTime ? service::reportedDate(*app.buildTime).value_or("unknown") : "unknown";
        return recordResponse(200, answer);
    });
    route(HttpMethod::post, "/api/v1/search", search);
    route(HttpMethod::get, "/api/v1/documents/:id/text", documentText);
    route(HttpMethod::get, "/api/v1/folders", [](const Services& s, const ApiRequest&) { return listFolders(s); });
    route(HttpMethod::post, "/api/v1/folders", addFolder);
    route(HttpMethod::delete_, "/api/v1/folders/:id", removeFolder);
    route(HttpMethod::get, "/api/v1/folders/:id/contents", folderContents);
    route(HttpMethod::get, "/api/v1/folders/:id/stats", folderStats);
    route(HttpMethod::get, "/api/v1/documents/:id", documentMetadata);
    route(HttpMethod::get, "/api/v1/documents/:id/thumbnail", documentThumbnail);
    route(HttpMethod::get, "/api/v1/documents/:id/ocr-rects", documentRects);
    route(HttpMethod::delete_, "/api/v1/documents/:id", deleteDocument);
    route(HttpMethod::post, "/api/v1/documents/bulk/delete", bulkDeleteDocuments);
}

}  // namespace lumidex::api
