#include "service/index_identity.h"

#include <charconv>

#include "core/hashing.h"

namespace lumidex::service {

std::optional<uint32_t> parseDocumentId(std::string_view text) {
    // from_chars alone would accept a leading "-" for unsigned types on some libraries: digits only.
    if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
    uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

uint32_t folderId(std::string_view folderPath) { return fnv1a32(folderPath); }

std::string_view processingStateName(NanItemProcessingStates state) {
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

const std::vector<std::string_view>& processingStateNames() {
    static const std::vector<std::string_view> names{"completed", "not_processed", "processing", "not_supported",
                                                     "pdf_locked", "syncing", "error"};
    return names;
}

std::optional<std::string> reportedDate(Date date) {
    if (!(secondsSince1970(date) >= 1.0)) return std::nullopt;
    return iso8601String(date);
}

}  // namespace lumidex::service
