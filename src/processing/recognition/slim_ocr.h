// Text recognition of one page bitmap: the page transcript and one rectangle per recognised line.
//
// SlimOcr sends bitmaps to the process's recognition queue (platform::OcrEnginePool, by default the
// shared one) and turns the recogniser's lines into a SlimOcrResult: each line's text, then its
// alternative readings (platform::OcrLine), followed by one space forms the transcript (a word
// hyphenated at a line end is joined with its rest in the next line, see platform::lineJoin, and the
// line's alternative readings follow the joined word), identical lines
// at identical positions are kept once, and each line also carries its text and alternative readings
// folded with the full-text store's rule, so that either reading is found and highlighted.
// Failure behaviour: a recogniser error is logged as "Error performing text recognition: " followed by
// the error, and is returned (async) or turns into nullopt (sync). Nothing throws except std::bad_alloc.
// Thread-safety: a SlimOcr is a small copyable value; every member may be called from any thread.
// recognize() blocks its caller until the page is done; never call it from a recognition completion.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/model/ocr_rect.h"
#include "platform/bitmap.h"
#include "platform/ocr_engine.h"

namespace lumidex::platform {
class OcrEnginePool;
}

namespace lumidex::processing {

// skipped: the page was not recognised (no bitmap, or recognition was not asked for).
enum class OcrResultStates { recognized, failed, skipped };

// One recognised line: its text and its quadrilateral in normalised page coordinates (origin bottom-left).
struct OcrRectDisplayResult {
    std::string text;        // as recognised, trimmed, never empty
    std::string foldedText;  // storage::FtsTools::fold of the text and the line's alternative readings
    std::array<platform::OcrPoint, 4> corners;  // bottom-left, bottom-right, top-right, top-left

    friend bool operator==(const OcrRectDisplayResult& a, const OcrRectDisplayResult& b) {
        return a.text == b.text && a.corners == b.corners;
    }
};

struct SlimOcrResult {
    OcrResultStates ocrResultStates = OcrResultStates::recognized;
    std::string transcript;  // every line's text and alternative readings, followed by one space
    int64_t pageCount = 0;   // pages of the document the bitmap came from
    std::vector<OcrRectDisplayResult> ocrRectDisplayResults;  // distinct lines, in recognition order

    // Rectangle records for the store: folded text, p0 = bottom-left ... p3 = top-left, fresh ids.
    std::vector<OcrRect> ocrRects(uint32_t combinedHash, int64_t pageIndex) const;
};

struct SlimOcrOutcome {
    std::optional<SlimOcrResult> result;  // set exactly when `error` is not
    std::optional<platform::OcrError> error;
};

class SlimOcr {
public:
    using Completion = std::function<void(SlimOcrOutcome)>;

    // pool null: the process's shared recognition queue. The pool must outlive this value.
    explicit SlimOcr(platform::OcrEnginePool* pool = nullptr, int64_t tempCounter = 0);

    int64_t tempCounter() const { return tempCounter_; }

    // The completion runs on a recognition thread: keep it short.
    void recognizeTextAsync(std::shared_ptr<const platform::Bitmap> bitmap, int64_t pageIndex, int64_t pageCount,
                            Completion completion) const;
    std::future<SlimOcrOutcome> recognizeTextAsync(std::shared_ptr<const platform::Bitmap> bitmap, int64_t pageIndex,
                                                   int64_t pageCount) const;
    std::optional<SlimOcrResult> recognize(std::shared_ptr<const platform::Bitmap> bitmap, int64_t pageIndex,
                                           int64_t pageCount) const;

    // The pure part: recogniser lines to a page result.
    static SlimOcrResult makeResult(const std::vector<platform::OcrLine>& lines, int64_t pageCount);

private:
    platform::OcrEnginePool* pool_;
    int64_t tempCounter_;
};

}  // namespace lumidex::processing
