#include "processing/mail_attachment_jobs.h"

#include <nlohmann/json.hpp>

#include <stdexcept>

#include "platform/ocr_engine_pool.h"
#include "processing/worker/extraction_worker.h"

namespace lumidex::processing {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

platform::OcrEnginePool& workerRecognition() {
    static platform::OcrEnginePool pool{1};
    return pool;
}

json decodeAttachment(const WorkerRequest& request, ProgressSink&) {
    const std::string kind = request.options.value("kind", std::string());
    const bool ocr = request.options.value("ocr", true);
    const int64_t timeMs = request.options.value("time_ms", int64_t{60000});
    const mail::MailAttachmentOcr reader(mail::poolRecognizer(workerRecognition()), Clock::now() + std::chrono::milliseconds(timeMs));
    if (kind == "pdf") {
        const mail::MailAttachmentOcrOutcome outcome = reader.extractPdfFile(request.path, ocr);
        if (const auto* error = std::get_if<mail::MailAttachmentOcrError>(&outcome)) {
            throw std::runtime_error(std::string(mail::message(*error)));
        }
        return std::get<mail::MailAttachmentOcrResult>(outcome);
    }
    if (kind == "image") {
        const auto result = reader.extractImageFile(request.path);
        if (!result) throw std::runtime_error("image not readable");
        return *result;
    }
    throw std::runtime_error("unknown attachment kind: " + kind);
}

}  // namespace

void registerMailAttachmentJobs(JobRegistry& jobs) { jobs.add(std::string(mailAttachmentJob), decodeAttachment); }

}  // namespace lumidex::processing
