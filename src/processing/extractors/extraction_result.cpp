#include "processing/extractors/extraction_result.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <stdexcept>
#include <type_traits>

#include "processing/extractors/extraction_json.h"
#include "storage/pending_enrichments.h"

namespace lumidex::processing {
namespace {

using nlohmann::json;

// Bad UTF-8 in a transcript must not fail the whole result.
std::string dump(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

// An integer is read only from a JSON integer: converting a float out of its range is undefined.
int64_t integer(const json& value) {
    if (!value.is_number_integer()) throw std::invalid_argument("not an integer: " + value.dump());
    return value.get<int64_t>();
}

template <class T>
void readIf(const json& object, const char* key, T& target) {
    const auto found = object.find(key);
    if (found == object.end()) return;
    if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool>) {
        if (!found->is_number_integer()) return;
    }
    try {
        target = found->get<T>();
    } catch (const json::exception&) {
        // A mistyped member keeps the default.
    }
}

}  // namespace

json toJson(const ExtractionResult& result) {
    json rects = json::array();
    for (const OcrRect& r : result.rects) {
        rects.push_back(json::array({r.pageIndex, r.ocrContent, r.p0x, r.p0y, r.p1x, r.p1y, r.p2x, r.p2y, r.p3x, r.p3y}));
    }
    json value{{"state", rawValue(result.state)},
                {"message", result.message},
                {"text", result.text},
                {"pageCount", result.totalPageCount},
                {"digital", result.digitalText},
                {"recognisedPages", result.recognisedPages},
                {"textPages", result.textPages},
                {"enrichmentPages", result.enrichmentPages},
                {"previewsDeferred", result.previewsDeferred},
                {"glyphPagesWithoutText", result.glyphPagesWithoutText},
                {"rects", std::move(rects)},
                {"phases", result.phases},
                {"peakRssKb", result.workerPeakRssKb}};
    // Only the preview job sets it; other results (and the content cache's copies of them) stay as they were.
    if (result.previewsNotWritten > 0) value["previewsNotWritten"] = result.previewsNotWritten;
    return value;
}

int64_t previewPagesWritten(const ExtractionResult& result) {
    if (result.previewsDeferred) return std::min<int64_t>(result.totalPageCount, 1);
    if (result.digitalText) return storage::PendingPreviews::pagesDrawnAhead(result.totalPageCount);
    return result.totalPageCount;
}

std::string encodeExtractionResult(const ExtractionResult& result) { return dump(toJson(result)); }

std::optional<ExtractionResult> decodeExtractionResult(std::string_view text, std::string& error) {
    const json value = json::parse(text, nullptr, false);
    if (!value.is_object()) {
        error = "the extraction result is not a JSON object";
        return std::nullopt;
    }
    try {
        ExtractionResult result;
        const auto state = processingStateFromRaw(integer(value.at("state")));
        if (!state) {
            error = "unknown processing state " + value.at("state").dump();
            return std::nullopt;
        }
        result.state = *state;
        readIf(value, "message", result.message);
        readIf(value, "text", result.text);
        readIf(value, "pageCount", result.totalPageCount);
        readIf(value, "digital", result.digitalText);
        readIf(value, "recognisedPages", result.recognisedPages);
        readIf(value, "textPages", result.textPages);
        readIf(value, "enrichmentPages", result.enrichmentPages);
        readIf(value, "previewsDeferred", result.previewsDeferred);
        readIf(value, "previewsNotWritten", result.previewsNotWritten);
        readIf(value, "glyphPagesWithoutText", result.glyphPagesWithoutText);
        readIf(value, "phases", result.phases);
        readIf(value, "peakRssKb", result.workerPeakRssKb);
        if (const auto rects = value.find("rects"); rects != value.end() && rects->is_array()) {
            result.rects.reserve(rects->size());
            for (const json& row : *rects) {
                if (!row.is_array() || row.size() != 10) throw std::invalid_argument("malformed rectangle");
                OcrRect rect;
                rect.pageIndex = integer(row[0]);
                rect.ocrContent = row[1].get<std::string>();
                rect.p0x = row[2].get<double>();
                rect.p0y = row[3].get<double>();
                rect.p1x = row[4].get<double>();
                rect.p1y = row[5].get<double>();
                rect.p2x = row[6].get<double>();
                rect.p2y = row[7].get<double>();
                rect.p3x = row[8].get<double>();
                rect.p3y = row[9].get<double>();
                result.rects.push_back(std::move(rect));
            }
        }
        return result;
    } catch (const std::exception& e) {
        error = std::string("malformed extraction result: ") + e.what();
        return std::nullopt;
    }
}

json toJson(const ExtractionJobOptions& options) {
    return json{{"lowResImages", options.lowResImages},     {"ignoreSmallImages", options.ignoreSmallImages},
                {"dataDirectory", options.dataDirectory.string()}, {"imageKey", options.imageKey},
                {"rootFolderUrl", options.rootFolderUrl},   {"thumbnailOnly", options.thumbnailOnly},
                {"maxTextBytes", options.maxTextBytes},     {"recognizeText", options.recognizeText},
                {"convertedPdf", options.convertedPdf.string()}, {"officeTextSource", options.officeTextSource.string()},
                {"pages", options.pages},                   {"deferPreviews", options.deferPreviews}};
}

std::string encodeJobOptions(const ExtractionJobOptions& options) { return dump(toJson(options)); }

ExtractionJobOptions jobOptionsFromJson(const json& value) {
    ExtractionJobOptions options;
    if (!value.is_object()) return options;
    readIf(value, "lowResImages", options.lowResImages);
    readIf(value, "ignoreSmallImages", options.ignoreSmallImages);
    std::string directory;
    readIf(value, "dataDirectory", directory);
    options.dataDirectory = directory;
    readIf(value, "imageKey", options.imageKey);
    readIf(value, "rootFolderUrl", options.rootFolderUrl);
    readIf(value, "thumbnailOnly", options.thumbnailOnly);
    readIf(value, "maxTextBytes", options.maxTextBytes);
    readIf(value, "recognizeText", options.recognizeText);
    std::string path;
    readIf(value, "convertedPdf", path);
    options.convertedPdf = path;
    path.clear();
    readIf(value, "officeTextSource", path);
    options.officeTextSource = path;
    readIf(value, "pages", options.pages);
    readIf(value, "deferPreviews", options.deferPreviews);
    return options;
}

ExtractionJobOptions decodeJobOptions(std::string_view text) {
    return jobOptionsFromJson(json::parse(text, nullptr, false));
}

}  // namespace lumidex::processing
