// Text recognition on a bitmap: one line observation per recognised text line.
//
// An OcrEngine is single-threaded: create it, use it and destroy it on one and the same thread (the
// recognition library keeps per-thread state). OcrEnginePool (ocr_engine_pool.h) is how the rest of the
// system shares engines across threads.
// Failure behaviour: nothing here throws. makeOcrEngine() reports missing language data as an OcrError;
// recognize() reports an invalid bitmap, a time-out or a library failure as an OcrError. A bitmap with
// no recognisable text is a success with no lines.
// The recogniser library uses OpenMP; OMP_THREAD_LIMIT=1 must be in the environment before the process
// starts, or every engine spins up a thread per core and pages get several times slower.
#pragma once

#include <array>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/bitmap.h"

namespace lumidex::platform {

struct OcrError {
    enum class Kind { initializationFailed, invalidBitmap, timedOut, recognitionFailed, shutDown };

    Kind kind = Kind::recognitionFailed;
    std::string detail;

    // For example "text recognition failed: could not load languages eng+deu".
    std::string message() const;
};

// Normalised image coordinates: 0..1 across width and height, origin at the bottom-left.
struct OcrPoint {
    double x = 0;
    double y = 0;

    friend bool operator==(const OcrPoint&, const OcrPoint&) = default;
};

struct OcrLine {
    std::string text;  // best candidate, UTF-8, trimmed, never empty
    // bottom-left, bottom-right, top-right, top-left
    std::array<OcrPoint, 4> corners;
    float confidence = 0;  // 0..100
    // Other readings of words of this line, worth finding the page by: words the first of several
    // languages alone reads differently, for a line with a word the recogniser was unsure of.
    std::vector<std::string> alternativeWords;

    friend bool operator==(const OcrLine&, const OcrLine&) = default;
};

struct OcrOutcome {
    std::vector<OcrLine> lines;  // in the recogniser's reading order
    std::optional<OcrError> error;

    explicit operator bool() const { return !error.has_value(); }
};

struct OcrEngineOptions {
    std::string languages = "eng+deu";
    std::string dataPath;  // empty: the library's default (TESSDATA_PREFIX or the system models)
    // A page that takes longer is abandoned with Kind::timedOut; zero means no limit.
    std::chrono::milliseconds timeout{120000};
};

class OcrEngine {
public:
    virtual ~OcrEngine() = default;
    virtual OcrOutcome recognize(const Bitmap& bitmap) = 0;
};

struct OcrEngineResult {
    std::unique_ptr<OcrEngine> engine;  // null exactly when `error` is set
    std::optional<OcrError> error;
};

OcrEngineResult makeOcrEngine(const OcrEngineOptions& options = {});

}  // namespace lumidex::platform
