#include "service/export_service.h"

#include <algorithm>
#include <map>

#include <nlohmann/json.hpp>

#include "folders/coordinator/core_manager_data.h"
#include "folders/scanning/file_types.h"
#include "service/index_identity.h"

namespace lumidex::service {
namespace {

using nlohmann::json;

struct ExportRequest {
    std::vector<std::string> documentIds;
    std::string format = "json";
    bool includeText = true;
    bool includeMetadata = true;
};

std::optional<ExportRequest> decode(const json& body, std::string& error) {
    if (!body.is_object()) {
        error = "expected a JSON object";
        return std::nullopt;
    }
    ExportRequest request;
    const auto ids = body.find("document_ids");
    if (ids == body.end()) {
        error = "missing key 'document_ids'";
        return std::nullopt;
    }
    if (!ids->is_array()) {
        error = "document_ids must be an array";
        return std::nullopt;
    }
    for (const auto& id : *ids) {
        // Ids are decimal text; a client that sends them as numbers means the same ids.
        if (id.is_string()) {
            request.documentIds.push_back(id.get<std::string>());
        } else if (id.is_number_unsigned()) {
            request.documentIds.push_back(std::to_string(id.get<uint64_t>()));
        } else {
            error = "document_ids must hold document ids as strings";
            return std::nullopt;
        }
    }
    const auto flag = [&](const char* key, bool& target) {
        const auto found = body.find(key);
        if (found == body.end() || found->is_null()) return true;
        if (!found->is_boolean()) {
            error = std::string(key) + " must be a Boolean";
            return false;
        }
        target = found->get<bool>();
        return true;
    };
    if (!flag("include_ocr_text", request.includeText) || !flag("include_metadata", request.includeMetadata))
        return std::nullopt;
    if (const auto format = body.find("format"); format != body.end() && !format->is_null()) {
        if (!format->is_string()) {
            error = "format must be a string";
            return std::nullopt;
        }
        request.format = format->get<std::string>();
    }
    return request;
}

std::optional<std::string> pageCountText(const NanItem& item) {
    if (item.totalPageCount < 0) return std::nullopt;
    return std::to_string(item.totalPageCount);
}

std::string csvField(std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + '"';
}

struct Exported {
    FoundDocument document;
    std::vector<PageText> pages;
};

json metadataJson(const NanItem& item) {
    const auto created = reportedDate(item.fileCreatedDate);
    const auto modified = reportedDate(item.fileModifiedDate);
    return {{"id", std::to_string(item.combinedHash)},
            {"file_name", item.fileName},
            {"file_path", item.urlString},
            {"file_type", folders::lowerCaseExtension(item.urlString)},
            {"page_count", item.totalPageCount < 0 ? json() : json(item.totalPageCount)},
            {"processing_state", processingStateName(item.processingState)},
            {"created_at", created ? json(*created) : json()},
            {"modified_at", modified ? json(*modified) : json()}};
}

// Rows and blocks list every page the document has, with an empty text where none is stored.
std::vector<PageText> rowsOf(const Exported& exported) {
    std::vector<PageText> rows = exported.pages;
    const int64_t count = std::max<int64_t>(exported.document.item.totalPageCount, 1);
    for (int64_t page = 1; page <= count; ++page) {
        const bool present = std::any_of(rows.begin(), rows.end(), [page](const PageText& p) { return p.page == page; });
        if (!present) rows.push_back({page, ""});
    }
    std::sort(rows.begin(), rows.end(), [](const PageText& a, const PageText& b) { return a.page < b.page; });
    return rows;
}

std::string textExport(const std::vector<Exported>& documents, const ExportRequest& request) {
    std::string out;
    for (const Exported& exported : documents) {
        const NanItem& item = exported.document.item;
        if (!out.empty()) out += '\n';
        out += "=== " + item.fileName + " ===\n";
        out += "ID: " + std::to_string(item.combinedHash) + '\n';
        if (request.includeMetadata) {
            out += "Path: " + item.urlString + '\n';
            out += "Type: " + folders::lowerCaseExtension(item.urlString) + '\n';
            out += "Pages: " + pageCountText(item).value_or("unknown") + '\n';
            out += "State: " + std::string(processingStateName(item.processingState)) + '\n';
            out += "Created: " + reportedDate(item.fileCreatedDate).value_or("unknown") + '\n';
            out += "Modified: " + reportedDate(item.fileModifiedDate).value_or("unknown") + '\n';
        }
        if (!request.includeText) continue;
        for (const PageText& page : rowsOf(exported)) {
            out += "\n--- Page " + std::to_string(page.page) + " ---\n";
            out += page.text.empty() ? "\n(no text)\n" : page.text + '\n';
        }
    }
    return out;
}

std::string csvExport(const std::vector<Exported>& documents, const ExportRequest& request) {
    std::string out = request.includeMetadata ? "id,file_name,file_path,file_type,page_count,page,text\n" : "id,page,text\n";
    for (const Exported& exported : documents) {
        const NanItem& item = exported.document.item;
        for (const PageText& page : rowsOf(exported)) {
            out += std::to_string(item.combinedHash) + ',';
            if (request.includeMetadata) {
                out += csvField(item.fileName) + ',' + csvField(item.urlString) + ',' +
                       csvField(folders::lowerCaseExtension(item.urlString)) + ',' + pageCountText(item).value_or("") + ',';
            }
            out += std::to_string(page.page) + ',' + (request.includeText ? csvField(page.text) : std::string()) + '\n';
        }
    }
    return out;
}

}  // namespace

ExportService::ExportService(folders::CoreManagerData& core) : documents_(core) {}

std::optional<ExportOutput> ExportService::exportDocuments(const json& body, Refusal& refusal) const {
    std::string error;
    const auto request = decode(body, error);
    if (!request) {
        refusal = {RefusalKind::badRequest, "Invalid JSON body: " + error};
        return std::nullopt;
    }
    if (request->documentIds.empty()) {
        refusal = {RefusalKind::badRequest, "document_ids must not be empty"};
        return std::nullopt;
    }
    if (request->documentIds.size() > kMaxExportDocuments) {
        refusal = {RefusalKind::badRequest, "Maximum 100 document IDs per request"};
        return std::nullopt;
    }
    if (request->format != "json" && request->format != "text" && request->format != "csv") {
        refusal = {RefusalKind::badRequest, "Invalid format: " + request->format + ". Must be json, text, or csv"};
        return std::nullopt;
    }

    std::vector<Exported> exported;
    json skipped = json::array();
    for (const std::string& id : request->documentIds) {
        Refusal notFound{RefusalKind::notFound, {}};
        auto document = documents_.find(id, notFound);
        if (!document) {
            skipped.push_back({{"id", id}, {"reason", notFound.message}});
            continue;
        }
        bool damaged = false;
        std::vector<PageText> pages;
        if (request->includeText || request->format != "json") pages = documents_.pages(*document, damaged);
        if (damaged) {
            skipped.push_back({{"id", id}, {"reason", "Stored text could not be read"}});
            continue;
        }
        exported.push_back({std::move(*document), std::move(pages)});
    }

    if (request->format == "text") return ExportOutput{"text/plain; charset=utf-8", textExport(exported, *request)};
    if (request->format == "csv") return ExportOutput{"text/csv; charset=utf-8", csvExport(exported, *request)};

    json documents = json::array();
    for (const Exported& entry : exported) {
        json document = request->includeMetadata ? metadataJson(entry.document.item)
                                                 : json{{"id", std::to_string(entry.document.item.combinedHash)}};
        if (request->includeText) {
            json pages = json::array();
            for (const PageText& page : entry.pages) pages.push_back({{"page", page.page}, {"text", page.text}});
            document["pages"] = std::move(pages);
        }
        documents.push_back(std::move(document));
    }
    json response{{"documents", std::move(documents)},
                  {"total", static_cast<int64_t>(request->documentIds.size())},
                  {"exported", static_cast<int64_t>(exported.size())}};
    if (!skipped.empty()) response["skipped"] = std::move(skipped);
    return ExportOutput{"application/json; charset=utf-8",
                        response.dump(-1, ' ', false, json::error_handler_t::replace)};
}

}  // namespace lumidex::service
