// Fakes for the recognition tests: a PDF document whose pages are plain sizes, and recognition engines
// that answer from the bitmap's first pixel (the fake document writes the page index there).
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ocr_engine.h"
#include "platform/ocr_engine_pool.h"
#include "platform/pdf_document.h"

namespace lumidex::processing::testing {

// What happened, in order, across the test's threads.
class EventLog {
public:
    void add(std::string event) {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
        changed_.notify_all();
    }
    bool waitFor(const std::string& event, std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return contains(event); });
    }
    std::vector<std::string> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    // Position of the first occurrence, or -1.
    long indexOf(const std::string& event) const {
        std::lock_guard lock(mutex_);
        auto it = std::find(events_.begin(), events_.end(), event);
        return it == events_.end() ? -1 : static_cast<long>(it - events_.begin());
    }

private:
    bool contains(const std::string& event) const {
        return std::find(events_.begin(), events_.end(), event) != events_.end();
    }
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> events_;
};

class FakePdfDocument : public platform::PdfDocument {
public:
    FakePdfDocument(std::vector<platform::PdfPageSize> pages, EventLog& log) : pages_(std::move(pages)), log_(log) {}

    std::vector<int> failingRenders;  // page indexes whose rendering fails

    bool isLocked() const override { return false; }
    bool isEncrypted() const override { return false; }
    bool unlock(const std::string&) override { return true; }
    int pageCount() const override { return static_cast<int>(pages_.size()); }
    std::optional<platform::PdfPageSize> mediaBox(int i) const override {
        if (i < 0 || i >= pageCount()) return std::nullopt;
        return pages_[static_cast<std::size_t>(i)];
    }
    std::string pageText(int) const override { return {}; }
    std::size_t pageGlyphCount(int) const override { return 0; }
    platform::PdfPageDrawing pageDrawing(int) const override { return {}; }
    std::optional<platform::Bitmap> renderRegion(int, platform::PdfRegion, double, platform::PdfRenderColor) const override {
        return std::nullopt;
    }
    std::optional<platform::Bitmap> renderPage(int i, int w, int h, platform::PdfRenderColor color) const override {
        log_.add("render " + std::to_string(i) + " " + std::to_string(w) + "x" + std::to_string(h));
        log_.add("render " + std::to_string(i));
        if (std::find(failingRenders.begin(), failingRenders.end(), i) != failingRenders.end()) return std::nullopt;
        auto bitmap = color == platform::PdfRenderColor::gray ? platform::Bitmap::gray(w, h) : platform::Bitmap::rgb(w, h);
        bitmap.bytes[0] = static_cast<uint8_t>(i);
        return bitmap;
    }

private:
    std::vector<platform::PdfPageSize> pages_;
    EventLog& log_;
};

// Answers "page<i> text" for the page in the first pixel; optional hooks run before answering.
class FakeEngine : public platform::OcrEngine {
public:
    using Hook = std::function<std::optional<platform::OcrError>(int page)>;

    FakeEngine(EventLog& log, Hook hook) : log_(log), hook_(std::move(hook)) {}

    platform::OcrOutcome recognize(const platform::Bitmap& bitmap) override {
        const int page = bitmap.bytes.at(0);
        log_.add("ocr begin " + std::to_string(page));
        platform::OcrOutcome outcome;
        if (hook_) outcome.error = hook_(page);
        if (!outcome.error) {
            platform::OcrLine line;
            line.text = "page" + std::to_string(page) + " text";
            line.corners = {platform::OcrPoint{0.1, 0.5}, platform::OcrPoint{0.9, 0.5}, platform::OcrPoint{0.9, 0.6},
                            platform::OcrPoint{0.1, 0.6}};
            outcome.lines.push_back(line);
        }
        log_.add("ocr end " + std::to_string(page));
        return outcome;
    }

private:
    EventLog& log_;
    Hook hook_;
};

inline std::unique_ptr<platform::OcrEnginePool> makeFakePool(EventLog& log, FakeEngine::Hook hook = {},
                                                             std::size_t engines = 1) {
    return std::make_unique<platform::OcrEnginePool>(engines, [&log, hook] {
        return platform::OcrEngineResult{std::make_unique<FakeEngine>(log, hook), std::nullopt};
    });
}

}  // namespace lumidex::processing::testing
