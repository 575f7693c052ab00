#include "service/index_identity.h"

#include "core/hashing.h"

namespace lumidex::service {

std::optional<uint32_t> parseDocumentId(std::string_view text) {
    if (text.empty() || text.size() > 10) return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value > UINT32_MAX) return std::nullopt;
    return static_cast<uint32_t>(value);
}

uint32_t folderId(std::string_view folderPath) { return fnv1a32(folderPath); }

std::string_view processingStateName(NanItemProcessingStates state) {
    switch (state) {
        case NanItemProcessingStates::complete: return "completed";
        case NanItemProcessingStates::notProcessed:
        case NanItemProcessingStates::readyForProcessing: return "not_processed";
        case NanItemProcessingStates::textFileProcessing:
        case NanItemProcessingStates::cloudProcessing:
        case NanItemProcessingStates::imageReady: return "processing";
        case NanItemProcessingStates::notSupported: return "not_supported";
        case NanItemProcessingStates::pdfLocked: return "pdf_locked";
        case NanItemProcessingStates::uploaded:
        case NanItemProcessingStates::downloaded: return "syncing";
        case NanItemProcessingStates::error:
        case NanItemProcessingStates::cloudFailed: break;
    }
    return "error";
}

std::optional<std::string> reportedDate(Date date) {
    const double seconds = secondsSince1970(date);
    if (!(seconds >= 1.0)) return std::nullopt;
    return iso8601String(date);
}

std::string fileTypeOf(std::string_view fileName) {
    const size_t dot = fileName.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return {};
    std::string extension(fileName.substr(dot + 1));
    for (char& c : extension) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return extension;
}

}  // namespace lumidex::service
