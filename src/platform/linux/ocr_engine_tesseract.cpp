#include <tesseract/baseapi.h>
#include <tesseract/ocrclass.h>
#include <tesseract/resultiterator.h>

#include <dlfcn.h>
#include <leptonica/allheaders.h>

#include <algorithm>
#include <functional>
#include <new>
#include <sstream>
#include <thread>
#include <unordered_set>
#include <vector>

#include "platform/linux/leptonica_support.h"
#include "platform/ocr_engine.h"

namespace lumidex::platform {
namespace {

// Set while this thread recognises; see pixWriteMem below.
thread_local bool tRecognising = false;

class RecognisingScope {
public:
    RecognisingScope() { tRecognising = true; }
    ~RecognisingScope() { tRecognising = false; }
    RecognisingScope(const RecognisingScope&) = delete;
    RecognisingScope& operator=(const RecognisingScope&) = delete;
};

std::string trimmed(const char* text) {
    if (text == nullptr) return {};
    std::string_view view(text);
    constexpr std::string_view kSpace = " \t\r\n\f\v";
    const auto first = view.find_first_not_of(kSpace);
    if (first == std::string_view::npos) return {};
    const auto last = view.find_last_not_of(kSpace);
    return std::string(view.substr(first, last - first + 1));
}

double clamp01(double v) { return std::clamp(v, 0.0, 1.0); }

// Capitals shorter than this many pixels are misread far more often (a q read as g, an n as h); Tesseract reads
// best at about 30-35. Images at 200 pixels per inch land below it, pages rendered at 288 above.
constexpr float kSmallCapitalHeight = 30.0F;
constexpr float kSmallTextScale = 1.5F;
// A page we drew from a document at this resolution or more is as large as drawing could make it, and
// enlarging it only repeats its pixels: on scanned pages drawn at 288 ppi, whose capitals at 10 pt are
// 28 pixels high, reading them enlarged found no word more (1 256 of 1 276 either way) in 14% more time.
constexpr double kDrawnLargeEnoughPixelsPerInch = 288.0;
constexpr double kMaxScaledPixels = 24.0e6;

// With several languages the recogniser keeps, word by word, the reading of whichever model is surest,
// and the German model is sure of readings that bend a word towards German spelling: a q before
// anything but u comes out as g or a, and such words are codes and names people search for. A line
// holding a word the recogniser was unsure of, and that no dictionary knows, is read once more with the
// first language alone; the words it reads differently become alternative readings of the line. On
// scanned German and English pages about one line in twenty is read again.
constexpr float kUnsureWordConfidence = 80.0F;
constexpr int kLineMargin = 8;

std::vector<std::string> words(std::string_view text) {
    std::vector<std::string> out;
    std::istringstream stream{std::string(text)};
    for (std::string word; stream >> word;) out.push_back(std::move(word));
    return out;
}

// The median height of capitals over the text lines the layout analysis found; 0 without lines.
float medianCapitalHeight(tesseract::PageIterator* lines) {
    std::vector<float> heights;
    if (lines != nullptr) {
        do {
            float rowHeight = 0, descenders = 0, ascenders = 0;
            lines->RowAttributes(&rowHeight, &descenders, &ascenders);
            // Row height spans descender to ascender; descenders are negative.
            if (rowHeight + descenders > 0) heights.push_back(rowHeight + descenders);
        } while (lines->Next(tesseract::RIL_TEXTLINE));
    }
    if (heights.empty()) return 0;
    std::nth_element(heights.begin(), heights.begin() + static_cast<std::ptrdiff_t>(heights.size() / 2), heights.end());
    return heights[heights.size() / 2];
}

class TesseractEngine final : public OcrEngine {
public:
    explicit TesseractEngine(const OcrEngineOptions& options) : options_(options) {}

    ~TesseractEngine() override {
        firstLanguage_.End();
        api_.End();
    }

    std::optional<OcrError> initialize() {
        linux_detail::silenceLeptonica();
        const char* dataPath = options_.dataPath.empty() ? nullptr : options_.dataPath.c_str();
        if (api_.Init(dataPath, options_.languages.c_str(), tesseract::OEM_LSTM_ONLY) != 0) {
            return OcrError{OcrError::Kind::initializationFailed, "could not load languages " + options_.languages};
        }
        // Progress and warnings ("Estimating resolution as ...") would otherwise go to stderr.
        api_.SetVariable("debug_file", "/dev/null");
        // Pages have columns, headers and captions; the library's own default expects a single block.
        api_.SetPageSegMode(tesseract::PSM_AUTO);
        if (const auto plus = options_.languages.find('+'); plus != std::string::npos) {
            const std::string first = options_.languages.substr(0, plus);
            // Without it, lines simply get no alternative readings.
            if (firstLanguage_.Init(dataPath, first.c_str(), tesseract::OEM_LSTM_ONLY) == 0) {
                firstLanguage_.SetVariable("debug_file", "/dev/null");
                firstLanguage_.SetPageSegMode(tesseract::PSM_SINGLE_LINE);
                hasFirstLanguage_ = true;
            }
        }
        return std::nullopt;
    }

    OcrOutcome recognize(const Bitmap& bitmap) override {
        OcrOutcome outcome;
        if (std::this_thread::get_id() != owner_) {
            outcome.error = OcrError{OcrError::Kind::recognitionFailed, "engine used from a thread that did not create it"};
            return outcome;
        }
        if (!bitmap.isValid()) {
            outcome.error = OcrError{OcrError::Kind::invalidBitmap, "bitmap has no pixels or an unsupported layout"};
            return outcome;
        }
        RecognisingScope recognising;
        try {
            // A colour page is read as grey: the recogniser's copy of it, the copy enlarged for small
            // text and the bitmap itself made a colour page's recognition the largest use of memory
            // of an indexing run, four bytes a pixel each.
            const linux_detail::PixPtr grey(bitmap.channels == 1 ? nullptr : linux_detail::greyPixFromBitmap(bitmap));
            if (bitmap.channels != 1 && !grey) throw std::bad_alloc();
            const auto setPage = [&](tesseract::TessBaseAPI& api) {
                if (grey) {
                    api.SetImage(grey.get());
                } else {
                    api.SetImage(bitmap.bytes.data(), bitmap.width, bitmap.height, bitmap.channels,
                                 static_cast<int>(bitmap.stride()));
                }
            };
            setPage(api_);
            // Small text is recognised at a larger size; otherwise recognition reuses this layout.
            int width = bitmap.width;
            int height = bitmap.height;
            const bool enlarged = [&] {
                linux_detail::PixPtr larger = enlargedIfTextIsSmall(bitmap, grey.get(), setPage);
                if (!larger) return false;
                // The recogniser keeps a copy of its own; ours would only double the largest image.
                api_.SetImage(larger.get());
                width = static_cast<int>(pixGetWidth(larger.get()));
                height = static_cast<int>(pixGetHeight(larger.get()));
                return true;
            }();
            tesseract::ETEXT_DESC monitor;
            if (options_.timeout.count() > 0) {
                monitor.set_deadline_msecs(static_cast<int32_t>(std::min<int64_t>(options_.timeout.count(), INT32_MAX)));
            }
            const int status = api_.Recognize(&monitor);
            if (monitor.deadline_exceeded()) {
                outcome.error = OcrError{OcrError::Kind::timedOut, "page took longer than the time limit"};
            } else if (status != 0) {
                outcome.error = OcrError{OcrError::Kind::recognitionFailed, "the recogniser gave up on the image"};
            } else {
                // Line boxes are in the pixels of the image recognised, the enlarged one when there is one.
                std::vector<LineBox> unsure;
                outcome.lines = collectLines(width, height, unsure);
                if (!unsure.empty() && hasFirstLanguage_) {
                    // The lines are collected: the grey and binary images and the layout go before the
                    // second recogniser makes its own copy of the page; the enlarged page stays shared.
                    linux_detail::PixPtr page(enlarged ? pixClone(api_.GetInputImage()) : nullptr);
                    api_.Clear();
                    if (enlarged) {
                        if (page) firstLanguage_.SetImage(page.get());
                    } else {
                        setPage(firstLanguage_);
                    }
                    if (page || !enlarged) addAlternativeReadings(outcome.lines, unsure, width, height, monitor);
                }
            }
        } catch (const std::exception& e) {
            outcome.error = OcrError{OcrError::Kind::recognitionFailed, e.what()};
        }
        api_.Clear();
        firstLanguage_.Clear();
        return outcome;
    }

private:
    // `grey`: the page as set when the bitmap is in colour, else null; `setPage` sets it again.
    linux_detail::PixPtr enlargedIfTextIsSmall(const Bitmap& bitmap, PIX* grey,
                                               const std::function<void(tesseract::TessBaseAPI&)>& setPage) {
        const double scaledPixels = static_cast<double>(bitmap.pixelCount()) * kSmallTextScale * kSmallTextScale;
        if (scaledPixels > kMaxScaledPixels) return nullptr;
        if (bitmap.drawnAtPixelsPerInch >= kDrawnLargeEnoughPixelsPerInch - 0.5) return nullptr;
        std::unique_ptr<tesseract::PageIterator> layout(api_.AnalyseLayout());
        const float capitalHeight = medianCapitalHeight(layout.get());
        if (capitalHeight <= 0 || capitalHeight >= kSmallCapitalHeight) return nullptr;
        // The enlarged image replaces the one set: its copy and layout go before the larger one is made.
        layout.reset();
        api_.Clear();
        linux_detail::PixPtr pix = grey != nullptr ? linux_detail::PixPtr(pixClone(grey)) : linux_detail::pixFromBitmap(bitmap);
        linux_detail::PixPtr larger(pix ? pixScale(pix.get(), kSmallTextScale, kSmallTextScale) : nullptr);
        // Clear() dropped the page: without the larger copy it is recognised at its own size.
        if (!larger) setPage(api_);
        return larger;
    }

    // A line with an unsure word: its index in the lines and its box in pixels from the top-left.
    struct LineBox {
        size_t line;
        int left, top, right, bottom;
    };

    // Walks the words, starting a line at each line's first word; `unsure` gets the lines to read again.
    std::vector<OcrLine> collectLines(int width, int height, std::vector<LineBox>& unsure) {
        std::vector<OcrLine> lines;
        std::unique_ptr<tesseract::ResultIterator> it(api_.GetIterator());
        if (!it) return lines;
        const double w = width;
        const double h = height;
        bool inLine = false;  // whether the current line was kept
        LineBox current{};
        do {
            if (it->IsAtBeginningOf(tesseract::RIL_TEXTLINE)) {
                std::unique_ptr<char[]> raw(it->GetUTF8Text(tesseract::RIL_TEXTLINE));
                std::string text = trimmed(raw.get());
                int left = 0, top = 0, right = 0, bottom = 0;
                inLine = !text.empty() && it->BoundingBox(tesseract::RIL_TEXTLINE, &left, &top, &right, &bottom);
                if (!inLine) continue;
                // The library measures from the top-left in pixels; lines are reported from the bottom-left.
                const double x0 = clamp01(left / w), x1 = clamp01(right / w);
                const double yBottom = clamp01(1.0 - bottom / h), yTop = clamp01(1.0 - top / h);
                OcrLine line;
                line.text = std::move(text);
                line.corners = {OcrPoint{x0, yBottom}, OcrPoint{x1, yBottom}, OcrPoint{x1, yTop}, OcrPoint{x0, yTop}};
                line.confidence = it->Confidence(tesseract::RIL_TEXTLINE);
                lines.push_back(std::move(line));
                current = LineBox{lines.size() - 1, left, top, right, bottom};
            }
            if (!inLine || it->Empty(tesseract::RIL_WORD)) continue;
            if (it->Confidence(tesseract::RIL_WORD) < kUnsureWordConfidence && !it->WordIsFromDictionary() &&
                (unsure.empty() || unsure.back().line != current.line)) {
                unsure.push_back(current);
            }
        } while (it->Next(tesseract::RIL_WORD));
        return lines;
    }

    void addAlternativeReadings(std::vector<OcrLine>& lines, const std::vector<LineBox>& unsure, int width,
                                int height, tesseract::ETEXT_DESC& monitor) {
        for (const LineBox& box : unsure) {
            const int left = std::max(box.left - kLineMargin, 0);
            const int top = std::max(box.top - kLineMargin, 0);
            const int right = std::min(box.right + kLineMargin, width);
            const int bottom = std::min(box.bottom + kLineMargin, height);
            if (right <= left || bottom <= top) continue;
            firstLanguage_.SetRectangle(left, top, right - left, bottom - top);
            if (firstLanguage_.Recognize(&monitor) != 0 || monitor.deadline_exceeded()) return;
            std::unique_ptr<char[]> raw(firstLanguage_.GetUTF8Text());
            OcrLine& line = lines[box.line];
            const std::vector<std::string> read = words(line.text);
            const std::unordered_set<std::string> known(read.begin(), read.end());
            for (std::string& word : words(raw ? raw.get() : "")) {
                if (!known.contains(word)) line.alternativeWords.push_back(std::move(word));
            }
        }
    }

    OcrEngineOptions options_;
    tesseract::TessBaseAPI api_;
    tesseract::TessBaseAPI firstLanguage_;
    bool hasFirstLanguage_ = false;
    std::thread::id owner_ = std::this_thread::get_id();
};

}  // namespace

std::string OcrError::message() const {
    switch (kind) {
        case Kind::initializationFailed: return "text recognition unavailable: " + detail;
        case Kind::invalidBitmap: return "text recognition refused the image: " + detail;
        case Kind::timedOut: return "text recognition timed out: " + detail;
        case Kind::shutDown: return "text recognition stopped: " + detail;
        case Kind::recognitionFailed: break;
    }
    return "text recognition failed: " + detail;
}

OcrEngineResult makeOcrEngine(const OcrEngineOptions& options) {
    OcrEngineResult result;
    try {
        auto engine = std::make_unique<TesseractEngine>(options);
        if (auto error = engine->initialize()) {
            result.error = std::move(error);
        } else {
            result.engine = std::move(engine);
        }
    } catch (const std::exception& e) {
        result.error = OcrError{OcrError::Kind::initializationFailed, e.what()};
    }
    return result;
}

}  // namespace lumidex::platform

// Tesseract hands every word image it recognises to Leptonica as an in-memory PNG and decodes it again
// straight away; deflating and inflating those images took a fifth of the time of a scanned page. This
// definition in the executable takes the place of Leptonica's for the whole process: while a thread of
// ours recognises, such images are written in Leptonica's own uncompressed serialisation instead, which
// keeps every pixel and which the same reader takes back. Every other call goes on to Leptonica.
extern "C" l_ok pixWriteMem(l_uint8** pdata, size_t* psize, PIX* pix, l_int32 format) {
    using Writer = l_ok (*)(l_uint8**, size_t*, PIX*, l_int32);
    if (lumidex::platform::tRecognising && format == IFF_PNG && pix != nullptr) return pixWriteMemSpix(pdata, psize, pix);
    static const auto leptonica = reinterpret_cast<Writer>(dlsym(RTLD_NEXT, "pixWriteMem"));
    return leptonica != nullptr ? leptonica(pdata, psize, pix, format) : 1;
}
