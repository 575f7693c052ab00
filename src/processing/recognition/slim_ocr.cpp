#include "processing/recognition/slim_ocr.h"

#include <unordered_set>

#include "core/app_log.h"
#include "core/hashing.h"
#include "platform/ocr_engine_pool.h"
#include "platform/text_flow.h"
#include "storage/fts_tools.h"

namespace lumidex::processing {
namespace {

struct LineKeyHash {
    size_t operator()(const OcrRectDisplayResult& line) const noexcept {
        size_t h = std::hash<std::string>{}(line.text);
        for (const auto& corner : line.corners) {
            h = hashCombine(h, std::hash<double>{}(corner.x));
            h = hashCombine(h, std::hash<double>{}(corner.y));
        }
        return h;
    }
};

}  // namespace

std::vector<OcrRect> SlimOcrResult::ocrRects(uint32_t combinedHash, int64_t pageIndex) const {
    std::vector<OcrRect> rects;
    rects.reserve(ocrRectDisplayResults.size());
    for (const auto& line : ocrRectDisplayResults) {
        OcrRect rect;
        rect.id = Uuid::unique();
        rect.combinedHash = combinedHash;
        rect.pageIndex = pageIndex;
        rect.ocrContent = line.foldedText;
        rect.p0x = line.corners[0].x;
        rect.p0y = line.corners[0].y;
        rect.p1x = line.corners[1].x;
        rect.p1y = line.corners[1].y;
        rect.p2x = line.corners[2].x;
        rect.p2y = line.corners[2].y;
        rect.p3x = line.corners[3].x;
        rect.p3y = line.corners[3].y;
        rects.push_back(std::move(rect));
    }
    return rects;
}

SlimOcr::SlimOcr(platform::OcrEnginePool* pool, int64_t tempCounter)
    : pool_(pool != nullptr ? pool : &platform::OcrEnginePool::shared()), tempCounter_(tempCounter) {}

SlimOcrResult SlimOcr::makeResult(const std::vector<platform::OcrLine>& lines, int64_t pageCount) {
    SlimOcrResult result;
    result.pageCount = pageCount;
    std::unordered_set<OcrRectDisplayResult, LineKeyHash> seen;
    // Alternative readings of lines whose last word goes on in the next line: they follow that word.
    std::string held;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const auto& line = lines[i];
        if (line.text.empty()) continue;
        std::size_t next = i + 1;
        while (next < lines.size() && lines[next].text.empty()) ++next;
        // A word hyphenated at the line end is one word again in the transcript ("zu-" / "laessigen").
        const platform::LineJoin join =
            next < lines.size() ? platform::lineJoin(line.text, lines[next].text) : platform::LineJoin::separate;
        result.transcript += join == platform::LineJoin::removeHyphen ? platform::withoutEndHyphen(line.text) : line.text;
        // Alternative readings are searched and highlighted like the line's own words, never shown.
        std::string searchable = line.text;
        for (const std::string& word : line.alternativeWords) {
            (searchable += ' ') += word;
            (held += ' ') += word;
        }
        if (join == platform::LineJoin::separate) {
            result.transcript += held;
            result.transcript += ' ';
            held.clear();
        }
        OcrRectDisplayResult display{line.text, {}, line.corners};
        if (!seen.insert(display).second) continue;
        display.foldedText = storage::FtsTools::fold(searchable);
        result.ocrRectDisplayResults.push_back(std::move(display));
    }
    return result;
}

void SlimOcr::recognizeTextAsync(std::shared_ptr<const platform::Bitmap> bitmap, int64_t /*pageIndex*/,
                                 int64_t pageCount, Completion completion) const {
    pool_->submit(std::move(bitmap), [pageCount, completion = std::move(completion)](platform::OcrOutcome outcome) {
        SlimOcrOutcome converted;
        if (outcome.error) {
            appLog("Error performing text recognition: " + outcome.error->message());
            converted.error = std::move(outcome.error);
        } else {
            converted.result = makeResult(outcome.lines, pageCount);
        }
        if (completion) completion(std::move(converted));
    });
}

std::future<SlimOcrOutcome> SlimOcr::recognizeTextAsync(std::shared_ptr<const platform::Bitmap> bitmap,
                                                        int64_t pageIndex, int64_t pageCount) const {
    auto promise = std::make_shared<std::promise<SlimOcrOutcome>>();
    auto future = promise->get_future();
    recognizeTextAsync(std::move(bitmap), pageIndex, pageCount,
                       [promise](SlimOcrOutcome outcome) { promise->set_value(std::move(outcome)); });
    return future;
}

std::optional<SlimOcrResult> SlimOcr::recognize(std::shared_ptr<const platform::Bitmap> bitmap, int64_t pageIndex,
                                                int64_t pageCount) const {
    return recognizeTextAsync(std::move(bitmap), pageIndex, pageCount).get().result;
}

}  // namespace lumidex::processing
