// Export of the text and metadata of up to 100 documents at once, as JSON, plain text or CSV.
//
// Pages are numbered from 1 and come from DocumentService::pages. Ids that are malformed, unknown or
// whose stored text is damaged are skipped with a reason; the rest are exported.
//
// Borrows the CoreManagerData; thread-safe; nothing throws except std::bad_alloc.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "service/document_service.h"

namespace lumidex::service {

struct ExportOutput {
    std::string contentType;  // "application/json; charset=utf-8", "text/plain; ..." or "text/csv; ..."
    std::string body;
};

inline constexpr std::size_t kMaxExportDocuments = 100;

class ExportService {
public:
    explicit ExportService(folders::CoreManagerData& core);

    // `request`: {"document_ids": [...], "format": "json"|"text"|"csv", "include_ocr_text",
    // "include_metadata"}. Refusals: "Invalid JSON body: ...", "document_ids must not be empty",
    // "Maximum 100 document IDs per request", "Invalid format: X. Must be json, text, or csv".
    std::optional<ExportOutput> exportDocuments(const nlohmann::json& request, Refusal& refusal) const;

private:
    DocumentService documents_;
};

}  // namespace lumidex::service
