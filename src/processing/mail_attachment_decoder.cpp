// The client side of "mail.attachment": no decoder is linked here, so that the quick command line that
// runs `mail index` stays free of them.
#include <nlohmann/json.hpp>

#include "processing/mail_attachment_jobs.h"
#include "processing/worker/extraction_worker.h"
#include "processing/worker/extraction_worker_pool.h"

namespace lumidex::processing {
namespace {

using nlohmann::json;

// A worker still busy this long after the message's budget is killed.
constexpr std::chrono::seconds kGrace{5};

// The worker executable beside this program, when it is there.
std::filesystem::path workerBesideThisProgram() {
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return {};
    std::filesystem::path worker = self.parent_path() / extractionWorkerExecutableName;
    return std::filesystem::is_regular_file(worker, ec) ? worker : std::filesystem::path{};
}

}  // namespace

mail::AttachmentDecodeOutcome WorkerAttachmentDecoder::decode(const mail::AttachmentDecodeRequest& request,
                                                              Clock::time_point deadline) {
    const bool pdf = request.kind == mail::AttachmentKind::pdf;
    if (!pdf && request.kind != mail::AttachmentKind::image) return {{}, "not a PDF or image"};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return {{}, "time limit for the message's attachments reached"};
    const mail::TemporaryAttachmentFile file(request.bytes, pdf ? ".pdf" : ".img");
    if (file.path().empty()) return {{}, file.error()};
    ExtractionRequest job;
    job.kind = std::string(mailAttachmentJob);
    job.path = file.path();
    job.optionsJson = json{{"kind", pdf ? "pdf" : "image"}, {"ocr", request.ocrFallback}, {"time_ms", left.count()}}.dump();
    job.timeLimit = left + kGrace;
    const ExtractionOutcome outcome = pool_.run(std::move(job));
    if (!outcome.ok()) return {{}, outcome.description()};
    mail::MailAttachmentOcrResult result;
    try {
        result = json::parse(outcome.resultJson()).get<mail::MailAttachmentOcrResult>();
    } catch (const json::exception& e) {
        return {{}, std::string("worker result not readable: ") + e.what()};
    }
    return mail::decodeOutcomeOf(result);
}

std::unique_ptr<mail::MailAttachmentDecoder> makeWorkerAttachmentDecoder() {
    // The decoder owns its pool: one worker, as attachments are read one at a time.
    class Owning : public mail::MailAttachmentDecoder {
    public:
        explicit Owning(ExtractionWorkerPoolOptions options) : pool_(std::move(options)), decoder_(pool_) {}
        mail::AttachmentDecodeOutcome decode(const mail::AttachmentDecodeRequest& request, Clock::time_point deadline) override {
            return decoder_.decode(request, deadline);
        }

    private:
        ExtractionWorkerPool pool_;
        WorkerAttachmentDecoder decoder_;
    };
    ExtractionWorkerPoolOptions options;
    options.workerExecutable = workerBesideThisProgram();
    options.workerCount = 1;
    return std::make_unique<Owning>(std::move(options));
}

}  // namespace lumidex::processing
