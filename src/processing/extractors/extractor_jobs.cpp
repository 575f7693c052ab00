#include "processing/extractors/extractor_jobs.h"

#include <nlohmann/json.hpp>

#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "folders/scanning/file_types.h"
#include "platform/image_decoder.h"
#include "platform/ocr_engine_pool.h"
#include "processing/extractors/extraction_json.h"
#include "processing/extractors/nan_items_processing_image.h"
#include "processing/extractors/nan_items_processing_pdf.h"
#include "processing/extractors/office_extraction.h"
#include "processing/mail_attachment_jobs.h"
#include "processing/pipeline/thumbnail_write_queue.h"
#include "processing/recognition/save_nan_images_helper.h"
#include "processing/text/nan_items_processing_text.h"
#include "processing/worker/extraction_worker.h"

namespace lumidex::processing {
namespace {

using nlohmann::json;

// What a worker process keeps between jobs: the recognition engine (costly to create) and the decoder.
struct WorkerContext {
    platform::OcrEnginePool ocrPool{1};
    std::unique_ptr<platform::ImageDecoder> decoder = platform::makeImageDecoder();
};

WorkerContext& context() {
    static WorkerContext instance;
    return instance;
}

// Allocations from this size on are mapped on their own (extractorWorkerMain).
constexpr int largeAllocationBytes = 1 << 20;

int64_t peakRssKb() {
    rusage usage{};
    return ::getrusage(RUSAGE_SELF, &usage) == 0 ? static_cast<int64_t>(usage.ru_maxrss) : 0;
}

// The previews of one job: written through the worker's thumbnail queue, complete when the job returns.
class JobPreviews {
public:
    explicit JobPreviews(const ExtractionJobOptions& options)
        : helper_(options.lowResImages, options.rootFolderUrl, options.dataDirectory,
                  [this](std::string path, std::string png) {
                      ThumbnailWriteQueue::shared().enqueue(std::move(path), std::move(png), [this](bool written) {
                          if (!written) ++notWritten_;
                      });
                  }),
          enabled_(!options.dataDirectory.empty() && !options.imageKey.empty()) {
        previews_.helper = enabled_ ? &helper_ : nullptr;
        previews_.key = options.imageKey;
        previews_.thumbnailOnly = options.thumbnailOnly;
    }
    ~JobPreviews() {
        if (enabled_) ThumbnailWriteQueue::shared().waitUntilIdle();
    }
    JobPreviews(const JobPreviews&) = delete;
    JobPreviews& operator=(const JobPreviews&) = delete;

    const PagePreviews& previews() const { return previews_; }
    // Waits for the job's writes: how many previews could not be written (a full disk, a read-only folder).
    int64_t waitForWrites() {
        if (enabled_) ThumbnailWriteQueue::shared().waitUntilIdle();
        return notWritten_.load();
    }

private:
    std::atomic<int64_t> notWritten_{0};
    SaveNanImagesHelper helper_;
    bool enabled_;
    PagePreviews previews_;
};

json finish(ExtractionResult result) {
    result.workerPeakRssKb = peakRssKb();
    return toJson(result);
}

NanItemsProcessingPdf pdfExtractor(const ExtractionJobOptions& options, ProgressSink& sink) {
    PdfExtractorSettings settings;
    settings.lowResImages = options.lowResImages;
    settings.slimOcr = SlimOcr(&context().ocrPool);
    settings.recognizeText = options.recognizeText;
    settings.deferPreviews = options.deferPreviews;
    return NanItemsProcessingPdf(
        settings,
        [&sink](int64_t pageIndex, bool recognised) { sink.progress({{"page", pageIndex}, {"recognised", recognised}}); },
        [&sink](std::string_view line) { sink.log(line); });
}

json extractPdf(const WorkerRequest& request, ProgressSink& sink) {
    const ExtractionJobOptions options = jobOptionsFromJson(request.options);
    ExtractionResult result;
    {
        JobPreviews previews(options);
        result = pdfExtractor(options, sink).extract(request.path, previews.previews());
    }
    return finish(std::move(result));
}

// The PDF road over the converter's PDF, then the document's own text in place of the PDF's.
json extractOffice(const WorkerRequest& request, ProgressSink& sink) {
    const ExtractionJobOptions options = jobOptionsFromJson(request.options);
    ExtractionResult result;
    {
        JobPreviews previews(options);
        result = pdfExtractor(options, sink).extract(options.convertedPdf, previews.previews());
    }
    if (result.state == NanItemProcessingStates::error) {
        result.message = "the PDF made from the document cannot be read: " + result.message;
    } else if (result.state == NanItemProcessingStates::complete) {
        // A backend that makes only the PDF (the conversion service) leaves the copy unwritten.
        std::error_code missing;
        const bool haveCopy = !options.officeTextSource.empty() && std::filesystem::exists(options.officeTextSource, missing);
        const std::filesystem::path source = haveCopy ? options.officeTextSource : request.path;
        std::string error;
        if (auto own = officeOwnText(source, folders::lowerCaseExtension(request.path.string()), error)) {
            result.text = officeDocumentText(*own, result.text);
        } else {
            sink.log("[NanItemsProcessingCloud] Text nur aus dem PDF, das Dokument selbst ist nicht lesbar: " +
                     request.path.string() + ": " + error);
        }
    }
    return finish(std::move(result));
}

// Read in a worker like the rest: the archive and its XML are untrusted input.
json extractOfficeText(const WorkerRequest& request, ProgressSink&) {
    ExtractionResult result;
    const std::string extension = folders::lowerCaseExtension(request.path.string());
    std::string error = "its own format is not read without the converter";
    if (readsOwnText(extension)) {
        if (auto own = officeOwnText(request.path, extension, error)) {
            result.state = NanItemProcessingStates::complete;
            result.text = std::move(*own);
            return finish(std::move(result));
        }
    }
    result.message = "own text not read: " + error;
    return finish(std::move(result));
}

json enrichPdf(const WorkerRequest& request, ProgressSink& sink) {
    const ExtractionJobOptions options = jobOptionsFromJson(request.options);
    ExtractionResult result;
    if (auto text = pdfExtractor(options, sink).recognisePages(request.path, options.pages, &result.recognisedPages)) {
        result.state = NanItemProcessingStates::complete;
        result.text = std::move(*text);
    } else {
        result.state = NanItemProcessingStates::error;
        result.message = "The document could not be opened for recognition.";
    }
    return finish(std::move(result));
}

json drawPdfPreviews(const WorkerRequest& request, ProgressSink& sink) {
    const ExtractionJobOptions options = jobOptionsFromJson(request.options);
    ExtractionResult result;
    std::optional<int64_t> drawn;
    int64_t notWritten = 0;
    {
        JobPreviews previews(options);
        drawn = pdfExtractor(options, sink).drawPreviews(request.path, options.pages, previews.previews());
        notWritten = previews.waitForWrites();
    }
    if (drawn) {
        result.state = NanItemProcessingStates::complete;
        result.totalPageCount = *drawn;
        result.previewsNotWritten = notWritten;
    } else {
        result.message = "The document could not be opened for its previews.";
    }
    return finish(std::move(result));
}

json extractImage(const WorkerRequest& request, ProgressSink& sink) {
    const ExtractionJobOptions options = jobOptionsFromJson(request.options);
    ExtractionResult result;
    {
        JobPreviews previews(options);
        const NanItemsProcessingImage extractor(options.ignoreSmallImages, *context().decoder, SlimOcr(&context().ocrPool),
                                                [&sink](std::string_view line) { sink.log(line); }, options.recognizeText);
        result = extractor.extract(request.path, previews.previews());
    }
    if (result.state == NanItemProcessingStates::complete) {
        sink.progress({{"page", 0}, {"recognised", result.recognisedPages > 0}});
    }
    return finish(std::move(result));
}

json extractText(const WorkerRequest& request, ProgressSink&) {
    const ExtractionJobOptions options = jobOptionsFromJson(request.options);
    TextExtractionLimits limits;
    limits.maxFileBytes = options.maxTextBytes;
    TextFileExtraction extraction = NanItemsProcessingText(limits).extract(request.path);
    ExtractionResult result;
    result.state = extraction.state;
    result.message = std::move(extraction.message);
    result.text = std::move(extraction.text);
    result.totalPageCount = extraction.totalPageCount;
    return finish(std::move(result));
}

}  // namespace

void registerExtractorJobs(JobRegistry& jobs) {
    jobs.add(std::string(extractPdfJob), extractPdf);
    jobs.add(std::string(extractImageJob), extractImage);
    jobs.add(std::string(extractTextJob), extractText);
    jobs.add(std::string(enrichPdfJob), enrichPdf);
    jobs.add(std::string(previewsPdfJob), drawPdfPreviews);
    jobs.add(std::string(extractOfficeJob), extractOffice);
    jobs.add(std::string(extractOfficeTextJob), extractOfficeText);
    registerMailAttachmentJobs(jobs);
}

int extractorWorkerMain(int argc, char** argv) {
    // Page bitmaps and the recogniser's page copies (tens of megabytes each) are made on one thread and
    // freed on another. Above the C library's adaptive threshold they came from the threads' heaps, which
    // kept them after the page as holes no other thread could fill: a worker grew to twice its live
    // memory. Mapped on their own, they go back to the system when freed, at a few milliseconds a page.
    ::mallopt(M_MMAP_THRESHOLD, largeAllocationBytes);
    JobRegistry jobs;
    registerExtractionJobs(jobs);
    registerExtractorJobs(jobs);
    const bool testJobs = std::any_of(argv + std::min(argc, 2), argv + argc,
                                      [](const char* arg) { return arg == extractionWorkerTestJobsFlag; });
    if (testJobs) registerTestJobs(jobs);
    return runExtractionWorker(jobs);
}

}  // namespace lumidex::processing
