#include "core/model/enums.h"

#include <array>
#include <utility>

namespace lumidex {
namespace {

constexpr std::array<std::pair<SortOrders, std::string_view>, 5> kSortOrders{{
    {SortOrders::a2z, "a2z"},
    {SortOrders::z2a, "z2a"},
    {SortOrders::new2Old, "new2Old"},
    {SortOrders::old2New, "old2New"},
    {SortOrders::relevance, "relevance"},
}};

constexpr std::array<std::pair<OcrTextFileUrlTypes, std::string_view>, 7> kOcrTextFileUrlTypes{{
    {OcrTextFileUrlTypes::sortedFirstPage, "sorted_first_page"},
    {OcrTextFileUrlTypes::sortedAllPages, "sorted_all_pages"},
    {OcrTextFileUrlTypes::firstThirdFirstPage, "first_third_page"},
    {OcrTextFileUrlTypes::firstThirdAllPages, "first_third_all_pages"},
    {OcrTextFileUrlTypes::aiDocumentDetails, "ai_document_details"},
    {OcrTextFileUrlTypes::aiDocumentTypes, "ai_document_types"},
    {OcrTextFileUrlTypes::aiStructuredDocument, "ai_document_structured"},
}};

template <typename Enum, size_t N>
std::optional<Enum> fromRaw(const std::array<std::pair<Enum, std::string_view>, N>& table, std::string_view raw) {
    for (const auto& [value, text] : table) {
        if (text == raw) return value;
    }
    return std::nullopt;
}

template <typename Enum, size_t N>
std::string_view toRaw(const std::array<std::pair<Enum, std::string_view>, N>& table, Enum value) {
    for (const auto& [candidate, text] : table) {
        if (candidate == value) return text;
    }
    return {};
}

}  // namespace

std::optional<NanItemProcessingStates> processingStateFromRaw(int64_t raw) {
    switch (raw) {
        case 1: case 3: case 4: case 5: case 6: case 7: case 8: case 9: case 10: case 11: case 13: case 14:
            return static_cast<NanItemProcessingStates>(raw);
        default:
            return std::nullopt;
    }
}

bool isFinal(NanItemProcessingStates s) {
    switch (s) {
        case NanItemProcessingStates::complete:
        case NanItemProcessingStates::notSupported:
        case NanItemProcessingStates::pdfLocked:
        case NanItemProcessingStates::error:
        case NanItemProcessingStates::cloudFailed:
            return true;
        default:
            return false;
    }
}

std::string_view name(NanItemProcessingStates s) {
    switch (s) {
        case NanItemProcessingStates::complete: return "complete";
        case NanItemProcessingStates::notProcessed: return "notProcessed";
        case NanItemProcessingStates::textFileProcessing: return "textFileProcessing";
        case NanItemProcessingStates::cloudProcessing: return "cloudProcessing";
        case NanItemProcessingStates::imageReady: return "imageReady";
        case NanItemProcessingStates::notSupported: return "notSupported";
        case NanItemProcessingStates::pdfLocked: return "pdfLocked";
        case NanItemProcessingStates::uploaded: return "uploaded";
        case NanItemProcessingStates::readyForProcessing: return "readyForProcessing";
        case NanItemProcessingStates::error: return "error";
        case NanItemProcessingStates::downloaded: return "downloaded";
        case NanItemProcessingStates::cloudFailed: return "cloudFailed";
    }
    return "unknown";
}

std::optional<SortOrders> sortOrderFromRaw(std::string_view raw) { return fromRaw(kSortOrders, raw); }
std::string_view rawValue(SortOrders s) { return toRaw(kSortOrders, s); }

std::optional<OcrTextFileUrlTypes> ocrTextFileUrlTypeFromRaw(std::string_view raw) {
    return fromRaw(kOcrTextFileUrlTypes, raw);
}
std::string_view rawValue(OcrTextFileUrlTypes t) { return toRaw(kOcrTextFileUrlTypes, t); }

std::optional<HistoryItemSyncTypes> historyItemSyncTypeFromRaw(int64_t raw) {
    if (raw < 0 || raw > rawValue(HistoryItemSyncTypes::case3)) return std::nullopt;
    return static_cast<HistoryItemSyncTypes>(raw);
}

}  // namespace lumidex
