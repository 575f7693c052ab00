// Export of the text and metadata of up to 100 documents at once, as JSON, plain text or CSV.
//
// Pages are numbered from 1. A document's pages come from its stored text (one page per form-feed
// separated part; a text without page breaks is one page) or, when it has no stored text, from its
// recognised lines page by page. Ids that are malformed, unknown or whose stored text is damaged are
// skipped with a reason; the rest are exported.
//
// Borrows the CoreManagerData; thread-safe; nothing throws except std::bad_alloc.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "service/index_lookup.h"

namespace lumidex::service {

struct PageText {
    int64_t page = 1;  // from 1
    std::string text;
};

// The stored text of a located document, page by page (see above); empty when it has none.
std::vector<PageText> documentPageTexts(const LocatedDocument& document, bool& damaged);

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
    folders::CoreManagerData& core_;
};

}  // namespace lumidex::service
